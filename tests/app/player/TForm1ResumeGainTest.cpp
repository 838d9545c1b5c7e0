// The player's place kept across restarts (Resume=1), and loudness levelled by ReplayGain
// tags, measured in what reaches the device.

#include "PlayerFixture.h"

#include "app/TResumeState.h"
#include "stages/TAudioCache.h"

#include <cmath>
#include <cstring>

namespace {

class PlayerResume : public Player {
protected:
    void SetUp() override {
        Player::SetUp();
        if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
        State = std::make_unique<TScopedEnv>("XDG_STATE_HOME", (Root / "state").c_str());
        StatePath = (Root / "state" / "tarvio" / "resume.ini").string();
        Config("[player]\nResume=1\n");
        PlayList({Flac("long.flac"), Flac("short.flac"), Flac("long.flac")});
    }
    void TearDown() override {
        Player::TearDown();
        State.reset();
    }
    bool StartWithFlac() {
        Start();
        bool dts;
        return Form->DecoderFor("x.flac", dts) != nullptr;
    }
    std::optional<TResumePlace> Saved() const { return TResumeState::Load(StatePath); }
    void Seed(const TResumePlace& Place) {
        std::string error;
        ASSERT_TRUE(TResumeState::Save(StatePath, Place, error)) << error;
    }
    TResumePlace ListPlace(const std::string& Entry, int64_t Index, int64_t Frame, bool Playing) const {
        return {.Source = TResumeState::ListSource((Work / "PlayList.txt").string()),
                .Label = "",
                .Entry = Entry,
                .Index = Index,
                .Frame = Frame,
                .Playing = Playing};
    }

