// TWVIn against the reference decoder (`wvunpack`): every width and layout, hybrid files with
// and without their correction data, float clipping, seeking, tags, the library wrapper's
// messages and damaged input.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include "decoders/DecoderTestMedia.h"
#include "decoders/wavpack/TWVIn.h"
#include "decoders/wavpack/TWavpackDecoder.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TAPEv2Tags.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string WvPath(const std::string& Name) {
    return Media("wavpack/" + Name + ".wv");
}
TWave Reference(const std::string& Name) {
    return ReadWave(Media("wavpack/" + Name + ".ref.wav"));
}

// The decoder's rule for float samples: 32-bit integers, clipped at +/-1.0.
int32_t FloatToInt(float F) {
    if (std::isnan(F)) return 0;
    if (F >= 1) return INT32_MAX;
    if (F <= -1) return INT32_MIN;
    return static_cast<int32_t>(std::floor(static_cast<double>(F) * 2147483647.0));
}

TBytes FloatsToInts(const TBytes& Floats) {
    TBytes out(Floats.size());
    for (size_t i = 0; i + 4 <= Floats.size(); i += 4) {
        float f;
        std::memcpy(&f, &Floats[i], 4);
        const int32_t v = FloatToInt(f);
        std::memcpy(&out[i], &v, 4);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Bit-exact output for every width, layout and mode, in requests of odd sizes: not a
// multiple of the frame, and (7 bytes against 18-byte frames) smaller than one frame.

struct TConformanceCase {
    const char* Name;
    uint32_t Chunk;
    bool Hybrid, Lossless;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk;
}

class WavpackConformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(WavpackConformance, MatchesReferenceDecoder) {
    const TConformanceCase c = GetParam();
    const TWave ref = Reference(c.Name);
    ASSERT_FALSE(ref.Data.empty());
    TWVIn in;
    in.SetFileName(WvPath(c.Name));
    ASSERT_TRUE(in.Valid());
    ExpectFormatOf(in, ref);
    EXPECT_EQ(in.Hybrid(), c.Hybrid);
    EXPECT_EQ(in.Lossless(), c.Lossless);
    EXPECT_EQ(in.Mode().Contains(wvmfWVC), c.Hybrid && c.Lossless);
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
    EXPECT_EQ(in.DamageCount(), 0u) << "an intact file meets no damage";
}

// A block whose check fails is counted where it starts; the library hands it out all the
// same, so the length stays, and what comes before it is the intact audio.
TEST(WavpackIn, FailedBlockCheckIsCounted) {
    const TBytes intact = ReadWave(Media("hostile/intact.wav")).Data;
    TWVIn in;
    in.SetFileName(Media("hostile/bad_block.wv"));
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in, 10000);
    EXPECT_EQ(out.size(), intact.size());
    const TDamage d = in.Damage(dkChecksum);
    EXPECT_EQ(d.Count, 1u);
    EXPECT_EQ(in.DamageCount(), 1u);
    ASSERT_GT(d.FirstFrame, 0);
    ASSERT_LT(d.FirstFrame, 132300);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + d.FirstFrame * 4, intact.begin()));
    EXPECT_FALSE(out == intact);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WavpackConformance,
    testing::Values(TConformanceCase{"s8_stereo_44100", 1001, false, true},
                    TConformanceCase{"s16_mono_44100", 333, false, true},
                    TConformanceCase{"s16_stereo_44100", 16384, false, true},
                    TConformanceCase{"s16_6ch_48000", 7777, false, true},
                    TConformanceCase{"s24_stereo_96000", 65536, false, true},
                    TConformanceCase{"s24_6ch_44100", 7, false, true},
                    TConformanceCase{"s32_stereo_48000", 12345, false, true},
                    TConformanceCase{"s20_stereo_44100", 4999, false, true},
                    // with its .wvc: lossless again; alone, or with another file's .wvc: the lossy part
                    TConformanceCase{"hybrid", 16384, true, true},
                    TConformanceCase{"hybrid_alone", 16384, true, false},
                    TConformanceCase{"hybrid_foreign", 3000, true, false},
                    TConformanceCase{"tagged", 16384, false, true},
                    TConformanceCase{"id3v1", 16384, false, true}),
    [](const testing::TestParamInfo<TConformanceCase>& i) { return std::string(i.param.Name); });

