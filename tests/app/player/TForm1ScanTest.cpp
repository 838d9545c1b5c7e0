// The player's play list from folders: a list written by tarvio-cli playlist, MusicDir,
// and sticks mounted below WatchMounts.

#include "PlayerFixture.h"

#include "stages/TFolderScanner.h"
#ifdef TARVIO_CLI
#include "tools/CliProcess.h"
#endif

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

const std::string Cp1251Name = "\xCF\xE5\xF1\xED\xFF.flac"; // "Песня.flac"

class PlayerScan : public Player {
protected:
    fs::path Stick;
    void SetUp() override {
        Player::SetUp();
        if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
        // Made in the work folder so that the list's entries are relative.
        Stick = Work / "stick";
        fs::create_directories(Stick / "10 b");
        fs::create_directories(Stick / "2 a");
        fs::copy_file(Media().Dir / "short.flac", Stick / "10 b" / "short.flac");
        fs::copy_file(Media().Dir / "long.flac", Stick / "2 a" / "long.flac");
        fs::copy_file(Media().Dir / "noise.flac", Stick / Cp1251Name);
        std::ofstream(Stick / "2 a" / "cover.jpg") << "not audio";
    }
    const std::vector<std::string> Expected{"stick/" + Cp1251Name, "stick/2 a/long.flac",
                                            "stick/10 b/short.flac"};
};

} // namespace

TEST(PlayerFilesText, RussianPluralForms) {
    const std::pair<size_t, const char*> cases[] = {
        {0, "0 файлов"},     {1, "1 файл"},       {2, "2 файла"},      {4, "4 файла"},   {5, "5 файлов"},
        {11, "11 файлов"},   {12, "12 файлов"},   {21, "21 файл"},     {22, "22 файла"}, {101, "101 файл"},
        {111, "111 файлов"}, {114, "114 файлов"}, {1234, "1234 файла"}};
    for (const auto& [n, text] : cases)
        EXPECT_EQ(TForm1::FilesText(n), text);
}

#ifdef TARVIO_CLI
TEST_F(PlayerScan, ReadsTheListOfTarvioCliPlaylist) {
    using tarvio::test::RunCli;
    using tarvio::test::TCliResult;
    const TCliResult r = RunCli({"playlist", "stick", "-o", (Work / "PlayList.txt").string()});
    ASSERT_EQ(r.Status, 0) << r.Err;
    Start();
    EXPECT_EQ(Form->AudioPlayList1->Files(), Expected);
    Form->PlayButton();
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: Песня.flac"); // the name's CP1251 bytes
    EXPECT_TRUE(Form->DXAudioOut1->IsBusy());
    Form->NextButton();
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: long.flac");
    EXPECT_EQ(Form->LabelTrack->Caption(), "Песня");
}
#endif

TEST_F(PlayerScan, MusicDirBuildsTheListWithoutBlockingTheWindow) {
    fs::create_directories(Root / "more");
    fs::copy_file(Media().Dir / "short.flac", Root / "more" / "1.flac");
    Config("[player]\nMusicDir=stick;" + (Root / "more").string() + "\n");
    PlayList({"decoy.flac"});
    Start();
    // The scan runs on its own thread: its results wait for the event loop.
    EXPECT_EQ(Form->LabelError->Caption(), "Читаю: 0 файлов");
    EXPECT_TRUE(Form->Scanning);
    Form->PlayButton(); // nothing to play yet
    EXPECT_EQ(Form->PlayState, "");
    ASSERT_TRUE(WaitUntil([&] { return !Form->Scanning; }));
    std::vector<std::string> expected = Expected;
    expected.push_back((Root / "more" / "1.flac").string());
    EXPECT_EQ(Form->AudioPlayList1->Files(), expected);
    EXPECT_EQ(Form->LabelError->Caption(), "Найдено: 4 файла");
    Form->PlayButton();
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_EQ(Form->CurrentFile, expected[0]);
}

