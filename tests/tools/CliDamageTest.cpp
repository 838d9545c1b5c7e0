// tarvio-cli decode on damaged files: one line per kind of damage with the frame where it
// was first met; without --keep-going the output ends before the damage and the exit
// status is 1, with it everything that decodes is written and the status is 0. Whatever
// is written before the damage is the intact file's PCM. The player plays through damage.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliTestSupport.h"

namespace tarvio::test {
namespace {

struct TDamageCase {
    std::string File;    // under hostile/
    std::string Decoder; // the table name it goes to
    // Standard error without --keep-going and with it, one entry per line after
    // "tarvio-cli: FILE: ". {N} stands for the frame where the output without --keep-going
    // ends, {K} for the frames written with it.
    std::vector<std::string> Strict, KeepGoing;
    int64_t Stop;      // the frame where the output ends without --keep-going; -1: any
    int64_t KeepTotal; // frames written with --keep-going; -1: any fewer than the stated 132300
};

void PrintTo(const TDamageCase& c, std::ostream* os) {
    *os << c.File;
}

std::string Expand(std::string Text, int64_t N, int64_t K) {
    for (const auto& [mark, value] : {std::pair<std::string, int64_t>{"{N}", N}, {"{K}", K}})
        for (size_t at; (at = Text.find(mark)) != std::string::npos;)
            Text.replace(at, mark.size(), std::to_string(value));
    return Text;
}

class CliDamage : public CliTest, public ::testing::WithParamInterface<TDamageCase> {
protected:
    // The intact file's PCM: the lossless sources decode to intact.wav, Ogg and MP3 to what
    // the decoder makes of intact.ogg and intact.mp3.
    TBytes Intact(const std::string& Decoder) const {
        if (Decoder == "vorbis") return DecoderPcm(Media("hostile/intact.ogg"));
        if (Decoder == "mp3") return DecoderPcm(Media("hostile/intact.mp3"));
        return ReadWave(Media("hostile/intact.wav")).Data;
    }
};

TEST_P(CliDamage, ReportsEachKindAndStopsOrGoesOn) {
    const TDamageCase& c = GetParam();
    if (!HaveDecoder(c.Decoder)) GTEST_SKIP() << "no " << c.Decoder << " decoder in this build";
    const std::string file = Media("hostile/" + c.File);
    constexpr size_t Frame = 4; // 16-bit stereo
    const TBytes intact = Intact(c.Decoder);
    ASSERT_EQ(intact.size(), 132300 * Frame);

    const TCliResult strict = RunCli({"decode", file, Path("strict.wav")});
    EXPECT_EQ(strict.Status, 1) << strict.Err;
    const TBytes cut = ReadWave(Path("strict.wav")).Data;
    const int64_t n = static_cast<int64_t>(cut.size() / Frame);
    if (c.Stop >= 0) {
        EXPECT_EQ(n, c.Stop);
    }
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), intact.begin()))
        << "the frames before the damage are intact";

    const TCliResult going = RunCli({"decode", "--keep-going", file, Path("going.wav")});
    EXPECT_EQ(going.Status, 0) << going.Err;
    const TBytes all = ReadWave(Path("going.wav")).Data;
    const int64_t k = static_cast<int64_t>(all.size() / Frame);
    if (c.KeepTotal >= 0) {
        EXPECT_EQ(k, c.KeepTotal);
    } else {
        EXPECT_LT(k, 132300);
    }
    ASSERT_GE(all.size(), cut.size());
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), all.begin())) << "both runs agree up to the damage";

    for (const auto& [result, lines] : {std::pair{&strict, &c.Strict}, std::pair{&going, &c.KeepGoing}}) {
        std::string expected;
        for (const std::string& line : *lines)
            expected += "tarvio-cli: " + file + ": " + Expand(line, n, k) + "\n";
        EXPECT_EQ(result->Err, expected);
    }
}

const std::string Stopped = "stopped at frame {N} (--keep-going decodes past damage)";
const std::string EndsEarly = "frame {K}: the data ends early (the file states 132300 frames)";