// Float data: 32-bit integers, clipped at +/-1.0; NaN becomes silence.
TEST(WavpackIn, FloatSamplesBecomeClippedIntegers) {
    for (const char* name : {"f32_stereo_44100", "float_edges"}) {
        SCOPED_TRACE(name);
        const TWave ref = Reference(name);
        TWVIn in;
        in.SetFileName(WvPath(name));
        ASSERT_TRUE(in.Valid());
        EXPECT_TRUE(in.Mode().Contains(wvmfFloat));
        EXPECT_EQ(in.BitsPerSample(), 32u);
        const TBytes out = DecodeAll(in, 10000);
        const TBytes expected = FloatsToInts(ref.Data);
        EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    }
    // The edge values themselves: 0, 0.5, -0.5, 1, -1, 1.5, -2, 1 - 2^-24, -(1 - 2^-24),
    // 1e-10, -1e-10, NaN, inf, -inf, 3e38, -3e38, 0.25, -0.125.
    const int32_t edges[] = {0,         1073741823, -1073741824, INT32_MAX, INT32_MIN, INT32_MAX,
                             INT32_MIN, 2147483519, -2147483519, 0,         -1,        0,
                             INT32_MAX, INT32_MIN,  INT32_MAX,   INT32_MIN, 536870911, -268435456};
    TWVIn in;
    in.SetFileName(WvPath("float_edges"));
    const TBytes out = DecodeAll(in);
    ASSERT_GE(out.size(), sizeof edges);
    for (size_t i = 0; i < std::size(edges); ++i) {
        int32_t v;
        std::memcpy(&v, &out[4 * i], 4);
        EXPECT_EQ(v, edges[i]) << "sample " << i;
    }
}

// The caller's streams are read instead of files: the main stream and the correction
// stream. Setting the correction stream on an open file reopens it with the new one.
TEST(WavpackIn, AssignedStreamsWithAndWithoutCorrections) {
    const TWave lossless = Reference("hybrid");
    const TWave lossy = Reference("hybrid_alone");
    TMemoryStream stream(ReadAll(WvPath("hybrid")));
    TMemoryStream corrections(ReadAll(Media("wavpack/hybrid.wvc")));
    TWVIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.Hybrid());
    EXPECT_FALSE(in.Lossless()); // no file name, so no .wvc to look for
    EXPECT_TRUE(DecodeAll(in) == lossy.Data);
    EXPECT_EQ(stream.Position(), 0); // rewound at close

    ASSERT_TRUE(in.Valid());
    in.SetCorrectionsStream(&corrections); // the open file is closed
    EXPECT_EQ(in.CorrectionsStream(), &corrections);
    EXPECT_TRUE(in.Lossless());
    EXPECT_TRUE(in.Mode().Contains(wvmfWVC));
    TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == lossless.Data) << FirstDifference(out, lossless.Data);

    in.SetCorrectionsStream(nullptr);
    EXPECT_FALSE(in.Lossless());
}

// A correction stream that is cut short or is noise: the blocks it spoils play lossy;
// nothing is read out of bounds.
TEST(WavpackIn, DamagedCorrectionStreamDecodesTheLossyPart) {
    const TBytes wvc = ReadAll(Media("wavpack/hybrid.wvc"));
    const size_t bytes = Reference("hybrid").Data.size();
    TBytes noise(wvc.size());
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 7919 >> 3);
    for (const TBytes& damaged : {SliceBytes(wvc, 0, wvc.size() / 2), SliceBytes(wvc, 0, 20), noise}) {
        TMemoryStream stream(ReadAll(WvPath("hybrid")));
        TMemoryStream corrections(damaged);
        TWVIn in;
        in.SetStream(&stream);
        in.SetCorrectionsStream(&corrections);
        ASSERT_TRUE(in.Valid());
        EXPECT_EQ(DecodeAll(in).size(), bytes);
    }
}

// A stream that cannot seek, like a pipe that can only put back the byte it just read: the
// library cannot look for the length at the end of the file, so a file whose header has no
// sample count has an unknown size, and plays to its end all the same.
class TPipeStream : public TStream {
public:
    explicit TPipeStream(TBytes Data) : FData(std::move(Data)) {}
    int32_t Read(void* Buffer, int32_t Count) override {
        const size_t n = std::min(FData.size() - FPos, static_cast<size_t>(std::max(Count, 0)));
        std::memcpy(Buffer, FData.data() + FPos, n);
        FPos += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
        const auto here = static_cast<int64_t>(FPos);
        if (Origin == TSeekOrigin::soCurrent && Offset == -1 && FPos > 0) return static_cast<int64_t>(--FPos);
        const bool stays = (Origin == TSeekOrigin::soCurrent && Offset == 0) ||
                           (Origin == TSeekOrigin::soBeginning && Offset == here);
        return stays ? here : -1;
    }
    int64_t Size() override { return -1; }
    void SetSize(int64_t) override { throw EAuException("not supported"); }

private:
    TBytes FData;
    size_t FPos = 0;
};

