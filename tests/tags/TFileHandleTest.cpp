#include <gtest/gtest.h>

#include "TagTestFiles.h"
#include "tags/TFileHandle.h"

using namespace tarvio;
using test::RandomBytes;
using test::TBytes;

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
