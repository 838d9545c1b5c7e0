// The byte-stream adapter the media reader reads files through.

#include <gtest/gtest.h>

#include "decoders/wm/TAudioStream.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;

TEST(AudioStream, StorageStreamCalls) {
    TMemoryStream memory(std::vector<uint8_t>{1, 2, 3, 4, 5});
    TAudioStream s;
    s.AssignStream(&memory);

    uint8_t buf[8] = {};
    uint32_t count = 99;
    EXPECT_EQ(s.Read(buf, 8, &count), 0);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(buf[4], 5);
    EXPECT_EQ(s.Read(buf, 8, &count), -1) << "nothing left";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(s.Read(buf, 8, nullptr), -1);

    uint64_t pos = 0;
    EXPECT_EQ(s.Seek(-2, STREAM_SEEK_END, &pos), 0);
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(s.Seek(-1, STREAM_SEEK_CUR, &pos), 0);
    EXPECT_EQ(pos, 2u);
    // Offsets beyond 4 GiB are not cut to 32 bits.
    EXPECT_EQ(s.Seek(int64_t{5} << 32, STREAM_SEEK_SET, &pos), 0);
    EXPECT_EQ(pos, uint64_t{5} << 32);
    // A move the stream refuses is a failure, and the position stays.
    EXPECT_EQ(s.Seek(-100, STREAM_SEEK_SET, &pos), -1);
    EXPECT_EQ(memory.Position(), int64_t{5} << 32);

    EXPECT_EQ(s.SetSize(1), 0) << "moves the position, leaves the length";
    EXPECT_EQ(memory.Position(), 1);
    EXPECT_EQ(memory.Size(), 5);
    EXPECT_EQ(s.Write("\x09", 1, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(memory.Data()[1], 9);
    EXPECT_EQ(s.Write("", 0, &count), -1);

    TStatStg st;
    st.type = 7;
    st.grfMode = 3;
    st.grfLocksSupported = 5;
    EXPECT_EQ(s.Stat(st), 0);
    EXPECT_EQ(st.cbSize, 5u);
    EXPECT_EQ(st.grfLocksSupported, 0u);
    EXPECT_EQ(st.type, 7u);
    EXPECT_EQ(st.grfMode, 3u);

    EXPECT_EQ(s.CopyTo(&s, 1, nullptr, nullptr), -1);
    EXPECT_EQ(s.Commit(0), -1);
    EXPECT_EQ(s.Revert(), -1);
    EXPECT_EQ(s.LockRegion(0, 1, 0), -1);
    EXPECT_EQ(s.UnlockRegion(0, 1, 0), -1);
    TAudioStream* clone = &s;
    EXPECT_EQ(s.Clone(&clone), -1);
    EXPECT_EQ(clone, nullptr);
}
