// TOpusIn against the reference decoder (`opusdec --rate 48000 --no-dither`), the channel
// order of 5.1, seeking, the output and R128 gains, chained files, comments, library loading
// and damaged input.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "decoders/DecoderTestMedia.h"
#include "decoders/PcmCompare.h"
#include "decoders/opus/TOpusIn.h"
#include "decoders/opus/TOpusLibrary.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCommonTags.h"
#include "tests/fuzz/OggPages.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string OpusPath(const std::string& Name) {
    return Media("opus/" + Name + ".opus");
}
TWave Reference(const std::string& Name) {
    return ReadWave(Media("opus/" + Name + ".ref.wav"));
}

// Little-endian samples of Bits bits.
std::vector<int32_t> Values(const TBytes& Pcm, uint32_t Bits) {
    const size_t width = Bits / 8;
    std::vector<int32_t> v(Pcm.size() / width);
    for (size_t i = 0; i < v.size(); ++i) {
        const uint32_t u = Le(&Pcm[i * width], static_cast<int>(width));
        v[i] = static_cast<int32_t>(u << (32 - Bits)) >> (32 - Bits);
    }
    return v;
}

// Out (of Bits bits) equals the 16-bit Ref within Tolerance steps of 16 bits, sample by
// sample; the message names the first sample that is not.
testing::AssertionResult WithinLsb(const TBytes& Out, uint32_t Bits, const TBytes& Ref, double Tolerance) {
    const std::vector<int32_t> a = Values(Out, Bits), b = Values(Ref, 16);
    if (a.size() != b.size())
        return testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size() << " samples";
    const double scale = 1.0 / (1 << (Bits - 16));
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i] * scale - b[i]) > Tolerance)
            return testing::AssertionFailure()
                   << "sample " << i << ": " << a[i] * scale << " against " << b[i] << " of the reference";
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------
// Against the reference decoder, within one step of 16 bits (both round the same float
// samples). Small requests leave decoded bytes waiting when the library reports the end.

struct TConformanceCase {
    const char* Name;
    uint32_t Chunk;
    bool HighPrecision;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk << (c.HighPrecision ? ", 24 bits" : "");
}

class OpusConformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(OpusConformance, MatchesReferenceDecoder) {
    const TConformanceCase c = GetParam();
    const TWave ref = Reference(c.Name);
    ASSERT_FALSE(ref.Data.empty());
    TOpusIn in;
    in.SetHighPrecision(c.HighPrecision);
    in.SetFileName(OpusPath(c.Name));
    ASSERT_TRUE(in.Valid());
    const uint32_t bits = c.HighPrecision ? 24 : 16;
    EXPECT_EQ(in.BitsPerSample(), bits);
    EXPECT_EQ(in.Channels(), ref.Channels);
    EXPECT_EQ(in.SampleRate(), 48000u);
    EXPECT_EQ(in.TotalSamples(), static_cast<int64_t>(ref.Data.size() / (2 * ref.Channels)));
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(WithinLsb(out, bits, ref.Data, 1.0));
    EXPECT_EQ(in.DamageCount(), 0u) << "an intact file meets no damage";
}

INSTANTIATE_TEST_SUITE_P(
    Files, OpusConformance,
    testing::Values(TConformanceCase{"mono", 16384, false}, TConformanceCase{"mono", 999, false},
                    TConformanceCase{"stereo", 4096, false}, TConformanceCase{"stereo", 777, true},
                    TConformanceCase{"tones", 20000, false}, TConformanceCase{"tones", 1001, true},
                    TConformanceCase{"tagged", 12288, false}, TConformanceCase{"chained", 5000, false},
                    TConformanceCase{"chained", 3333, true}),
    [](const testing::TestParamInfo<TConformanceCase>& i) {
        return std::string(i.param.Name) + "_" + std::to_string(i.param.Chunk) +
               (i.param.HighPrecision ? "_24" : "");
    });

