// tarvio-cli decode and play: the PCM written is the decoder's, exactly cut, and a played
// file reaches the wave-file device unchanged.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CliTestSupport.h"
#include "pipeline/TWaveOut.h"
#include "support/TRecordingCheck.h"

namespace tarvio::test {
namespace {

struct TDecodeCase {
    std::string File;      // under the media folder
    std::string Decoder;   // the table name it must go to
    std::string Reference; // lossless: the reference decoder's WAVE output; else empty
};

void PrintTo(const TDecodeCase& c, std::ostream* os) {
    *os << c.File;
}

class CliDecode : public CliTest, public ::testing::WithParamInterface<TDecodeCase> {};

TEST_P(CliDecode, WritesTheDecodersPcm) {
    const TDecodeCase& c = GetParam();
    if (!HaveDecoder(c.Decoder)) GTEST_SKIP() << "no " << c.Decoder << " decoder in this build";
    const std::string out = Path("out.wav");
    const TCliResult r = RunCli({"decode", Media(c.File), out});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");

    TWave format;
    const TBytes pcm = DecoderPcm(Media(c.File), &format);
    const TWave written = ReadWave(out);
    EXPECT_EQ(written.Channels, format.Channels);
    EXPECT_EQ(written.SampleRate, format.SampleRate);
    EXPECT_EQ(written.Bits, format.Bits);
    EXPECT_TRUE(written.Data == pcm) << FirstDifference(written.Data, pcm);
    if (!c.Reference.empty()) {
        const TWave ref = ReadWave(Media(c.Reference));
        EXPECT_EQ(written.Channels, ref.Channels);
        EXPECT_EQ(written.Bits, ref.Bits);
        EXPECT_TRUE(written.Data == ref.Data)
            << "against the reference decoder: " << FirstDifference(written.Data, ref.Data);
    }
}

std::vector<TDecodeCase> DecodeCases() {
    std::vector<TDecodeCase> cases;
    for (const char* name : {"s8_mono_44100", "s8_6ch_48000", "s16_mono_44100", "s16_stereo_44100",
                             "s16_6ch_48000", "s24_stereo_96000", "s24_6ch_44100", "s32_stereo_48000",
                             "varblock_stereo_44100", "no_length", "tagged"})
        cases.push_back(
            {std::string("flac/") + name + ".flac", "flac", std::string("flac/") + name + ".ref.wav"});
    cases.push_back({"flac/md5_altered.flac", "flac", ""});
    for (const char* name : {"mono_44100", "stereo_44100", "6ch_48000", "tagged", "chained"})
        cases.push_back({std::string("vorbis/") + name + ".ogg", "vorbis", ""});
    cases.push_back({"mac/tagged.ape", "mac", "mac/s16_mono_44100.ref.wav"});
    cases.push_back({"mac/s24_stereo_96000_2000.ape", "mac", "mac/s24_stereo_96000.ref.wav"});
    for (const char* name : {"cbr128_stereo_44100.mp3", "vbr_mono_22050.mp3", "gapless.mp3", "tagged.mp3"})
        cases.push_back({std::string("wm/") + name, "mp3", ""});
    for (const char* name : {"l2_stereo_48000.mp2", "l1_mono_44100.mp1"}) // by their own extensions
        cases.push_back({std::string("wm/mpeg/") + name, "mp3", ""});
    for (const char* name : {"wmav2_stereo_44100.wma", "pcm_8ch_48000.asf"})
        cases.push_back({std::string("wm/") + name, "wma", ""});
    for (const char* name : {"s8_stereo_44100", "s16_6ch_48000", "s24_6ch_44100", "s32_stereo_48000",
                             "s20_stereo_44100", "hybrid", "hybrid_alone", "tagged"})
        cases.push_back(
            {std::string("wavpack/") + name + ".wv", "wavpack", std::string("wavpack/") + name + ".ref.wav"});
    cases.push_back({"wavpack/f32_stereo_44100.wv", "wavpack", ""}); // float becomes 32-bit integers
    for (const char* name : {"lc_mono_8000.m4a", "lc_6ch_48000.m4a", "he_22050_44100.m4a", "video_first.mp4"})
        cases.push_back({std::string("mp4/") + name, "mp4", ""});
    for (const char* name : {"pcm_s24_stereo", "ext_float64_6ch", "ima_adpcm_stereo", "mp3_stereo", "tagged"})
        cases.push_back({std::string("wav/") + name + ".wav", "wav", ""});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Media, CliDecode, ::testing::ValuesIn(DecodeCases()), [](const auto& info) {
    std::string n = info.param.File;
    std::replace_if(
        n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return n;
});

// decode into a pipe (/dev/stdout in a pipeline): one header whose sizes are the largest
// values, as ffmpeg and sox write them, then the decoder's PCM to the end of the stream and
// nothing after it.
class CliPipe : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CliPipe, StreamsOneHeaderAndThePcm) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "no flac decoder in this build";
    const std::string file = Media(GetParam());
    FILE* pipe = popen(("'" TARVIO_CLI "' decode '" + file + "' /dev/stdout").c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string got;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        got.append(chunk, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    TWave format;
    const TBytes pcm = DecoderPcm(file, &format);
    const std::string header = TWaveOut::MakeStreamHeader(format.Channels, format.SampleRate, format.Bits);
    EXPECT_EQ(got.substr(4, 4), "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(got.substr(0, header.size()), header);
    ASSERT_EQ(got.size(), header.size() + pcm.size()) << "no second header at the end";
    EXPECT_TRUE(TBytes(got.begin() + static_cast<std::ptrdiff_t>(header.size()), got.end()) == pcm);
}

INSTANTIATE_TEST_SUITE_P(Media, CliPipe,
                         ::testing::Values("flac/s16_stereo_44100.flac", "flac/s24_6ch_44100.flac"),
                         [](const auto& info) { return info.index == 0 ? "Plain" : "Extensible"; });

// An output that cannot be written (here a file-size limit of 10240 bytes, as a full disk
// would stop it): the message names the output, not the input, the status is 1, and the
// file's header describes exactly the bytes written before the failure.
TEST_F(CliTest, AFailingOutputIsNamedAndStaysReadable) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "no flac decoder in this build";
    const std::string file = Media("flac/s16_stereo_44100.flac"), out = Path("out.wav"),
                      err = Path("err.txt");
    const std::string command = "sh -c \"trap '' XFSZ; ulimit -f 20; exec '" TARVIO_CLI "' decode '" + file +
                                "' '" + out + "'\" 2>'" + err + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Slurp(err), "tarvio-cli: " + out + ": File too large\n");
    const TBytes bytes = ReadAll(out);
    ASSERT_EQ(bytes.size(), 10240u);
    const TWave written = ReadWave(out);
    EXPECT_EQ(written.Data.size(), 10240u - 44) << "the header gives the bytes written";
    const TBytes pcm = DecoderPcm(file);
    EXPECT_TRUE(std::equal(written.Data.begin(), written.Data.end(), pcm.begin()));
}

// --start and --end cut at exact frames: the output is the matching slice of the whole
// decode, across block boundaries, at the very end, and in streams without a length.
struct TCutCase {
    std::string File;
    std::string Decoder;
    int64_t Start;
    int64_t End; // -1: no --end
};

void PrintTo(const TCutCase& c, std::ostream* os) {
    *os << c.File << " [" << c.Start << ", " << c.End << ")";
}

class CliCut : public CliTest, public ::testing::WithParamInterface<TCutCase> {};

TEST_P(CliCut, WritesExactlyTheFramesAsked) {
    const TCutCase& c = GetParam();
    if (!HaveDecoder(c.Decoder)) GTEST_SKIP() << "no " << c.Decoder << " decoder in this build";
    TWave format;
    const TBytes all = DecoderPcm(Media(c.File), &format);
    const size_t frame = format.Channels * (format.Bits / 8);
    ASSERT_GT(frame, 0u);
    const int64_t total = static_cast<int64_t>(all.size() / frame);
    const int64_t end = c.End < 0 ? total : std::min(c.End, total);
    ASSERT_LE(c.Start, total) << "the case asks for frames the file does not have";
    const TBytes expected(all.begin() + c.Start * frame, all.begin() + std::max(end, c.Start) * frame);

    std::vector<std::string> args = {"decode", "--start", std::to_string(c.Start)};
    if (c.End >= 0) args.insert(args.end(), {"--end", std::to_string(c.End)});
    args.insert(args.end(), {Media(c.File), Path("cut.wav")});
    const TCliResult r = RunCli(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    const TWave cut = ReadWave(Path("cut.wav"));
    EXPECT_EQ(cut.Channels, format.Channels);
    EXPECT_EQ(cut.Data.size(), expected.size())
        << "frames " << cut.Data.size() / frame << " instead of " << expected.size() / frame;
    EXPECT_TRUE(cut.Data == expected) << FirstDifference(cut.Data, expected);
}

const TCutCase CutCases[] = {
    {"flac/s16_stereo_44100.flac", "flac", 1000, 1010},
    {"flac/s16_stereo_44100.flac", "flac", 0, 1},
    {"flac/s16_stereo_44100.flac", "flac", 4095, 4097},     // across a block boundary
    {"flac/s16_stereo_44100.flac", "flac", 50000, -1},      // to the end
    {"flac/s16_stereo_44100.flac", "flac", 0, 7},           // from the start
    {"flac/s16_stereo_44100.flac", "flac", 132299, 132300}, // the last frame
    {"flac/s16_stereo_44100.flac", "flac", 132300, -1},     // nothing: start at the end
    {"flac/s16_stereo_44100.flac", "flac", 500, 500},       // nothing: empty range
    {"flac/s16_stereo_44100.flac", "flac", 100, 999999999}, // the end is clamped
    {"flac/s24_6ch_44100.flac", "flac", 12345, 23456},
    {"flac/s8_mono_44100.flac", "flac", 3, 88000},
    {"flac/varblock_stereo_44100.flac", "flac", 4600, 4700}, // where the block size changes
    {"flac/no_length.flac", "flac", 1000, 1010},             // no length: frames are skipped
    {"flac/no_length.flac", "flac", 44000, -1},
    {"vorbis/stereo_44100.ogg", "vorbis", 1000, 1010},
    {"vorbis/6ch_48000.ogg", "vorbis", 47999, 48001},
    {"mac/s16_stereo_44100_2000.ape", "mac", 73700, 73800}, // across a frame boundary
    {"vorbis/chained.ogg", "vorbis", 44050, 44150},         // across the first link's end
    {"mp4/lc_stereo_44100.m4a", "mp4", 1000, 1030},         // across an AAC frame
    {"mp4/lc_stereo_44100.m4a", "mp4", 132299, -1},         // the last frame
    {"wm/cbr128_stereo_44100.mp3", "mp3", 1151, 1153},      // across an MP3 frame
    {"wm/cbr320_stereo_48000.mp3", "mp3", 50000, 60000},
    {"wm/vbr_stereo_44100.mp3", "mp3", 33333, -1},
    {"wm/vbr_mono_22050.mp3", "mp3", 575, 577},
    {"wm/vbr_noheader.mp3", "mp3", 200001, 200100},
    {"wm/gapless.mp3", "mp3", 54000, -1}, // up to the source's last sample
    {"wm/wmav2_stereo_44100.wma", "wma", 70000, 70100},
    {"wm/mpeg/l3_vbr_stereo_44100_noxing.mp3", "mp3", 30000, 30100},
    {"wm/mpeg/l3_320_then_64_noxing.mp3", "mp3", 1000000, 1000100}, // past the length estimated at open
    {"wm/mpeg/l3_freeformat_44100.mp3", "mp3", 40000, -1},
    {"wm/mpeg/l3_vbr_mpeg2_24000.mp3", "mp3", 575, 577},  // across an MPEG-2 frame
    {"wm/mpeg/l2_stereo_48000.mp2", "mp3", 1151, 1153},   // across a Layer II frame
    {"wm/mpeg/l1_stereo_48000.mp1", "mp3", 40000, 40500}, // Layer I: 384 frames a frame
    {"wav/ima_adpcm_stereo.wav", "wav", 2040, 2045},      // across an ADPCM block boundary
    {"wav/ms_adpcm_mono.wav", "wav", 5, 7},
    {"wav/mp3_stereo.wav", "wav", 1000, 2000}, // cannot seek: frames are skipped
};

INSTANTIATE_TEST_SUITE_P(Ranges, CliCut, ::testing::ValuesIn(CutCases));

// A file that states a length but from which no audio decodes: decode fails with the
// message instead of writing an empty file with success, and info says so in its valid line.
TEST_F(CliTest, NoAudioFromAFileThatStatesALengthFails) {
    struct TCase {
        const char* File;
        const char* Decoder;
        std::string Message;
        std::string Damage; // the damage line decode adds; "" for none
    };
    const TCase cases[] = {{"wm/truncated.wma", "wma", "no audio could be decoded", ""},
                           // Every frame's side information is rejected by the library.
                           {"hostile/no_frame_decodes.mp3", "mp3",
                            "no audio could be decoded: no frame of the stream decodes",
                            "frame 0: undecodable frame (116 times)"}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        if (!HaveDecoder(c.Decoder)) continue;
        const std::string file = Media(c.File);
        TCliResult r = RunCli({"decode", file, Path("out.wav")});
        EXPECT_EQ(r.Status, 1);
        std::string err = "tarvio-cli: " + file + ": " + c.Message + "\n";
        if (!c.Damage.empty()) err += "tarvio-cli: " + file + ": " + c.Damage + "\n";
        EXPECT_EQ(r.Err, err);
        r = RunCli({"info", file});
        EXPECT_EQ(r.Status, 1);
        EXPECT_NE(r.Out.find("  valid:           no (" + c.Message + ")\n"), std::string::npos) << r.Out;
    }
}

// play through the wave-file device: the recording holds the file's PCM from its first
// byte, followed by nothing but silence.
class CliPlay : public CliTest, public ::testing::WithParamInterface<TDecodeCase> {};

TEST_P(CliPlay, RecordsTheFilesPcmThenSilence) {
    const TDecodeCase& c = GetParam();
    if (!HaveDecoder(c.Decoder)) GTEST_SKIP() << "no " << c.Decoder << " decoder in this build";
    const std::string rec = Path("rec.wav");
    const TCliResult r = RunCli({"play", "--device", "wav:" + rec, "--latency", "50", Media(c.File)});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");

    TWave format;
    const TBytes pcm = DecoderPcm(Media(c.File), &format);
    const TWave played = ReadWave(rec);
    EXPECT_EQ(played.Channels, format.Channels);
    EXPECT_EQ(played.SampleRate, format.SampleRate);
    EXPECT_EQ(played.Bits, format.Bits);
    ASSERT_GE(played.Data.size(), pcm.size());
    const TBytes head(played.Data.begin(), played.Data.begin() + static_cast<std::ptrdiff_t>(pcm.size()));
    EXPECT_TRUE(head == pcm) << FirstDifference(head, pcm);
    const uint8_t silence = format.Bits == 8 ? 128 : 0;
    EXPECT_TRUE(std::all_of(played.Data.begin() + static_cast<std::ptrdiff_t>(pcm.size()), played.Data.end(),
                            [&](uint8_t b) { return b == silence; }))
        << "only silence after the file";
}

INSTANTIATE_TEST_SUITE_P(Media, CliPlay,
                         ::testing::Values(TDecodeCase{"vorbis/tagged.ogg", "vorbis", ""},
                                           TDecodeCase{"flac/s8_mono_44100.flac", "flac", ""},
                                           TDecodeCase{"mac/tagged.ape", "mac", ""},
                                           TDecodeCase{"wavpack/s24_6ch_44100.wv", "wavpack", ""}),
                         [](const auto& info) { return info.param.Decoder; });

// --verbose says at the end which scheduling the sound threads got and how many underruns
// there were; without it play says nothing on standard error.
TEST_F(CliTest, VerbosePlayReportsSchedulingAndUnderruns) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "no flac decoder in this build";
    const TCliResult r = RunCli({"play", "--device", "null", "--verbose", Media("flac/s8_mono_44100.flac")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(
        std::regex_search(r.Err, std::regex("^tarvio-cli: real-time scheduling: (SCHED_RR priority 10 "
                                            "\\((set directly|through RealtimeKit)\\)|not granted: .+)\n"
                                            "tarvio-cli: [0-9]+ underruns\n$")))
        << r.Err;
}

// The space key pauses and resumes: while paused the device hears only silence, and the
// recording holds every frame of the file once, in order.
TEST_F(CliTest, SpacePausesInSilenceAndResumesAtTheSameFrame) {
    using namespace std::chrono_literals;
    if (!HaveDecoder("flac")) GTEST_SKIP() << "no flac decoder in this build";
    const std::string rec = Path("rec.wav"), file = Media("flac/s16_stereo_44100.flac");
    TCliProcess cli({"play", "--device", "wav:" + rec, "--latency", "100", file}, true);
    // Pause once the device has played a tenth of a second.
    for (int i = 0; i < 1000 && Slurp(rec).size() < 44 + 17640; ++i)
        std::this_thread::sleep_for(10ms);
    cli.Type(" ");
    std::this_thread::sleep_for(200ms);
    const std::string atPause = Slurp(rec);
    std::this_thread::sleep_for(2s);
    const std::string afterPause = Slurp(rec);
    cli.Type(" ");
    const TCliResult r = cli.Wait(30000);
    ASSERT_EQ(r.Status, 0) << r.Err;

    ASSERT_GE(afterPause.size(), atPause.size());
    EXPECT_EQ(afterPause.find_first_not_of('\0', atPause.size()), std::string::npos)
        << "sound reached the device while paused";
    const TBytes pcm = DecoderPcm(file);
    EXPECT_LT(atPause.size(), pcm.size()) << "the pause came after the end of the file";
    const TBytes played = ReadWave(rec).Data;
    const TRecordingCheck check(std::string(played.begin(), played.end()),
                                std::string(pcm.begin(), pcm.end()), 4);
    EXPECT_TRUE(check.Ok) << check.Why;
}

// A file that cannot be played is reported and skipped; the next one still plays.
TEST_F(CliTest, PlaySkipsAFileItCannotPlay) {
    if (!HaveDecoder("vorbis")) GTEST_SKIP() << "no vorbis decoder in this build";
    const std::string rec = Path("rec.wav");
    const TCliResult r =
        RunCli({"play", "--device", "wav:" + rec, Path("missing.ogg"), Media("vorbis/tagged.ogg")});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, "tarvio-cli: " + Path("missing.ogg") + ": no such file\n");
    const TBytes pcm = DecoderPcm(Media("vorbis/tagged.ogg"));
    const TWave played = ReadWave(rec);
    ASSERT_GE(played.Data.size(), pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), played.Data.begin()));
}

} // namespace
} // namespace tarvio::test
