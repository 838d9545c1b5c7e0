// TMACIn and libMACDll.so against the source PCM of files made by jmac (the format is
// lossless): every level and layout, seeking, the library's information fields, tags,
// error codes, damaged input and errors in the middle of a file.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "decoders/DecoderTestMedia.h"
#include "decoders/mac/EAPEException.h"
#include "decoders/mac/TAPEDecompress.h"
#include "decoders/mac/TMACIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "pipeline/TWaveOut.h"
#include "support/TestInputs.h"
#include "tags/TCommonTags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string ApePath(const std::string& Name) {
    return Media("mac/" + Name + ".ape");
}
// The source PCM of NAME_LEVEL.ape is NAME.ref.wav.
TWave Reference(const std::string& Name) {
    return ReadWave(Media("mac/" + Name.substr(0, Name.rfind('_')) + ".ref.wav"));
}

// The library bound the way TMACIn binds it.
const TMACDll& Lib() {
    static TMACDll lib;
    static const bool loaded = lib.Load();
    EXPECT_TRUE(loaded) << TMACDll::Library().FileName();
    return lib;
}

// ---------------------------------------------------------------------------------------
// Bit-exact output for every level, width, layout and rate, in requests that are not a
// multiple of the frame size (3 bytes: less than one frame of 16-bit stereo).

class MacConformance : public testing::TestWithParam<TChunkCase> {};

TEST_P(MacConformance, MatchesTheSourcePcm) {
    const TChunkCase c = GetParam();
    TWave ref = Reference(c.Name);
    ASSERT_FALSE(ref.Data.empty());
    TMACIn in;
    in.SetFileName(ApePath(c.Name));
    ASSERT_TRUE(in.Valid());
    ExpectFormatOf(in, ref);
    EXPECT_EQ(in.Size(), static_cast<int64_t>(ref.Data.size())) << "Size counts the PCM only";
    TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MacConformance,
    testing::Values(TChunkCase{"s16_stereo_44100_1000", 16384}, TChunkCase{"s16_stereo_44100_2000", 3},
                    TChunkCase{"s16_stereo_44100_3000", 5000}, TChunkCase{"s16_stereo_44100_4000", 65536},
                    TChunkCase{"s16_stereo_44100_5000", 7777}, TChunkCase{"s24_stereo_96000_1000", 4999},
                    TChunkCase{"s24_stereo_96000_2000", 16384}, TChunkCase{"s24_stereo_96000_3000", 12345},
                    TChunkCase{"s24_stereo_96000_4000", 8190}, TChunkCase{"s16_mono_44100_2000", 1001},
                    TChunkCase{"s24_mono_44100_3000", 333}, TChunkCase{"s8_mono_44100_2000", 16384}),
    [](const testing::TestParamInfo<TChunkCase>& i) { return std::string(i.param.Name); });

// FFmpeg 5.1 decodes 24-bit insane files wrongly; the checksum catches it. Whatever the
// decoder of the day does, the data is either exact or an error, never other samples.
TEST(MacIn, InsaneTwentyFourBitIsExactOrAnError) {
    TWave ref = Reference("s24_stereo_96000_5000");
    TMACIn in;
    in.SetFileName(ApePath("s24_stereo_96000_5000"));
    ASSERT_TRUE(in.Valid());
    in.Init();
    TBytes out;
    try {
        out = Drain(in);
        EXPECT_TRUE(out == ref.Data) << FirstDifference(out, ref.Data);
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "MACDll error: decompressing frame");
        ASSERT_LE(out.size(), ref.Data.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), ref.Data.begin()));
    }
    in.Flush();
}

// The caller's stream is read instead of a file, tags included, and rewound on close.
TEST(MacIn, DecodesAnAssignedStream) {
    TWave ref = Reference("s16_stereo_44100_2000");
    TMemoryStream stream(ReadAll(ApePath("tagged")));
    TMACIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u"Группа крови");
    TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == Reference("s16_mono_44100_2000").Data);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(DecodeAll(in) == Reference("s16_mono_44100_2000").Data); // and plays again
}

