// TVorbisIn against the reference decoder (`oggdec --raw`), chained files, comments, the end
// sample cut, seeking, library loading and damaged input.

#include <gtest/gtest.h>

#include "decoders/DecoderTestMedia.h"
#include "decoders/vorbis/TVorbisIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCommonTags.h"
#include "tests/fuzz/OggPages.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string OggPath(const std::string& Name) {
    return Media("vorbis/" + Name + ".ogg");
}
TBytes Reference(const std::string& Name) {
    return ReadAll(Media("vorbis/" + Name + ".ref.raw"));
}

// ---------------------------------------------------------------------------------------
// Bit-exact output. Small requests leave decoded bytes in the buffer when the library
// reports the end; they must still arrive.

struct TConformanceCase {
    const char* Name;
    uint32_t Channels, Rate, Chunk;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk;
}

class VorbisConformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(VorbisConformance, MatchesReferenceDecoder) {
    const TConformanceCase c = GetParam();
    const TBytes ref = Reference(c.Name);
    ASSERT_FALSE(ref.empty());
    TVorbisIn in;
    in.SetFileName(OggPath(c.Name));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.TotalSamples(), static_cast<int64_t>(ref.size() / (2 * c.Channels)));
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
    EXPECT_EQ(in.DamageCount(), 0u) << "an intact file meets no damage";
}

INSTANTIATE_TEST_SUITE_P(Files, VorbisConformance,
                         testing::Values(TConformanceCase{"mono_44100", 1, 44100, 16384},
                                         TConformanceCase{"mono_44100", 1, 44100, 1000},
                                         TConformanceCase{"stereo_44100", 2, 44100, 4096},
                                         TConformanceCase{"stereo_44100", 2, 44100, 777},
                                         TConformanceCase{"6ch_48000", 6, 48000, 20000},
                                         TConformanceCase{"6ch_48000", 6, 48000, 1001},
                                         TConformanceCase{"tagged", 2, 44100, 12288},
                                         TConformanceCase{"chained", 2, 44100, 5000}),
                         [](const testing::TestParamInfo<TConformanceCase>& i) {
                             return std::string("f") + i.param.Name + "_" + std::to_string(i.param.Chunk);
                         });

TEST(VorbisIn, DecodesAnAssignedStreamAndRewindsIt) {
    const TBytes ref = Reference("stereo_44100");
    TMemoryStream stream(ReadAll(OggPath("stereo_44100")));
    TVorbisIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(DecodeAll(in) == ref);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(DecodeAll(in) == ref);
}

// ---------------------------------------------------------------------------------------
// Chained files: three links of 1, 2 and 3 seconds.

TEST(VorbisIn, ChainedFileReportsItsLinks) {
    TVorbisIn in;
    in.SetFileName(OggPath("chained"));
    EXPECT_EQ(in.BitStreams(), 0); // not playing
    EXPECT_EQ(in.CurrentBitStream(), -1);
    EXPECT_EQ(in.InstantBitRate(), 0);
    in.Init();
    EXPECT_EQ(in.BitStreams(), 3);
    std::vector<int32_t> seen;
    for (;;) {
        uint8_t* p = nullptr;
        uint32_t n = 4096;
        in.GetData(p, n);
        if (n == 0) break;
        if (seen.empty() || seen.back() != in.CurrentBitStream()) seen.push_back(in.CurrentBitStream());
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{0, 1, 2}));
    in.Flush();
    EXPECT_EQ(in.BitStreams(), 0);
}

