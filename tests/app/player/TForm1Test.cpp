#include "QtEnvironment.h"

#include "app/TForm1.h"
#include "pipeline/TAuOutput.h"
#include "stages/TAudioPlayList.h"

#include <QElapsedTimer>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace tarvio;
using namespace tarvio_test;
namespace fs = std::filesystem;

namespace {

// Button centres of the demo skin (demo/make-skin.py).
constexpr int PlayX = 260, PlayY = 105, PrevX = 110, NextX = 410, OpenX = 550, ButtonY = 105;
constexpr int OutsideX = 320, OutsideY = 400;

const std::string Credits = "Tarvio — музыка в дороге";

// Writes a 16-bit PCM WAVE file of silence.
void WriteWav(const fs::path& Path, uint32_t Rate, uint16_t Channels, uint32_t Frames) {
    std::ofstream out(Path, std::ios::binary);
    const uint32_t data = Frames * Channels * 2;
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + data);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(Channels);
    u32(Rate);
    u32(Rate * Channels * 2);
    u16(static_cast<uint16_t>(Channels * 2));
    u16(16);
    out.write("data", 4);
    u32(data);
    std::string zeros(data, '\0');
    out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

// Writes Frames of deterministic 16-bit stereo noise; returns the PCM bytes.
std::string WriteNoiseWav(const fs::path& Path, uint32_t Frames) {
    std::string pcm(Frames * 4, '\0');
    uint32_t x = 12345;
    for (char& c : pcm) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    WriteWav(Path, 8000, 2, 0);
    std::fstream f(Path, std::ios::in | std::ios::out | std::ios::binary);
    uint32_t riff = 36 + static_cast<uint32_t>(pcm.size()), data = static_cast<uint32_t>(pcm.size());
    f.seekp(4);
    f.write(reinterpret_cast<const char*>(&riff), 4);
    f.seekp(40);
    f.write(reinterpret_cast<const char*>(&data), 4);
    f.seekp(44);
    f.write(pcm.data(), static_cast<std::streamsize>(pcm.size()));
    return pcm;
}

// Media made once per test program: FLAC tracks through the flac tool.
struct TMedia {
    fs::path Dir;
    bool HaveFlac = false;
    std::string NoisePcm; // the PCM of noise.flac
    TMedia() {
        Dir = fs::temp_directory_path() / ("tarvio_player_media_" + std::to_string(getpid()));
        fs::create_directories(Dir);
        // 3 minutes 5 seconds, stereo, with title and artist.
        WriteWav(Dir / "long.wav", 8000, 2, 185 * 8000);
        WriteWav(Dir / "short.wav", 8000, 2, 800);
        std::string flac = "flac --silent --force ";
        HaveFlac = std::system((flac + "--tag=TITLE=Песня --tag=ARTIST=Исполнитель -o '" +
                                (Dir / "long.flac").string() + "' '" + (Dir / "long.wav").string() + "'")
                                   .c_str()) == 0 &&
                   std::system((flac + "--tag=TITLE=Short -o '" + (Dir / "short.flac").string() + "' '" +
                                (Dir / "short.wav").string() + "'")
                                   .c_str()) == 0;
        NoisePcm = WriteNoiseWav(Dir / "noise.wav", 4000);
        HaveFlac = HaveFlac && std::system((flac + "-o '" + (Dir / "noise.flac").string() + "' '" +
                                            (Dir / "noise.wav").string() + "'")
                                               .c_str()) == 0;
        std::ofstream(Dir / "broken.flac") << "this is not a FLAC stream";
    }
    ~TMedia() { fs::remove_all(Dir); }
};

TMedia& Media() {
    static TMedia media;
    return media;
}

void SaveImage(const fs::path& Path, int W, int H, QColor Colour) {
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(Colour);
    ASSERT_TRUE(img.save(QString::fromStdString(Path.string()), "JPG", 95));
}

// Background n is painted grey level 40 * n, so a pixel tells which one is shown.
int BackgroundNumber(const TForm1& F) {
    int grey = F.ImageBg->Picture().Pixels(5, 5) & 0xFF;
    return (grey + 20) / 40;
}

// A player folder: the configuration under Exe/, the current directory Work/ holding the
// play list, the skin pictures and the backgrounds.
class Player : public testing::Test {
protected:
    fs::path Root, Exe, Work, OldCwd;
    std::unique_ptr<TForm1> Form;