TEST(WavpackIn, UnknownLengthPlaysToTheEnd) {
    const TWave ref = Reference("no_length");
    TPipeStream stream(ReadAll(WvPath("no_length")));
    TWVIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Size(), -1);
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.TotalTime(), 0u);
    const TBytes out = DecodeAll(in, 5000);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
}

// ---------------------------------------------------------------------------------------
// Seeking lands exactly on the requested frame: the first, one in the middle and the last.

struct TSeekCase {
    const char* Name;
    int64_t Sample; // -1: the last frame; -2: the middle
};

void PrintTo(const TSeekCase& c, std::ostream* os) {
    *os << c.Name << " at " << c.Sample;
}

class WavpackSeek : public testing::TestWithParam<TSeekCase> {};

TEST_P(WavpackSeek, DeliversTheReferenceFromTheTarget) {
    const TSeekCase c = GetParam();
    const TWave ref = Reference(c.Name);
    const size_t frame = ref.Channels * ref.Bits / 8;
    const int64_t total = static_cast<int64_t>(ref.Data.size() / frame);
    const int64_t target = c.Sample == -1 ? total - 1 : c.Sample == -2 ? total / 2 + 13 : c.Sample;
    const TBytes expected = SliceBytes(ref.Data, static_cast<size_t>(target) * frame, ref.Data.size());

    // While playing: after a little data and a piece of a frame, whose rest must not
    // come out after the seek.
    TWVIn in;
    in.SetFileName(WvPath(c.Name));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 5000;
    in.GetData(p, n);
    n = static_cast<uint32_t>(frame - 1);
    in.GetData(p, n);
    ASSERT_TRUE(in.Seek(target));
    EXPECT_EQ(in.Position(), target * static_cast<int64_t>(frame));
    TBytes out = Drain(in, 4096);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    in.Flush();

    // Before playing: the target becomes the start sample.
    ASSERT_TRUE(in.Seek(target));
    out = DecodeAll(in, 10000);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Targets, WavpackSeek,
                         testing::Values(TSeekCase{"s16_stereo_44100", 0}, TSeekCase{"s16_stereo_44100", -2},
                                         TSeekCase{"s16_stereo_44100", -1}, TSeekCase{"s24_6ch_44100", -2},
                                         TSeekCase{"s24_6ch_44100", -1}, TSeekCase{"hybrid", -2},
                                         TSeekCase{"hybrid_alone", -1}, TSeekCase{"s8_stereo_44100", 1}),
                         [](const testing::TestParamInfo<TSeekCase>& i) {
                             return std::string(i.param.Name) + "_" +
                                    (i.param.Sample == -1   ? "last"
                                     : i.param.Sample == -2 ? "middle"
                                                            : std::to_string(i.param.Sample));
                         });

TEST(WavpackIn, SeekToTheEndEndsTheStreamAndASeekBackPlaysAgain) {
    const TWave ref = Reference("s16_mono_44100");
    TWVIn in;
    in.SetFileName(WvPath("s16_mono_44100"));
    in.Init();
    ASSERT_TRUE(in.Seek(in.TotalSamples()));
    EXPECT_TRUE(Drain(in).empty());
    in.Flush();
    in.Init();
    ASSERT_TRUE(in.Seek(100));
    EXPECT_TRUE(Drain(in) == SliceBytes(ref.Data, 200, ref.Data.size()));
    in.Flush();
}

// Targets are not cut to 32 bits: 2^32 + 10 is beyond this file, not frame 10.
TEST(WavpackIn, SeekTargetsKeepAll64Bits) {
    TMemoryStream stream(ReadAll(WvPath("s16_mono_44100")));
    TWavpackDecoder decoder(&stream, nullptr, {wvofTags}, 0);
    EXPECT_TRUE(decoder.SeekSample(10));
    EXPECT_EQ(decoder.SampleIndex(), 10);
    EXPECT_FALSE(decoder.SeekSample((int64_t{1} << 32) + 10));
}

