// tarvio-cli info, help and the error paths of every command.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "JsonValue.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio::test {
namespace {

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos) end = Text.size();
        out.push_back(Text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

using CliInfo = CliTest;

// Every field of the JSON object agrees with what the decoder itself reports; a file that
// cannot be played keeps its place in the output as an error object.
TEST_F(CliInfo, JsonGivesOneObjectPerFileInOrder) {
    if (!HaveDecoder("flac") || !HaveDecoder("vorbis")) GTEST_SKIP() << "needs the FLAC and Vorbis decoders";
    const std::vector<std::string> files = {Media("flac/tagged.flac"), Media("vorbis/tagged.ogg"),
                                            Path("missing.flac"), Media("flac/no_length.flac")};
    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    const TCliResult r = RunCli(args);
    EXPECT_EQ(r.Status, 1) << "one file is missing";
    EXPECT_TRUE(OneLine(r.Err)) << r.Err;
    EXPECT_NE(r.Err.find("missing.flac: no such file"), std::string::npos) << r.Err;

    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), files.size()) << r.Out;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        TJson o;
        ASSERT_TRUE(TJson::Parse(lines[i], o)) << lines[i];
        ASSERT_EQ(o.Kind, TJson::jObject);
        EXPECT_EQ(o["file"].String, files[i]);
        if (i == 2) {
            EXPECT_EQ(o["decoder"].String, "flac");
            EXPECT_FALSE(o["valid"].Bool);
            EXPECT_EQ(o["error"].String, "no such file");
            continue;
        }
        std::string error;
        TOpenedDecoder d = TDecoderTable::Open(files[i], nullptr, error);
        ASSERT_TRUE(d.Input) << error;
        EXPECT_EQ(o["decoder"].String, d.Entry->Name);
        EXPECT_EQ(o["class"].String, d.Entry->ClassName);
        EXPECT_TRUE(o["valid"].Bool);
        EXPECT_EQ(o["channels"].Number, d.Input->Channels());
        EXPECT_EQ(o["sample_rate"].Number, d.Input->SampleRate());
        EXPECT_EQ(o["bits_per_sample"].Number, d.Input->BitsPerSample());
        EXPECT_EQ(o["seconds"].Number, d.Input->TotalTime());
        const int64_t total = d.Input->TotalSamples();
        if (total < 0)
            EXPECT_EQ(o["total_samples"].Kind, TJson::jNull);
        else
            EXPECT_EQ(o["total_samples"].Number, total);
        auto* tagged = dynamic_cast<TAuTaggedFileIn*>(d.Input.get());
        ASSERT_TRUE(tagged);
        const TJson& tags = o["tags"];
        ASSERT_EQ(tags.Kind, TJson::jObject);
        const TCommonTags& c = *tagged->CommonTags();
        EXPECT_EQ(tags["title"].String, TCodePage::WideToUtf8(c.Title()));
        EXPECT_EQ(tags["artist"].String, TCodePage::WideToUtf8(c.Artist()));
        EXPECT_EQ(tags["album"].String, TCodePage::WideToUtf8(c.Album()));
        EXPECT_EQ(tags["genre"].String, TCodePage::WideToUtf8(c.Genre()));
        EXPECT_EQ(tags["year"].String, c.Year());
        EXPECT_EQ(tags["track"].String, c.Track());
    }

    // The values themselves, for the tagged files.
    TJson flac, ogg, nolength;
    ASSERT_TRUE(TJson::Parse(lines[0], flac) && TJson::Parse(lines[1], ogg) &&
                TJson::Parse(lines[3], nolength));
    EXPECT_EQ(flac["total_samples"].Number, 3 * 44100);
    EXPECT_EQ(flac["total_time"].String, "0:03");
    EXPECT_EQ(flac["bit_rate"].Kind, TJson::jNull) << "FLAC reports no bit rate";
    EXPECT_GT(ogg["bit_rate"].Number, 0) << "Vorbis reports its nominal bit rate";
    for (const TJson* o : {&flac, &ogg}) {
        EXPECT_EQ((*o)["tags"]["title"].String, "Группа крови");
        EXPECT_EQ((*o)["tags"]["artist"].String, "Кино");
        EXPECT_EQ((*o)["tags"]["album"].String, "Звезда по имени Солнце");
        EXPECT_EQ((*o)["tags"]["year"].String, "1988");
        EXPECT_EQ((*o)["tags"]["track"].String, "7");
    }
    EXPECT_EQ(nolength["total_samples"].Kind, TJson::jNull) << "the stream holds no sample count";
}