const TDamageCase DamageCases[] = {
    // Cut inside a frame: the decoder loses sync where the data ends.
    {"cut.flac",
     "flac",
     {"frame {N}: lost sync", "frame {N}: the data ends early (the file states 132300 frames)"},
     {"frame {N}: lost sync", EndsEarly},
     -1,
     -1},
    // Frame 10 (of 4096 frames each) fails its checksum: the library drops it.
    {"bad_crc.flac",
     "flac",
     {"frame {N}: lost sync", "frame {N}: frame checksum mismatch", Stopped},
     {"frame {N}: lost sync", "frame {N}: frame checksum mismatch", EndsEarly},
     40960,
     132300 - 4096},
    {"no_sync.flac",
     "flac",
     {"frame {N}: lost sync", Stopped},
     {"frame {N}: lost sync", EndsEarly},
     40960,
     132300 - 4096},
    // A page that fails its checksum is a gap: the audio of that page is missing.
    {"bad_page.ogg",
     "vorbis",
     {"frame {N}: gap in the data", Stopped},
     {"frame {N}: gap in the data", EndsEarly},
     -1,
     -1},
    // The second link has another rate: it cannot go on in the same PCM stream.
    {"rate_change.ogg",
     "vorbis",
     {"frame {N}: a section in another format", Stopped},
     {"frame {N}: a section in another format"},
     132300,
     132300},
    // Zero bytes between two MPEG audio frames: skipped to find the next frame, and every
    // frame decodes.
    {"no_sync.mp3", "mp3", {"frame {N}: lost sync", Stopped}, {"frame {N}: lost sync"}, -1, 132300},
    // Five frames whose side information the library rejects: they decode to silence.
    {"bad_sideinfo.mp3",
     "mp3",
     {"frame {N}: undecodable frame", Stopped},
     {"frame {N}: undecodable frame (5 times)"},
     -1,
     132300},
    // WavPack hands out a block whose check fails.
    {"bad_block.wv",
     "wavpack",
     {"frame {N}: frame checksum mismatch", Stopped},
     {"frame {N}: frame checksum mismatch"},
     -1,
     132300},
};

INSTANTIATE_TEST_SUITE_P(Hostile, CliDamage, ::testing::ValuesIn(DamageCases), [](const auto& info) {
    std::string n = info.param.File;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
});

// DTS, AC-3, program streams and WAV files report damage the same way: a cut file, a frame
// the library rejects, a WAV whose data claims more than it holds. The frames before the
// damage are the intact file's; --keep-going writes the rest with the same lines.
struct TFormatDamageCase {
    std::string Name, Media, Decoder;
    size_t Cut;              // bytes cut off the end
    std::string Damage;      // what the damage is, after "frame N: "
    int64_t Frame;           // N; -1: the frames written, for a cut
    bool SameLength = false; // --keep-going writes as many frames as the intact file
    int64_t DamageAt = -1;   // when >= 0: bytes at the Nth sync word inverted (see Damaged)
    int64_t LengthAt = -1;   // when >= 0: the 4-byte length at this offset set to 0xFFFFFFF0
};

void PrintTo(const TFormatDamageCase& c, std::ostream* os) {
    *os << c.Name;
}

class CliFormatDamage : public CliTest, public ::testing::WithParamInterface<TFormatDamageCase> {};

// Bytes from 20 to 400 (AC-3) or 14 and 15 (DTS) after the Nth sync word inverted.
TBytes Damaged(TBytes Data, const std::string& Decoder, size_t N) {
    const bool dts = Decoder == "dts";
    const uint8_t sync[] = {0x7F, 0xFE, 0x80, 0x01};
    const size_t syncBytes = dts ? 4 : 2, from = dts ? 14 : 20, to = dts ? 16 : 400;
    const uint8_t* word = dts ? sync : reinterpret_cast<const uint8_t*>("\x0B\x77");
    size_t found = 0;
    for (size_t at = 0; at + to < Data.size(); ++at)
        if (std::equal(word, word + syncBytes, Data.begin() + static_cast<std::ptrdiff_t>(at)) &&
            found++ == N) {
            for (size_t i = at + from; i < at + to; ++i)
                Data[i] = static_cast<uint8_t>(~Data[i]);
            break;
        }
    return Data;
}

TEST_P(CliFormatDamage, ReportsAndStopsOrGoesOn) {
    const TFormatDamageCase& c = GetParam();
    if (!HaveDecoder(c.Decoder)) GTEST_SKIP() << "no " << c.Decoder << " decoder in this build";
    const TBytes intact = ReadAll(Media(c.Media));
    TBytes bytes(intact.begin(), intact.end() - static_cast<std::ptrdiff_t>(c.Cut));
    if (c.DamageAt >= 0) bytes = Damaged(std::move(bytes), c.Decoder, static_cast<size_t>(c.DamageAt));
    if (c.LengthAt >= 0)
        for (int i = 0; i < 4; ++i)
            bytes[static_cast<size_t>(c.LengthAt) + i] = i == 0 ? 0xF0 : 0xFF;
    const std::string ext = c.Media.substr(c.Media.rfind('.'));
    const std::string file = Write("damaged" + ext, std::string(bytes.begin(), bytes.end()));
    TWave format;
    const TBytes pcm = DecoderPcm(Media(c.Media), &format);
    const size_t frameBytes = size_t{format.Channels} * 2;

    const TCliResult strict = RunCli({"decode", file, Path("strict.wav")});
    EXPECT_EQ(strict.Status, 1) << strict.Err;
    const TBytes cut = ReadWave(Path("strict.wav")).Data;
    const TCliResult going = RunCli({"decode", "--keep-going", file, Path("going.wav")});
    EXPECT_EQ(going.Status, 0) << going.Err;
    const TBytes all = ReadWave(Path("going.wav")).Data;
    const int64_t frame = c.Frame >= 0 ? c.Frame : static_cast<int64_t>(all.size() / frameBytes);
    EXPECT_EQ(static_cast<int64_t>(cut.size() / frameBytes), frame) << "the output ends at the damage";
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), pcm.begin())) << "the frames before it are intact";
    if (c.SameLength) {
        EXPECT_EQ(all.size(), pcm.size());
    }
    const std::string line =
        "tarvio-cli: " + file + ": frame " + std::to_string(frame) + ": " + c.Damage + "\n";
    const bool cutShort = c.Damage.rfind("the data ends early", 0) == 0;
    EXPECT_EQ(strict.Err, cutShort ? line
                                   : line + "tarvio-cli: " + file + ": stopped at frame " +
                                         std::to_string(frame) + " (--keep-going decodes past damage)\n");
    EXPECT_EQ(going.Err, line);
}