    void SetUp() override {
        ShownErrors.clear();
        Root = fs::temp_directory_path() / ("tarvio_player_" + std::to_string(getpid()) + "_" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        Exe = Root / "exe";
        Work = Root / "work";
        fs::remove_all(Root);
        fs::create_directories(Exe / "Skins" / "default");
        fs::create_directories(Work / "Skins" / "default");
        fs::create_directories(Work / "BackGround");
        const fs::path demo = fs::path(TARVIO_SOURCE_DIR) / "demo" / "Skins" / "default";
        for (const auto& entry : fs::directory_iterator(demo)) {
            if (entry.path().extension() == ".ini")
                fs::copy_file(entry.path(), Exe / "Skins" / "default" / entry.path().filename());
            else
                fs::copy_file(entry.path(), Work / "Skins" / "default" / entry.path().filename());
        }
        SaveImage(Work / "BackGround" / "1.jpg", 640, 480, QColor(40, 40, 40));
        SaveImage(Work / "BackGround" / "2.jpg", 800, 480, QColor(80, 80, 80));
        SaveImage(Work / "BackGround" / "3.jpg", 640, 600, QColor(120, 120, 120));
        SaveImage(Work / "BackGround" / "4.jpg", 640, 480, QColor(160, 160, 160));
        SaveImage(Work / "BackGround" / "5.jpg", 640, 480, QColor(200, 200, 200));
        // Decoys in the current directory: they must not be read.
        std::ofstream(Work / "config.ini") << "[skin]\nname=wrong\nBgStart=4\n";
        OldCwd = fs::current_path();
        fs::current_path(Work);
    }
    void TearDown() override {
        Form.reset();
        fs::current_path(OldCwd);
        fs::remove_all(Root);
    }
    void Config(const std::string& Text) { std::ofstream(Exe / "config.ini") << Text; }
    void PlayList(const std::vector<std::string>& Entries) {
        std::ofstream out(Work / "PlayList.txt");
        for (const auto& e : Entries)
            out << e << "\r\n";
    }
    void Start() {
        Form = std::make_unique<TForm1>(nullptr, Exe.string() + "/");
        Form->Show();
    }
    QWidget* W() { return Form->Widget(); }
    bool Shows(const TPicture& P) { return Form->ImageSkin->Picture().Image() == P.Image(); }
    std::string Flac(const char* Name) {
        if (!Media().HaveFlac) return {};
        return (Media().Dir / Name).string();
    }
};

TEST_F(Player, StartsWithoutConfigurationOnDefaults) {
    PlayList({"a.flac"});
    Start();
    EXPECT_TRUE(ShownErrors.empty()) << ShownErrors.front();
    EXPECT_EQ(Form->Caption(), "Tarvio");
    EXPECT_EQ(Form->ClientWidth(), 640);
    EXPECT_EQ(Form->SkinName, "default");
    EXPECT_EQ(Form->BgCnt, 0);
    EXPECT_EQ(Form->BgIndex, 1);
    EXPECT_EQ(BackgroundNumber(*Form), 1);
    EXPECT_EQ(Form->ColPlay, 255);
    EXPECT_EQ(Form->ColOpen, 65535);
    EXPECT_TRUE(Shows(Form->PicPlay));
    EXPECT_EQ(Form->ImageSkin->Width(), 640);
    EXPECT_EQ(Form->PicMask.Pixels(PlayX, PlayY), 255);
    EXPECT_EQ(Form->LabelError->Caption(), Credits);
    EXPECT_TRUE(Form->LabelError->Visible());
    EXPECT_FALSE(Form->LabelArtist->Visible());
    EXPECT_FALSE(Form->ImageEk[0]->Visible());
    EXPECT_FALSE(Form->Timer1->Enabled());
    EXPECT_EQ(Form->PlayState, "");
}

TEST_F(Player, FirstBackgroundFollowsBgStart) {
    PlayList({});
    for (auto [start, shown] : {std::pair{3, 3}, std::pair{9, 1}}) {
        Config("[skin]\nBgCnt=5\nBgStart=" + std::to_string(start) + "\n");
        Start();
        EXPECT_EQ(Form->BgIndex, shown);
        EXPECT_EQ(BackgroundNumber(*Form), shown);
        Form.reset();
    }
}

TEST_F(Player, SkinColoursMayBeHexadecimal) {
    PlayList({});
    std::ofstream(Exe / "Skins" / "default" / "skin.ini")
        << "[buttons]\nColLeft=$FF00\nColRight=0xFF0000\nColPlay=$ff\n";
    Start();
    EXPECT_EQ(Form->ColLeft, 65280);
    EXPECT_EQ(Form->ColRight, 16711680);
    EXPECT_EQ(Form->ColPlay, 255);
}

TEST_F(Player, AbortedStartUpShowsTheErrorAndStaysUsable) {
    // No PlayList.txt: the skin is never loaded.
    Start();
    ASSERT_EQ(ShownErrors.size(), 1u);
    EXPECT_NE(ShownErrors[0].find("PlayList.txt"), std::string::npos) << ShownErrors[0];
    EXPECT_TRUE(Form->PicMask.Empty());
    EXPECT_TRUE(Form->PicPlay.Empty());
    const int bg = Form->BgIndex;
    Tap(W(), PlayX, PlayY); // no mask: not a button, a touch that changes the background
    EXPECT_EQ(Form->PlayState, "");
    EXPECT_EQ(Form->BgIndex, bg); // BgCnt is 0: picture 1 again
    EXPECT_EQ(ShownErrors.size(), 1u);
    EXPECT_TRUE(Form->Showing());
}

TEST_F(Player, MissingSkinPictureStopsStartUp) {
    PlayList({});
    fs::remove(Work / "Skins" / "default" / "left1.png");
    Start();
    ASSERT_EQ(ShownErrors.size(), 1u);
    EXPECT_NE(ShownErrors[0].find("left1.png"), std::string::npos);
    EXPECT_TRUE(Form->PicRight1.Empty()) << "pictures after the failing one stay unloaded";
    EXPECT_TRUE(Form->PicMask.Empty());
    EXPECT_FALSE(Form->PicPause1.Empty());
}

TEST_F(Player, UnknownExtensionAndUnreadableFile) {
    PlayList({"/music/readme.txt", "/music/noextension", (Media().Dir / "broken.flac").string()});
    Start();
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(Form->LabelError->Caption(), "Непонятный тип файла");
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_EQ(Form->LabelTrack->Caption(), "");
    EXPECT_FALSE(Form->DXAudioOut1->IsBusy());
    Tap(W(), NextX, ButtonY);
    EXPECT_EQ(Form->LabelError->Caption(), "Непонятный тип файла");
    bool dts;
    if (Form->DecoderFor("x.flac", dts) == nullptr) GTEST_SKIP() << "no FLAC decoder";
    Tap(W(), NextX, ButtonY);
    EXPECT_EQ(Form->PlayingIndex, 2);
    EXPECT_EQ(Form->LabelError->Caption(), "Не могу проиграть файл. Файл поврежден или не найден кодек.");
}

class PlayerWithTracks : public Player {
protected:
    void SetUp() override {
        Player::SetUp();
        bool dts;
        if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
        Start0();
        if (!Form->DecoderFor("x.flac", dts)) GTEST_SKIP() << "no FLAC decoder in this build";
    }
    void Start0() {
        PlayList({Flac("long.flac"), Flac("short.flac"), Flac("long.flac")});
        Start();
    }
};

TEST_F(PlayerWithTracks, FirstPlayStartsEntryZeroAndFillsTheLabels) {
    Press(W(), PlayX, PlayY);
    EXPECT_TRUE(Shows(Form->PicPlay1));
    EXPECT_EQ(Form->Caption(), "play ");
    Release(W(), PlayX, PlayY);
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_EQ(Form->PlayingIndex, 0);
    EXPECT_TRUE(Shows(Form->PicPause));
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: long.flac");
    EXPECT_EQ(Form->LabelSamplerate->Caption(), "8000 Гц");
    EXPECT_EQ(Form->LabelChannel->Caption(), "Стерео");
    EXPECT_EQ(Form->LabelBitrate->Caption(), "");
    EXPECT_EQ(Form->LabelTime->Caption(), "Время: 3:05");
    EXPECT_EQ(Form->LabelTrack->Caption(), "Песня");
    EXPECT_EQ(Form->LabelArtist->Caption(), "Исполнитель");
    for (TLabel* l : {Form->LabelSamplerate, Form->LabelChannel, Form->LabelBitrate, Form->LabelTrack,
                      Form->LabelArtist, Form->LabelTime})
        EXPECT_TRUE(l->Visible()) << l->Name();
    EXPECT_EQ(Form->BgIndex, 1) << "a touch on play does not change the background";
}

TEST_F(PlayerWithTracks, NextAndPreviousWrapAroundWhilePlaying) {
    Tap(W(), NextX, ButtonY); // before the first start: nothing
    Tap(W(), PrevX, ButtonY);
    EXPECT_EQ(Form->PlayState, "");
    EXPECT_EQ(Form->LabelError->Caption(), Credits);
    Tap(W(), PlayX, PlayY);
    Tap(W(), PrevX, ButtonY); // previous on entry 0: the last entry
    EXPECT_EQ(Form->PlayingIndex, 2);
    Tap(W(), NextX, ButtonY); // next on the last entry: entry 0
    EXPECT_EQ(Form->PlayingIndex, 0);
    Press(W(), NextX, ButtonY);
    EXPECT_TRUE(Shows(Form->PicRight1));
    Release(W(), NextX, ButtonY);
    EXPECT_EQ(Form->PlayingIndex, 1);
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: short.flac");
    EXPECT_TRUE(Shows(Form->PicPause));
}

TEST_F(PlayerWithTracks, PauseAndResume) {
    Tap(W(), PlayX, PlayY);
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(Form->PlayState, "pause");
    EXPECT_TRUE(Shows(Form->PicPlay));
    Tap(W(), NextX, ButtonY); // nothing while paused
    Tap(W(), PrevX, ButtonY);
    EXPECT_EQ(Form->PlayingIndex, 0);
    EXPECT_EQ(Form->PlayState, "pause");
    Press(W(), PlayX, PlayY);
    EXPECT_EQ(Form->Caption(), "play pause");
    EXPECT_TRUE(Shows(Form->PicPlay1));
    Release(W(), PlayX, PlayY);
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_TRUE(Shows(Form->PicPause));
}

TEST_F(PlayerWithTracks, ReleaseActsWhereThePointerLastMoved) {
    Press(W(), PlayX, PlayY);
    Move(W(), OutsideX, OutsideY); // slid off the button
    Release(W(), PlayX, PlayY);    // the release position itself is not used
    EXPECT_EQ(Form->PlayState, "");
    EXPECT_EQ(Form->LastY, OutsideY);
}

TEST_F(PlayerWithTracks, TouchOutsideTheButtonsChangesTheBackground) {
    Tap(W(), OutsideX, OutsideY);
    EXPECT_EQ(Form->BgIndex, 1) << "BgCnt 0: picture 1 again";
    Form.reset();
    Config("[skin]\nBgCnt=3\n");
    Start();
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        Tap(W(), OutsideX, OutsideY);
        seen.push_back(BackgroundNumber(*Form));
    }
    EXPECT_EQ(seen, (std::vector<int>{2, 3, 1, 2}));
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(BackgroundNumber(*Form), 2);
    // The artist label (visible once a tagged track plays) changes it too.
    Tap(W(), 320, 260);
    EXPECT_EQ(BackgroundNumber(*Form), 3);
}

TEST_F(PlayerWithTracks, OpenAreaShowsTheOpenPictureAndClosesTheWindow) {
    Tap(W(), PlayX, PlayY);
    ASSERT_TRUE(Form->DXAudioOut1->IsBusy());
    Press(W(), OpenX, ButtonY);
    EXPECT_TRUE(Shows(Form->PicOpen1));
    EXPECT_FALSE(Form->Showing());
    EXPECT_FALSE(Form->DXAudioOut1->IsBusy()) << "closing stops the output";
    EXPECT_EQ(Form->Caption(), "open play");
}

TEST_F(PlayerWithTracks, CaptionIsEmptyAfterATrackEnds) {
    Form->PlayingIndex = 1; // the 0.1-second track
    Form->SetCaption("before");
    Form->PlayCurrent();
    QElapsedTimer clock;
    clock.start();
    while (Form->Caption() == "before" && clock.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(Form->Caption(), "");
}

TEST_F(Player, PanningReversesAtTheFarAndNearEdges) {
    PlayList({});
    Config("[skin]\nBgCnt=3\nBgStart=2\n"); // 800 x 480
    Start();
    ASSERT_EQ(Form->ImageBg->Width(), 800);
    EXPECT_TRUE(Form->Timer1->Enabled());
    EXPECT_EQ(Form->Timer1->Interval(), 150);
    EXPECT_EQ(Form->PanX, -1);
    EXPECT_EQ(Form->PanY, 0);
    std::vector<int> turns;
    int lastPan = Form->PanX;
    for (int tick = 0; tick < 700; ++tick) {
        Form->Timer1Timer(Form->Timer1);
        if (Form->PanX != lastPan) turns.push_back(Form->ImageBg->Left());
        lastPan = Form->PanX;
        ASSERT_EQ(Form->ImageBg->Top(), 0);
    }
    EXPECT_EQ(turns, (std::vector<int>{-160, 0, -160, 0}));
    // A taller picture pans vertically; an exact fit stands still.
    Tap(W(), OutsideX, OutsideY);
    EXPECT_EQ(Form->PanX, 0);
    EXPECT_EQ(Form->PanY, -1);
    Tap(W(), OutsideX, OutsideY);
    EXPECT_FALSE(Form->Timer1->Enabled());
    EXPECT_EQ(Form->ImageBg->Left(), 0);
}

TEST_F(Player, MissingBackgroundKeepsThePictureAndStopsPanning) {
    PlayList({});
    Config("[skin]\nBgCnt=3\nBgStart=2\n");
    Start();
    Form->Timer1Timer(Form->Timer1);
    EXPECT_EQ(Form->ImageBg->Left(), -1);
    fs::remove(Work / "BackGround" / "3.jpg");
    Tap(W(), OutsideX, OutsideY);
    ASSERT_EQ(ShownErrors.size(), 1u);
    EXPECT_NE(ShownErrors[0].find("3.jpg"), std::string::npos);
    EXPECT_EQ(Form->ImageBg->Left(), 0);
    EXPECT_EQ(BackgroundNumber(*Form), 2);
    EXPECT_FALSE(Form->Timer1->Enabled());
}

// A ".wav" without DTS audio plays through the WAV decoder with the ordinary labels: title
// and artist from its INFO chunk, else the file name as the title.
TEST_F(Player, PlainWaveFilesPlayWithTheirOwnLabels) {
    const fs::path tagged = Work / "tagged.wav";
    WriteWav(tagged, 8000, 2, 8000);
    {
        // INFO with INAM and IART, inserted before the data chunk.
        std::string info = "INFO";
        auto sub = [&info](const char* Id, const std::string& Text) {
            const uint32_t size = static_cast<uint32_t>(Text.size() + 1);
            info += Id;
            info.append(reinterpret_cast<const char*>(&size), 4);
            info += Text;
            info += '\0';
            if (size % 2) info += '\0';
        };
        sub("INAM", "Песня");
        sub("IART", "Исполнитель");
        std::ifstream in(tagged, std::ios::binary);
        std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const uint32_t size = static_cast<uint32_t>(info.size());
        file.insert(36, "LIST" + std::string(reinterpret_cast<const char*>(&size), 4) + info);
        std::ofstream(tagged, std::ios::binary) << file;
    }
    PlayList({tagged.string(), (Media().Dir / "short.wav").string()});
    Start();
    if (!Form->WaveIn1) GTEST_SKIP() << "no WAV decoder in this build";
    Tap(W(), PlayX, PlayY);
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: tagged.wav");
    EXPECT_EQ(Form->LabelTrack->Caption(), "Песня");
    EXPECT_EQ(Form->LabelArtist->Caption(), "Исполнитель");
    EXPECT_EQ(Form->LabelTime->Caption(), "Время: 0:01");
    EXPECT_EQ(Form->LabelSamplerate->Caption(), "8000 Гц");
    EXPECT_EQ(Form->LabelBitrate->Caption(), "");
    Tap(W(), NextX, ButtonY);
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: short.wav");
    EXPECT_EQ(Form->LabelTrack->Caption(), "short.wav");
    EXPECT_EQ(Form->LabelArtist->Caption(), "");
}

// End to end: the window plays a track to a wave file device; the recording holds the
// track's samples in order (the device may add silence around them).
TEST_F(Player, RecordedAudioHoldsTheTrack) {
    if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
    const fs::path recording = Root / "recorded.wav";
    // The output looks the device up when it is created and again when a run starts.
    struct TDeviceOverride {
        std::string Saved;
        bool Had;
        explicit TDeviceOverride(const std::string& Value) {
            const char* old = std::getenv("TARVIO_AUDIO_DEVICE");
            Had = old != nullptr;
            Saved = Had ? old : "";
            setenv("TARVIO_AUDIO_DEVICE", Value.c_str(), 1);
        }
        ~TDeviceOverride() {
            if (Had)
                setenv("TARVIO_AUDIO_DEVICE", Saved.c_str(), 1);
            else
                unsetenv("TARVIO_AUDIO_DEVICE");
        }
    } device("wav:" + recording.string());
    PlayList({Flac("noise.flac")});
    Start();
    bool dts;
    if (!Form->DecoderFor("x.flac", dts)) GTEST_SKIP() << "no FLAC decoder in this build";
    Tap(W(), PlayX, PlayY);
    ASSERT_EQ(Form->LabelError->Caption(), "Играет: noise.flac");
    Form->SetCaption("before"); // the done event can only arrive once events are processed
    QElapsedTimer clock;
    clock.start();
    while (Form->Caption() == "before" && clock.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(Form->Caption(), "") << "the track ended without an error";
    Form.reset();
    std::ifstream in(recording, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 44u);
    EXPECT_NE(bytes.find(Media().NoisePcm, 44), std::string::npos)
        << "recorded " << bytes.size() << " bytes, track " << Media().NoisePcm.size();
}

TEST(PlayerBars, TopsFollowLevelsScaledByBarOne) {
    float seventy[8];
    std::fill(std::begin(seventy), std::end(seventy), 70.0f);
    int tops[8];
    TForm1::BarTops(seventy, 240, tops);
    for (int t : tops)
        EXPECT_EQ(t, 360);
    float silence[8];
    std::fill(std::begin(silence), std::end(silence), -40.0f);
    TForm1::BarTops(silence, 240, tops);
    EXPECT_GT(tops[0], 480) << "silence sinks below the window";
    // Constant level settles at 480 * 140 / (140 + L); above the limit it settles too.
    for (float level : {60.0f, 500.0f}) {
        float levels[8];
        std::fill(std::begin(levels), std::end(levels), level);
        int top = 240;
        for (int i = 0; i < 400; ++i) {
            TForm1::BarTops(levels, top, tops);
            top = tops[0];
        }
        // Whole pixels may leave a small back-and-forth around the limit.
        float l = std::min(level, TForm1::MaxLevel);
        EXPECT_NEAR(top, 480 * 140 / (140 + l), 4) << level;
    }
}

TEST(PlayerBars, BarPictureIsADotGrid) {
    TPicture bar = TForm1::MakeBarPicture();
    ASSERT_EQ(bar.Width(), 80);
    ASSERT_EQ(bar.Height(), 240);
    EXPECT_TRUE(bar.HasAlpha());
    auto alpha = [&](int x, int y) { return bar.Image()->Pixels[y * 80 + x] >> 24; };
    EXPECT_EQ(alpha(0, 0), 0xFFu);
    EXPECT_EQ(alpha(1, 1), 0xFFu);
    EXPECT_EQ(alpha(2, 0), 0u) << "1-pixel gap across";
    EXPECT_EQ(alpha(0, 2), 0u) << "2-pixel gap down";
    EXPECT_EQ(alpha(0, 3), 0u);
    EXPECT_EQ(alpha(3, 4), 0xFFu);
    EXPECT_GT(bar.Pixels(0, 0) & 0xFF, bar.Pixels(78, 0) & 0xFF) << "lighter at the left";
}

} // namespace
