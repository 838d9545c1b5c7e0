#include <gtest/gtest.h>

#include <random>
#include <sys/mount.h>

#include "TagTestFiles.h"
#include "tags/TFileHandle.h"
#include "tags/TId3v2Tags.h"

using namespace tarvio;
using test::TBytes;

namespace {

TBytes RandomBytes(size_t Count, unsigned Seed) {
    std::mt19937 rng(Seed);
    TBytes b(Count);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Fails the N-th positioned write (writing only half of it, like a short write) or the N-th
// positioned read; every other call goes through.
class TFailingFile : public TFileHandle {
public:
    TFailingFile(THandle Fd, int FailWriteAt, int FailReadAt)
        : TFileHandle(Fd), FFailWriteAt(FailWriteAt), FFailReadAt(FailReadAt) {}
    size_t WriteAt(const void* Buffer, size_t Count, int64_t Offset) override {
        if (++FWrites == FFailWriteAt) return TFileHandle::WriteAt(Buffer, Count / 2, Offset);
        return TFileHandle::WriteAt(Buffer, Count, Offset);
    }
    size_t ReadAt(void* Buffer, size_t Count, int64_t Offset) override {
        if (++FReads == FFailReadAt) return 0;
        return TFileHandle::ReadAt(Buffer, Count, Offset);
    }
    int FWrites = 0, FReads = 0;

private:
    int FFailWriteAt, FFailReadAt;
};

} // namespace

TEST(TFileHandleTest, PositionSeekReadWriteSizeTruncate) {
    test::TTempDir dir;
    test::WriteBytes(dir / "f", {1, 2, 3, 4, 5});
    test::TFd fd(dir / "f", O_RDWR);
    TFileHandle f(fd.Get());
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.Seek(-2, TSeekOrigin::soEnd), 3);
    uint8_t buf[8];
    EXPECT_EQ(f.Read(buf, sizeof buf), 2u); // short at the end of the file
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(f.Position(), 5);
    EXPECT_EQ(f.Seek(-1, TSeekOrigin::soBeginning), -1);
    EXPECT_EQ(f.Seek(1, TSeekOrigin::soBeginning), 1);
    EXPECT_EQ(f.Write("\x09", 1), 1u);
    EXPECT_EQ(f.Seek(1, TSeekOrigin::soCurrent), 3);
    EXPECT_TRUE(f.Truncate());
    EXPECT_EQ(test::ReadBytes(dir / "f"), (TBytes{1, 9, 3}));

    TFileHandle bad(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(bad.Valid());
    EXPECT_EQ(bad.Position(), -1);
    EXPECT_EQ(bad.Size(), -1);
    EXPECT_EQ(bad.Read(buf, 1), 0u);
    EXPECT_FALSE(bad.InsertAtStart("x", 1));
}

TEST(TFileHandleTest, InsertMovesContentsLargerThanOneStep) {
    test::TTempDir dir;
    const TBytes original = RandomBytes(TFileHandle::MoveChunkBytes * 5 / 2 + 7, 1);
    test::WriteBytes(dir / "f", original);
    test::TFd fd(dir / "f", O_RDWR);
    TFileHandle f(fd.Get());
    const TBytes head = RandomBytes(333, 2);
    ASSERT_TRUE(f.InsertAtStart(head.data(), head.size()));
    TBytes expected = head;
    test::Append(expected, original);
    EXPECT_EQ(test::ReadBytes(dir / "f"), expected);
    EXPECT_EQ(f.Position(), static_cast<int64_t>(expected.size()));
}

// A failure at any step of an insert leaves the file as it was, byte for byte.
class TInsertFailureTest : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(TInsertFailureTest, LeavesFileUnchanged) {
    const auto [failWrite, failRead] = GetParam();
    test::TTempDir dir;
    const TBytes original = RandomBytes(TFileHandle::MoveChunkBytes * 5 / 2 + 7, 3);
    test::WriteBytes(dir / "f", original);
    test::TFd fd(dir / "f", O_RDWR);
    TFailingFile f(fd.Get(), failWrite, failRead);
    TId3v2Tags tags;
    tags.SetTitle(u"Title");
    EXPECT_FALSE(tags.WriteToFile(f, true));
    EXPECT_TRUE(test::ReadBytes(dir / "f") == original);
}

// Writes: 1 claims the tail, 2..4 move three steps, 5 puts the tag in front.
// Reads: 1..3 the three steps of the move.
INSTANTIATE_TEST_SUITE_P(Steps, TInsertFailureTest,
                         testing::Values(std::pair{1, 0}, std::pair{2, 0}, std::pair{3, 0}, std::pair{4, 0},
                                         std::pair{5, 0}, std::pair{0, 1}, std::pair{0, 2}, std::pair{0, 3}));

TEST(TFileHandleTest, InsertStepCountsMatchTheFailureTable) {
    test::TTempDir dir;
    test::WriteBytes(dir / "f", RandomBytes(TFileHandle::MoveChunkBytes * 5 / 2 + 7, 3));
    test::TFd fd(dir / "f", O_RDWR);
    TFailingFile f(fd.Get(), 0, 0);
    TId3v2Tags tags;
    tags.SetTitle(u"Title");
    ASSERT_TRUE(tags.WriteToFile(f, true));
    EXPECT_EQ(f.FWrites, 5);
    EXPECT_EQ(f.FReads, 3);
}

// A file system with no room left: the insert fails before touching the file.
TEST(TFileHandleTest, InsertOnFullFileSystemLeavesFileUnchanged) {
    test::TTempDir dir;
    const std::string mnt = dir / "mnt";
    std::filesystem::create_directory(mnt);
    if (::mount("tarvio-test", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct TUnmount {
        std::string Path;
        ~TUnmount() { ::umount2(Path.c_str(), MNT_DETACH); }
    } unmount{mnt};

    const TBytes original = RandomBytes(25 * 4096, 4); // whole pages: a tag needs a new one
    test::WriteBytes(mnt + "/a.mp3", original);
    {
        test::TFd filler(mnt + "/filler", O_WRONLY | O_CREAT);
        TBytes page(4096, 0xEE);
        while (::write(filler.Get(), page.data(), page.size()) > 0) {
        }
    }
    test::TFd fd(mnt + "/a.mp3", O_RDWR);
    TId3v2Tags tags;
    tags.SetTitle(u"Title");
    EXPECT_FALSE(tags.WriteToFile(fd.Get(), true));
    EXPECT_TRUE(test::ReadBytes(mnt + "/a.mp3") == original);
}