// The surround decoders: the decoder a ".wav", ".dts", ".ac3" or ".vob" file reaches, its
// layout and its bit rate (the stream's, known before playback).
TEST_F(CliInfo, SurroundFilesShowLayoutAndBitRate) {
    if (!HaveDecoder("dts") || !HaveDecoder("ac3")) GTEST_SKIP() << "needs the DTS and AC-3 decoders";
    struct TCase {
        const char* File;
        const char* Decoder;
        const char* Layout;
        int64_t BitRate;
    } cases[] = {
        {"dts/demo.wav", "dts", "5.1", 1280000},        {"dts/stereo_48000.dts", "dts", "stereo", 1411200},
        {"ac3/tones_48000.ac3", "ac3", "5.1", 448000},  {"ac3/two.vob", "ac3", "5.1", 448000},
        {"dts/tones_48000.vob", "dts", "5.1", 1411200},
    };
    std::vector<std::string> args = {"info", "--json"};
    for (const TCase& c : cases)
        args.push_back(Media(c.File));
    const TCliResult r = RunCli(args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), std::size(cases)) << r.Out;
    for (size_t i = 0; i < lines.size(); ++i) {
        TJson o;
        ASSERT_TRUE(TJson::Parse(lines[i], o)) << lines[i];
        EXPECT_EQ(o["decoder"].String, cases[i].Decoder) << lines[i];
        EXPECT_EQ(o["layout"].String, cases[i].Layout) << lines[i];
        EXPECT_EQ(o["bit_rate"].Number, cases[i].BitRate) << lines[i];
        EXPECT_EQ(o["total_samples"].Kind, TJson::jNull) << lines[i];
    }
}

// A 20-bit FLAC file travels in 24-bit samples: info shows both widths.
TEST_F(CliInfo, FlacShowsTheStreamsOwnDepth) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "needs the FLAC decoder";
    const TCliResult r = RunCli({"info", "--json", Media("flac/d20_stereo_48000.flac")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    TJson o;
    ASSERT_TRUE(TJson::Parse(Lines(r.Out).at(0), o)) << r.Out;
    EXPECT_EQ(o["bits_per_sample"].Number, 24);
    EXPECT_EQ(o["details"]["stream_bits"].String, "20");
}

// MP4 files name their codec; AAC ones tell their profile and whether SBR and PS are in use.
TEST_F(CliInfo, Mp4ShowsTheCodecAndAacProfile) {
    if (!HaveDecoder("mp4")) GTEST_SKIP() << "needs the MP4 decoder";
    struct TCase {
        const char* File;
        const char* Codec;
        const char* Profile; // nullptr: not AAC, no profile
        bool Sbr;
    };
    const TCase cases[] = {{"mp4/lc_stereo_48000.m4a", "AAC", "LC", false},
                           {"mp4/he_22050_44100.m4a", "AAC", "HE-AAC", true},
                           {"mp4/video_first.mp4", "AAC", "LC", false},
                           {"mp4/alac_s24_6ch.m4a", "ALAC", nullptr, false},
                           {"mp4/ac3_6ch.mp4", "AC-3", nullptr, false}};
    std::vector<std::string> args = {"info", "--json"};
    for (const TCase& c : cases)
        args.push_back(Media(c.File));
    const TCliResult r = RunCli(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), std::size(cases)) << r.Out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const TCase& c = cases[i];
        SCOPED_TRACE(c.File);
        TJson o;
        ASSERT_TRUE(TJson::Parse(lines[i], o)) << lines[i];
        EXPECT_EQ(o["decoder"].String, "mp4");
        EXPECT_EQ(o["details"]["codec"].String, c.Codec);
        if (!c.Profile) {
            EXPECT_EQ(lines[i].find("\"profile\""), std::string::npos) << lines[i];
            continue;
        }
        EXPECT_EQ(o["details"]["profile"].String, c.Profile);
        EXPECT_EQ(o["details"]["sbr"].String, c.Sbr ? "yes" : "no");
        EXPECT_EQ(o["details"]["ps"].String, "no");
    }
    const TCliResult text = RunCli({"info", Media("mp4/he_22050_44100.m4a")});
    EXPECT_NE(text.Out.find("  sample rate:     44100 Hz\n"), std::string::npos) << text.Out;
    EXPECT_NE(text.Out.find("  codec:           AAC\n  profile:         HE-AAC\n  sbr:             yes\n  "
                            "ps:              no\n"),
              std::string::npos)
        << text.Out;
}

