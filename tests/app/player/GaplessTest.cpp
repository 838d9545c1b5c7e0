// Gapless AutoNext: a continuous tone cut into three files plays back as the uncut tone.

#include "PlayerFixture.h"

#include "stages/TGaplessJoin.h"

#include <cmath>

namespace {

constexpr uint32_t ToneRate = 44100;
// Cut points that fall inside codec frames, not on their edges.
constexpr uint32_t PieceFrames[3] = {37001, 29999, 41111};

// The tone, 16-bit stereo: a sine gliding between 300 and 500 Hz in the left channel and
// a steady 700 Hz one in the right, so that any shift or gap shows.
std::vector<int16_t> Tone(uint32_t Frames) {
    std::vector<int16_t> pcm(2 * size_t{Frames});
    double phase = 0;
    for (uint32_t i = 0; i < Frames; ++i) {
        const double t = static_cast<double>(i) / ToneRate;
        phase += 2 * M_PI * (400 + 100 * std::sin(2 * M_PI * 0.7 * t)) / ToneRate;
        pcm[2 * i] = static_cast<int16_t>(std::lround(12000 * std::sin(phase)));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lround(9000 * std::sin(2 * M_PI * 700 * t)));
    }
    return pcm;
}

void WritePcmWav(const fs::path& Path, const int16_t* Samples, uint32_t Frames) {
    WriteWav(Path, ToneRate, 2, 0);
    std::fstream f(Path, std::ios::in | std::ios::out | std::ios::binary);
    const uint32_t data = Frames * 4, riff = 36 + data;
    f.seekp(4);
    f.write(reinterpret_cast<const char*>(&riff), 4);
    f.seekp(40);
    f.write(reinterpret_cast<const char*>(&data), 4);
    f.seekp(44);
    f.write(reinterpret_cast<const char*>(Samples), data);
}

struct GaplessCase {
    const char* Name;
    const char* Extension;
    const char* Encode; // shell command with IN and OUT
    bool Lossless;
};

class GaplessAutoNext : public Player, public testing::WithParamInterface<GaplessCase> {
protected:
    void SetUp() override {
        Player::SetUp();
        Recording = Root / "recorded.wav";
        Device = std::make_unique<TScopedEnv>("TARVIO_AUDIO_DEVICE", ("wav:" + Recording.string()).c_str());
    }
    void TearDown() override {
        Player::TearDown();
        Device.reset();
    }
    fs::path Recording;
    std::unique_ptr<TScopedEnv> Device;
};

std::vector<int16_t> RecordedSamples(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t data = bytes.find("data", 12);
    std::vector<int16_t> out;
    if (data == std::string::npos || data + 8 > bytes.size()) return out;
    out.resize((bytes.size() - data - 8) / 2);
    std::memcpy(out.data(), bytes.data() + data + 8, out.size() * 2);
    return out;
}

} // namespace

