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