    std::unique_ptr<TScopedEnv> State;
    std::string StatePath;
};

// Track changes, a seek and a pause are saved at once; the new window comes back paused on
// the same entry (the second of two equal ones) and frame.
TEST_F(PlayerResume, SavesEachChangeAndComesBackPausedWhereItWas) {
    if (!StartWithFlac()) GTEST_SKIP() << "no FLAC decoder in this build";
    EXPECT_FALSE(Saved()) << "nothing played yet: nothing saved";
    Tap(W(), PlayX, PlayY);
    Tap(W(), PrevX, ButtonY); // entry 2, the same file as entry 0
    ASSERT_TRUE(Saved());
    EXPECT_EQ(Saved()->Index, 2);
    EXPECT_TRUE(Saved()->Playing);
    ASSERT_TRUE(Form->PlayFrom(8000 * 100));
    EXPECT_EQ(Saved()->Frame, 8000 * 100);
    Pump(300);
    Tap(W(), PlayX, PlayY);
    ASSERT_EQ(Form->PlayState, "pause");
    const std::optional<TResumePlace> paused = Saved();
    ASSERT_TRUE(paused);
    EXPECT_FALSE(paused->Playing);
    EXPECT_EQ(paused->Entry, Flac("long.flac"));
    EXPECT_GE(paused->Frame, 8000 * 100);
    EXPECT_LT(paused->Frame, 8000 * 105);
    Form.reset();

    Start();
    EXPECT_EQ(Form->PlayState, "pause");
    EXPECT_EQ(Form->PlayingIndex, 2);
    EXPECT_TRUE(Shows(Form->PicPlay));
    EXPECT_EQ(Form->RunStartFrame, paused->Frame);
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_TRUE(WaitUntil([&] { return Form->PlayedFrames() > paused->Frame; }));
}

TEST_F(PlayerResume, APlayingPlaceStartsPlayingAndClosingSavesIt) {
    Seed(ListPlace(Flac("long.flac"), 0, 8000 * 60, true));
    if (!StartWithFlac()) GTEST_SKIP() << "no FLAC decoder in this build";
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_EQ(Form->PlayingIndex, 0);
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: long.flac");
    Pump(500);
    Form->Close();
    const std::optional<TResumePlace> closed = Saved();
    ASSERT_TRUE(closed);
    EXPECT_GT(closed->Frame, 8000 * 60);
    EXPECT_LT(closed->Frame, 8000 * 63);
}

struct TStartCase {
    const char* Name;
    std::string Text;  // resume.ini; "{list}" stands for this test's list source
    std::string State; // the play state after the start
    int Index;
    bool Warns;
};

class PlayerResumeStart : public PlayerResume, public testing::WithParamInterface<TStartCase> {};

TEST_P(PlayerResumeStart, StartsFromWhatTheFileAllows) {
    const TStartCase& c = GetParam();
    std::string text = c.Text;
    const std::string list = TResumeState::ListSource((Work / "PlayList.txt").string());
    if (const size_t at = text.find("{list}"); at != std::string::npos) text.replace(at, 6, list);
    fs::create_directories(fs::path(StatePath).parent_path());
    std::ofstream(StatePath) << text;
    testing::internal::CaptureStderr();
    const bool flac = StartWithFlac();
    const std::string err = testing::internal::GetCapturedStderr();
    if (!flac) GTEST_SKIP() << "no FLAC decoder in this build";
    EXPECT_EQ(Form->PlayState, c.State);
    EXPECT_EQ(Form->PlayingIndex, c.Index);
    EXPECT_EQ(err.find("resume.ini ignored") != std::string::npos, c.Warns) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, PlayerResumeStart,
    testing::Values(
        TStartCase{"entry_gone_starts_the_list_from_the_top",
                   "[resume]\nVersion=1\nSource={list}\nEntry=/gone.flac\nFrame=99\nPlaying=1\nEnd=1\n",
                   "play", 0, false},
        TStartCase{"another_list_is_not_resumed",
                   "[resume]\nVersion=1\nSource=list:/elsewhere\nEntry=/x.flac\nFrame=9\nPlaying=1\nEnd=1\n",
                   "", 0, false},
        TStartCase{"torn_file_is_ignored", "[resume]\nVersion=1\nSource={list}\nEntry=/x.fl", "", 0, true},
        TStartCase{"foreign_file_is_ignored",
                   "\x7f"
                   "ELF\x02\x01\x01",
                   "", 0, true}),
    [](const testing::TestParamInfo<TStartCase>& i) { return std::string(i.param.Name); });

TEST_F(Player, WithoutResumeNothingIsSaved) {
    const TScopedEnv state("XDG_STATE_HOME", (Root / "state").c_str());
    if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
    PlayList({Flac("long.flac")});
    Start();
    Tap(W(), PlayX, PlayY);
    Tap(W(), PlayX, PlayY);
    Form->Close();
    EXPECT_FALSE(fs::exists(Root / "state"));
}

// ---- Loudness ----

// Tracks of one tone at very different levels, tagged by metaflac from their own audio,
// plus hand-tagged and untagged ones.
struct TGainMedia {
    fs::path Dir;
    bool Ok = false;
    TGainMedia() {
        Dir = fs::temp_directory_path() / ("tarvio_player_gain_" + std::to_string(getpid()));
        fs::create_directories(Dir);
        auto run = [](const std::string& C) { return std::system((C + " >/dev/null 2>&1").c_str()) == 0; };
        auto tone = [&](const char* Name, const char* Volume) {
            const std::string wav = (Dir / Name).string() + ".wav";
            return run("sox -R -n -r 44100 -c 2 -b 16 '" + wav + "' synth 3 sine 997 vol " + Volume) &&
                   run("flac -s -f -o '" + (Dir / Name).string() + ".flac' '" + wav + "'");
        };
        Ok = tone("loud", "0.7") && tone("quiet", "0.05") && tone("untagged", "0.5") &&
             tone("limited", "0.5") &&
             run("metaflac --add-replay-gain '" + (Dir / "loud.flac").string() + "'") &&
             run("metaflac --add-replay-gain '" + (Dir / "quiet.flac").string() + "'") &&
             // +20 dB would take 0.5 far past full scale: the stated peak (a little above the
             // true one, as scanners round) holds it below 1.
             run("metaflac --set-tag=REPLAYGAIN_TRACK_GAIN=+20.00 --set-tag=REPLAYGAIN_TRACK_PEAK=0.51 '" +
                 (Dir / "limited.flac").string() + "'");
    }
    ~TGainMedia() { fs::remove_all(Dir); }
};

TGainMedia& GainMedia() {
    static TGainMedia media;
    return media;
}

class PlayerGain : public Player {
protected:
    void SetUp() override {
        Player::SetUp();
        if (!GainMedia().Ok) GTEST_SKIP() << "sox, flac or metaflac is missing";
        Recording = Root / "recorded.wav";
        Device = std::make_unique<TScopedEnv>("TARVIO_AUDIO_DEVICE", ("wav:" + Recording.string()).c_str());
    }
    void TearDown() override {
        Player::TearDown();
        Device.reset();
    }
    // Plays Name to its end and returns the middle half of the recorded sound.
    std::vector<int16_t> PlayAndRecord(const std::string& Name) {
        PlayList({(GainMedia().Dir / (Name + ".flac")).string()});
        Start();
        bool dts;
        if (!Form->DecoderFor("x.flac", dts)) return {};
        Tap(W(), PlayX, PlayY);
        Form->SetCaption("before");
        EXPECT_TRUE(WaitUntil([&] { return Form->Caption() != "before"; }));
        Form.reset();
        std::ifstream in(Recording, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t data = bytes.find("data", 12);
        if (data == std::string::npos) return {};
        std::vector<int16_t> samples((bytes.size() - data - 8) / 2);
        std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 2);
        // Frames of digital silence are no part of the tone: the device fills an underrun
        // of a busy machine with them.
        std::vector<int16_t> sound;
        for (size_t i = 0; i + 1 < samples.size(); i += 2)
            if (samples[i] != 0 || samples[i + 1] != 0)
                sound.insert(sound.end(), {samples[i], samples[i + 1]});
        const size_t quarter = sound.size() / 4;
        return {sound.begin() + static_cast<std::ptrdiff_t>(quarter),
                sound.end() - static_cast<std::ptrdiff_t>(quarter)};
    }
    static double RmsDb(const std::vector<int16_t>& S) {
        double sum = 0;
        for (int16_t v : S)
            sum += double(v) * v;
        return 10 * std::log10(sum / double(S.size()) / (32768.0 * 32768.0));
    }
    static int Peak(const std::vector<int16_t>& S) {
        int peak = 0;
        for (int16_t v : S)
            peak = std::max(peak, std::abs(int(v)));
        return peak;
    }