// Each channel of the 5.1 file carries its own tone; WAVE order is FL FR FC LFE BL BR.
TEST(OpusIn, SurroundComesInWaveOrder) {
    TOpusIn in;
    in.SetFileName(OpusPath("tones"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.MappingFamily(), 1);
    const std::vector<int16_t> pcm = Samples(DecodeAll(in));
    const double tones[] = {300, 500, 700, 60, 1100, 1300};
    for (uint32_t channel = 0; channel < 6; ++channel) {
        for (uint32_t other = 0; other < 6; ++other) {
            const double level = ToneLevel(pcm, 6, channel, 48000, tones[other], 4800, 38400);
            if (other == channel)
                EXPECT_GT(level, 8000) << "channel " << channel;
            else
                EXPECT_LT(level, 500) << "channel " << channel << " holds " << tones[other] << " Hz";
        }
    }
}

TEST(OpusIn, DecodesAnAssignedStreamAndRewindsIt) {
    const TWave ref = Reference("stereo");
    TMemoryStream stream(ReadAll(OpusPath("stereo")));
    TOpusIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(WithinLsb(DecodeAll(in), 16, ref.Data, 1.0));
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(WithinLsb(DecodeAll(in), 16, ref.Data, 1.0));
}

// ---------------------------------------------------------------------------------------
// Seeking: the data from a frame is the full decode's from that frame, within a step of 16
// bits, in the same run and as a start frame; in a chained file across the link boundary
// too. (The library alone settles the decoder 80 ms before the target: some 4000 steps off
// at first, fading over 300 ms.)

class OpusSeek : public testing::TestWithParam<TSeekTarget> {};

TEST_P(OpusSeek, DeliversTheTailOfTheFullDecode) {
    const TSeekTarget c = GetParam();
    TOpusIn full;
    full.SetFileName(OpusPath(c.Name));
    const TBytes all = DecodeAll(full);
    const uint32_t frame = 2 * full.Channels();
    const int64_t target = c.Sample < 0 ? static_cast<int64_t>(all.size() / frame) - 1 : c.Sample;
    const TBytes expected = SliceBytes(all, static_cast<size_t>(target) * frame, all.size());

    TOpusIn in;
    in.SetFileName(OpusPath(c.Name));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 5000;
    in.GetData(p, n);
    ASSERT_TRUE(in.Seek(target));
    EXPECT_EQ(in.Position(), target * frame);
    EXPECT_TRUE(WithinLsb(Drain(in, 4096), 16, expected, 1.0)) << "during a run";
    in.Flush();

    ASSERT_TRUE(in.Seek(target));
    EXPECT_TRUE(WithinLsb(DecodeAll(in, 10000), 16, expected, 1.0)) << "as the start frame";
}

INSTANTIATE_TEST_SUITE_P(Targets, OpusSeek,
                         testing::Values(TSeekTarget{"stereo", 0}, TSeekTarget{"stereo", 1},
                                         TSeekTarget{"stereo", 959}, TSeekTarget{"stereo", 12345},
                                         TSeekTarget{"stereo", 100000}, TSeekTarget{"stereo", -1},
                                         TSeekTarget{"tones", 23456}, TSeekTarget{"chained", 47999},
                                         TSeekTarget{"chained", 48000}, TSeekTarget{"chained", 70000}),
                         SeekTargetName);

struct TRangeCase {
    int64_t Start, End; // End -1: to the end
};

void PrintTo(const TRangeCase& c, std::ostream* os) {
    *os << c.Start << " to " << c.End;
}

class OpusRange : public testing::TestWithParam<TRangeCase> {};

TEST_P(OpusRange, DeliversExactlyTheRequestedFrames) {
    const TRangeCase c = GetParam();
    TOpusIn full;
    full.SetFileName(OpusPath("stereo"));
    const TBytes all = DecodeAll(full);
    TOpusIn in;
    in.SetFileName(OpusPath("stereo"));
    in.SetStartSample(c.Start);
    in.SetEndSample(c.End);
    const TBytes out = DecodeAll(in, 3000);
    const size_t to = c.End < 0 ? all.size() : static_cast<size_t>(c.End + 1) * 4;
    EXPECT_TRUE(WithinLsb(out, 16, SliceBytes(all, static_cast<size_t>(c.Start) * 4, to), 1.0));
}

INSTANTIATE_TEST_SUITE_P(Ranges, OpusRange,
                         testing::Values(TRangeCase{0, 12345}, TRangeCase{1000, 23456}, TRangeCase{50000, -1},
                                         TRangeCase{0, 0}, TRangeCase{143000, 143999}));

// ---------------------------------------------------------------------------------------
// Gains. The header's output gain (Q7.8 dB at byte 16 of the OpusHead packet) scales the
// output; the R128 track gain of the comments only when asked for.

TBytes WithOutputGain(const std::string& Name, int16_t Gain) {
    TBytes file = ReadAll(OpusPath(Name));
    const std::string magic = "OpusHead";
    auto at = std::search(file.begin(), file.end(), magic.begin(), magic.end());
    if (at == file.end()) {
        ADD_FAILURE() << "no OpusHead in " << Name;
        return file;
    }
    const size_t gain = static_cast<size_t>(at - file.begin()) + 16;
    file[gain] = static_cast<uint8_t>(Gain);
    file[gain + 1] = static_cast<uint8_t>(static_cast<uint16_t>(Gain) >> 8);
    fuzz::RepairOggChecksums(file);
    return file;
}

struct TGainCase {
    const char* Name;
    int16_t HeaderGain; // Q7.8 dB written into the header
    TOpusGainMode Mode;
    double ExpectedDb; // the level of the result against the file's plain decode
};

void PrintTo(const TGainCase& c, std::ostream* os) {
    *os << c.Name << " with header gain " << c.HeaderGain << "/256 dB, mode " << int{c.Mode};
}

class OpusGain : public testing::TestWithParam<TGainCase> {};

TEST_P(OpusGain, ScalesTheLevel) {
    const TGainCase c = GetParam();
    const TWave ref = Reference(c.Name);
    TMemoryStream stream(WithOutputGain(c.Name, c.HeaderGain));
    TOpusIn in;
    in.SetGainMode(c.Mode);
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_DOUBLE_EQ(in.OutputGainDb(), c.HeaderGain / 256.0);
    const std::vector<int16_t> out = Samples(DecodeAll(in)), plain = Samples(ref.Data);
    ASSERT_EQ(out.size(), plain.size());
    const double factor = std::pow(10.0, c.ExpectedDb / 20);
    // The gain is applied to the decoder's float output: a step of rounding either side.
    size_t off = 0;
    for (size_t i = 0; i < out.size(); ++i)
        if (std::abs(out[i] - plain[i] * factor) > 2.0 && ++off == 1)
            ADD_FAILURE() << "sample " << i << ": " << out[i] << " against " << plain[i] * factor;
    EXPECT_EQ(off, 0u);
}

INSTANTIATE_TEST_SUITE_P(Gains, OpusGain,
                         testing::Values(TGainCase{"stereo", -1541, ogHeader, -1541 / 256.0},
                                         TGainCase{"stereo", 512, ogHeader, 2.0},
                                         TGainCase{"tagged", 0, ogHeader, 0.0},
                                         TGainCase{"tagged", 0, ogTrack, -2.0},
                                         TGainCase{"tagged", -768, ogTrack, -5.0},
                                         TGainCase{"tagged", 0, ogAlbum, 0.0}));

TEST(OpusIn, CommentsAndHeaderValues) {
    TOpusIn in;
    EXPECT_TRUE(in.CommonTags()->Artist().empty());
    in.SetFileName(OpusPath("tagged"));
    TVorbisTags* tags = in.Comments();
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->Artist(), u"Кино");
    EXPECT_EQ(tags->Title(), u"Группа крови");
    EXPECT_EQ(tags->Album(), u"Звезда по имени Солнце");
    const TCommonTags* common = in.CommonTags();
    EXPECT_EQ(common->Artist(), u"Кино");
    EXPECT_EQ(common->Title(), u"Группа крови");
    EXPECT_EQ(common->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(common->Genre(), u"Rock");
    EXPECT_EQ(common->Year(), "1988");
    EXPECT_EQ(common->Track(), "7");
    EXPECT_EQ(in.R128TrackGainDb(), std::optional<double>(-2.0));
    EXPECT_EQ(in.R128AlbumGainDb(), std::nullopt);
    EXPECT_EQ(in.MappingFamily(), 0);
    EXPECT_EQ(in.InputSampleRate(), 48000u);
    EXPECT_GT(in.Bitrate(), 32000);

    in.SetFileName(OpusPath("stereo"));
    EXPECT_TRUE(in.Comments()->Artist().empty());
    EXPECT_TRUE(common->Artist().empty());
    EXPECT_EQ(in.R128TrackGainDb(), std::nullopt);
    EXPECT_EQ(in.InputSampleRate(), 44100u);
}

// ---------------------------------------------------------------------------------------
// Chained files.

TEST(OpusIn, ChainedFilePlaysThroughBothLinks) {
    TOpusIn in;
    in.SetFileName(OpusPath("chained"));
    EXPECT_EQ(in.TotalSamples(), 2 * 48000);
    EXPECT_EQ(in.Links(), 0); // not playing
    in.Init();
    EXPECT_EQ(in.Links(), 2);
    EXPECT_EQ(Drain(in).size(), 2u * 48000 * 4);
    EXPECT_EQ(in.DamageCount(), 0u);
    in.Flush();
}

// A second link of another channel count ends the stream where it begins; the length says so.
TEST(OpusIn, ChainStopsAtAChannelCountChange) {
    TOpusIn first;
    first.SetFileName(OpusPath("tagged"));
    const TBytes intact = DecodeAll(first);
    TOpusIn in;
    in.SetFileName(OpusPath("channel_change"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.TotalSamples(), 48000);
    const TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == intact) << FirstDifference(out, intact);
    EXPECT_EQ(in.Damage(dkFormatChange).Count, 1u);
    EXPECT_EQ(in.Damage(dkFormatChange).FirstFrame, 48000);
}

// ---------------------------------------------------------------------------------------
// Failures.

// A byte changed in the middle of an audio page: the page fails its checksum and is
// skipped, a hole counted where it lies; the audio before it is the intact file's.
TEST(OpusIn, PageFailingItsChecksumIsAHole) {
    TOpusIn intactIn;
    intactIn.SetFileName(OpusPath("stereo"));
    const TBytes intact = DecodeAll(intactIn);
    TBytes file = ReadAll(OpusPath("stereo"));
    const std::string capture = "OggS";
    std::vector<size_t> pages;
    for (auto at = file.begin();
         (at = std::search(at, file.end(), capture.begin(), capture.end())) != file.end(); ++at)
        pages.push_back(static_cast<size_t>(at - file.begin()));
    ASSERT_GE(pages.size(), 5u); // the two headers, then pages of audio
    file[(pages[3] + pages[4]) / 2] ^= 0x5A;
    TMemoryStream stream(file);
    TOpusIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    const TDamage d = in.Damage(dkHole);
    EXPECT_EQ(d.Count, 1u);
    ASSERT_GT(d.FirstFrame, 0);
    ASSERT_LE(static_cast<size_t>(d.FirstFrame) * 4, out.size());
    EXPECT_LT(out.size(), intact.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + d.FirstFrame * 4, intact.begin()));
}