// Through a whole chain: the decoder pulled by an output that records a WAV file.
TEST(MacIn, PlaysIntoAWaveFile) {
    TWave ref = Reference("s24_stereo_96000_2000");
    const std::string wav = TempPath("mac_played.wav");
    TMACIn in;
    in.SetFileName(ApePath("s24_stereo_96000_2000"));
    EXPECT_EQ(PlayIntoWaveFile(in, wav), "");
    TWave got = ReadWave(wav);
    EXPECT_EQ(got.Bits, 24u);
    EXPECT_TRUE(got.Data == ref.Data) << FirstDifference(got.Data, ref.Data);
    std::remove(wav.c_str());
}

// ---------------------------------------------------------------------------------------
// The 8192-byte buffer: one refill holds whole frames only, and the time is whole seconds
// of the library's length.

struct TRefillCase {
    const char* Name;
    uint32_t Bytes; // the most one GetData hands out
};

TEST(MacIn, OneRefillHoldsWholeFramesOfTheBuffer) {
    for (TRefillCase c :
         {TRefillCase{"s16_stereo_44100_2000", 8192}, TRefillCase{"s24_stereo_96000_2000", 8190},
          TRefillCase{"s24_mono_44100_3000", 8190}, TRefillCase{"s8_mono_44100_2000", 8192}}) {
        SCOPED_TRACE(c.Name);
        TMACIn in;
        in.SetFileName(ApePath(c.Name));
        in.Init();
        uint8_t* p = nullptr;
        uint32_t n = 100000;
        in.GetData(p, n);
        EXPECT_EQ(n, c.Bytes);
        in.Flush();
    }
}

TEST(MacIn, TotalTimeIsWholeSecondsRoundedDown) {
    TMACIn in;
    in.SetFileName(ApePath("s16_stereo_2_9s_2000"));
    EXPECT_EQ(in.TotalTime(), 2u);
    EXPECT_EQ(in.LengthMS(), 2900u);
}

// ---------------------------------------------------------------------------------------
// Seeking lands exactly on the requested frame, wherever it lies in the file's frames.

class MacSeek : public testing::TestWithParam<TSeekTarget> {};

TEST_P(MacSeek, DeliversTheSourceFromTheTarget) {
    const TSeekTarget c = GetParam();
    TMACIn in;
    in.SetFileName(ApePath(c.Name));
    ExpectSeekDeliversTheTail(in, Reference(c.Name), c.Sample,
                              [&](int64_t Frame) { EXPECT_EQ(in.CurrentBlock(), Frame); });
}

INSTANTIATE_TEST_SUITE_P(
    Targets, MacSeek,
    testing::Values(TSeekTarget{"s16_stereo_44100_2000", 0}, TSeekTarget{"s16_stereo_44100_2000", 1000},
                    TSeekTarget{"s16_stereo_44100_2000", 73727}, TSeekTarget{"s16_stereo_44100_2000", 73728},
                    TSeekTarget{"s16_stereo_44100_2000", 100000}, TSeekTarget{"s16_stereo_44100_2000", -1},
                    TSeekTarget{"s24_stereo_96000_1000", 147000 - 3000},
                    TSeekTarget{"s24_stereo_96000_4000", 70000}, TSeekTarget{"s8_mono_44100_2000", -1}),
    SeekTargetName);

// Back and forth across frames and within the frame at hand.
TEST(MacIn, RepeatedSeeksAcrossFrames) {
    TWave ref = Reference("s16_stereo_44100_1000");
    TMACIn in;
    in.SetFileName(ApePath("s16_stereo_44100_1000"));
    in.Init();
    for (int64_t target : {100000, 10, 73728, 73000, 129000, 5}) {
        ASSERT_TRUE(in.Seek(target));
        uint8_t* p = nullptr;
        uint32_t n = 3000 * 4;
        in.GetData(p, n);
        ASSERT_GT(n, 0u) << "after seek to " << target;
        EXPECT_EQ(0, std::memcmp(p, ref.Data.data() + target * 4, n)) << "after seek to " << target;
    }
    // The end: nothing more.
    ASSERT_TRUE(in.Seek(in.TotalSamples()));
    EXPECT_TRUE(Drain(in).empty());
    in.Flush();
}