const TFormatDamageCase FormatDamageCases[] = {
    {"cut_dts", "dts/tones_48000.dts", "dts", 1000, "the data ends early", -1},
    {"cut_dts_wav", "dts/tones_44100_le14.wav", "dts", 1000, "the data ends early", -1},
    {"cut_dts_vob", "dts/tones_48000.vob", "dts", 1000, "the data ends early", -1},
    {"cut_ac3", "ac3/tones_48000.ac3", "ac3", 1000, "the data ends early", -1},
    {"cut_ac3_vob", "ac3/one.vob", "ac3", 1000, "the data ends early", -1},
    {"cut_wav", "dts/pcm.wav", "wav", 10001, "the data ends early", 132300 - 2501},
    {"wav_claims_4_GiB", "dts/pcm.wav", "wav", 0, "the data ends early", 132300, true, -1, 40},
    // libdca says only "Didn't get subframe DSYNC"; the frame plays as silence.
    {"bad_dts_frame", "dts/tones_48000.dts", "dts", 0, "bad frame", 512, true, 1},
    // A scratch: liba52 cannot decode the frame, which keeps its time as silence.
    {"bad_ac3_frame", "ac3/tones_48000.ac3", "ac3", 0, "bad frame", 5 * 1536, true, 5},
};

INSTANTIATE_TEST_SUITE_P(Formats, CliFormatDamage, ::testing::ValuesIn(FormatDamageCases),
                         [](const auto& info) { return info.param.Name; });

// A rip of a DTS CD that opens with 1,052,672 zero bytes plays as DTS 5.1; DTS the DTS
// decoder cannot follow is refused, never written as PCM; noise at full scale stays PCM.
TEST_F(CliTest, DtsInWaveIsNeverDecodedAsPcm) {
    if (!HaveDecoder("dts") || !HaveDecoder("wav")) GTEST_SKIP() << "no dts or wav decoder in this build";
    const TCliResult rip = RunCli({"decode", Media("dts/silence_first_le14.wav"), Path("rip.wav")});
    EXPECT_EQ(rip.Status, 0) << rip.Err;
    const TWave wave = ReadWave(Path("rip.wav"));
    EXPECT_EQ(wave.Channels, 6u);
    EXPECT_TRUE(wave.Data == DecoderPcm(Media("dts/tones_44100.dts")));

    TBytes far = ReadAll(Media("dts/tones_44100_le14.wav"));
    far.insert(far.begin() + 44, 1100000, 0x55); // beyond the DTS decoder's search
    const uint32_t riff = static_cast<uint32_t>(far.size() - 8),
                   data = static_cast<uint32_t>(far.size() - 44);
    for (int i = 0; i < 4; ++i) {
        far[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
        far[40 + i] = static_cast<uint8_t>(data >> (8 * i));
    }
    const std::string file = Write("far.wav", std::string(far.begin(), far.end()));
    const TCliResult refused = RunCli({"decode", file, Path("far_out.wav")});
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Err.find("holds DTS audio that the DTS decoder could not follow"), std::string::npos)
        << refused.Err;

    const TCliResult noise = RunCli({"decode", Media("dts/noise.wav"), Path("noise.wav")});
    EXPECT_EQ(noise.Status, 0) << noise.Err;
    EXPECT_EQ(ReadWave(Path("noise.wav")).Channels, 2u);
}

// The player goes on through damage, as it always did: the recording holds everything the
// decoder makes of the file, and nothing is reported.
TEST_F(CliTest, PlayGoesOnThroughDamage) {
    if (!HaveDecoder("vorbis")) GTEST_SKIP() << "no vorbis decoder in this build";
    const std::string file = Media("hostile/bad_page.ogg"), rec = Path("rec.wav");
    const TCliResult r = RunCli({"play", "--device", "wav:" + rec, "--latency", "50", file});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    const TBytes pcm = DecoderPcm(file);
    const TBytes played = ReadWave(rec).Data;
    ASSERT_GE(played.size(), pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), played.begin()));
}

} // namespace
} // namespace tarvio::test