TEST(OpusIn, NotAnOpusStream) {
    for (const char* other : {"vorbis/stereo_44100.ogg", "flac/s16_mono_44100.flac"}) {
        SCOPED_TRACE(other);
        TMemoryStream stream(ReadAll(Media(other)));
        TOpusIn in;
        in.SetStream(&stream);
        EXPECT_FALSE(in.Valid());
        EXPECT_EQ(ErrorText([&] { in.Init(); }), "Failed to open an opus file: no Opus audio in the stream");
    }
}

TEST(OpusIn, MissingFile) {
    TOpusIn in;
    in.SetFileName(Media("opus/does-not-exist.opus"));
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(ErrorText([&] { in.Comments(); }), "Failed to open stream");
    EXPECT_EQ(DataError(in), "The Stream is not opened");
}

TEST(OpusIn, MissingLibraryIsNamed) {
    ExpectMissingLibraryNamed<TOpusIn>(opus::TOpusLibrary::Loader(), OpusPath("mono"),
                                       {"missing-libopusfile.so.0", "libogg.so.0"});
}

// Cut, overwritten and random copies: not valid, an error, or audio no longer than the
// file's; never a crash or a hang.
TEST(OpusIn, DamagedCopiesNeverCrash) {
    const TBytes file = ReadAll(OpusPath("stereo"));
    const size_t fullSize = 3u * 48000 * 4;
    int valid = 0;
    for (auto& [what, bytes] : DamagedCopies(file, "OggS")) {
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TOpusIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        ++valid;
        try {
            in.Init();
            const TBytes out = Drain(in, 4096, fullSize * 2);
            EXPECT_LE(out.size(), fullSize + 48000 * 4);
            EXPECT_EQ(out.size() % 4, 0u);
            in.Seek(in.TotalSamples() / 2);
            Drain(in, 4096, fullSize * 2);
        } catch (const EAuException& e) {
            EXPECT_NE(std::string(e.what()), "");
        }
        in.Flush();
    }
    EXPECT_GT(valid, 0); // damage in the audio leaves the header readable
}

} // namespace
