// TWaveIn on files made by sox and ffmpeg: every kind of data against a reference decoder,
// the ADPCM block sizes, exact seeking, MPEG data through the converter, and the pipeline.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "WaveBytes.h"
#include "decoders/DecoderTestMedia.h"
#include "decoders/mpg123/TMpg123Library.h"
#include "decoders/wav/TWaveIn.h"
#include "decoders/wm/TMP3In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TMemoryStream.h"
#include "pipeline/TWaveOut.h"
#include "stages/SignalProcessing.h"
#include "tags/TCommonTags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string WavPath(const std::string& Name) {
    return Media("wav/" + Name + ".wav");
}

// The first value of the file's "fact" chunk: samples per channel.
uint32_t FactCount(const std::string& Name) {
    const TBytes f = ReadAll(WavPath(Name));
    for (size_t i = 12; i + 12 <= f.size(); ++i)
        if (std::memcmp(&f[i], "fact", 4) == 0) return Le(&f[i + 8], 4);
    ADD_FAILURE() << Name << " has no fact chunk";
    return 0;
}

enum class TRefKind {
    Raw,    // the reference decoder's bytes as they are
    Single, // 32-bit floats, through SingleToInt32
    Double, // 64-bit floats, through DoubleToInt32
    Fact,   // the first "fact" count of frames (MPEG data: the encoder's padding is cut)
};

struct TWaveCase {
    const char* Name;
    TWavType Type;
    uint32_t Channels, Bits; // as delivered
    TRefKind Ref;
    uint32_t Chunk; // bytes asked for at a time
};

void PrintTo(const TWaveCase& c, std::ostream* os) {
    *os << c.Name;
}

// What TWaveIn must deliver for a case.
TBytes Expected(const TWaveCase& c) {
    TBytes ref = ReadAll(Media("wav/" + std::string(c.Name) + ".ref.raw"));
    switch (c.Ref) {
    case TRefKind::Single:
        SingleToInt32(ref.data(), static_cast<uint32_t>(ref.size()));
        break;
    case TRefKind::Double:
        DoubleToInt32(ref.data(), static_cast<uint32_t>(ref.size()));
        ref.resize(ref.size() / 2);
        break;
    case TRefKind::Fact: {
        const size_t bytes = size_t{FactCount(c.Name)} * c.Channels * 2;
        EXPECT_LT(bytes, ref.size()) << "the decoder gives the encoder's padding too";
        ref.resize(std::min(bytes, ref.size()));
        break;
    }
    case TRefKind::Raw:
        break;
    }
    return ref;
}

class WaveConformance : public testing::TestWithParam<TWaveCase> {};

