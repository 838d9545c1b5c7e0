#include "stages/TMountWatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

using namespace tarvio;
namespace fs = std::filesystem;

struct TMountsCase {
    const char* Name;
    const char* Folder;
    const char* MountInfo;
    std::vector<std::string> Expected;
};

class MountsBelow : public testing::TestWithParam<TMountsCase> {};

TEST_P(MountsBelow, FindsTheTopmostMountPointsBelowTheFolder) {
    EXPECT_EQ(TMountWatcher::MountsBelow(GetParam().Folder, GetParam().MountInfo), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, MountsBelow,
    testing::Values(TMountsCase{"Stick",
                                "/media",
                                "22 1 0:21 / /media rw - tmpfs tmpfs rw\n"
                                "40 22 8:17 / /media/MY\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n"
                                "41 40 8:18 / /media/MY\\040STICK/inner rw - ext4 /dev/sdb2 rw\n"
                                "42 1 8:19 / /media2/x rw - ext4 /dev/sdc1 rw\n",
                                {"/media/MY STICK"}},
                    TMountsCase{"TwoSticksAndTrailingSlash",
                                "/run/media/car/",
                                "50 1 8:1 / /run/media/car/B rw - vfat /dev/sdb1 rw\n"
                                "51 1 8:2 / /run/media/car/A rw - vfat /dev/sdc1 rw",
                                {"/run/media/car/A", "/run/media/car/B"}},
                    TMountsCase{"BrokenLines", "/media", "garbage\n\n1 2 3\n1 2 3 4 /media/x", {"/media/x"}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(MountWatcher, SeesABindMountComeAndGo) {
    const fs::path root = fs::path(testing::TempDir()) / ("watch_" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "watched");
    fs::create_directories(root / "source");
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> events;
    TMountWatcher watcher((root / "watched").string());
    watcher.OnAppeared = [&](const std::string& M) {
        std::lock_guard<std::mutex> l(lock);
        events.push_back("+" + M);
        changed.notify_all();
    };
    watcher.OnVanished = [&](const std::string& M) {
        std::lock_guard<std::mutex> l(lock);
        events.push_back("-" + M);
        changed.notify_all();
    };
    ASSERT_TRUE(watcher.Start());
    EXPECT_TRUE(watcher.Present().empty());
    const fs::path stick = root / "watched" / "stick";
    fs::create_directories(stick);
    if (mount((root / "source").c_str(), stick.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        fs::remove_all(root);
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    }
    auto waitFor = [&](size_t N) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::seconds(10), [&] { return events.size() >= N; });
    };
    EXPECT_TRUE(waitFor(1));
    EXPECT_EQ(umount(stick.c_str()), 0);
    EXPECT_TRUE(waitFor(2));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(events, (std::vector<std::string>{"+" + stick.string(), "-" + stick.string()}));
    fs::remove_all(root);
}
