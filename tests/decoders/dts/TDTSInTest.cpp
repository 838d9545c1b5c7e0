// TDTSIn against ffmpeg's DTS decoder, in every packing and in program streams; layouts,
// the frame search's limits, plain PCM, library loading and damaged input.

#include <gtest/gtest.h>

#include "decoders/DecoderTestMedia.h"
#include "decoders/PcmCompare.h"
#include "decoders/dts/TDTSIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string DtsPath(const std::string& Name) {
    return Media("dts/" + Name);
}

// Everything the input decodes from Bytes, or from the file Name.
TBytes Decode(TBytes Bytes, uint32_t Chunk = 16384) {
    TMemoryStream stream(std::move(Bytes));
    TDTSIn in;
    in.SetStream(&stream);
    EXPECT_TRUE(in.Valid());
    return DecodeAll(in, Chunk);
}

TBytes DecodeFile(const std::string& Name, uint32_t Chunk = 16384) {
    TDTSIn in;
    in.SetFileName(DtsPath(Name));
    EXPECT_TRUE(in.Valid()) << Name;
    return DecodeAll(in, Chunk);
}

bool IsValid(TBytes Bytes) {
    TMemoryStream stream(std::move(Bytes));
    TDTSIn in;
    in.SetStream(&stream);
    return in.Valid();
}

// The first frame header (sync word 7F FE 80 01) at or after From; npos when none.
size_t FindSync(const TBytes& Data, size_t From = 0) {
    static const uint8_t sync[] = {0x7F, 0xFE, 0x80, 0x01};
    auto it = std::search(Data.begin() + static_cast<std::ptrdiff_t>(From), Data.end(), sync, sync + 4);
    return it == Data.end() ? std::string::npos : static_cast<size_t>(it - Data.begin());
}

// Writes SFREQ code Code into every frame header of a 16-bit big-endian stream, wherever it
// lies (also inside program stream sectors).
TBytes WithRateCode(TBytes Data, uint8_t Code) {
    for (size_t at = FindSync(Data); at != std::string::npos && at + 9 < Data.size();
         at = FindSync(Data, at + 4))
        Data[at + 8] = static_cast<uint8_t>((Data[at + 8] & 0xC3) | (Code << 2));
    return Data;
}

// ---------------------------------------------------------------------------------------
// Against ffmpeg's decoder: layout, rate, bit rate and at least 40 dB per channel, over the
// same number of frames. Requests smaller than a frame still deliver everything.

struct TConformanceCase {
    const char* Name;
    uint32_t Channels, Rate, BitRate, Chunk;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk;
}

class DTSConformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(DTSConformance, MatchesFFmpegDecoder) {
    const TConformanceCase c = GetParam();
    const TBytes ref = ReadAll(DtsPath(std::string(c.Name) + ".ref.raw"));
    ASSERT_FALSE(ref.empty());
    TDTSIn in;
    in.SetFileName(DtsPath(std::string(c.Name) + ".dts"));
    EXPECT_EQ(in.BitRate(), c.BitRate); // before playback
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_FALSE(in.Seekable());
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_EQ(out.size(), ref.size());
    for (uint32_t ch = 0; ch < c.Channels; ++ch)
        EXPECT_GE(SnrDb(out, ref, c.Channels, ch), 40.0) << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(Files, DTSConformance,
                         testing::Values(TConformanceCase{"tones_48000", 6, 48000, 1411200, 16384},
                                         TConformanceCase{"tones_48000", 6, 48000, 1411200, 5},
                                         TConformanceCase{"tones_44100", 6, 44100, 1280000, 7000},
                                         TConformanceCase{"tones_32000", 6, 32000, 1411200, 16384},
                                         TConformanceCase{"stereo_48000", 2, 48000, 1411200, 3001}),
                         [](const testing::TestParamInfo<TConformanceCase>& i) {
                             return std::string(i.param.Name) + "_" + std::to_string(i.param.Chunk);
                         });

// Full-scale square waves of 100 and 150 Hz decode with overshoots beyond full scale. They
// are clipped: a sample wrapped round to the other sign would add sign changes to the 200
// and 300 edges per second of the square waves (counted over the samples beyond half scale).
TEST(DTSIn, OvershootsAreClippedNotWrapped) {
    const std::vector<int16_t> s = Samples(DecodeFile("loud_48000.dts"));
    for (uint32_t ch = 0; ch < 2; ++ch)
        EXPECT_NEAR(HalfScaleSignChanges(s, 2, ch), ch == 0 ? 200 : 300, 4) << "channel " << ch;
}

// ---------------------------------------------------------------------------------------
// The same stream in every packing, raw and in WAVE files, and in program streams, decodes
// to the same PCM as the plain stream.

struct TPackingCase {
    const char* File;
    const char* Plain;
};

class DTSPacking : public testing::TestWithParam<TPackingCase> {};

TEST_P(DTSPacking, DecodesAsThePlainStream) {
    const TBytes plain = DecodeFile(GetParam().Plain);
    ASSERT_FALSE(plain.empty());
    const TBytes out = DecodeFile(GetParam().File);
    EXPECT_TRUE(out == plain) << FirstDifference(out, plain);
}

INSTANTIATE_TEST_SUITE_P(Files, DTSPacking,
                         testing::Values(TPackingCase{"tones_44100_le16.dts", "tones_44100.dts"},
                                         TPackingCase{"tones_44100_be14.dts", "tones_44100.dts"},
                                         TPackingCase{"tones_44100_le14.dts", "tones_44100.dts"},
                                         TPackingCase{"tones_44100_le16.wav", "tones_44100.dts"},
                                         TPackingCase{"tones_44100_be14.wav", "tones_44100.dts"},
                                         TPackingCase{"tones_44100_le14.wav", "tones_44100.dts"},
                                         TPackingCase{"tones_48000.vob", "tones_48000.dts"},
                                         TPackingCase{"tones_44100.vob", "tones_44100.dts"},
                                         TPackingCase{"tones_32000.vob", "tones_32000.dts"}),
                         [](const testing::TestParamInfo<TPackingCase>& i) {
                             std::string name = i.param.File;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// ---------------------------------------------------------------------------------------
// Layouts asked for.

TEST(DTSIn, OutputChannelsChoosesTheLayout) {
    for (const char* file : {"tones_48000.dts", "tones_44100.dts"}) {
        const size_t frames = DecodeFile(file).size() / 12;
        const std::pair<TDTSOutputChannels, uint32_t> cases[] = {
            {dts5dot1, 6}, {dtsMono, 1}, {dtsStereo, 2}, {dtsStereoTotal, 2}, {dtsQuadro, 4}};
        for (const auto& [layout, channels] : cases) {
            SCOPED_TRACE(std::string(file) + " layout " + std::to_string(int{layout}));
            TDTSIn in;
            in.SetOutputChannels(layout);
            in.SetFileName(DtsPath(file));
            ASSERT_TRUE(in.Valid());
            EXPECT_EQ(in.Channels(), channels);
            const TBytes out = DecodeAll(in);
            EXPECT_EQ(out.size(), frames * channels * 2);
            const std::vector<int16_t> s = Samples(out);
            EXPECT_GT(*std::max_element(s.begin(), s.end()), 1000) << "silent";
        }
    }
}

// Frames of another layout or rate than the first frame's are skipped: the block buffer
// is sized for the first.
TEST(DTSIn, FramesOfAnotherFormatAreSkipped) {
    const TBytes tones = ReadAll(DtsPath("tones_48000.dts"));
    const TBytes alone = Decode(tones);
    for (const char* other : {"stereo_48000.dts", "tones_32000.dts"}) {
        const TBytes out = Decode(Concat(tones, ReadAll(DtsPath(other))));
        EXPECT_TRUE(out == alone) << other << ": " << FirstDifference(out, alone);
    }
}

// ---------------------------------------------------------------------------------------
// The search's limits.

// Bytes other than zeros count against the search's 1,048,577 offsets; zeros (silence before
// the stream, as rips of DTS CDs have) do not.
TEST(DTSIn, LeadingBytesUpToOneMebibyteArePassedOver) {
    const TBytes tones = ReadAll(DtsPath("tones_48000.dts"));
    const TBytes plain = Decode(tones);
    for (size_t junk : {size_t{1000}, size_t{1048576}}) {
        const TBytes out = Decode(Concat(TBytes(junk, 0x55), tones));
        EXPECT_TRUE(out == plain) << junk << ": " << FirstDifference(out, plain);
    }
    EXPECT_FALSE(IsValid(Concat(TBytes(1048577, 0x55), tones)));
    EXPECT_FALSE(IsValid(Concat(TBytes(1200000, 0x55), tones)));
    for (size_t zeros : {size_t{1048577}, size_t{3000000}}) {
        const TBytes out = Decode(Concat(TBytes(zeros, 0), tones));
        EXPECT_TRUE(out == plain) << zeros << " zeros: " << FirstDifference(out, plain);
    }
    // Zeros between the counted bytes do not count either.
    const TBytes mixed = Concat(Concat(TBytes(1000000, 0x55), TBytes(2000000, 0)), TBytes(48000, 0x55));
    EXPECT_TRUE(Decode(Concat(mixed, tones)) == plain);
}

// A 14-bit DTS WAVE file whose data opens with 1,052,672 zero bytes plays as DTS 5.1.
TEST(DTSIn, RipWithSilenceFirstPlaysAsDTS) {
    TDTSIn in;
    in.SetFileName(DtsPath("silence_first_le14.wav"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Channels(), 6u);
    EXPECT_EQ(in.SampleRate(), 44100u);
    const TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == DecodeFile("tones_44100.dts"));
    EXPECT_EQ(in.DamageCount(), 0u);
}

TEST(DTSIn, GapOfMoreThanOneMebibyteWhilePlayingIsSyncLost) {
    const TBytes tones = ReadAll(DtsPath("tones_48000.dts"));
    TMemoryStream stream(Concat(Concat(tones, TBytes(1100000, 0x55)), tones));
    TDTSIn in;
    in.SetStream(&stream);
    in.Init();
    try {
        Drain(in);
        ADD_FAILURE() << "no error";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Sync lost");
    }
    in.Flush();
}

TEST(DTSIn, PlainPcmWaveIsNotDTS) {
    TDTSIn in;
    in.SetFileName(DtsPath("pcm.wav"));
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(in.BitRate(), 0u);
    in.Init(); // an invalid input plays nothing
    EXPECT_TRUE(Drain(in).empty());
    in.Flush();

    // One frame planted in PCM is a chance match, not a stream.
    TBytes pcm = ReadAll(DtsPath("pcm.wav"));
    const TBytes tones = ReadAll(DtsPath("tones_48000.dts"));
    const size_t frame = FindSync(tones, 4);
    std::copy(tones.begin(), tones.begin() + static_cast<std::ptrdiff_t>(frame), pcm.begin() + 100000);
    EXPECT_FALSE(IsValid(pcm));
}

// ---------------------------------------------------------------------------------------
// Program streams.

TEST(DTSIn, ProgramStreamRatesOtherThan32To48kHzAreNotValid) {
    // SFREQ 14: 96 kHz. The plain search takes any rate; a program stream only 32 to 48 kHz.
    TMemoryStream raw(WithRateCode(ReadAll(DtsPath("tones_48000.dts")), 14));
    TDTSIn in;
    in.SetFileName(DtsPath("tones_24000.vob"));
    EXPECT_FALSE(in.Valid());
    in.SetStream(&raw);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.SampleRate(), 96000u);
    EXPECT_FALSE(IsValid(WithRateCode(ReadAll(DtsPath("tones_48000.vob")), 14)));
}

// Sectors of 2048 bytes that carry only a padding packet.
TBytes PaddingSectors(size_t Count) {
    TBytes sector(2048, 0xFF);
    const uint8_t pack[] = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0x27, 0x0F, 0xF8};
    std::copy(std::begin(pack), std::end(pack), sector.begin());
    const uint8_t padding[] = {0, 0, 1, 0xBE, (2048 - 20) >> 8, (2048 - 20) & 0xFF};
    std::copy(std::begin(padding), std::end(padding), sector.begin() + 14);
    TBytes out;
    for (size_t i = 0; i < Count; ++i)
        out.insert(out.end(), sector.begin(), sector.end());
    return out;
}

TEST(DTSIn, ProgramStreamsFirstFrameMustLieInTheFirstTenth) {
    const TBytes vob = ReadAll(DtsPath("tones_48000.vob"));
    const TBytes plain = Decode(vob);
    const size_t limit = vob.size() / (9 * 2048); // sectors of padding that push it past a tenth
    const TBytes out = Decode(Concat(PaddingSectors(limit - 2), vob));
    EXPECT_TRUE(out == plain) << FirstDifference(out, plain);
    EXPECT_FALSE(IsValid(Concat(PaddingSectors(limit + 2), vob)));
}

// An incomplete last frame is dropped and reported as data that ends early, where the
// output ends.
TEST(DTSIn, IncompleteLastFrameIsDroppedAndReported) {
    for (const char* file : {"tones_48000.vob", "tones_48000.dts", "tones_44100_le14.wav"}) {
        const TBytes bytes = ReadAll(DtsPath(file));
        const TBytes full = Decode(bytes);
        for (size_t cut : {size_t{1000}, size_t{3000}, size_t{5000}}) {
            SCOPED_TRACE(std::string(file) + " cut by " + std::to_string(cut));
            TMemoryStream stream(TBytes(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut)));
            TDTSIn in;
            in.SetStream(&stream);
            ASSERT_TRUE(in.Valid());
            const TBytes out = DecodeAll(in);
            ASSERT_LT(out.size(), full.size());
            EXPECT_EQ(out.size() % (512 * 12), 0u) << "whole frames only";
            EXPECT_TRUE(std::equal(out.begin(), out.end(), full.begin()));
            EXPECT_EQ(in.DamageCount(), 1u);
            EXPECT_EQ(in.Damage(dkCutShort).FirstFrame, static_cast<int64_t>(out.size() / 12));
        }
        TDTSIn whole;
        whole.SetFileName(DtsPath(file));
        DecodeAll(whole);
        EXPECT_EQ(whole.DamageCount(), 0u) << file;
    }
}