TEST(VorbisIn, WritingCurrentBitStreamMovesToThatLink) {
    const TBytes ref = Reference("chained");
    TVorbisIn in;
    in.SetFileName(OggPath("chained"));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 4000;
    in.GetData(p, n);
    for (int32_t ignored : {3, -1, 100}) {
        in.SetCurrentBitStream(ignored);
        EXPECT_EQ(in.Position(), 4000) << ignored;
    }
    in.SetCurrentBitStream(2); // starts after 1 + 2 seconds
    const size_t start = 3 * 44100 * 4;
    EXPECT_EQ(in.Position(), static_cast<int64_t>(start));
    const TBytes out = Drain(in);
    EXPECT_EQ(in.Position(), static_cast<int64_t>(ref.size()));
    EXPECT_TRUE(out == SliceBytes(ref, start, ref.size()))
        << FirstDifference(out, SliceBytes(ref, start, ref.size()));
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// Start and end samples, seeking.

struct TRangeCase {
    int64_t Start, End; // End -1: to the end
};

void PrintTo(const TRangeCase& c, std::ostream* os) {
    *os << c.Start << " to " << c.End;
}

class VorbisRange : public testing::TestWithParam<TRangeCase> {};

// The end falls inside a decoded packet: the run stops exactly at the computed byte count.
TEST_P(VorbisRange, DeliversExactlyTheRequestedFrames) {
    const TRangeCase c = GetParam();
    const TBytes ref = Reference("stereo_44100");
    TVorbisIn in;
    in.SetFileName(OggPath("stereo_44100"));
    in.SetStartSample(c.Start);
    in.SetEndSample(c.End);
    const TBytes out = DecodeAll(in, 3000);
    const size_t to = c.End < 0 ? ref.size() : static_cast<size_t>(c.End + 1) * 4;
    const TBytes expected = SliceBytes(ref, static_cast<size_t>(c.Start) * 4, to);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, VorbisRange,
                         testing::Values(TRangeCase{0, 12345}, TRangeCase{1000, 23456}, TRangeCase{50000, -1},
                                         TRangeCase{0, 0}, TRangeCase{131000, 132299}));

TEST(VorbisIn, SeekDuringARunLandsOnTheSample) {
    const TBytes ref = Reference("6ch_48000");
    const size_t frame = 12;
    TVorbisIn in;
    in.SetFileName(OggPath("6ch_48000"));
    in.Init();
    for (int64_t target : {int64_t{70000}, int64_t{0}, int64_t{12345}, int64_t{95999}}) {
        ASSERT_TRUE(in.Seek(target));
        EXPECT_EQ(in.Position(), target * static_cast<int64_t>(frame));
        uint8_t* p = nullptr;
        uint32_t n = 6000;
        in.GetData(p, n);
        ASSERT_GT(n, 0u) << target;
        EXPECT_EQ(0, std::memcmp(p, ref.data() + target * frame, n)) << "after seek to " << target;
    }
    EXPECT_TRUE(Drain(in).empty()); // the last frame was all that was left
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// Comments and header values.

TEST(VorbisIn, CommentsArriveDecoded) {
    TVorbisIn in;
    EXPECT_TRUE(in.CommonTags()->Artist().empty());
    in.SetFileName(OggPath("tagged"));
    TVorbisTags* tags = in.Comments();
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->Artist(), u"Кино"); // ARTIST in capitals
    EXPECT_EQ(tags->Title(), u"Группа крови");
    EXPECT_EQ(tags->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(tags->Date(), u"1988");
    EXPECT_EQ(tags->Track(), u"7");
    EXPECT_EQ(tags->Genre(), u"Post-punk"); // the last of two wins
    const TCommonTags* common = in.CommonTags();
    EXPECT_EQ(common->Artist(), u"Кино");
    EXPECT_EQ(common->Title(), u"Группа крови");
    EXPECT_EQ(common->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(common->Genre(), u"Post-punk");
    EXPECT_EQ(common->Year(), "1988");
    EXPECT_EQ(common->Track(), "7");

    in.SetFileName(OggPath("mono_44100"));
    EXPECT_TRUE(in.Comments()->Artist().empty());
    EXPECT_TRUE(common->Artist().empty());
    EXPECT_TRUE(common->Year().empty());
}

TEST(VorbisIn, BitRatesFromTheHeader) {
    TVorbisIn in;
    in.SetFileName(OggPath("stereo_44100"));
    EXPECT_GT(in.NominalBitrate(), 64000); // quality 4 aims at about 128 kbit/s
    EXPECT_LT(in.NominalBitrate(), 256000);
    EXPECT_LE(in.MaxBitrate(), 0); // not set by the encoder
    EXPECT_LE(in.MinBitrate(), 0);
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 50000;
    in.GetData(p, n);
    EXPECT_GT(in.InstantBitRate(), 0);
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST(VorbisIn, NotAVorbisStream) {
    TMemoryStream stream(ReadAll(Media("flac/s16_mono_44100.flac")));
    TVorbisIn in;
    in.SetStream(&stream);
    EXPECT_FALSE(in.Valid());
    try {
        in.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Failed to open an ogg file: -132");
    }
}

TEST(VorbisIn, MissingFile) {
    TVorbisIn in;
    in.SetFileName(Media("vorbis/does-not-exist.ogg"));
    EXPECT_FALSE(in.Valid());
    try {
        in.Comments();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Failed to open stream");
    }
    uint8_t* p = nullptr;
    uint32_t n = 100;
    EXPECT_THROW(in.GetData(p, n), EAuException); // "The Stream is not opened"
}

// Each library is required, the encoder library too; the first missing one in the load
// order is named.
struct TMissingCase {
    std::vector<int> Missing; // 0 ogg, 1 vorbis, 2 vorbisfile, 3 vorbisenc
    const char* Message;
};

void PrintTo(const TMissingCase& c, std::ostream* os) {
    *os << c.Message;
}

TLibraryLoader& Loader(int Index) {
    switch (Index) {
    case 0:
        return TVorbisIn::LibOgg();
    case 1:
        return TVorbisIn::LibVorbis();
    case 2:
        return TVorbisIn::LibVorbisFile();
    default:
        return TVorbisIn::LibVorbisEnc();
    }
}

class VorbisMissingLibrary : public testing::TestWithParam<TMissingCase> {};

TEST_P(VorbisMissingLibrary, NamesTheFirstMissingFile) {
    const TMissingCase c = GetParam();
    std::vector<std::string> real;
    for (int i = 0; i < 4; ++i)
        real.push_back(Loader(i).FileName());
    for (int i : c.Missing)
        Loader(i).OverrideFileName("missing-" + real[static_cast<size_t>(i)]);
    TVorbisIn in;
    in.SetFileName(OggPath("mono_44100"));
    EXPECT_FALSE(in.Valid());
    try {
        in.Comments();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_EQ(std::string(e.what()), c.Message);
    }
    for (int i : c.Missing)
        Loader(i).OverrideFileName(real[static_cast<size_t>(i)]);
    EXPECT_TRUE(in.Valid());
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, VorbisMissingLibrary,
    testing::Values(TMissingCase{{0}, "missing-libogg.so.0 library could not be loaded."},
                    TMissingCase{{1}, "missing-libvorbis.so.0 library could not be loaded."},
                    TMissingCase{{2}, "missing-libvorbisfile.so.3 library could not be loaded."},
                    TMissingCase{{3}, "missing-libvorbisenc.so.2 library could not be loaded."},
                    TMissingCase{{3, 1}, "missing-libvorbis.so.0 library could not be loaded."}));

// ---------------------------------------------------------------------------------------
// Damage while playing is counted where it lies: a page that fails its checksum is a gap
// the decoder goes past; a link in another format ends the stream. What comes before is
// the intact file's audio.

struct TDamageCase {
    const char* File; // under hostile/: made from the source of intact.ogg
    TDamageKind Kind;
    int64_t Frame; // where it is first met; -1: anywhere inside the file
};

class VorbisDamage : public testing::TestWithParam<TDamageCase> {};

TEST_P(VorbisDamage, IsCountedWhereItLies) {
    const TDamageCase& c = GetParam();
    TVorbisIn intactIn;
    intactIn.SetFileName(Media("hostile/intact.ogg"));
    const TBytes intact = DecodeAll(intactIn);
    ASSERT_EQ(intact.size(), 132300u * 4);
    TVorbisIn in;
    in.SetFileName(Media(std::string("hostile/") + c.File));
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    const TDamage d = in.Damage(c.Kind);
    EXPECT_EQ(d.Count, 1u);
    if (c.Frame >= 0) {
        EXPECT_EQ(d.FirstFrame, c.Frame);
    } else {
        EXPECT_GT(d.FirstFrame, 0);
        EXPECT_LT(d.FirstFrame, 132300);
    }
    ASSERT_LE(static_cast<size_t>(d.FirstFrame) * 4, out.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + d.FirstFrame * 4, intact.begin()));
}

INSTANTIATE_TEST_SUITE_P(Hostile, VorbisDamage,
                         testing::Values(TDamageCase{"bad_page.ogg", dkHole, -1},
                                         TDamageCase{"rate_change.ogg", dkFormatChange, 132300}),
                         [](const testing::TestParamInfo<TDamageCase>& i) {
                             return std::string(i.param.File).substr(0, std::string(i.param.File).find('.'));
                         });

// A chained file whose second link has another rate plays its first link, and states the
// length of that: the time shown is the time that plays.
TEST(VorbisIn, LengthOfAChainStopsAtAFormatChange) {
    TVorbisIn in;
    in.SetFileName(Media("hostile/rate_change.ogg"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.TotalSamples(), 132300);
    EXPECT_EQ(DecodeAll(in).size(), 132300u * 4);
}

// A last granule position of 2^62 states a length whose byte count overflows 64 bits: the
// length is unknown, and the audio plays as the intact file's.
TEST(VorbisIn, ImplausibleLengthIsUnknown) {
    TVorbisIn intactIn;
    intactIn.SetFileName(Media("hostile/intact.ogg"));
    const TBytes intact = DecodeAll(intactIn);
    TVorbisIn in;
    in.SetFileName(Media("hostile/granule_2e62.ogg"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.TotalTime(), 0u);
    const TBytes out = DecodeAll(in);
    ASSERT_GE(out.size(), intact.size());
    EXPECT_TRUE(std::equal(intact.begin(), intact.end(), out.begin()));
    EXPECT_EQ(in.DamageCount(), 0u);
}

// A link whose decoder libvorbis cannot set up (a damaged codebook in its setup header, files
// found by fuzzing) ends the stream there. libvorbis keeps the half-built codebooks and would
// divide by zero on them at the next read, so a seek in the same open file is refused and
// nothing more comes; a new open fails the same way when it reaches that link.
TEST(VorbisIn, LinkWhoseDecoderCannotBeSetUpEndsTheFile) {
    for (const char* file : {"link-setup-fails", "chained-second-link-setup-fails"}) {
        SCOPED_TRACE(file);
        TMemoryStream stream(
            ReadAll(TARVIO_SOURCE_DIR "/tests/fuzz/regressions/vorbis/" + std::string(file)));
        TVorbisIn in;
        in.SetStream(&stream);
        ASSERT_TRUE(in.Valid());
        const int64_t middle = in.TotalSamples() / 2;
        in.Init();
        try {
            Drain(in);
        } catch (const EAuException& e) {
            // Nothing at all decodes from a file that states a length: an error.
            EXPECT_EQ(std::string(e.what()).rfind("no audio could be decoded", 0), 0u) << e.what();
        }
        EXPECT_FALSE(in.Seek(0));
        EXPECT_TRUE(Drain(in).empty());
        in.Flush();

        ASSERT_TRUE(in.Seek(middle)); // the next run starts there
        in.Init();
        EXPECT_TRUE(Drain(in).empty());
        EXPECT_FALSE(in.Seek(0));
        EXPECT_TRUE(Drain(in).empty());
        in.Flush();
    }
}

// The length comes from the last page's granule position. One so large that the byte count
// would not fit 64 bits (found by fuzzing) leaves the length unknown; the audio still plays.
TEST(VorbisIn, ImpossibleLengthIsUnknown) {
    TBytes file = ReadAll(OggPath("stereo_44100"));
    ASSERT_FALSE(file.empty());
    size_t last = file.size();
    while (last > 0 && std::memcmp(&file[--last], "OggS", 4) != 0) {
    }
    const uint64_t granule = (uint64_t{1} << 62) + 5; // times 4 bytes a frame wraps to 20
    for (int i = 0; i < 8; ++i)
        file[last + 6 + i] = static_cast<uint8_t>(granule >> (8 * i));
    fuzz::RepairOggChecksums(file);
    TMemoryStream stream(file);
    TVorbisIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_FALSE(DecodeAll(in).empty());
}

// Damaged and foreign data: Valid false, an EAuException, or some audio; never a crash, a
// hang or a read out of bounds (this test runs under AddressSanitizer in CI).
TEST(VorbisIn, DamagedInputIsHandled) {
    const TBytes file = ReadAll(OggPath("stereo_44100"));
    ASSERT_FALSE(file.empty());
    const size_t fullSize = Reference("stereo_44100").size();
    int valid = 0;
    for (auto& [what, bytes] : DamagedCopies(file, "OggS")) {
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TVorbisIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        ++valid;
        try {
            in.Init();
            const TBytes out = Drain(in, 4096, fullSize * 2);
            EXPECT_LE(out.size(), fullSize);
            in.Seek(in.TotalSamples() / 2);
            Drain(in, 4096, fullSize * 2);
            in.BitStreams();
            in.CurrentBitStream();
        } catch (const EAuException& e) {
            EXPECT_NE(std::string(e.what()), "");
        }
        in.Flush();
    }
    EXPECT_GT(valid, 0); // damage in the audio leaves the headers readable
}

} // namespace
