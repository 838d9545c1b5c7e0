#include "stages/TAudioCache.h"

#include <gtest/gtest.h>

#include <random>

#include "pipeline/TNullOut.h"
#include "stages/StageTestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// Gives the tests a view of the fill thread.
class TProbeCache : public TAudioCache {
public:
    using TAudioCache::TAudioCache;
    TAudioCacheThread* Thread() { return CacheThread.get(); }
};

constexpr int64_t MiB = 0x100000;

class AudioCacheTest : public testing::Test {
protected:
    TProbeCache Cache;
    int64_t Read = 0; // bytes read from the cache so far
    size_t Mismatches = 0;

    // Reads exactly N bytes in requests of at most Request bytes, checking them against
    // the source's stream (which continues at Expected); false if the stream ended first.
    bool ReadBytes(int64_t N, int64_t& Expected, uint32_t Request = 0x40000, uint32_t Seed = 0) {
        while (N > 0) {
            uint8_t* data = nullptr;
            uint32_t bytes = static_cast<uint32_t>(std::min<int64_t>(N, Request));
            Cache.GetData(data, bytes);
            if (bytes == 0) return false;
            for (uint32_t i = 0; i < bytes; ++i)
                Mismatches += data[i] != StreamByte(Expected + i, Seed);
            Expected += bytes;
            Read += bytes;
            N -= bytes;
        }
        return true;
    }

    // Lets the fill thread complete Count more rounds, so that a fill it would do has been
    // done. The thread sleeps until the space it waits for is free: wake it for each round.
    void LetFillThreadRun(int Count = 2) {
        uint64_t r = Cache.Thread()->Rounds();
        ASSERT_TRUE(WaitUntil([&] {
            Cache.Thread()->Wake();
            return Cache.Thread()->Rounds() >= r + Count;
        }));
    }
};

} // namespace

TEST_F(AudioCacheTest, InitWithoutInputFails) {
    try {
        Cache.Init();
        FAIL() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Input is not assigned");
    }
}

// Inputs of unknown size: filled whenever more than 0x60000 bytes are free; the position
// never restarts.
class AudioCacheUnknownSize : public AudioCacheTest, public testing::WithParamInterface<int64_t> {};