// A frame number past 2^31 (or 2^32) reaches the library whole: cut to 32 bits it would
// land at frame 100.
TEST(MacIn, SeekTargetsAreNotCutTo32Bits) {
    TAPEDecompress d(Lib(), ApePath("s16_stereo_44100_2000"));
    EXPECT_NE(d.Seek((int64_t{1} << 32) + 100), 0);
    EXPECT_NE(d.Seek((int64_t{1} << 31) + 100), 0);
    EXPECT_EQ(d.CurrentBlock(), 0);
    EXPECT_EQ(d.Seek(100), 0);
    EXPECT_EQ(d.CurrentBlock(), 100);
}

// ---------------------------------------------------------------------------------------
// The library's information fields.

TEST(MacIn, InformationFields) {
    struct TInfoCase {
        const char* Name;
        int32_t Level, BlocksPerFrame;
    };
    for (TInfoCase c :
         {TInfoCase{"s16_stereo_44100_1000", 1000, 73728}, TInfoCase{"s16_stereo_44100_2000", 2000, 73728},
          TInfoCase{"s16_stereo_44100_3000", 3000, 73728}, TInfoCase{"s16_stereo_44100_4000", 4000, 294912},
          TInfoCase{"s16_stereo_44100_5000", 5000, 1179648},
          TInfoCase{"s24_stereo_96000_3000", 3000, 73728}}) {
        SCOPED_TRACE(c.Name);
        TWave ref = Reference(c.Name);
        const int64_t blockAlign = ref.Channels * ref.Bits / 8;
        const int64_t blocks = static_cast<int64_t>(ref.Data.size()) / blockAlign;
        const int64_t fileBytes = static_cast<int64_t>(std::filesystem::file_size(ApePath(c.Name)));
        TAPEDecompress d(Lib(), ApePath(c.Name));
        ASSERT_NE(d.Handle(), 0u);
        EXPECT_EQ(d.Filename(), ApePath(c.Name));
        EXPECT_EQ(d.InfoFileVersion(), 3990);
        EXPECT_EQ(d.InfoCompressionLevel(), c.Level);
        EXPECT_EQ(d.InfoSampleRate(), static_cast<int32_t>(ref.SampleRate));
        EXPECT_EQ(d.InfoBitsPerSample(), static_cast<int32_t>(ref.Bits));
        EXPECT_EQ(d.InfoBytesPerSample(), static_cast<int32_t>(ref.Bits / 8));
        EXPECT_EQ(d.InfoChannels(), static_cast<int32_t>(ref.Channels));
        EXPECT_EQ(d.InfoBlockAlign(), blockAlign);
        EXPECT_EQ(d.InfoBlocksPerFrame(), c.BlocksPerFrame);
        const int64_t frames = (blocks + c.BlocksPerFrame - 1) / c.BlocksPerFrame;
        EXPECT_EQ(d.InfoTotalFrames(), frames);
        EXPECT_EQ(d.InfoFinalFrameBlocks(), blocks - (frames - 1) * c.BlocksPerFrame);
        EXPECT_EQ(d.InfoFrameBlocks(0), frames > 1 ? c.BlocksPerFrame : blocks);
        EXPECT_EQ(d.InfoTotalBlocks(), blocks);
        EXPECT_EQ(d.TotalBlocks(), blocks);
        EXPECT_EQ(d.InfoWavHeaderBytes(), 44);
        EXPECT_EQ(d.InfoWavTerminatingBytes(), 0);
        EXPECT_EQ(d.InfoWavDataBytes(), blocks * blockAlign);
        EXPECT_EQ(d.InfoWavTotalBytes(), blocks * blockAlign + 44);
        EXPECT_EQ(d.InfoApeTotalBytes(), fileBytes);
        EXPECT_EQ(d.InfoLengthMS(), blocks * 1000 / ref.SampleRate);
        EXPECT_EQ(d.LengthMS(), static_cast<uint32_t>(blocks * 1000 / ref.SampleRate));
        EXPECT_NEAR(d.AverageBitrate(), fileBytes * 8.0 / d.LengthMS(), 1.0);
        EXPECT_EQ(d.InfoAverageBitrage(), static_cast<int32_t>(d.AverageBitrate()));
        EXPECT_EQ(d.InfoDecompressedBitrate(), blockAlign * ref.SampleRate * 8 / 1000);
        EXPECT_GT(d.InfoSeekByte(0), 0);
        EXPECT_GT(d.InfoFrameBytes(0), 0);
        EXPECT_LE(d.InfoSeekByte(0) + d.InfoFrameBytes(0), fileBytes);
        uint8_t header[44] = {};
        EXPECT_EQ(d.InfoWavHeaderData(header, 44), 0);
        EXPECT_EQ(0, std::memcmp(header, "RIFF", 4));
        EXPECT_EQ(d.InfoWavHeaderData(header, 43), -1) << "too small a buffer";
        uint8_t format[18] = {};
        EXPECT_EQ(d.InfoWaveFormatEx(format), 0);
        EXPECT_EQ(Le(format + 2, 2), ref.Channels);
        EXPECT_EQ(Le(format + 4, 4), ref.SampleRate);
        EXPECT_EQ(Le(format + 14, 2), ref.Bits);

        // Positions follow the data, and reading the header data did not disturb it.
        std::vector<uint8_t> buffer(4096 * blockAlign);
        int32_t got = 0;
        EXPECT_EQ(d.GetData(buffer.data(), 4096, got), 0);
        EXPECT_EQ(got, 4096);
        EXPECT_EQ(0, std::memcmp(buffer.data(), ref.Data.data(), buffer.size()));
        EXPECT_EQ(d.CurrentBlock(), 4096);
        EXPECT_EQ(d.CurrentMS(), 4096u * 1000 / ref.SampleRate);
        EXPECT_NEAR(d.CurrentBitrate(),
                    d.InfoFrameBytes(0) * 8.0 * ref.SampleRate / d.InfoFrameBlocks(0) / 1000, 1.0);
    }
}

