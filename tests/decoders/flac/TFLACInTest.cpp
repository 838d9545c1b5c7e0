// TFLACIn against the reference decoder (`flac -d`), its seeking, MD5 check, comments,
// failure messages and damaged input.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "decoders/DecoderTestMedia.h"
#include "decoders/flac/TFLACIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TAuFileStream.h"
#include "pipeline/TMemoryStream.h"
#include "pipeline/TWaveOut.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string FlacPath(const std::string& Name) {
    return Media("flac/" + Name + ".flac");
}
TWave Reference(const std::string& Name) {
    return ReadWave(Media("flac/" + Name + ".ref.wav"));
}

// ---------------------------------------------------------------------------------------
// Bit-exact output for every width, layout and rate, in odd-sized requests (not a multiple
// of the frame size, smaller and larger than a block).

class FlacConformance : public testing::TestWithParam<TChunkCase> {};

TEST_P(FlacConformance, MatchesReferenceDecoder) {
    const TChunkCase c = GetParam();
    TWave ref = Reference(c.Name);
    ASSERT_FALSE(ref.Data.empty());
    TFLACIn in;
    in.SetFileName(FlacPath(c.Name));
    ASSERT_TRUE(in.Valid());
    ExpectFormatOf(in, ref);
    TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
    EXPECT_EQ(in.DamageCount(), 0u) << "an intact file meets no damage";
}

INSTANTIATE_TEST_SUITE_P(
    Files, FlacConformance,
    testing::Values(TChunkCase{"s8_mono_44100", 1001}, TChunkCase{"s8_6ch_48000", 16384},
                    TChunkCase{"s16_mono_44100", 333}, TChunkCase{"s16_stereo_44100", 16384},
                    TChunkCase{"s16_6ch_48000", 7777}, TChunkCase{"s24_stereo_96000", 65536},
                    TChunkCase{"s24_6ch_44100", 4999}, TChunkCase{"s32_stereo_48000", 12345},
                    TChunkCase{"varblock_stereo_44100", 3000}, TChunkCase{"tagged", 16384},
                    TChunkCase{"d4_mono_8000", 999}, TChunkCase{"d12_stereo_44100", 16384},
                    TChunkCase{"d15_mono_22050", 4097}, TChunkCase{"d20_stereo_48000", 10000},
                    TChunkCase{"d20_wide_predictor", 16384}),
    [](const testing::TestParamInfo<TChunkCase>& i) { return std::string(i.param.Name); });

// Depths between the widths travel in the next width up, left-justified; the stream's own
// depth stays known.
TEST(FlacIn, DepthsBetweenWidthsTakeTheNextWidthUp) {
    struct TCase {
        const char* Name;
        uint32_t Depth, Width;
    };
    for (const TCase& c : {TCase{"d4_mono_8000", 4, 8}, TCase{"d12_stereo_44100", 12, 16},
                           TCase{"d15_mono_22050", 15, 16}, TCase{"d20_stereo_48000", 20, 24},
                           TCase{"s24_stereo_96000", 24, 24}, TCase{"s32_stereo_48000", 32, 32}}) {
        TFLACIn in;
        in.SetFileName(FlacPath(c.Name));
        EXPECT_EQ(in.StreamBitsPerSample(), c.Depth) << c.Name;
        EXPECT_EQ(in.BitsPerSample(), c.Width) << c.Name;
    }
}