TEST_P(AudioCacheUnknownSize, FilledWheneverMoreThan0x60000BytesAreFree) {
    TScriptedSource src(2, 16, GetParam(), -1);
    Cache.SetInput(&src);
    Cache.Init();
    ASSERT_TRUE(WaitUntil([&] { return src.Delivered() == 6 * MiB; }));
    LetFillThreadRun();
    EXPECT_EQ(src.Delivered(), 6 * MiB); // full ring: nothing more

    int64_t expected = 0;
    ASSERT_TRUE(ReadBytes(0x60000, expected));
    LetFillThreadRun();
    EXPECT_EQ(src.Delivered(), 6 * MiB); // exactly 0x60000 free: not worth a fill

    ASSERT_TRUE(ReadBytes(4, expected));
    ASSERT_TRUE(WaitUntil([&] { return src.Delivered() == 6 * MiB + 0x60004; }));
    EXPECT_EQ(Cache.Position(), 0x60004);

    ASSERT_TRUE(ReadBytes(20 * MiB, expected));
    EXPECT_EQ(Cache.Position(), Read);
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

INSTANTIATE_TEST_SUITE_P(Sizes, AudioCacheUnknownSize, testing::Values(-1, 0));

struct RequestCase {
    uint32_t Channels;
    uint32_t Request;
    uint32_t Expected;
};

class AudioCacheRequest : public AudioCacheTest, public testing::WithParamInterface<RequestCase> {};

TEST_P(AudioCacheRequest, LargeRequestsAreCutToWholeFrames) {
    const RequestCase& c = GetParam();
    TScriptedSource src(c.Channels, 16, -1, -1);
    Cache.SetInput(&src);
    Cache.Init();
    ASSERT_TRUE(WaitUntil([&] { return src.Delivered() >= 2 * 0xC0000 - 10; }));
    uint8_t* data = nullptr;
    uint32_t bytes = c.Request;
    Cache.GetData(data, bytes);
    EXPECT_EQ(bytes, c.Expected);
    Cache.Flush();
}

INSTANTIATE_TEST_SUITE_P(Frames, AudioCacheRequest,
                         testing::Values(RequestCase{2, 1000000, 786432}, RequestCase{5, 1000000, 786430},
                                         RequestCase{2, 500000, 500000}));

// Once the rest of a known-size input fits into the ring, the ring is topped up only after
// it has run down to 0xC0000 bytes; that fill finds the end and sets EOF.
TEST_F(AudioCacheTest, KnownSizeInputIsToppedUpOnlyWhenTheRingRunsLow) {
    const int64_t size = 6 * MiB + 0x40000;
    TScriptedSource src(2, 16, size, size);
    Cache.SetInput(&src);
    Cache.Init();
    ASSERT_TRUE(WaitUntil([&] { return src.Delivered() == 6 * MiB; }));

    int64_t expected = 0;
    ASSERT_TRUE(ReadBytes(0x540000 - 4, expected)); // 0xC0004 bytes stay buffered
    LetFillThreadRun();
    EXPECT_EQ(src.Delivered(), 6 * MiB);
    EXPECT_FALSE(Cache.Thread()->Buf.Eof());

    ASSERT_TRUE(ReadBytes(4, expected)); // 0xC0000 buffered: top up
    ASSERT_TRUE(WaitUntil([&] { return Cache.Thread()->Buf.Eof(); }));
    EXPECT_EQ(src.Delivered(), size);

    // The rest comes out, then the end; the position never restarted.
    ASSERT_TRUE(ReadBytes(size - Read, expected));
    EXPECT_EQ(Cache.Position(), size);
    uint8_t* data = nullptr;
    uint32_t bytes = 4096;
    Cache.GetData(data, bytes);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

TEST_F(AudioCacheTest, EmptyInputEndsAtTheFirstRead) {
    TScriptedSource src(2, 16, 0, 0);
    Cache.SetInput(&src);
    Cache.Init();
    uint8_t* data = nullptr;
    uint32_t bytes = 4096;
    Cache.GetData(data, bytes);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(data, nullptr);
    Cache.Flush();
}

// Data passes byte for byte across many refills and ring wraps, with read sizes that do
// not divide the ring.
class AudioCacheStream : public AudioCacheTest, public testing::WithParamInterface<int64_t> {};

TEST_P(AudioCacheStream, PassesALongStreamUnchanged) {
    const int64_t length = 40 * MiB + 12344;
    TScriptedSource src(2, 16, GetParam() == 0 ? length : GetParam(), length, 7);
    src.Chunk = 50000;
    Cache.SetInput(&src);
    Cache.Init();
    std::mt19937 rng(3);
    int64_t expected = 0;
    for (;;) {
        uint8_t* data = nullptr;
        uint32_t bytes = rng() % 1000000 + 1;
        Cache.GetData(data, bytes);
        if (bytes == 0) break;
        for (uint32_t i = 0; i < bytes; ++i)
            Mismatches += data[i] != StreamByte(expected + i, 7);
        expected += bytes;
    }
    EXPECT_EQ(expected, length);
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

INSTANTIATE_TEST_SUITE_P(KnownAndUnknownSize, AudioCacheStream, testing::Values(0, -1));

TEST_F(AudioCacheTest, JumpDropsBufferedDataAndContinuesFromTheNewPosition) {
    TScriptedSource src(2, 16, -1, -1);
    Cache.SetInput(&src);
    Cache.Init();
    ASSERT_TRUE(WaitUntil([&] { return src.Delivered() == 6 * MiB; }));
    int64_t expected = 0;
    ASSERT_TRUE(ReadBytes(1000, expected));

    Cache._Jump(10);
    EXPECT_EQ(src.Jumps(), 1);
    int64_t target = 6 * MiB + 10 * src.JumpUnit;
    EXPECT_EQ(Cache.Position(), target);
    expected = target;
    ASSERT_TRUE(ReadBytes(MiB, expected));
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

// Jumps while the fill thread is busy: the first byte after every jump must come from the
// jump target, never from a block read before the jump.
TEST_F(AudioCacheTest, NoBlockFromBeforeAJumpReachesTheReader) {
    TScriptedSource src(2, 16, -1, -1);
    src.Chunk = 4096; // many small reads per fill round
    Cache.SetInput(&src);
    Cache.Init();
    std::mt19937 rng(5);
    int64_t expected = 0;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(ReadBytes(rng() % 0x100000 + 4, expected, 0x20000));
        Cache._Jump(static_cast<int32_t>(rng() % 50));
        expected = src.JumpTarget();
    }
    ASSERT_TRUE(ReadBytes(4096, expected));
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

TEST_F(AudioCacheTest, JumpAfterTheInputEndedIsIgnored) {
    TScriptedSource src(2, 16, 100000, 100000);
    Cache.SetInput(&src);
    Cache.Init();
    ASSERT_TRUE(WaitUntil([&] { return Cache.Thread()->Buf.Eof(); }));
    Cache._Jump(10);
    EXPECT_EQ(src.Jumps(), 0);
    int64_t expected = 0;
    ASSERT_TRUE(ReadBytes(100000, expected)); // nothing buffered was dropped
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
}

TEST_F(AudioCacheTest, SwitchingTheInputWhileRunningMovesTheFillThreadOver) {
    TScriptedSource first(2, 16, -1, -1, 1), second(2, 16, -1, -1, 2);
    Cache.SetInput(&first);
    Cache.Init();
    int64_t expected = 0;
    ASSERT_TRUE(ReadBytes(MiB, expected, 0x40000, 1));
    Cache.SetInput(&second);
    EXPECT_FALSE(first.IsBusy());
    expected = 0;
    ASSERT_TRUE(ReadBytes(MiB, expected, 0x40000, 2));
    EXPECT_EQ(Mismatches, 0u);
    Cache.Flush();
    EXPECT_FALSE(second.IsBusy());
}

// An exception of the input on the fill thread: the reader gets the data before it, then
// the error, which a running output reports as its exception message.
TEST_F(AudioCacheTest, InputErrorOnTheFillThreadReachesTheOutput) {
    TScriptedSource src(2, 16, -1, -1);
    src.ThrowAt = MiB;
    TNullOut out;
    out.SetChunkSize(30000);
    Cache.SetInput(&src);
    out.SetInput(&Cache);
    int done = 0;
    out.SetOnDone([&](TComponent*) { ++done; });
    out.Run();
    ASSERT_TRUE(WaitUntil([&] { return done == 1; }));
    EXPECT_EQ(out.ExceptionMessage(), "decoder broke");
    EXPECT_EQ(out.BytesPulled(), MiB);
    EXPECT_FALSE(Cache.IsBusy());
}
