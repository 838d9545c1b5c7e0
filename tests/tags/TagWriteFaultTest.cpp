// Tag writes under failing devices: every failed write must leave the file as it was, and
// every success must leave it correctly written.

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "TagFaults.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"

using namespace tarvio;
using test::RandomBytes;
using test::TBytes;

namespace {

ino_t Inode(int Fd) {
    struct stat st;
    return ::fstat(Fd, &st) == 0 ? st.st_ino : 0;
}

TBytes ReadAll(int Fd) {
    TBytes b(static_cast<size_t>(::lseek(Fd, 0, SEEK_END)));
    return ::pread(Fd, b.data(), b.size(), 0) == static_cast<ssize_t>(b.size()) ? b : TBytes{};
}

constexpr size_t kLongFile = TFileHandle::MoveChunkBytes * 5 / 2 + 7; // three copy steps

} // namespace

// ID3v2 insert with a fault at each of its steps in turn, once or from then on. A file with
// one name is replaced by a new one; a file with a second name (a hard link) is changed in
// place, where an undo needs the device back, so it only meets faults that don't persist.
struct TInsertFaultCase {
    std::string Name;
    size_t FileBytes;
    size_t TitleBytes;
    bool Persistent;
    bool HardLinked;
};

class TId3v2InsertFaultTest : public testing::TestWithParam<TInsertFaultCase> {};

TEST_P(TId3v2InsertFaultTest, EveryFaultLeavesTheFileAsItWas) {
    const auto& c = GetParam();
    test::TTempDir dir;
    const std::string path = dir / "a.mp3", link = dir / "b.mp3";
    const TBytes original = RandomBytes(c.FileBytes, 7);
    TId3v2Tags tags;
    tags.SetTitle(std::u16string(c.TitleBytes, u'x'));
    TBytes written = tags.RenderTag(true);
    test::Append(written, original);
    const std::vector<std::string> names =
        c.HardLinked ? std::vector<std::string>{"a.mp3", "b.mp3"} : std::vector<std::string>{"a.mp3"};

    // One insert on a fresh copy of the file; the result and the steps it took.
    auto insert = [&](int FailAt) {
        std::filesystem::remove(path);
        std::filesystem::remove(link);
        test::WriteBytes(path, original);
        if (c.HardLinked) std::filesystem::create_hard_link(path, link);
        auto plan = std::make_shared<test::TFaultPlan>(test::TFaultPlan{FailAt, c.Persistent});
        test::TFd fd(path, O_RDWR);
        test::TFaultyFile file(fd.Get(), plan);
        const bool ok = tags.WriteToFile(file, true);
        return std::pair{ok, plan->Calls};
    };
    auto expectFile = [&](const TBytes& Contents) {
        EXPECT_TRUE(test::ReadBytes(path) == Contents);
        if (c.HardLinked) {
            EXPECT_TRUE(test::ReadBytes(link) == Contents);
        }
        EXPECT_EQ(test::Names(dir.Path().string()), names);
    };

    const auto [ok, steps] = insert(0);
    ASSERT_TRUE(ok);
    expectFile(written);
    ASSERT_GE(steps, 3);
    for (int step = 1; step <= steps; ++step) {
        SCOPED_TRACE("fault at step " + std::to_string(step) + " of " + std::to_string(steps));
        EXPECT_FALSE(insert(step).first);
        expectFile(original);
    }
}

static std::vector<TInsertFaultCase> InsertFaultCases() {
    struct {
        const char* Name;
        size_t FileBytes, TitleBytes;
    } sizes[] = {{"SmallTag", 100, 5},
                 {"TagLongerThanFile", 100, 1000},
                 {"SmallTagLongFile", kLongFile, 5},
                 {"TagLongerThanOneStep", kLongFile, TFileHandle::MoveChunkBytes * 3 / 2}};
    std::vector<TInsertFaultCase> cases;
    for (const auto& s : sizes)
        for (bool persistent : {false, true})
            for (bool linked : {false, true})
                if (!(persistent && linked))
                    cases.push_back({std::string(s.Name) + (persistent ? "Persistent" : "Once") +
                                         (linked ? "InPlace" : "Replaced"),
                                     s.FileBytes, s.TitleBytes, persistent, linked});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, TId3v2InsertFaultTest, testing::ValuesIn(InsertFaultCases()),
                         [](const auto& Info) { return Info.param.Name; });

