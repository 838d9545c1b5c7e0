#pragma once
// The player window's test fixture: a player folder with the demo skin, backgrounds and a
// play list, media made once per test program, and helpers that pump the event loop.

#include "QtEnvironment.h"
#include "support/TAlsaFileDevice.h"
#include "support/TRecordingCheck.h"
#include "support/TScopedEnv.h"

#include "app/TFont.h"
#include "app/TForm1.h"
#include "decoders/DecoderTestMedia.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuOutput.h"
#include "stages/TAudioPlayList.h"

#include <QElapsedTimer>
#include <QGlyphRun>
#include <QImage>
#include <QPainter>
#include <QTextLayout>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <unistd.h>

using namespace tarvio;
using namespace tarvio_test;
using tarvio::test::TAlsaFileDevice;
using tarvio::test::TRecordingCheck;
using tarvio::test::TScopedEnv;
namespace fs = std::filesystem;

// Button centres of the demo skin (demo/make-skin.py).
constexpr int PlayX = 260, PlayY = 105, PrevX = 110, NextX = 410, OpenX = 550, ButtonY = 105;
constexpr int OutsideX = 320, OutsideY = 400;

inline const std::string Credits = "Tarvio — музыка в дороге";

// Writes a 16-bit PCM WAVE file of silence.
inline void WriteWav(const fs::path& Path, uint32_t Rate, uint16_t Channels, uint32_t Frames) {
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
inline std::string WriteNoiseWav(const fs::path& Path, uint32_t Frames) {
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
    bool HaveMp4 = false;
    std::string NoisePcm; // the PCM of noise.flac
    std::string PausePcm; // the PCM of pausable.flac
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
        // 1.5 s of noise: long enough to pause in the middle.
        PausePcm = WriteNoiseWav(Dir / "pausable.wav", 12000);
        HaveFlac = HaveFlac && std::system((flac + "-o '" + (Dir / "pausable.flac").string() + "' '" +
                                            (Dir / "pausable.wav").string() + "'")
                                               .c_str()) == 0;
        std::string title;
        for (int i = 0; i < 12; ++i)
            title += "Очень длинное название песни ";
        HaveFlac = HaveFlac && std::system((flac + "--tag='TITLE=" + title + "' --tag=ARTIST=Кино -o '" +
                                            (Dir / "long_title.flac").string() + "' '" +
                                            (Dir / "short.wav").string() + "'")
                                               .c_str()) == 0;
        std::ofstream(Dir / "broken.flac") << "this is not a FLAC stream";
        // 5.1 AAC in MP4 with Cyrillic tags, under an upper-case extension.
        WriteWav(Dir / "six.wav", 48000, 6, 2 * 48000);
        HaveMp4 = std::system(("ffmpeg -v error -y -i '" + (Dir / "six.wav").string() +
                               "' -c:a aac -metadata title=Песня -metadata artist=Исполнитель -f mp4 '" +
                               (Dir / "Song.M4A").string() + "'")
                                  .c_str()) == 0;
    }
    ~TMedia() { fs::remove_all(Dir); }
};

inline TMedia& Media() {
    static TMedia media;
    return media;
}

// Handles window events and pipeline calls for Ms milliseconds.
inline void Pump(int Ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < Ms) {
        QApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(5);
    }
}

// Handles window events and pipeline calls until Cond holds or Ms milliseconds pass.
inline bool WaitUntil(const std::function<bool()>& Cond, int Ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!Cond() && clock.elapsed() < Ms) {
        QApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(5);
    }
    return Cond();
}

inline void SaveImage(const fs::path& Path, int W, int H, QColor Colour) {
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(Colour);
    ASSERT_TRUE(img.save(QString::fromStdString(Path.string()), "JPG", 95));
}

// Background n is painted grey level 40 * n, so a pixel tells which one is shown.
inline int BackgroundNumber(const TForm1& F) {
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