// Opus: 48 kHz whatever the encoder's input rate; the codec, channel mapping, header gain
// and R128 gain among the details, and the tags.
TEST_F(CliInfo, JsonShowsTheOpusHeader) {
    if (!HaveDecoder("opus")) GTEST_SKIP() << "no Opus decoder in this build";
    const TCliResult r = RunCli({"info", "--json", Media("opus/tagged.opus"), Media("opus/tones.opus")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u) << r.Out;
    TJson tagged, tones;
    ASSERT_TRUE(TJson::Parse(lines[0], tagged) && TJson::Parse(lines[1], tones)) << r.Out;
    EXPECT_EQ(tagged["decoder"].String, "opus");
    EXPECT_EQ(tagged["sample_rate"].Number, 48000);
    EXPECT_EQ(tagged["total_samples"].Number, 48000);
    EXPECT_GT(tagged["bit_rate"].Number, 0);
    EXPECT_EQ(tagged["tags"]["title"].String, "Группа крови");
    EXPECT_EQ(tagged["details"]["codec"].String, "opus");
    EXPECT_EQ(tagged["details"]["channel_mapping"].String, "0");
    EXPECT_EQ(tagged["details"]["output_gain"].String, "0.00 dB");
    EXPECT_EQ(tagged["details"]["r128_track"].String, "-2.00 dB");
    EXPECT_EQ(tagged["details"]["r128_album"].Kind, TJson::jNull);
    EXPECT_EQ(tagged["details"]["input_rate"].String, "48000");
    EXPECT_EQ(tones["channels"].Number, 6);
    EXPECT_EQ(tones["layout"].String, "5.1");
    EXPECT_EQ(tones["details"]["channel_mapping"].String, "1");
}

// Monkey's Audio: the compression level as a number and by name, and the tags.
TEST_F(CliInfo, JsonShowsTheMonkeysAudioCompressionLevel) {
    if (!HaveDecoder("mac")) GTEST_SKIP() << "no Monkey's Audio decoder in this build";
    const TCliResult r =
        RunCli({"info", "--json", Media("mac/tagged.ape"), Media("mac/s24_stereo_96000_4000.ape")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u) << r.Out;
    TJson normal, extra;
    ASSERT_TRUE(TJson::Parse(lines[0], normal) && TJson::Parse(lines[1], extra)) << r.Out;
    EXPECT_EQ(normal["details"]["compression_level"].String, "2000");
    EXPECT_EQ(normal["details"]["compression"].String, "normal");
    EXPECT_EQ(normal["tags"]["title"].String, "Группа крови");
    EXPECT_EQ(normal["tags"]["track"].String, "7");
    EXPECT_EQ(extra["details"]["compression_level"].String, "4000");
    EXPECT_EQ(extra["details"]["compression"].String, "extra high");
    EXPECT_EQ(extra["bits_per_sample"].Number, 24);
    EXPECT_GT(extra["bit_rate"].Number, 0);
    EXPECT_NE(RunCli({"info", Media("mac/tagged.ape")}).Out.find("compression:     normal\n"),
              std::string::npos);
}

// MP3 and WMA files: the bit rate, whether it varies (a detail of these formats), and the
// tags.
TEST_F(CliInfo, JsonShowsBitRateVbrLibraryAndTagsOfMp3AndWma) {
    if (!HaveDecoder("mp3") || !HaveDecoder("wma") || !HaveDecoder("flac"))
        GTEST_SKIP() << "needs the MP3, WMA and FLAC decoders";
    const TCliResult r = RunCli({"info", "--json", Media("wm/tagged.mp3"), Media("wm/vbr_stereo_44100.mp3"),
                                 Media("wm/wmav2_stereo_44100.wma"), Media("flac/tagged.flac")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 4u) << r.Out;
    TJson mp3, vbr, wma, flac;
    ASSERT_TRUE(TJson::Parse(lines[0], mp3) && TJson::Parse(lines[1], vbr) && TJson::Parse(lines[2], wma) &&
                TJson::Parse(lines[3], flac));
    EXPECT_EQ(mp3["class"].String, "TMP3In");
    EXPECT_EQ(wma["class"].String, "TWMIn");
    EXPECT_EQ(mp3["bit_rate"].Number, 128000);
    EXPECT_EQ(wma["bit_rate"].Number, 128000);
    EXPECT_GT(vbr["bit_rate"].Number, 0);
    EXPECT_EQ(mp3["details"]["vbr"].String, "no");
    EXPECT_EQ(wma["details"]["vbr"].String, "no");
    EXPECT_EQ(vbr["details"]["vbr"].String, "yes");
    EXPECT_EQ(flac["details"]["vbr"].Kind, TJson::jNull) << "a detail of MP3 and WMA only";
    EXPECT_EQ(mp3["details"]["library"].String, "libmpg123");
    EXPECT_EQ(mp3["details"]["layer"].String, "3");
    EXPECT_EQ(wma["details"]["library"].String, "FFmpeg");
    EXPECT_EQ(wma["details"]["layer"].Kind, TJson::jNull) << "MPEG audio only";
    for (const TJson* o : {&mp3, &wma}) {
        EXPECT_EQ((*o)["tags"]["title"].String, "Группа крови");
        EXPECT_EQ((*o)["tags"]["artist"].String, "Кино");
        EXPECT_EQ((*o)["tags"]["album"].String, "Звезда по имени Солнце");
        EXPECT_EQ((*o)["tags"]["genre"].String, "Rock");
        EXPECT_EQ((*o)["tags"]["year"].String, "1988");
        EXPECT_EQ((*o)["tags"]["track"].String, "7");
    }
}

// File names carry quotes, backslashes, control characters, Cyrillic and bytes that are
// no UTF-8; the output stays one valid JSON object per line.
TEST_F(CliInfo, JsonEscapesEveryFileName) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "needs the FLAC decoder";
    const std::vector<std::string> names = {"quote\"back\\slash/", "tab\there",  "new\nline\r",
                                            "ctl\x01\x1f\x7f",     "Кино – ☃ 𝄞", "bad\xff\xfe"};
    std::vector<std::string> args = {"info", "--json"};
    std::vector<std::string> paths;
    for (std::string name : names) {
        std::replace(name.begin(), name.end(), '/', '_');
        paths.push_back(CopyMedia("flac/s16_mono_44100.flac", name + ".flac"));
        args.push_back(paths.back());
    }
    const TCliResult r = RunCli(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), paths.size()) << r.Out;
    for (size_t i = 0; i < paths.size(); ++i) {
        TJson o;
        ASSERT_TRUE(TJson::Parse(lines[i], o)) << lines[i];
        if (i + 1 < paths.size())
            EXPECT_EQ(o["file"].String, paths[i]);
        else
            EXPECT_EQ(o["file"].String, Path("bad\xEF\xBF\xBD\xEF\xBF\xBD.flac"))
                << "each bad byte is U+FFFD";
        EXPECT_TRUE(o["valid"].Bool);
    }
}

// Tag text and file names are shown, never obeyed: a title holding ESC [2J (which clears
// a terminal) or the C1 control CSI reaches neither the text output nor an error line as
// a control character; U+FFFD stands in its place. JSON keeps the text, escaped.
TEST_F(CliInfo, TextOutputHoldsNoControlCharacters) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "needs the FLAC decoder";
    const std::string named = CopyMedia("hostile/control_title.flac", "esc\x1b[2J\xc2\x9b.flac");
    const std::string missing = Path("gone\x1b]0;title\x07.flac");
    const TCliResult r = RunCli({"info", named, missing});
    EXPECT_EQ(r.Status, 1);
    for (const std::string* text : {&r.Out, &r.Err}) {
        EXPECT_EQ(std::count_if(text->begin(), text->end(),
                                [](char c) {
                                    return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F;
                                }),
                  0)
            << *text;
        EXPECT_EQ(text->find("\xc2\x9b"), std::string::npos) << *text;
    }
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_NE(r.Out.find(Path("esc" + fffd + "[2J" + fffd + ".flac") + "\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("  title:           A" + fffd + "[2J" + fffd + "B\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("  artist:          line end and" + fffd + "bell\n"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Err, "tarvio-cli: " + Path("gone" + fffd + "]0;title" + fffd + ".flac") + ": no such file\n");

    const TCliResult json = RunCli({"info", "--json", named});
    TJson o;
    ASSERT_TRUE(TJson::Parse(Lines(json.Out).at(0), o)) << json.Out;
    EXPECT_EQ(o["file"].String, named);
    EXPECT_EQ(o["tags"]["title"].String, "A\x1b[2J\xc2\x9b"
                                         "B");
}

// Text output; the extension is compared in lower case; --decoder overrides it.
TEST_F(CliInfo, TextShowsTheFormatAndTheDecoderChoice) {
    if (!HaveDecoder("flac")) GTEST_SKIP() << "needs the FLAC decoder";
    const std::string upper = CopyMedia("flac/s16_stereo_44100.flac", "Song.FLAC");
    const std::string other = CopyMedia("flac/s16_stereo_44100.flac", "data.bin");
    TCliResult r = RunCli({"info", upper});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    for (const char* line :
         {"  decoder:         flac (TFLACIn)\n", "  valid:           yes\n",
          "  channels:        2 (stereo)\n", "  sample rate:     44100 Hz\n", "  bits per sample: 16\n",
          "  total samples:   132300\n", "  total time:      0:03\n", "  bit rate:        none\n"})
        EXPECT_NE(r.Out.find(line), std::string::npos) << line << "in\n" << r.Out;

    r = RunCli({"info", other});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, "tarvio-cli: " + other +
                         ": no decoder for \".bin\" files; its content is flac (use --decoder flac)\n");
    r = RunCli({"info", "--decoder", "flac", other});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("flac (TFLACIn)"), std::string::npos);
}

TEST_F(CliInfo, HelpIsAManualPage) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"decode", "--help"}}) {
        const TCliResult r = RunCli(args);
        EXPECT_EQ(r.Status, 0);
        for (const char* section : {"NAME", "SYNOPSIS", "COMMANDS", "OPTIONS", "KEYS", "EXIT STATUS"})
            EXPECT_NE(("\n" + r.Out).find(std::string("\n") + section), std::string::npos) << section;
        EXPECT_EQ(r.Err, "");
    }
}