// ID3v1 appends one block: a fault in its write, once or from then on, is cut back.
TEST(TId3v1WriteFaultTest, ShortWriteIsCutBack) {
    test::TTempDir dir;
    const TBytes original = RandomBytes(300, 8);
    TId3v1Tags tags;
    tags.SetTitle("Title");
    for (bool persistent : {false, true}) {
        SCOPED_TRACE(persistent ? "persistent" : "once");
        test::WriteBytes(dir / "a.mp3", original);
        test::TFd fd(dir / "a.mp3", O_RDWR);
        test::TFaultyFile file(fd.Get(), std::make_shared<test::TFaultPlan>(test::TFaultPlan{1, persistent}));
        EXPECT_FALSE(tags.WriteToFile(file, false));
        EXPECT_TRUE(test::ReadBytes(dir / "a.mp3") == original);
        EXPECT_EQ(::lseek(fd.Get(), 0, SEEK_CUR), static_cast<off_t>(original.size()));
    }
}

// Running out of room for real, with 64 bytes left: a full tmpfs (the file's last page has
// 64 bytes free), and a file-size limit 64 bytes above the file's size.
enum class TNoRoom { FullTmpfs, FileSizeLimit };

struct TNoRoomCase {
    const char* Name;
    bool Id3v1;
    TNoRoom How;
};

class TNoRoomTest : public testing::TestWithParam<TNoRoomCase> {};