// A frame libdca rejects is skipped and reported with its place; bytes other than zeros
// between frames are lost sync.
TEST(DTSIn, RejectedFramesAndLostSyncAreReported) {
    const TBytes tones = ReadAll(DtsPath("tones_48000.dts"));
    const size_t second = FindSync(tones, 4), third = FindSync(tones, second + 4);
    ASSERT_NE(third, std::string::npos);
    const size_t frames = 512; // of output per DTS frame
    const TBytes full = Decode(tones);

    // Two bytes of the second frame's coding header inverted: libdca decodes past the damage
    // and says only "Didn't get subframe DSYNC" on standard error. Then bit allocations out
    // of range, which it refuses.
    for (const size_t from : {size_t{14}, size_t{30}}) {
        SCOPED_TRACE(from);
        TBytes damaged = tones;
        for (size_t i = second + from; i < second + from + 2; ++i)
            damaged[i] = static_cast<uint8_t>(~damaged[i]);
        TMemoryStream stream(damaged);
        TDTSIn in;
        in.SetStream(&stream);
        ASSERT_TRUE(in.Valid());
        const TBytes out = DecodeAll(in);
        EXPECT_EQ(in.DamageCount(), 1u);
        EXPECT_EQ(in.Damage(dkBadFrame).FirstFrame, static_cast<int64_t>(frames));
        // Silent from the damaged block on, or skipped whole.
        EXPECT_TRUE(out.size() == full.size() || out.size() == full.size() - frames * 12) << out.size();
        EXPECT_TRUE(std::equal(full.begin(), full.begin() + frames * 12, out.begin()));
    }

    TBytes junk = tones; // the second frame's sync word lost
    junk[second] = 0x55;
    TMemoryStream junkStream(junk);
    TDTSIn lost;
    lost.SetStream(&junkStream);
    ASSERT_TRUE(lost.Valid());
    DecodeAll(lost);
    EXPECT_EQ(lost.Damage(dkLostSync).FirstFrame, static_cast<int64_t>(frames));
}