TEST_P(WaveConformance, MatchesTheReferenceDecoder) {
    const TWaveCase c = GetParam();
    const TBytes expected = Expected(c);
    ASSERT_FALSE(expected.empty());
    TWaveIn in;
    in.SetFileName(WavPath(c.Name));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.WavType(), c.Type);
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.BitsPerSample(), c.Bits);
    EXPECT_EQ(in.TotalSamples(), static_cast<int64_t>(expected.size() / (c.Channels * c.Bits / 8)));
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WaveConformance,
    testing::Values(TWaveCase{"pcm_u8_mono", wtPCM, 1, 8, TRefKind::Raw, 1001},
                    TWaveCase{"pcm_s16_stereo", wtPCM, 2, 16, TRefKind::Raw, 16384},
                    TWaveCase{"pcm_s24_stereo", wtPCM, 2, 24, TRefKind::Raw, 7777},
                    TWaveCase{"pcm_s32_mono", wtPCM, 1, 32, TRefKind::Raw, 65536},
                    TWaveCase{"ext_s24_stereo", wtExtPCM, 2, 24, TRefKind::Raw, 4096},
                    TWaveCase{"ext_s16_6ch", wtExtPCM, 6, 16, TRefKind::Raw, 5000},
                    TWaveCase{"float32_stereo", wtIEEEFloat, 2, 32, TRefKind::Single, 3333},
                    TWaveCase{"float64_mono", wtIEEEFloat, 1, 32, TRefKind::Double, 16384},
                    TWaveCase{"ext_float32_stereo", wtExtIEEEFloat, 2, 32, TRefKind::Single, 16384},
                    TWaveCase{"ext_float64_6ch", wtExtIEEEFloat, 6, 32, TRefKind::Double, 9999},
                    TWaveCase{"ima_adpcm_mono", wtDVIADPCM, 1, 16, TRefKind::Raw, 999},
                    TWaveCase{"ima_adpcm_stereo", wtDVIADPCM, 2, 16, TRefKind::Raw, 16384},
                    TWaveCase{"ms_adpcm_mono", wtMSADPCM, 1, 16, TRefKind::Raw, 16384},
                    TWaveCase{"ms_adpcm_stereo", wtMSADPCM, 2, 16, TRefKind::Raw, 1234},
                    TWaveCase{"mp3_stereo", wtACM, 2, 16, TRefKind::Fact, 16384},
                    TWaveCase{"mp3_mono_22050", wtACM, 1, 16, TRefKind::Fact, 3001},
                    TWaveCase{"alaw_stereo", wtACM, 2, 16, TRefKind::Raw, 16384},
                    TWaveCase{"alaw_6ch", wtACM, 6, 16, TRefKind::Raw, 5000}, // extensible
                    TWaveCase{"mulaw_mono", wtACM, 1, 16, TRefKind::Raw, 999},
                    TWaveCase{"mulaw_6ch", wtACM, 6, 16, TRefKind::Raw, 65536},
                    TWaveCase{"gsm_mono", wtACM, 1, 16, TRefKind::Raw, 4097},
                    TWaveCase{"rf64_stereo", wtPCM, 2, 16, TRefKind::Raw, 16384},
                    TWaveCase{"bw64_stereo", wtPCM, 2, 16, TRefKind::Raw, 3333},
                    TWaveCase{"rf64_alaw_mono", wtACM, 1, 16, TRefKind::Raw, 16384}),
    [](const testing::TestParamInfo<TWaveCase>& i) { return std::string(i.param.Name); });

// MPEG data in a WAV file decodes to the samples of the same frames in an .mp3 file (the
// LAME header's gapless trim included), `mpg123 -s` of them; a "fact" count only cuts the end.
class WaveMpegFrames : public testing::TestWithParam<const char*> {};

TEST_P(WaveMpegFrames, DecodeAsTheSameFramesInAnMp3File) {
    TMP3In mp3;
    mp3.SetFileName(Media("wav/" + std::string(GetParam()) + ".frames.mp3"));
    ASSERT_TRUE(mp3.Valid());
    TBytes expected = DecodeAll(mp3);
    TWaveIn in;
    in.SetFileName(WavPath(GetParam()));
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in, 7000);
    const size_t factBytes = size_t{FactCount(GetParam())} * in.Channels() * 2;
    expected.resize(std::min(expected.size(), factBytes));
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    TBytes ref = ReadAll(Media("wav/" + std::string(GetParam()) + ".ref.raw"));
    ref.resize(std::min(ref.size(), factBytes));
    EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
}

INSTANTIATE_TEST_SUITE_P(Files, WaveMpegFrames,
                         testing::Values("mp3_stereo", "mp3_mono_22050", "mp3_lame_gapless"));

// Requests smaller than a frame still make progress and keep the byte stream intact.
// MP3 in WAV whose "fact" count is 0 or far too small: the length is estimated from the
// frames, and the data runs to the converter's end, the reference decoder's whole output.
TEST(WaveIn, MpegLengthComesFromTheFramesNotFromABadFact) {
    const TBytes ref = ReadAll(Media("wav/mp3_stereo.ref.raw"));
    const int64_t frames = static_cast<int64_t>(ref.size() / 4);
    for (const char* name : {"mp3_fact0", "mp3_fact_short"}) {
        SCOPED_TRACE(name);
        TWaveIn in;
        in.SetFileName(WavPath(name));
        ASSERT_TRUE(in.Valid());
        EXPECT_NEAR(static_cast<double>(in.TotalSamples()), static_cast<double>(frames), frames / 20.0);
        const TBytes out = DecodeAll(in, 16384);
        EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
    }
}