    fs::path Recording;
    std::unique_ptr<TScopedEnv> Device;
};

TEST_F(PlayerGain, TaggedTracksPlayAtOneLevel) {
    Config("[player]\nReplayGain=track\n");
    const std::vector<int16_t> loud = PlayAndRecord("loud");
    if (loud.empty()) GTEST_SKIP() << "no FLAC decoder in this build";
    const std::vector<int16_t> quiet = PlayAndRecord("quiet");
    ASSERT_FALSE(quiet.empty());
    // 23 dB apart in the files.
    EXPECT_NEAR(RmsDb(loud), RmsDb(quiet), 0.5)
        << "loud " << RmsDb(loud) << " dB, quiet " << RmsDb(quiet) << " dB";
}

TEST_F(PlayerGain, StatedPeakKeepsARaiseFromClipping) {
    Config("[player]\nReplayGain=album\n");
    const std::vector<int16_t> s = PlayAndRecord("limited");
    if (s.empty()) GTEST_SKIP() << "no FLAC decoder in this build";
    // Raised by 1/0.51 (5.8 dB), not 20 dB: a sine of peak 0.5 comes near full scale and
    // its crest factor stays that of a sine.
    EXPECT_LE(Peak(s), 32767);
    EXPECT_GE(Peak(s), 31500);
    EXPECT_NEAR(RmsDb(s), 20 * std::log10(Peak(s) / 32768.0) - 3.01, 0.1);
}

struct TPreampCase {
    const char* Name;
    const char* Config;
    double WantDb; // the recording's level against the untagged file's own
};

class PlayerPreamp : public PlayerGain, public testing::WithParamInterface<TPreampCase> {};

TEST_P(PlayerPreamp, UntaggedTracksPlayAtThePreamp) {
    Config(GetParam().Config);
    const std::vector<int16_t> s = PlayAndRecord("untagged");
    if (s.empty()) GTEST_SKIP() << "no FLAC decoder in this build";
    const double sineDb = 20 * std::log10(0.5) - 3.01; // the file's own level
    EXPECT_NEAR(RmsDb(s), sineDb + GetParam().WantDb, 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PlayerPreamp,
    testing::Values(TPreampCase{"preamp", "[player]\nReplayGain=track\nPreampDb=-6.5\n", -6.5},
                    TPreampCase{"off_ignores_the_preamp", "[player]\nPreampDb=-6.5\n", 0.0}),
    [](const testing::TestParamInfo<TPreampCase>& i) { return std::string(i.param.Name); });

} // namespace