TEST_P(TNoRoomTest, WriteFailsAndLeavesTheFile) {
    const auto& c = GetParam();
    test::TTempDir dir;
    test::TSmallTmpfs tmpfs(dir);
    if (c.How == TNoRoom::FullTmpfs && !tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const std::string folder = c.How == TNoRoom::FullTmpfs ? tmpfs / "" : dir / "";
    const std::string path = folder + "a.mp3";
    const TBytes original = RandomBytes(8 * 4096 - 64, 9);
    test::WriteBytes(path, original);
    if (c.How == TNoRoom::FullTmpfs) tmpfs.Fill();
    const auto before = test::Names(folder);

    auto write = [&] {
        test::TFd fd(path, O_RDWR);
        TId3v1Tags v1;
        TId3v2Tags v2;
        v1.SetTitle("Title");
        v2.SetTitle(std::u16string(100, u'x')); // more than the room left
        return c.Id3v1 ? v1.WriteToFile(fd.Get(), false) : v2.WriteToFile(fd.Get(), true);
    };
    if (c.How == TNoRoom::FullTmpfs) {
        EXPECT_FALSE(write());
    } else {
        EXPECT_EQ(test::RunWithFileSizeLimit(original.size() + 64, write), 0);
    }
    EXPECT_TRUE(test::ReadBytes(path) == original);
    EXPECT_EQ(test::Names(folder), before);
}

INSTANTIATE_TEST_SUITE_P(Ways, TNoRoomTest,
                         testing::Values(TNoRoomCase{"Id3v1FullTmpfs", true, TNoRoom::FullTmpfs},
                                         TNoRoomCase{"Id3v1FileSizeLimit", true, TNoRoom::FileSizeLimit},
                                         TNoRoomCase{"Id3v2FullTmpfs", false, TNoRoom::FullTmpfs},
                                         TNoRoomCase{"Id3v2FileSizeLimit", false, TNoRoom::FileSizeLimit}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A replaced file looks to everyone else as before, apart from its contents: same name
// (also through a symbolic link), mode, owner and attributes, and the writer's descriptor
// follows it with its lock. A reader that had the file open keeps the old contents whole.
TEST(TFileReplacementTest, KeepsWhatOthersSeeOfTheFile) {
    test::TTempDir dir;
    const std::string path = dir / "a.mp3";
    const TBytes original = RandomBytes(5000, 10);
    test::WriteBytes(path, original);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
    }
    const bool attributes = ::setxattr(path.c_str(), "user.tarvio", "kept", 4, 0) == 0;
    std::filesystem::create_symlink("a.mp3", dir / "link.mp3");

    test::TFd reader(path, O_RDONLY);
    test::TFd fd(dir / "link.mp3", O_RDWR);
    ASSERT_EQ(::flock(fd.Get(), LOCK_EX | LOCK_NB), 0);
    const ino_t before = Inode(fd.Get());

    TId3v2Tags tags;
    tags.SetTitle(u"Title");
    ASSERT_TRUE(tags.WriteToFile(fd.Get(), true));
    TBytes written = tags.RenderTag(true);
    test::Append(written, original);
    EXPECT_TRUE(test::ReadBytes(path) == written);

    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, before); // a new file holds the name
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    if (attributes) {
        char value[8] = {};
        EXPECT_EQ(::getxattr(path.c_str(), "user.tarvio", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.mp3"));
    EXPECT_EQ(test::Names(dir.Path().string()), (std::vector<std::string>{"a.mp3", "link.mp3"}));

    // The writer's descriptor: the new file, at its end, close-on-exec, holding the lock.
    EXPECT_EQ(Inode(fd.Get()), st.st_ino);
    EXPECT_EQ(::lseek(fd.Get(), 0, SEEK_CUR), static_cast<off_t>(written.size()));
    EXPECT_TRUE(::fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);
    test::TFd other(path, O_RDONLY);
    EXPECT_NE(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    // So a write that follows through it lands in the file.
    TId3v1Tags v1;
    ASSERT_TRUE(v1.WriteToFile(fd.Get(), false));
    EXPECT_EQ(test::ReadBytes(path).size(), written.size() + TId3v1Tags::BlockSize);

    EXPECT_TRUE(ReadAll(reader.Get()) == original);
}

// Files that a new file can't stand in for are changed in place: the descriptor keeps its
// file, and every other name and lock of it sees the tag.
enum class TInPlaceReason { SecondName, RecordLock, NoName };

class TInPlaceTest : public testing::TestWithParam<TInPlaceReason> {};

TEST_P(TInPlaceTest, InsertKeepsTheFile) {
    test::TTempDir dir;
    const TBytes original = RandomBytes(3000, 11);
    std::unique_ptr<test::TFd> fd;
    if (GetParam() == TInPlaceReason::NoName) {
        fd = std::make_unique<test::TFd>(::memfd_create("tag", MFD_CLOEXEC));
        ASSERT_EQ(::write(fd->Get(), original.data(), original.size()),
                  static_cast<ssize_t>(original.size()));
    } else {
        test::WriteBytes(dir / "a.mp3", original);
        fd = std::make_unique<test::TFd>(dir / "a.mp3", O_RDWR);
    }
    if (GetParam() == TInPlaceReason::SecondName)
        std::filesystem::create_hard_link(dir / "a.mp3", dir / "b.mp3");
    if (GetParam() == TInPlaceReason::RecordLock) {
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(::fcntl(fd->Get(), F_SETLK, &lock), 0);
    }
    const ino_t before = Inode(fd->Get());

    TId3v2Tags tags;
    tags.SetArtist(u"Artist");
    ASSERT_TRUE(tags.WriteToFile(fd->Get(), true));
    TBytes written = tags.RenderTag(true);
    test::Append(written, original);
    EXPECT_EQ(Inode(fd->Get()), before);
    EXPECT_TRUE(ReadAll(fd->Get()) == written);
    if (GetParam() == TInPlaceReason::SecondName) {
        EXPECT_TRUE(test::ReadBytes(dir / "b.mp3") == written);
    }
}

INSTANTIATE_TEST_SUITE_P(Reasons, TInPlaceTest,
                         testing::Values(TInPlaceReason::SecondName, TInPlaceReason::RecordLock,
                                         TInPlaceReason::NoName),
                         [](const auto& Info) {
                             switch (Info.param) {
                             case TInPlaceReason::SecondName:
                                 return "SecondName";
                             case TInPlaceReason::RecordLock:
                                 return "RecordLock";
                             default:
                                 return "NoName";
                             }
                         });