TEST_F(PlayerScan, PlaysAMountedStickAndStopsWhenItGoes) {
    const fs::path media = Root / "media", mount = media / "STICK 1";
    fs::create_directories(mount);
    const fs::path recording = Root / "recorded.wav";
    const TScopedEnv device("TARVIO_AUDIO_DEVICE", ("wav:" + recording.string()).c_str());
    Config("[player]\nWatchMounts=" + media.string() + "\n");
    Start();
    EXPECT_EQ(Form->PlayState, "");
    if (::mount(Stick.c_str(), mount.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    struct TUnmount {
        fs::path Path;
        ~TUnmount() { umount2(Path.c_str(), MNT_DETACH); }
    } unmount{mount};
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState == "play"; }, 10000));
    EXPECT_EQ(Form->CurrentFile, (mount / Cp1251Name).string());
    EXPECT_EQ(Form->ListSource, mount.string());
    EXPECT_TRUE(Form->DXAudioOut1->IsBusy());
    // The stick's first track reaches the device whole (the output ends after it).
    ASSERT_TRUE(WaitUntil([&] { return !Form->DXAudioOut1->IsBusy(); }, 10000));
    {
        std::ifstream in(recording, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t data = bytes.find("data", 12);
        ASSERT_NE(data, std::string::npos);
        const TRecordingCheck check(bytes.substr(data + 8), Media().NoisePcm, 4);
        EXPECT_TRUE(check.Ok) << check.Why;
    }

    ASSERT_EQ(umount2(mount.c_str(), MNT_DETACH), 0);
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState.empty(); }, 10000));
    EXPECT_EQ(Form->LabelError->Caption(), "Носитель отключён: STICK 1");
    EXPECT_FALSE(Form->DXAudioOut1->IsBusy());
    EXPECT_EQ(Form->AudioPlayList1->FileCount(), 0u);
    Form->PlayButton(); // an empty list: nothing happens
    EXPECT_EQ(Form->PlayState, "");

    // A start entry chosen by the hook, once the whole stick is scanned.
    Form->ChooseStartEntry = [&](const std::string& Source, const std::vector<std::string>& Files) {
        EXPECT_EQ(Source, mount.string());
        EXPECT_EQ(Files.size(), 3u);
        return 2;
    };
    ASSERT_EQ(::mount(Stick.c_str(), mount.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState == "play"; }, 10000));
    EXPECT_EQ(Form->CurrentFile, (mount / "10 b" / "short.flac").string());
}

// With Resume, a stick plugged in again starts where it was left: the same entry, from
// the saved place, found by the stick's file system.
TEST_F(PlayerScan, AStickPluggedInAgainResumesWhereItWasLeft) {
    const fs::path media = Root / "media", mount = media / "STICK 1";
    fs::create_directories(mount);
    const TScopedEnv state("XDG_STATE_HOME", (Root / "state").c_str());
    Config("[player]\nWatchMounts=" + media.string() + "\nResume=1\n");
    Start();
    if (::mount(Stick.c_str(), mount.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    struct TUnmount {
        fs::path Path;
        ~TUnmount() { umount2(Path.c_str(), MNT_DETACH); }
    } unmount{mount};
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState == "play"; }, 10000));
    EXPECT_EQ(Form->CurrentFile, (mount / Cp1251Name).string());
    Form->NextButton(); // the long track, saved as the place
    ASSERT_EQ(Form->CurrentFile, (mount / "2 a" / "long.flac").string());

    ASSERT_EQ(umount2(mount.c_str(), MNT_DETACH), 0);
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState.empty(); }, 10000));
    ASSERT_EQ(::mount(Stick.c_str(), mount.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return Form->PlayState == "play"; }, 10000));
    EXPECT_EQ(Form->CurrentFile, (mount / "2 a" / "long.flac").string());
    EXPECT_EQ(Form->PlayingIndex, 1);
}