TEST(WaveIn, TinyRequestsDeliverTheSameBytes) {
    const TBytes ref = ReadAll(Media("wav/ext_s24_stereo.ref.raw"));
    TWaveIn in;
    in.SetFileName(WavPath("ext_s24_stereo"));
    EXPECT_TRUE(DecodeAll(in, 5) == ref);
}

// One ADPCM block fills the decoder's buffer: its frame count is the first delivery.
struct TBlockCase {
    const char* Name;
    uint32_t Channels, BlockFrames;
};

class WaveAdpcmBlocks : public testing::TestWithParam<TBlockCase> {};

TEST_P(WaveAdpcmBlocks, OneBlockGivesItsFrameCount) {
    const TBlockCase c = GetParam();
    TWaveIn in;
    in.SetFileName(WavPath(c.Name));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 1 << 20;
    in.GetData(p, n);
    EXPECT_EQ(n, c.BlockFrames * c.Channels * 2);
    in.Flush();
}

INSTANTIATE_TEST_SUITE_P(Files, WaveAdpcmBlocks,
                         testing::Values(TBlockCase{"ima_adpcm_mono", 1, 2041},   // 1024-byte blocks
                                         TBlockCase{"ima_adpcm_stereo", 2, 2041}, // 2048-byte blocks
                                         TBlockCase{"ms_adpcm_stereo", 2, 2036}), // 2048-byte blocks
                         [](const testing::TestParamInfo<TBlockCase>& i) {
                             return std::string(i.param.Name);
                         });