TEST(MacIn, BitRateAndPositionQueriesWithoutAnOpenFileAreZero) {
    TMACIn in;
    in.SetFileName(ApePath("s16_stereo_44100_2000"));
    EXPECT_EQ(in.AverageBitrate(), 0u) << "does not open the file";
    EXPECT_EQ(in.CurrentBitrate(), 0u);
    EXPECT_EQ(in.TotalBlocks(), 0);
    EXPECT_EQ(in.LengthMS(), 0u);
    ASSERT_TRUE(in.Valid());
    EXPECT_GT(in.AverageBitrate(), 0u);
    EXPECT_EQ(in.TotalBlocks(), 132300);
    EXPECT_EQ(in.CompressionLevel(), 2000);
}

// ---------------------------------------------------------------------------------------
// Tags.

struct TTagCase {
    const char* Name;
    const char16_t *Title, *Artist, *Album, *Comment;
    const char *Year, *Track;
};

TEST(MacIn, TagsFillApev2AndCommonTags) {
    const TTagCase cases[] = {
        // APEv2, UTF-8: names in any letter case; "7/12" is track 7.
        {"tagged", u"Группа крови", u"Кино", u"Звезда по имени Солнце", u"Лучший альбом", "1988", "7"},
        // ID3v1.1 in CP1251.
        {"tagged_id3v1", u"Кукушка", u"Кино", u"Чёрный альбом", u"Комментарий", "1990", "9"},
        // Both: the ID3v1 tag; its track 0 is the text 0.
        {"tagged_both", u"Из ID3v1", u"Кино", u"", u"", "1990", "0"},
    };
    TMACIn in;
    for (const TTagCase& c : cases) {
        SCOPED_TRACE(c.Name);
        in.SetFileName(ApePath(c.Name));
        TAPEv2Tags* ape = in.APEv2Tags();
        EXPECT_EQ(ape->Title(), c.Title);
        EXPECT_EQ(ape->Artist(), c.Artist);
        EXPECT_EQ(ape->Album(), c.Album);
        EXPECT_EQ(ape->Comment(), c.Comment);
        EXPECT_EQ(ape->Year(), c.Year);
        EXPECT_EQ(ape->Track(), c.Track);
        EXPECT_TRUE(ape->Genre().empty()) << "the genre byte is not used";
        const TCommonTags& common = *in.CommonTags();
        EXPECT_EQ(common.Title(), c.Title);
        EXPECT_EQ(common.Artist(), c.Artist);
        EXPECT_EQ(common.Album(), c.Album);
        EXPECT_EQ(common.Year(), c.Year);
        EXPECT_EQ(common.Track(), c.Track);
        EXPECT_TRUE(common.Genre().empty());
    }
    // An untagged file after a tagged one, with the same input: nothing is left over.
    in.SetFileName(ApePath("s16_mono_44100_2000"));
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.CommonTags()->Title().empty());
    EXPECT_TRUE(in.CommonTags()->Artist().empty());
    EXPECT_TRUE(in.APEv2Tags()->Track().empty());
}