// A stream cut from a capture starts at a frame, with no marker and no metadata: its first
// frame gives the format, the length is unknown, and it plays the samples of the stream it
// was cut from, from that frame on.
TEST(FlacIn, StreamStartingAtAFramePlays) {
    TWave ref = Reference("s16_stereo_44100");
    TFLACIn in;
    in.SetFileName(FlacPath("frames_only"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.TotalSamples(), -1);
    const TBytes out = DecodeAll(in, 5000);
    const size_t skipped = 5 * 4096 * 4; // five frames of 4096 samples
    ASSERT_EQ(out.size() + skipped, ref.Data.size());
    const TBytes expected(ref.Data.begin() + static_cast<std::ptrdiff_t>(skipped), ref.Data.end());
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    EXPECT_TRUE(in.IsMD5SignatureValid()) << "no signature to check";
}

// Requests smaller than one frame still make progress and keep the byte stream intact.
TEST(FlacIn, TinyRequestsDeliverTheSameBytes) {
    TWave ref = Reference("s24_6ch_44100");
    TFLACIn in;
    in.SetFileName(FlacPath("s24_6ch_44100"));
    in.Init();
    TBytes out = Drain(in, 7);
    in.Flush();
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
}

// The caller's stream is read instead of a file, and rewound when the file is closed.
TEST(FlacIn, DecodesAnAssignedStream) {
    TWave ref = Reference("s16_mono_44100");
    TMemoryStream stream(ReadAll(FlacPath("s16_mono_44100")));
    TFLACIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(DecodeAll(in) == ref.Data); // and can be played again
}

// A stream information block without a sample count: the length is unknown, the tell
// callback reports "unsupported", and the whole audio still arrives.
TEST(FlacIn, StreamWithoutSampleCountPlaysToItsEnd) {
    TWave ref = Reference("no_length");
    TFLACIn in;
    in.SetFileName(FlacPath("no_length"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.TotalTime(), 0u);
    TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
}

// Through a whole chain: the decoder pulled by an output that records a WAV file.
TEST(FlacIn, PlaysIntoAWaveFile) {
    TWave ref = Reference("s24_stereo_96000");
    const std::string wav = TempPath("flac_pipeline.wav");
    TFLACIn in;
    in.SetFileName(FlacPath("s24_stereo_96000"));
    PlayIntoWaveFile(in, wav);
    TWave got = ReadWave(wav);
    EXPECT_EQ(got.Bits, 24u);
    EXPECT_EQ(got.SampleRate, 96000u);
    EXPECT_TRUE(got.Data == ref.Data) << FirstDifference(got.Data, ref.Data);
    std::remove(wav.c_str());
}

// ---------------------------------------------------------------------------------------
// Seeking lands exactly on the requested sample, wherever it lies relative to the blocks.

class FlacSeek : public testing::TestWithParam<TSeekTarget> {};

TEST_P(FlacSeek, DeliversTheReferenceFromTheTarget) {
    const TSeekTarget c = GetParam();
    TFLACIn in;
    in.SetFileName(FlacPath(c.Name));
    ExpectSeekDeliversTheTail(in, Reference(c.Name), c.Sample);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FlacSeek,
    testing::Values(TSeekTarget{"s16_stereo_44100", 0}, TSeekTarget{"s16_stereo_44100", 1000},
                    TSeekTarget{"s16_stereo_44100", 4095}, TSeekTarget{"s16_stereo_44100", 4096},
                    TSeekTarget{"s16_stereo_44100", 4097}, TSeekTarget{"s16_stereo_44100", 100000},
                    TSeekTarget{"s16_stereo_44100", -1}, TSeekTarget{"varblock_stereo_44100", 4607},
                    TSeekTarget{"varblock_stereo_44100", 44100}, TSeekTarget{"varblock_stereo_44100", 50000},
                    TSeekTarget{"s24_6ch_44100", 12345}, TSeekTarget{"s8_mono_44100", 70000}),
    SeekTargetName);

TEST(FlacIn, SeekToTheEndEndsTheStream) {
    TFLACIn in;
    in.SetFileName(FlacPath("s16_mono_44100"));
    in.Init();
    ASSERT_TRUE(in.Seek(in.TotalSamples()));
    EXPECT_TRUE(Drain(in).empty());
    // and a seek back plays again
    in.Flush();
    in.Init();
    ASSERT_TRUE(in.Seek(100));
    EXPECT_FALSE(Drain(in).empty());
    in.Flush();
}

// A seek into a damaged part of the stream fails: the caller is told, and playing goes on
// from the very frame that was due, with the position where it was.
TEST(FlacIn, FailedSeekLeavesThePositionWhereItWas) {
    TWave ref = Reference("s16_stereo_44100");
    TBytes file = ReadAll(FlacPath("s16_stereo_44100"));
    std::fill(file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2), file.end(), 0);
    TMemoryStream stream(file);
    TFLACIn in;
    in.SetStream(&stream);
    in.SetStartSample(2000);
    in.Init();
    TBytes played(10000);
    bool eof = false;
    ASSERT_EQ(in.FillBuffer(played.data(), 10000, eof), 10000u);
    EXPECT_FALSE(in.Seek(100000));
    EXPECT_EQ(in.Position(), 10000);
    const TBytes next = Drain(in, 4000);
    ASSERT_GE(next.size(), 4000u);
    const TBytes expected(ref.Data.begin() + 2000 * 4 + 10000, ref.Data.begin() + 2000 * 4 + 10000 + 4000);
    EXPECT_TRUE(TBytes(next.begin(), next.begin() + 4000) == expected)
        << FirstDifference(TBytes(next.begin(), next.begin() + 4000), expected);
    in.Flush();
}

TEST(FlacIn, StartAndEndSampleCutTheRun) {
    TWave ref = Reference("s16_stereo_44100");
    TFLACIn in;
    in.SetFileName(FlacPath("s16_stereo_44100"));
    in.SetStartSample(5000);
    in.SetEndSample(20000);
    TBytes out = DecodeAll(in, 3333);
    TBytes expected(ref.Data.begin() + 5000 * 4, ref.Data.begin() + 20001 * 4);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

// A larger block followed by smaller ones: the buffer made for the large one is reused.
TEST(FlacIn, GrowingAndShrinkingBlocksAcrossRepeatedSeeks) {
    TWave ref = Reference("varblock_stereo_44100");
    TFLACIn in;
    in.SetFileName(FlacPath("varblock_stereo_44100"));
    in.Init();
    for (int64_t target : {60000, 10, 44099, 4608, 87000}) {
        ASSERT_TRUE(in.Seek(target));
        uint8_t* p = nullptr;
        uint32_t n = 6000 * 4;
        in.GetData(p, n);
        ASSERT_GT(n, 0u);
        EXPECT_EQ(0, std::memcmp(p, ref.Data.data() + target * 4, n)) << "after seek to " << target;
    }
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// MD5 signature check.

TEST(FlacIn, MD5SignatureMatchesAfterAFullDecode) {
    TFLACIn in;
    in.SetCheckMD5Signature(true);
    in.SetFileName(FlacPath("s16_stereo_44100"));
    DecodeAll(in);
    EXPECT_TRUE(in.IsMD5SignatureValid());
}

TEST(FlacIn, MD5SignatureFailsForAlteredAudio) {
    TFLACIn in;
    in.SetCheckMD5Signature(true);
    in.SetFileName(FlacPath("md5_altered"));
    ASSERT_TRUE(in.Valid());
    TBytes out = DecodeAll(in);
    EXPECT_EQ(out.size(), Reference("s16_stereo_44100").Data.size()); // every frame decodes
    EXPECT_FALSE(in.IsMD5SignatureValid());
}

TEST(FlacIn, SeekSwitchesTheMD5CheckOff) {
    TFLACIn in;
    in.SetCheckMD5Signature(true);
    in.SetFileName(FlacPath("md5_altered"));
    in.Init();
    ASSERT_TRUE(in.Seek(10));
    Drain(in);
    in.Flush();
    EXPECT_FALSE(in.CheckMD5Signature());
    EXPECT_TRUE(in.IsMD5SignatureValid()); // not checked
}

// ---------------------------------------------------------------------------------------
// Comments.

TEST(FlacIn, CommentsFillVorbisAndCommonTags) {
    TFLACIn in;
    EXPECT_TRUE(in.CommonTags()->Title().empty()); // before any file
    in.SetFileName(FlacPath("tagged"));
    TVorbisTags* tags = in.VorbisComments();
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->Title(), u"Группа крови"); // names in any case; the first title wins
    EXPECT_EQ(tags->Artist(), u"Кино");
    EXPECT_EQ(tags->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(tags->Date(), u"1988");
    EXPECT_EQ(tags->Track(), u"7");
    EXPECT_EQ(tags->Genre(), u"Rock");
    EXPECT_EQ(tags->Disc(), u"2");
    EXPECT_EQ(tags->TrackGain(), u"-6.50 dB");
    EXPECT_EQ(tags->TrackPeak(), u"0.98");
    EXPECT_TRUE(tags->AlbumGain().empty());
    TCommonTags* common = in.CommonTags();
    EXPECT_EQ(common->Title(), u"Группа крови");
    EXPECT_EQ(common->Artist(), u"Кино");
    EXPECT_EQ(common->Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(common->Genre(), u"Rock");
    EXPECT_EQ(common->Year(), "1988");
    EXPECT_EQ(common->Track(), "7");

    // The next file's tags replace them all.
    in.SetFileName(FlacPath("s16_mono_44100"));
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.VorbisComments()->Title().empty());
    EXPECT_TRUE(common->Title().empty());
    EXPECT_TRUE(common->Year().empty());
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST(FlacIn, WithoutAFileName) {
    TFLACIn in;
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(ErrorText([&] { in.VorbisComments(); }), "File name is not assigned");
    EXPECT_EQ(DataError(in), "The Stream is not opened");
}

TEST(FlacIn, MissingFileIsNotValid) {
    TFLACIn in;
    in.SetFileName(Media("flac/does-not-exist.flac"));
    EXPECT_FALSE(in.Valid());
    EXPECT_THROW(in.Init(), EAuException);
}

TEST(FlacIn, MissingLibraryNamesTheFile) {
    TFLACIn in;
    in.SetFileName(FlacPath("s16_mono_44100"));
    {
        TLibraryOverride missing(TFLACIn::LibFLAC(), "libFLAC-missing.so.12");
        EXPECT_EQ(ErrorText([&] { in.Init(); }), "libFLAC-missing.so.12 library could not be loaded.");
        in.Flush();
        EXPECT_FALSE(in.Valid());
    }
    EXPECT_TRUE(in.Valid());
}

// ---------------------------------------------------------------------------------------
// Damage met while playing: counted where it lies, and playing goes on through it (the
// file stays valid); what comes before it is the intact audio. Each run counts anew.

struct TDamageCase {
    const char* File; // under hostile/: the file of intact.wav, damaged
    TDamageKind Kind;
    int64_t Frame; // where it is first met; -1: where the data ends
};

void PrintTo(const TDamageCase& c, std::ostream* os) {
    *os << c.File;
}

class FlacDamage : public testing::TestWithParam<TDamageCase> {};

TEST_P(FlacDamage, IsCountedAndPlayingGoesOn) {
    const TDamageCase& c = GetParam();
    const TBytes intact = ReadWave(Media("hostile/intact.wav")).Data;
    TFLACIn in;
    in.SetFileName(Media(std::string("hostile/") + c.File));
    ASSERT_TRUE(in.Valid());
    in.Init();
    const TBytes out = Drain(in, 10000);
    EXPECT_TRUE(in.Valid()) << "damage while playing leaves the file valid";
    const TDamage d = in.Damage(c.Kind);
    EXPECT_GE(d.Count, 1u);
    EXPECT_EQ(d.FirstFrame, c.Frame >= 0 ? c.Frame : static_cast<int64_t>(out.size() / 4));
    const int64_t first = in.FirstDamageFrame();
    EXPECT_EQ(first, d.FirstFrame) << "no earlier damage";
    ASSERT_LE(static_cast<size_t>(first) * 4, std::min(out.size(), intact.size()));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + first * 4, intact.begin()));
    EXPECT_LT(out.size(), intact.size()) << "the damaged frame is missing";
    in.Flush();
    in.Init();
    EXPECT_EQ(in.DamageCount(), 0u) << "a new run counts anew";
    in.Flush();
}

INSTANTIATE_TEST_SUITE_P(Hostile, FlacDamage,
                         testing::Values(TDamageCase{"bad_crc.flac", dkChecksum, 10 * 4096},
                                         TDamageCase{"no_sync.flac", dkLostSync, 10 * 4096},
                                         TDamageCase{"cut.flac", dkCutShort, -1}),
                         [](const testing::TestParamInfo<TDamageCase>& i) {
                             return std::string(i.param.File).substr(0, std::string(i.param.File).find('.'));
                         });

// A stated length no 32-bit count of seconds holds (2^36 - 1 frames at 1 Hz) is an unknown
// length, computed without overflow; the audio plays to its end with no damage reported.
TEST(FlacIn, ImplausibleLengthIsUnknown) {
    TFLACIn in;
    in.SetFileName(Media("hostile/rate1_2e36.flac"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.SampleRate(), 1u);
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_EQ(in.Size(), -1);
    const TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == ReadWave(Media("hostile/intact.wav")).Data);
    EXPECT_EQ(in.DamageCount(), 0u);
}

// Damaged and foreign data: Valid false, an EAuException, or some audio; never a crash, a
// hang or a read out of bounds (this test runs under AddressSanitizer in CI).
TEST(FlacIn, DamagedInputIsHandled) {
    const TBytes file = ReadAll(FlacPath("s16_stereo_44100"));
    ASSERT_FALSE(file.empty());
    const size_t fullSize = Reference("s16_stereo_44100").Data.size();
    int valid = 0;
    for (auto& [what, bytes] : DamagedCopies(file, "fLaC")) {
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TFLACIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        ++valid;
        try {
            in.Init();
            TBytes out = Drain(in, 4096, fullSize * 2);
            EXPECT_LE(out.size(), fullSize);
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