// A stereo MS ADPCM block starts with its header's second and first samples.
TEST(WaveIn, MsAdpcmBlockStartsWithTheHeaderSamples) {
    const TBytes file = ReadAll(WavPath("ms_adpcm_stereo"));
    size_t data = 0;
    for (size_t i = 12; i + 8 <= file.size() && !data; ++i)
        if (std::memcmp(&file[i], "data", 4) == 0) data = i + 8;
    ASSERT_GT(data, 0u);
    const uint8_t* h = &file[data]; // predictors 0-1, deltas 2-5, Samp1 6-9, Samp2 10-13
    TWaveIn in;
    in.SetFileName(WavPath("ms_adpcm_stereo"));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 8;
    in.GetData(p, n);
    ASSERT_EQ(n, 8u);
    EXPECT_EQ(0, std::memcmp(p, h + 10, 4));    // Samp2 left, right
    EXPECT_EQ(0, std::memcmp(p + 4, h + 6, 4)); // Samp1 left, right
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// Seeking lands exactly on the sample, also inside an ADPCM block.

struct TSeekCase {
    const char* Name;
    TRefKind Ref;
    uint32_t FrameBytes; // as delivered
    int64_t Sample;
};

void PrintTo(const TSeekCase& c, std::ostream* os) {
    *os << c.Name << " at " << c.Sample;
}

class WaveSeek : public testing::TestWithParam<TSeekCase> {};

TEST_P(WaveSeek, DeliversTheReferenceFromTheTarget) {
    const TSeekCase c = GetParam();
    const TBytes ref = Expected(TWaveCase{c.Name, wtUnsupported, 0, 0, c.Ref, 0});
    const TBytes expected(ref.begin() + static_cast<std::ptrdiff_t>(c.Sample * c.FrameBytes), ref.end());

    TWaveIn in;
    in.SetFileName(WavPath(c.Name));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 5000;
    in.GetData(p, n);
    ASSERT_TRUE(in.Seek(c.Sample));
    EXPECT_EQ(in.Position(), c.Sample * c.FrameBytes);
    TBytes out = Drain(in, 4096);
    EXPECT_TRUE(out == expected) << "during a run: " << FirstDifference(out, expected);
    in.Flush();

    ASSERT_TRUE(in.Seek(c.Sample)); // before a run: the start sample
    out = DecodeAll(in, 10000);
    EXPECT_TRUE(out == expected) << "from the start sample: " << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WaveSeek,
    testing::Values(TSeekCase{"pcm_u8_mono", TRefKind::Raw, 1, 777},
                    TSeekCase{"pcm_s24_stereo", TRefKind::Raw, 6, 1000},
                    TSeekCase{"ext_s16_6ch", TRefKind::Raw, 12, 10000},
                    TSeekCase{"float64_mono", TRefKind::Double, 4, 12345},
                    TSeekCase{"ext_float32_stereo", TRefKind::Single, 8, 3},
                    TSeekCase{"ima_adpcm_mono", TRefKind::Raw, 2, 2041}, // a block's first sample
                    TSeekCase{"ima_adpcm_mono", TRefKind::Raw, 2, 5000},
                    TSeekCase{"ima_adpcm_stereo", TRefKind::Raw, 4, 2040}, // a block's last frame
                    TSeekCase{"ms_adpcm_mono", TRefKind::Raw, 2, 1},
                    TSeekCase{"ms_adpcm_stereo", TRefKind::Raw, 4, 3 * 2036 + 5},
                    TSeekCase{"alaw_stereo", TRefKind::Raw, 4, 777},
                    TSeekCase{"mulaw_6ch", TRefKind::Raw, 12, 10001},
                    TSeekCase{"rf64_alaw_mono", TRefKind::Raw, 2, 4000},
                    TSeekCase{"bw64_stereo", TRefKind::Raw, 4, 20000}),
    [](const testing::TestParamInfo<TSeekCase>& i) {
        return std::string(i.param.Name) + "_" + std::to_string(i.param.Sample);
    });

// GSM frames depend on the ones before: a seek starts the decoder afresh at the block that
// holds the target, as ffmpeg does, and drops the frames before the target.
TEST(WaveIn, GsmSeekDecodesAsFfmpegSeeks) {
    const TBytes expected = ReadAll(Media("wav/gsm_mono.from3280.raw"));
    ASSERT_FALSE(expected.empty());
    TWaveIn in;
    in.SetFileName(WavPath("gsm_mono"));
    ASSERT_TRUE(in.Seekable());
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 3000;
    in.GetData(p, n);
    ASSERT_TRUE(in.Seek(3280));
    const TBytes out = Drain(in, 1000);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    in.Flush();
}

TEST(WaveIn, StartAndEndSampleCutAnAdpcmRun) {
    const TBytes ref = ReadAll(Media("wav/ms_adpcm_stereo.ref.raw"));
    TWaveIn in;
    in.SetFileName(WavPath("ms_adpcm_stereo"));
    in.SetStartSample(3000);
    in.SetEndSample(9999);
    const TBytes out = DecodeAll(in, 3333);
    const TBytes expected(ref.begin() + 3000 * 4, ref.begin() + 10000 * 4);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

// MPEG data is converted as it is read, so it cannot seek: it says so instead of playing
// from the wrong place.
TEST(WaveIn, MpegDataIsNotSeekable) {
    TWaveIn in;
    in.SetFileName(WavPath("mp3_stereo"));
    ASSERT_TRUE(in.Valid());
    EXPECT_FALSE(in.Seekable());
    EXPECT_FALSE(in.Seek(1000));
    EXPECT_FALSE(in.SetStartTime(0, 0));
    in.Init();
    EXPECT_FALSE(in.Seek(1000));
    in.Flush();
}

// The caller's stream is read instead of a file, and rewound when the file is closed.
// An RF64 file of more than 4 GiB: silence, then real audio at the end. It is made sparse on
// a memory file system (or the temporary folder), where the silence takes no room.
class TSparseFile {
public:
    explicit TSparseFile(std::string APath) : Path(std::move(APath)) {}
    ~TSparseFile() {
        if (Fd >= 0) ::close(Fd);
        ::unlink(Path.c_str());
    }
    // Size bytes, Head at the start and Tail at the end; false when the file system refuses.
    bool Write(const TBytes& Head, const TBytes& Tail, int64_t Size) {
        Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        return Fd >= 0 && ::ftruncate(Fd, Size) == 0 &&
               ::pwrite(Fd, Head.data(), Head.size(), 0) == static_cast<ssize_t>(Head.size()) &&
               ::pwrite(Fd, Tail.data(), Tail.size(), Size - static_cast<int64_t>(Tail.size())) ==
                   static_cast<ssize_t>(Tail.size());
    }
    const std::string Path;

private:
    int Fd = -1;
};

TEST(WaveIn, Rf64BeyondFourGiBReadsItsLengthAndItsEnd) {
    const TBytes tail = ReadAll(Media("wav/pcm_s16_stereo.ref.raw")); // 16-bit stereo, 44.1 kHz
    ASSERT_FALSE(tail.empty());
    const int64_t silence = (int64_t{1} << 30) + 4410; // frames of 4 bytes: past 4 GiB
    const int64_t frames = silence + static_cast<int64_t>(tail.size() / 4);
    const uint64_t dataBytes = static_cast<uint64_t>(frames) * 4;
    // The "ds64" body at byte 20: the RIFF size, the data size and the frames, 64 bits each,
    // then a table length of 0; the 32-bit fields say 0xFFFFFFFF.
    TBytes head =
        RiffWave({{"ds64", TBytes(28, 0)}, {"fmt ", FmtBody(1, 2, 44100, 4, 16)}, {"data", {}, 0xFFFFFFFF}},
                 true, "RF64");
    SetLe(head, 4, 0xFFFFFFFF, 4);
    const uint64_t fields[] = {head.size() - 8 + dataBytes, dataBytes, static_cast<uint64_t>(frames)};
    for (size_t i = 0; i < 3; ++i) {
        SetLe(head, 20 + 8 * i, static_cast<uint32_t>(fields[i]), 4);
        SetLe(head, 24 + 8 * i, static_cast<uint32_t>(fields[i] >> 32), 4);
    }

    std::string dir = "/dev/shm";
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0 || uint64_t{fs.f_bavail} * fs.f_frsize < (64u << 20))
        dir = testing::TempDir();
    if (::statvfs(dir.c_str(), &fs) != 0 || uint64_t{fs.f_bavail} * fs.f_frsize < (64u << 20))
        GTEST_SKIP() << "no room for a sparse file";
    TSparseFile file(dir + "/tarvio-rf64-" + std::to_string(::getpid()) + ".wav");
    if (!file.Write(head, tail, static_cast<int64_t>(head.size() + dataBytes)))
        GTEST_SKIP() << "no sparse file of " << dataBytes << " bytes in " << dir;

    TWaveIn in;
    in.SetFileName(file.Path);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Container(), wcRF64);
    EXPECT_EQ(in.TotalSamples(), frames);
    in.Init();
    ASSERT_TRUE(in.Seek(silence - 100));
    TBytes expected(400, 0);
    expected.insert(expected.end(), tail.begin(), tail.end());
    const TBytes out = Drain(in, 4096);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    in.Flush();
}