TEST(WavpackIn, StartAndEndSampleCutTheRun) {
    const TWave ref = Reference("s24_stereo_96000");
    TWVIn in;
    in.SetFileName(WvPath("s24_stereo_96000"));
    in.SetStartSample(5000);
    in.SetEndSample(20000);
    const TBytes out = DecodeAll(in, 65536); // more than is left: cut to the end sample
    const TBytes expected = SliceBytes(ref.Data, 5000 * 6, 20001 * 6);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

// ---------------------------------------------------------------------------------------
// Tags.

TEST(WavpackIn, ApeTagFillsApeAndCommonTags) {
    TWVIn in;
    in.SetFileName(WvPath("tagged"));
    TAPEv2Tags* ape = in.APEv2Tags();
    EXPECT_EQ(ape->Title(), u"Группа крови");
    EXPECT_EQ(ape->Artist(), u"Кино");
    EXPECT_EQ(ape->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(ape->Genre(), u"Рок");
    EXPECT_EQ(ape->DebutAlbum(), u"Начальник Камчатки");
    EXPECT_EQ(ape->Year(), "1988");
    EXPECT_EQ(ape->Track(), "7");
    EXPECT_TRUE(in.Id3v1Tags()->Title().empty());
    EXPECT_NE(in.Cuesheet().find(u"TITLE \"Группа крови\""), std::u16string::npos);
    const TCommonTags& common = *in.CommonTags();
    EXPECT_EQ(common.Title(), u"Группа крови");
    EXPECT_EQ(common.Artist(), u"Кино");
    EXPECT_EQ(common.Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(common.Genre(), u"Рок");
    EXPECT_EQ(common.Year(), "1988");
    EXPECT_EQ(common.Track(), "7");
    EXPECT_TRUE(in.Mode().Contains(wvmfAPETag));
}

// ID3v1 text is in the legacy code page (CP1251 here); the common tags stay empty.
TEST(WavpackIn, Id3v1TagFillsOnlyItsContainer) {
    TWVIn in;
    in.SetFileName(WvPath("id3v1"));
    TId3v1Tags* id3 = in.Id3v1Tags();
    EXPECT_EQ(TCodePage::ToWide(id3->Title()), u"Группа крови");
    EXPECT_EQ(TCodePage::ToWide(id3->Artist()), u"Кино");
    EXPECT_EQ(TCodePage::ToWide(id3->Album()), u"Звезда по имени Солнце");
    EXPECT_EQ(TCodePage::ToWide(id3->Comment()), u"Комментарий");
    EXPECT_EQ(id3->Year(), 1988);
    EXPECT_EQ(id3->Track(), 7);
    EXPECT_EQ(id3->Genre(), "Rock");
    EXPECT_TRUE(in.APEv2Tags()->Title().empty());
    EXPECT_TRUE(in.CommonTags()->Title().empty());
    EXPECT_TRUE(in.CommonTags()->Artist().empty());
    EXPECT_TRUE(in.CommonTags()->Year().empty());
    EXPECT_TRUE(in.Cuesheet().empty());
    EXPECT_TRUE(in.Mode().Contains(wvmfValidTag));
    EXPECT_FALSE(in.Mode().Contains(wvmfAPETag));
}

TEST(WavpackIn, FileWithoutTagsClearsBothContainers) {
    TWVIn in;
    in.SetFileName(WvPath("tagged"));
    ASSERT_FALSE(in.APEv2Tags()->Title().empty());
    in.SetFileName(WvPath("id3v1"));
    ASSERT_FALSE(in.Id3v1Tags()->Title().empty());
    in.SetFileName(WvPath("s16_stereo_44100"));
    EXPECT_TRUE(in.APEv2Tags()->Title().empty());
    EXPECT_TRUE(in.APEv2Tags()->Artist().empty());
    EXPECT_TRUE(in.Id3v1Tags()->Title().empty());
    EXPECT_TRUE(in.CommonTags()->Title().empty());
    EXPECT_FALSE(in.Mode().Contains(wvmfValidTag));
}

// ---------------------------------------------------------------------------------------
// The library wrapper and the input's failures.

TEST(WavpackIn, WrapperOpensFilesAndStreamsAndNamesWhatFails) {
    TWavpackDecoder byName("  " + WvPath("s16_6ch_48000") + " ", {}, 0);
    EXPECT_EQ(byName.NumChannels(), 6);
    EXPECT_EQ(byName.ChannelMask(), 0x3F);
    EXPECT_EQ(byName.NumSamples(), 48000);
    EXPECT_TRUE(byName.Mode().Contains(wvmfVeryHigh));
    int32_t samples[6 * 10];
    EXPECT_EQ(byName.UnpackSamples(samples, 10), 10u);

    auto message = [](auto&& Make) -> std::string {
        try {
            Make();
        } catch (const EWavpackException& e) {
            return e.what();
        }
        return "no exception";
    };
    TMemoryStream junk(TBytes(1000, 0x55));
    EXPECT_EQ(message([] { TWavpackDecoder d(nullptr, nullptr, {}, 0); }), "AStream is nil!");
    EXPECT_EQ(message([] { TWavpackDecoder d(std::string(" \t "), {}, 0); }), "AFilename is empty!");
    EXPECT_EQ(message([&] {
                  TWavpackDecoder d(&junk, nullptr, {}, 0);
              }).rfind("Unable to open WavPack-stream! Error: \"", 0),
              0u);
    EXPECT_EQ(message([] {
                  TWavpackDecoder d(Media("wavpack/tagged.ref.wav"), {}, 0);
              }).rfind("Unable to open WavPack-file! Error: \"", 0),
              0u);
}

TEST(WavpackIn, WithoutAFileName) {
    TWVIn in;
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(ErrorText([&] { in.APEv2Tags(); }), "File name is not assigned");
    EXPECT_EQ(DataError(in), "The Stream is not opened");
}

TEST(WavpackIn, MissingFileIsNotValid) {
    TWVIn in;
    in.SetFileName(Media("wavpack/does-not-exist.wv"));
    EXPECT_FALSE(in.Valid());
    EXPECT_THROW(in.Init(), EAuException);
    in.Flush();
}

TEST(WavpackIn, MissingLibraryNamesTheFile) {
    const std::string real = WavpackLibrary().FileName();
    WavpackLibrary().OverrideFileName("libwavpack-missing.so.1");
    TWVIn in;
    in.SetFileName(WvPath("s16_mono_44100"));
    try {
        in.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "libwavpack-missing.so.1 library could not be loaded");
    }
    in.Flush();
    EXPECT_FALSE(in.Valid());
    TMemoryStream stream(ReadAll(WvPath("s16_mono_44100")));
    try {
        TWavpackDecoder d(&stream, nullptr, {}, 0);
        ADD_FAILURE() << "no exception";
    } catch (const EWavpackException& e) {
        EXPECT_STREQ(e.what(), "WavPack library \"libwavpack-missing.so.1\" not loaded!");
    }

    // A library without the entry points: each call names the one it misses.
    WavpackLibrary().OverrideFileName("libFLAC.so.12");
    try {
        in.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Function \"WavpackOpenFileInputEx64\" not found in WavPack library!");
    }
    in.Flush();
    WavpackLibrary().OverrideFileName(real);
    EXPECT_TRUE(in.Valid());
}

// Damaged and foreign data: Valid false, an EAuException, or some audio; never a crash, a
// hang or a read out of bounds (this test runs under AddressSanitizer in CI).
TEST(WavpackIn, DamagedInputIsHandled) {
    const size_t fullSize = Reference("s16_stereo_44100").Data.size();
    // The hybrid file is read with its intact correction data.
    TMemoryStream corrections(ReadAll(Media("wavpack/hybrid.wvc")));
    for (const char* name : {"s16_stereo_44100", "tagged", "f32_stereo_44100", "hybrid"}) {
        const TBytes file = ReadAll(WvPath(name));
        ASSERT_FALSE(file.empty());
        int valid = 0;
        for (auto& [what, bytes] : DamagedCopies(file, "wvpk")) {
            SCOPED_TRACE(std::string(name) + ": " + what);
            TMemoryStream stream(bytes);
            TWVIn in;
            in.SetStream(&stream);
            if (std::string(name) == "hybrid") in.SetCorrectionsStream(&corrections);
            if (!in.Valid()) continue;
            ++valid;
            try {
                in.Init();
                const TBytes out = Drain(in, 4096, fullSize * 2);
                EXPECT_LE(out.size(), fullSize);
                in.Seek(in.TotalSamples() / 2);
                Drain(in, 4093, fullSize * 2);
            } catch (const EAuException& e) {
                EXPECT_NE(std::string(e.what()), "");
            }
            in.Flush();
        }
        EXPECT_GT(valid, 0) << name; // damage in the audio leaves the header readable
    }
}

} // namespace