// Every failure: one line on standard error, exit status 1 for a file that cannot be
// played and 2 for a usage error, and no output file left behind by a decode that could
// not start.
struct TErrorCase {
    std::vector<std::string> Args; // "@" is the scratch folder
    int Status;
    std::string Message;  // part of the line
    std::string Absent{}; // a text the line must not hold (a hint that does not apply)
};

void PrintTo(const TErrorCase& c, std::ostream* os) {
    for (const std::string& a : c.Args)
        *os << a << ' ';
}

class CliErrors : public CliTest, public ::testing::WithParamInterface<TErrorCase> {};

TEST_P(CliErrors, OneLineAndTheExitStatus) {
    const TErrorCase& c = GetParam();
    if (!HaveDecoder("flac") || !HaveDecoder("vorbis")) GTEST_SKIP() << "needs the FLAC and Vorbis decoders";
    Write("song.xyz", "RIFF");
    Write("noext", "fLaC");
    Write("junk.ogg", std::string(5000, 'j'));
    const TBytes flac = ReadAll(Media("flac/s16_stereo_44100.flac"));
    Write("truncated.flac", std::string(flac.begin(), flac.begin() + 100));
    Write("garbage.flac", "fLaC" + std::string(20000, '\x5a'));
    Write("empty.flac", "");
    ASSERT_EQ(mkfifo(Path("fifo.flac").c_str(), 0644), 0);
    CopyMedia("flac/s16_stereo_44100.flac", "good.flac");
    CopyMedia("flac/s16_stereo_44100.flac", "flac.bin");
    auto expand = [this](std::string Text) {
        for (size_t at; (at = Text.find('@')) != std::string::npos;)
            Text.replace(at, 1, Dir.string());
        return Text;
    };
    std::vector<std::string> args;
    for (const std::string& a : c.Args)
        args.push_back(expand(a));
    const TCliResult r = RunCli(args);
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_TRUE(OneLine(r.Err)) << r.Err;
    EXPECT_EQ(r.Err.rfind("tarvio-cli: ", 0), 0u) << r.Err;
    EXPECT_NE(r.Err.find(expand(c.Message)), std::string::npos) << r.Err;
    if (!c.Absent.empty()) {
        EXPECT_EQ(r.Err.find(c.Absent), std::string::npos) << r.Err;
    }
    EXPECT_FALSE(fs::exists(Dir / "out.wav")) << "no output for a run that could not start";
    EXPECT_FALSE(fs::exists(Dir / "rec.wav")) << "no recording for a file that cannot be played";
    EXPECT_TRUE(ReadAll(Path("good.flac")) == flac) << "the input is never written";
}