// The library takes the file name in the legacy code page; a name that CP1251 cannot spell
// gets no tags, and the file plays all the same.
TEST(MacIn, NameOutsideTheCodePageGetsNoTagsButPlays) {
    const std::string path = TempPath("タグ.ape");
    std::filesystem::copy_file(ApePath("tagged"), path, std::filesystem::copy_options::overwrite_existing);
    TMACIn in;
    in.SetFileName(path);
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.CommonTags()->Title().empty());
    EXPECT_TRUE(DecodeAll(in) == Reference("s16_mono_44100_2000").Data);
    std::remove(path.c_str());
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST(MacIn, ErrorCodesHaveTheirTexts) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "MACDll error: OK"},
        {1000, "MACDll error: I/O read error"},
        {1002, "MACDll error: invalid input file"},
        {1004, "MACDll error: input file file too large"},
        {1010, "MACDll error: decompressing frame"},
        {1013, "MACDll error: unsupported file type"},
        {2000, "MACDll error: insufficient memory"},
        {3002, "MACDll error: loading UnMAC.dll"},
        {4001, "MACDll error: skipped..."},
        {6000, "MACDll error: APE compress too much data"},
        {7777, "MACDll error: undefined (7777)"},
        {-1, "MACDll error: undefined (-1)"},
    };
    for (const auto& [code, text] : cases) {
        EAPEException e(code);
        EXPECT_STREQ(e.what(), text);
        EXPECT_EQ(e.Code(), code);
    }
    static_assert(!std::is_base_of_v<EAuException, EAPEException>);
}