// The three pieces, played with AutoNext and Gapless, reach the device as one run: the
// recording is the uncut tone sample for sample (lossless), or, for a lossy codec, the
// three pieces each decoded on its own, back to back, with nothing between them and
// nothing lost, and as long as the tone. The labels follow the pieces as they are heard.
TEST_P(GaplessAutoNext, ThreePiecesSoundAsTheUncutTone) {
    const GaplessCase c = GetParam();
    uint32_t total = 0;
    for (uint32_t n : PieceFrames)
        total += n;
    const std::vector<int16_t> tone = Tone(total);
    std::vector<std::string> list;
    uint32_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const fs::path wav = Root / ("source" + std::to_string(i) + ".wav");
        const fs::path coded = Root / ("piece" + std::to_string(i) + c.Extension);
        WritePcmWav(wav, tone.data() + 2 * size_t{at}, PieceFrames[i]);
        at += PieceFrames[i];
        std::string command = c.Encode;
        command.replace(command.find("IN"), 2, "'" + wav.string() + "'");
        command.replace(command.find("OUT"), 3, "'" + coded.string() + "'");
        if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot encode: " << command;
        list.push_back(coded.string());
    }
    Config("[player]\nAutoNext=1\nGapless=1\n");
    PlayList(list);
    Start();
    bool dts;
    if (!Form->DecoderFor(list[0], dts)) GTEST_SKIP() << "no decoder for " << c.Extension << " in this build";
    ASSERT_TRUE(Form->Gapless);
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: piece0" + std::string(c.Extension));
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayingIndex == 1; }, 10000));
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: piece1" + std::string(c.Extension));
    EXPECT_EQ(Form->CurrentFile, list[1]);
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayingIndex == 2; }, 10000));
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: piece2" + std::string(c.Extension));
    // Round to the first piece again, still in the same run.
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayingIndex == 0; }, 10000));
    std::vector<int16_t> alone; // each piece decoded by a decoder of its own
    for (const std::string& piece : list) {
        std::unique_ptr<TAuFileIn> decoder; // the first of its extension that takes it
        for (TAuFileIn* candidate : Form->DecodersFor(piece)) {
            decoder = Form->AnotherDecoderLike(candidate);
            decoder->SetFileName(piece);
            if (decoder->Valid()) break;
            decoder.reset();
        }
        ASSERT_TRUE(decoder);
        decoder->Init();
        std::vector<int16_t> block(8192);
        bool end = false;
        while (!end) {
            const uint32_t got = decoder->FillBuffer(block.data(), 2 * 8192, end);
            alone.insert(alone.end(), block.begin(), block.begin() + got / 2);
        }
        decoder->Flush();
    }
    Form.reset();

    const std::vector<int16_t> heard = RecordedSamples(Recording);
    ASSERT_GE(heard.size(), tone.size());
    const auto first = [](const std::vector<int16_t>& A, const std::vector<int16_t>& B) {
        return (std::mismatch(A.begin(), A.end(), B.begin()).first - A.begin()) / 2;
    };
    ASSERT_EQ(alone.size(), tone.size()) << "a piece decodes to its source's length";
    EXPECT_EQ(first(alone, heard), total)
        << "the joints are at frames " << PieceFrames[0] << " and " << PieceFrames[0] + PieceFrames[1];
    if (c.Lossless) {
        EXPECT_EQ(first(tone, heard), total) << "the tone itself, sample for sample";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, GaplessAutoNext,
    testing::Values(GaplessCase{"Wave", ".wav", "cp IN OUT", true},
                    GaplessCase{"Flac", ".flac", "flac --silent --force -o OUT IN", true},
                    GaplessCase{"WavPack", ".wv", "wavpack -q -y IN -o OUT", true},
                    GaplessCase{"Vorbis", ".ogg", "oggenc -Q -q 6 -o OUT IN", false},
                    GaplessCase{"LameMp3", ".mp3", "lame --quiet -b 256 IN OUT", false},
                    GaplessCase{"AacEditList", ".m4a", "ffmpeg -v error -y -i IN -c:a aac -b:a 256k OUT",
                                false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A DTS track plays in a run of its own: its end waits for no next entry, so a track
// shorter than the join's wait does not run the device dry before the next one starts
// (the next entry then starts a run of its own, as without Gapless).
TEST_F(Player, GaplessDtsRunWaitsForNoNextEntry) {
    const char* fixtures = std::getenv("TARVIO_FIXTURES");
    const fs::path media =
        fs::path(fixtures && *fixtures ? fixtures : TARVIO_BINARY_DIR "/fixtures") / "dts/demo.wav";
    if (!fs::exists(media)) GTEST_SKIP() << "no generated DTS media";
    const fs::path dtsTrack = Work / "concert.wav", after = Work / "after.wav";
    fs::copy_file(media, dtsTrack);
    WriteWav(after, 44100, 2, 44100);
    Config("[player]\nAutoNext=1\nGapless=1\n");
    PlayList({dtsTrack.string(), after.string()});
    Start();
    bool dts = false;
    if (Form->DecoderFor(dtsTrack.string(), dts) == nullptr || !dts)
        GTEST_SKIP() << "no DTS decoder in this build";
    Tap(W(), PlayX, PlayY);
    ASSERT_TRUE(Form->DXAudioOut1->IsBusy());
    EXPECT_FALSE(Form->GaplessJoin1->ExpectsNext());
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayingIndex == 1; }, 10000));
    EXPECT_EQ(Form->CurrentFile, after.string());
}