TEST(WaveIn, DecodesAnAssignedStream) {
    for (const char* name : {"ima_adpcm_stereo", "mp3_mono_22050"}) {
        SCOPED_TRACE(name);
        TWaveIn file;
        file.SetFileName(WavPath(name));
        const TBytes expected = DecodeAll(file);
        TMemoryStream stream(ReadAll(WavPath(name)));
        TWaveIn in;
        in.SetStream(&stream);
        ASSERT_TRUE(in.Valid());
        EXPECT_TRUE(DecodeAll(in) == expected);
        EXPECT_EQ(stream.Position(), 0);
        EXPECT_TRUE(DecodeAll(in) == expected); // and can be played again
    }
}

// Through a chain: the decoder pulled by an output that records a WAV file.
TEST(WaveIn, PlaysIntoAWaveFile) {
    const TBytes ref = ReadAll(Media("wav/ima_adpcm_stereo.ref.raw"));
    const std::string wav = TempPath("wav_pipeline.wav");
    TWaveIn in;
    in.SetFileName(WavPath("ima_adpcm_stereo"));
    PlayIntoWaveFile(in, wav);
    const TWave got = ReadWave(wav);
    EXPECT_EQ(got.SampleRate, 44100u);
    EXPECT_TRUE(got.Data == ref) << FirstDifference(got.Data, ref);
    std::remove(wav.c_str());
}