TEST(MacIn, CreationErrorsRaiseTheirCode) {
    const std::string notApe = TempPath("not.ape");
    WriteFile(notApe, TBytes(1000, 0x41));
    struct TCase {
        std::string Path;
        const char* Message;
    };
    for (const TCase& c : {TCase{Media("mac/does-not-exist.ape"), "MACDll error: I/O read error"},
                           TCase{notApe, "MACDll error: invalid input file"},
                           TCase{Media("mac/s16_mono_44100.ref.wav"), "MACDll error: invalid input file"}}) {
        SCOPED_TRACE(c.Path);
        try {
            TAPEDecompress d(Lib(), c.Path);
            ADD_FAILURE() << "no exception";
        } catch (const EAPEException& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        TMACIn in;
        in.SetFileName(c.Path);
        EXPECT_FALSE(in.Valid());
        try {
            in.Init();
            ADD_FAILURE() << "no exception";
        } catch (const EAuException& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        in.Flush();
    }
    std::remove(notApe.c_str());
}

TEST(MacIn, DataWhileNotPlaying) {
    TMACIn in;
    EXPECT_EQ(DataError(in), "The Stream is not opened");
}

TEST(MacIn, MissingLibraryNamesTheFile) {
    TMACIn in;
    in.SetFileName(ApePath("s16_mono_44100_2000"));
    {
        TLibraryOverride missing(TMACDll::Library(), "libMACDll-missing.so");
        EXPECT_EQ(ErrorText([&] { in.Init(); }), "libMACDll-missing.so library could not be loaded.");
        in.Flush();
        EXPECT_FALSE(in.Valid());
    }
    EXPECT_TRUE(in.Valid());
}

// A frame that fails to decode in the middle of the file ends the stream with the
// library's error in the output's message; everything before that frame arrives intact.
TEST(MacIn, ErrorInTheMiddleEndsTheStreamWithItsMessage) {
    const std::string name = "s16_stereo_44100_2000";
    const TBytes file = ReadAll(ApePath(name));
    const TWave ref = Reference(name);
    int64_t second = 0;
    {
        TAPEDecompress d(Lib(), ApePath(name));
        second = d.InfoSeekByte(1);
        ASSERT_GT(second, 0);
    }
    TBytes corrupt = file;
    for (size_t i = 0; i < 64; ++i)
        corrupt[static_cast<size_t>(second) + 3000 + i] ^= 0x5A;
    const TBytes truncated(file.begin(), file.begin() + second + 3000);
    struct TCase {
        const char* What;
        TBytes Bytes;
    };
    for (const TCase& c : {TCase{"corrupt", corrupt}, TCase{"truncated", truncated}}) {
        SCOPED_TRACE(c.What);
        const std::string path = TempPath(std::string(c.What) + ".ape"), wav = TempPath("error.wav");
        WriteFile(path, c.Bytes);
        TMACIn in;
        in.SetFileName(path);
        ASSERT_TRUE(in.Valid());
        TWaveOut out;
        out.SetInput(&in);
        out.SetFileName(wav);
        int done = 0;
        out.SetOnDone([&](TComponent*) { ++done; });
        out.Run(); // on the output's worker thread
        ASSERT_TRUE(PumpUntil([&] { return done == 1; }));
        EXPECT_EQ(out.ExceptionMessage().rfind("MACDll error: ", 0), 0u) << out.ExceptionMessage();
        TWave got = ReadWave(wav);
        const TBytes first(ref.Data.begin(), ref.Data.begin() + 73728 * 4);
        EXPECT_TRUE(got.Data == first) << FirstDifference(got.Data, first);
        std::remove(path.c_str());
        std::remove(wav.c_str());
    }
}

// Damaged and foreign data: Valid false, an exception, or audio that is the start of the
// source; never a crash, a hang or a read out of bounds (run under AddressSanitizer).
TEST(MacIn, DamagedInputIsHandled) {
    for (const char* name : {"s16_stereo_44100_2000", "s24_stereo_96000_4000"}) {
        const TBytes file = ReadAll(ApePath(name));
        ASSERT_FALSE(file.empty());
        const TWave ref = Reference(name);
        int valid = 0;
        for (auto& [what, bytes] : DamagedCopies(file, "MAC ")) {
            SCOPED_TRACE(std::string(name) + ": " + what);
            TMemoryStream stream(bytes);
            TMACIn in;
            in.SetStream(&stream);
            if (!in.Valid()) continue;
            ++valid;
            try {
                in.Init();
                TBytes out = Drain(in, 4096, ref.Data.size() * 2);
                EXPECT_LE(out.size(), ref.Data.size());
                in.Seek(in.TotalSamples() / 2);
                Drain(in, 4096, ref.Data.size() * 2);
            } catch (const std::exception& e) {
                EXPECT_NE(std::string(e.what()), "");
            }
            in.Flush();
        }
        EXPECT_GT(valid, 0); // damage in the audio leaves the header readable
    }
}

} // namespace