// Sets the AMODE of every frame header (bits 60 to 65 after the sync word's first byte).
TBytes WithConfiguration(TBytes Data, uint8_t AMode) {
    for (size_t at = FindSync(Data); at != std::string::npos && at + 9 < Data.size();
         at = FindSync(Data, at + 4)) {
        Data[at + 7] = static_cast<uint8_t>((Data[at + 7] & 0xF0) | (AMode >> 2));
        Data[at + 8] = static_cast<uint8_t>((Data[at + 8] & 0x3F) | ((AMode & 3) << 6));
    }
    return Data;
}

// Four front and two rear channels have no WAVE layout here: refused at the open, not
// opened to play nothing.
TEST(DTSIn, FourFrontTwoRearIsRefusedWithAMessage) {
    TMemoryStream stream(WithConfiguration(ReadAll(DtsPath("tones_48000.dts")), 10));
    TDTSIn in;
    in.SetStream(&stream);
    try {
        (void)in.Channels();
        ADD_FAILURE() << "opened";
    } catch (const EAuException& e) {
        EXPECT_NE(std::string(e.what()).find("4F2R"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(in.Valid());
}

// ---------------------------------------------------------------------------------------
// Library loading.

TEST(DTSIn, MissingLibraryOrEntryPointIsReported) {
    ExpectMissingLibraryNamed<TDTSIn>(TDTSIn::LibDCA(), DtsPath("tones_48000.dts"),
                                      {"libdca-missing.so.0", "libm.so.6"});
}

TEST(DTSIn, MissingFileFailsToOpen) {
    TDTSIn in;
    in.SetFileName(DtsPath("no-such-file.dts"));
    EXPECT_FALSE(in.Valid());
    EXPECT_THROW(in.Channels(), EAuException);
}

// ---------------------------------------------------------------------------------------
// Damaged input: not valid, or played to the end; the only error is "Sync lost".

class DTSDamaged : public testing::TestWithParam<const char*> {};

TEST_P(DTSDamaged, NeverCrashes) {
    for (auto& [what, bytes] : DamagedCopies(ReadAll(DtsPath(GetParam())), "\x7F\xFE\x80\x01")) {
        TMemoryStream stream(bytes);
        TDTSIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        try {
            in.Init();
            Drain(in, 9999);
        } catch (const EAuException& e) {
            EXPECT_STREQ(e.what(), "Sync lost") << what;
        }
        in.Flush();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DTSDamaged,
                         testing::Values("tones_48000.dts", "tones_44100_le14.wav", "tones_48000.vob"),
                         FileParamName);

// A program stream whose packet lengths lie: every private stream packet claims the largest
// length or none, or a header longer than the sector.
TEST(DTSIn, ProgramStreamWithLyingLengths) {
    const TBytes vob = ReadAll(DtsPath("tones_48000.vob"));
    for (int variant = 0; variant < 3; ++variant) {
        TBytes bytes = vob;
        for (size_t s = 0; s + 2048 <= bytes.size(); s += 2048)
            for (size_t p = s + 14; p + 9 < s + 2048; ++p)
                if (bytes[p] == 0 && bytes[p + 1] == 0 && bytes[p + 2] == 1 && bytes[p + 3] == 0xBD) {
                    if (variant == 0) bytes[p + 4] = bytes[p + 5] = 0xFF;
                    if (variant == 1) bytes[p + 4] = bytes[p + 5] = 0;
                    if (variant == 2) bytes[p + 8] = 0xFF;
                    break;
                }
        TMemoryStream stream(bytes);
        TDTSIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        in.Init();
        EXPECT_NO_THROW(Drain(in)) << variant;
        in.Flush();
    }
}

} // namespace