const TErrorCase ErrorCases[] = {
    {{"info", "@/song.xyz"}, 1, "song.xyz: no decoder for \".xyz\" files", "--decoder"},
    {{"info", "@/flac.bin"},
     1,
     "flac.bin: no decoder for \".bin\" files; its content is flac (use --decoder flac)"},
    {{"info", "@/noext"}, 1, "noext: no decoder for a file without an extension"},
    {{"info", "@/missing.flac"}, 1, "missing.flac: no such file"},
    {{"info", "--decoder", "flac", "@"}, 1, "is a directory"},
    {{"info", "@/truncated.flac"}, 1, "truncated.flac: not a valid flac file"},
    {{"info", "@/garbage.flac"}, 1, "garbage.flac: not a valid flac file"},
    {{"info", "@/junk.ogg"},
     1,
     "junk.ogg: not a valid vorbis file: Failed to open an ogg file: -132 (no Vorbis audio in the stream)"},
    {{"info", "@/empty.flac"}, 1, "empty.flac: empty file"},
    {{"info", "@/fifo.flac"}, 1, "fifo.flac: not a regular file but a named pipe"},
    {{"decode", "@/fifo.flac", "@/out.wav"}, 1, "fifo.flac: not a regular file but a named pipe"},
    {{"info", "--json", "@/junk.ogg"}, 1, "junk.ogg: not a valid vorbis file"},
    {{"decode", "@/missing.flac", "@/out.wav"}, 1, "missing.flac: no such file"},
    {{"decode", "@/truncated.flac", "@/out.wav"}, 1, "not a valid flac file"},
    {{"decode", "@/junk.ogg", "@/out.wav"}, 1, "not a valid vorbis file"},
    {{"decode", "@/song.xyz", "@/out.wav"}, 1, "no decoder"},
    {{"decode", "@/good.flac", "@/no/such/folder/x.wav"},
     1,
     "@/no/such/folder/x.wav: No such file or directory"},
    {{"play", "--device", "wav:@/no/such/folder/rec.wav", "@/good.flac"},
     1,
     "@/no/such/folder/rec.wav: cannot record: No such file or directory",
     "DirectSound"},
    {{"play", "--device", "wav:@/good.flac", "@/good.flac"}, 2, "the recording @/good.flac is an input file"},
    {{"play", "--device", "wav:@/./good.flac", "@/junk.ogg", "@/good.flac"}, 2, "is an input file itself"},
    {{"play", "--device", "wav:@/rec.wav", "@/junk.ogg"}, 1, "not a valid vorbis file"},
    {{"play", "--device", "wav:@/rec.wav", "@/missing.flac"}, 1, "no such file"},
    {{}, 2, "no command given"},
    {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
    {{"info"}, 2, "info needs at least one FILE"},
    {{"info", "--bogus", "@/good.flac"}, 2, "unknown option --bogus"},
    {{"info", "--decoder", "nosuch", "@/good.flac"}, 2, "unknown decoder \"nosuch\"", "--help"},
    {{"decode", "@/good.flac"}, 2, "decode needs FILE and OUT.wav"},
    {{"decode", "@/good.flac", "@/out.wav", "--start"}, 2, "--start needs a value"},
    {{"decode", "--start", "abc", "@/good.flac", "@/out.wav"}, 2, "invalid value \"abc\" for --start"},
    {{"decode", "--start=-5", "@/good.flac", "@/out.wav"}, 2, "invalid value \"-5\" for --start"},
    {{"decode", "--end", "12x", "@/good.flac", "@/out.wav"}, 2, "invalid value \"12x\" for --end"},
    {{"decode", "--start", "10", "--end", "5", "@/good.flac", "@/out.wav"}, 2, "--end lies before --start"},
    {{"decode", "--start", "132301", "@/good.flac", "@/out.wav"}, 2, "lies past the end"},
    {{"decode", "@/good.flac", "@/./good.flac"}, 2, "is the input file itself"},
    {{"play"}, 2, "play needs at least one FILE"},
    {{"play", "--device", "99", "@/good.flac"},
     2,
     "there is no device 99 (see play --list-devices)",
     "--help"},
    {{"play", "--latency", "fast", "@/good.flac"}, 2, "invalid value \"fast\" for --latency"},
};

INSTANTIATE_TEST_SUITE_P(Cases, CliErrors, ::testing::ValuesIn(ErrorCases));

// A ".wav" whose content is not DTS goes to the WAV decoder; info names the WAVE format tag
// and the kind of data found.
TEST_F(CliInfo, WaveFilesShowTheirFormatTagAndType) {
    if (!HaveDecoder("wav")) GTEST_SKIP() << "needs the WAV decoder";
    TCliResult r =
        RunCli({"info", "--json", Media("wav/mp3_stereo.wav"), Media("wav/ext_float32_stereo.wav")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u) << r.Out;
    TJson mp3, ext;
    ASSERT_TRUE(TJson::Parse(lines[0], mp3) && TJson::Parse(lines[1], ext)) << r.Out;
    EXPECT_EQ(mp3["decoder"].String, "wav");
    EXPECT_EQ(mp3["details"]["format_tag"].String, "0x0055");
    EXPECT_EQ(mp3["details"]["wav_type"].String, "wtACM");
    EXPECT_EQ(ext["details"]["format_tag"].String, "0xFFFE");
    EXPECT_EQ(ext["details"]["wav_type"].String, "wtExtIEEEFloat");
    r = RunCli({"info", Media("wav/ms_adpcm_mono.wav")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("\n  format tag:      0x0002\n  wav type:        wtMSADPCM\n"), std::string::npos)
        << r.Out;
}

// A raw ADTS stream goes to the ADTS decoder, which names its codec like the MP4 one.
TEST_F(CliInfo, AdtsFilesNameTheirDecoderAndCodec) {
    if (!HaveDecoder("adts")) GTEST_SKIP() << "no ADTS decoder in this build";
    const TCliResult r = RunCli({"info", "--json", Media("mp4/adts_stereo_44100.aac")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    TJson info;
    ASSERT_TRUE(TJson::Parse(r.Out, info)) << r.Out;
    EXPECT_EQ(info["decoder"].String, "adts");
    EXPECT_EQ(info["details"]["codec"].String, "AAC");
}

// Data converted through the compression layer names its codec, and a file that is not
// plain RIFF its container; plain PCM in RIFF names neither.
TEST_F(CliInfo, WaveFilesShowTheirCodecAndContainer) {
    if (!HaveDecoder("wav")) GTEST_SKIP() << "needs the WAV decoder";
    struct TCase {
        const char* File;
        const char *Codec, *Container; // "" when the detail must be absent
        int64_t Frames;
    };
    const TCase cases[] = {
        {"wav/alaw_stereo.wav", "pcm_alaw", "", 8000}, {"wav/alaw_6ch.wav", "pcm_alaw", "", 24000},
        {"wav/mulaw_mono.wav", "pcm_mulaw", "", 8000}, {"wav/gsm_mono.wav", "gsm_ms", "", 8000},
        {"wav/mp3_stereo.wav", "mp3", "", -1},         {"wav/rf64_stereo.wav", "", "RF64", 44100},
        {"wav/bw64_stereo.wav", "", "BW64", 44100},    {"wav/rf64_alaw_mono.wav", "pcm_alaw", "RF64", 8000},
        {"wav/pcm_s16_stereo.wav", "", "", 44100}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        const TCliResult r = RunCli({"info", "--json", Media(c.File)});
        ASSERT_EQ(r.Status, 0) << r.Err;
        TJson info;
        ASSERT_TRUE(TJson::Parse(r.Out, info)) << r.Out;
        const TJson& details = info["details"];
        EXPECT_EQ(details["codec"].String, c.Codec);
        EXPECT_EQ(details["container"].String, c.Container);
        if (c.Frames >= 0) {
            EXPECT_EQ(info["total_samples"].Number, c.Frames);
        }
    }
}

} // namespace
} // namespace tarvio::test