TEST(WaveIn, ReadsTheInfoTags) {
    TWaveIn in;
    in.SetFileName(WavPath("tagged"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u"Группа крови");
    EXPECT_EQ(in.CommonTags()->Artist(), u"Кино");
    EXPECT_EQ(in.CommonTags()->Album(), u"Звезда по имени Солнце");
    in.SetFileName(WavPath("pcm_s16_stereo"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u""); // nothing of the earlier file survives
}

// DTS that the DTS decoder could not follow is refused with a message, in every packing,
// and never played as PCM; PCM of full-scale noise plays.
TEST(WaveIn, DtsIsNeverPlayedAsPcm) {
    // The lengths of a 44-byte header set for the bytes after it.
    const auto withLengths = [](TBytes Bytes) {
        SetLe(Bytes, 4, static_cast<uint32_t>(Bytes.size() - 8), 4);
        SetLe(Bytes, 40, static_cast<uint32_t>(Bytes.size() - 44), 4);
        return Bytes;
    };
    const TBytes tones = ReadAll(Media("dts/tones_48000.dts"));
    TBytes be16 = ReadAll(Media("dts/pcm.wav"));
    be16.resize(44);
    be16.insert(be16.end(), tones.begin(), tones.end());
    be16 = withLengths(std::move(be16));
    // Beyond the DTS decoder's reach: a mebibyte and more of other bytes before the stream.
    TBytes far = ReadAll(Media("dts/tones_44100_le14.wav"));
    far.insert(far.begin() + 44, 1100000, 0x55);
    far = withLengths(std::move(far));
    const std::pair<std::string, TBytes> files[] = {
        {"be16", be16},
        {"le16", ReadAll(Media("dts/tones_44100_le16.wav"))},
        {"be14", ReadAll(Media("dts/tones_44100_be14.wav"))},
        {"le14", ReadAll(Media("dts/tones_44100_le14.wav"))},
        {"silence first", ReadAll(Media("dts/silence_first_le14.wav"))},
        {"far", far}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        TMemoryStream stream(bytes);
        TWaveIn in;
        in.SetStream(&stream);
        try {
            (void)in.Channels();
            ADD_FAILURE() << "opened";
        } catch (const EAuException& e) {
            EXPECT_NE(std::string(e.what()).find("holds DTS"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(in.Valid());
    }
    for (const char* pcm : {"dts/noise.wav", "dts/pcm.wav"}) {
        TWaveIn in;
        in.SetFileName(Media(pcm));
        EXPECT_TRUE(in.Valid()) << pcm;
        EXPECT_EQ(in.WavType(), wtPCM);
    }
}

// MPEG data is decoded by libmpg123, opened the first time such a file is: without it, the
// data names the missing library and PCM still plays.
TEST(WaveIn, WithoutLibmpg123MpegDataNamesTheLibrary) {
    TLibraryLoader& loader = mpg123::TMpg123Library::Loader();
    const std::string real = loader.FileName();
    loader.OverrideFileName("missing-" + real);
    TWaveIn in;
    in.SetFileName(WavPath("mp3_stereo"));
    EXPECT_FALSE(in.Valid());
    try {
        in.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "missing-libmpg123.so.0 library could not be loaded.");
    }
    in.Flush();
    TWaveIn pcm;
    pcm.SetFileName(WavPath("pcm_s16_stereo"));
    EXPECT_TRUE(pcm.Valid());
    EXPECT_FALSE(DecodeAll(pcm).empty());
    loader.OverrideFileName(real);
    EXPECT_TRUE(in.Valid());
    EXPECT_FALSE(DecodeAll(in).empty());
}

} // namespace
