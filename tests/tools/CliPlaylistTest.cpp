// tarvio-cli playlist: the list's bytes, its paths, and failures that leave FILE alone.

#include "tools/CliProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tarvio::test;
namespace fs = std::filesystem;

namespace {

class CliPlaylist : public testing::Test {
protected:
    fs::path Root;
    void SetUp() override {
        Root = fs::path(testing::TempDir()) / ("cli_playlist_" + std::to_string(getpid()));
        fs::remove_all(Root);
        for (const char* f :
             {"stick/10 b/1.flac", "stick/2 a/x.ogg", "stick/2 a/readme.txt", "other/y.mp3"}) {
            fs::create_directories((Root / f).parent_path());
            std::ofstream(Root / f) << "not decoded by the scan";
        }
        fs::create_directories(Root / "empty");
    }
    void TearDown() override { fs::remove_all(Root); }
};

} // namespace

TEST_F(CliPlaylist, WritesUtf8WithAMarkAndPathsRelativeToTheListsFolder) {
    const fs::path list = Root / "stick" / "PlayList.txt";
    const TCliResult r =
        RunCli({"playlist", (Root / "stick").string(), (Root / "other").string(), "-o", list.string()});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(Slurp(list), "\xEF\xBB\xBF"
                           "2 a/x.ogg\r\n10 b/1.flac\r\n" +
                               (Root / "other" / "y.mp3").string() + "\r\n");
    EXPECT_EQ(fs::status(list).permissions() & fs::perms::owner_read, fs::perms::owner_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(Root / "stick"), fs::directory_iterator()), 3)
        << "no temporary file is left";
}

struct TFailCase {
    const char* Name;
    std::vector<std::string> Dirs; // below Root
    const char* Error;
};

class CliPlaylistFails : public CliPlaylist, public testing::WithParamInterface<TFailCase> {};

TEST_P(CliPlaylistFails, LeavesTheOldListAsItWas) {
    const fs::path list = Root / "PlayList.txt";
    std::ofstream(list) << "old list";
    std::vector<std::string> args{"playlist"};
    for (const auto& d : GetParam().Dirs)
        args.push_back((Root / d).string());
    args.insert(args.end(), {"-o", list.string()});
    const TCliResult r = RunCli(args);
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(OneLine(r.Err)) << r.Err;
    EXPECT_NE(r.Err.find(GetParam().Error), std::string::npos) << r.Err;
    EXPECT_EQ(Slurp(list), "old list");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliPlaylistFails,
    testing::Values(TFailCase{"Missing", {"stick", "nothere"}, "No such file or directory"},
                    TFailCase{"NotAFolder", {"stick/2 a/x.ogg"}, "not a folder"},
                    TFailCase{"NothingPlayable", {"empty"}, "no playable files found"}),
    [](const auto& Info) { return std::string(Info.param.Name); });
