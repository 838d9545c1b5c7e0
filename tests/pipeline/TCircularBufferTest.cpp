#include "pipeline/TCircularBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

using tarvio::TCircularBuffer;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

// Where the storage starts, found through an empty ring whose positions are 0.
uint8_t* StorageStart(TCircularBuffer& b) {
    void* p = nullptr;
    uint32_t n = b.BufSize();
    b.ExposeSingleBufferWrite(p, n);
    return static_cast<uint8_t*>(p);
}

} // namespace

TEST(TCircularBuffer, FillsInOneWriteAndReadsStopShortOfWhatIsStored) {
    TCircularBuffer b(64, 1);
    auto data = Pattern(64);
    EXPECT_TRUE(b.WouldReadBlock());
    EXPECT_EQ(b.Write(data.data(), 64), 64u);
    EXPECT_TRUE(b.WouldWriteBlock());
    EXPECT_EQ(b.FreeSpace(), 0u);

    std::vector<uint8_t> out(100);
    EXPECT_EQ(b.Read(out.data(), 30), 30u);
    EXPECT_EQ(b.Read(out.data() + 30, 100), 34u); // asks for 100, gets what is stored
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 64), data);
}

TEST(TCircularBuffer, WriteToFullRingWaitsForRead) {
    TCircularBuffer b(64, 1);
    auto data = Pattern(64);
    ASSERT_EQ(b.Write(data.data(), 64), 64u);
    // The writer can only get a non-zero count once the reader has freed space.
    auto writer = std::async(std::launch::async, [&] { return b.Write(data.data(), 100); });
    uint8_t out[10];
    EXPECT_EQ(b.Read(out, 10), 10u);
    EXPECT_EQ(writer.get(), 10u); // only the freed 10 bytes, up to the end of the storage
    EXPECT_TRUE(b.WouldWriteBlock());
}

TEST(TCircularBuffer, InPlaceWriteStopsAtTheEndThenWrapsUpToTheReader) {
    TCircularBuffer b(64, 1);
    uint8_t* base = StorageStart(b);
    std::vector<uint8_t> tmp(64);
    ASSERT_EQ(b.Write(tmp.data(), 54), 54u);
    ASSERT_EQ(b.Read(tmp.data(), 54), 54u); // empty, write index 10 bytes before the end

    void* p = nullptr;
    uint32_t n = 100;
    b.ExposeSingleBufferWrite(p, n);
    EXPECT_EQ(p, base + 54);
    EXPECT_EQ(n, 10u);
    std::memcpy(p, "0123456789", 10);
    b.AddBytesWritten(10);

    n = 100;
    b.ExposeSingleBufferWrite(p, n);
    EXPECT_EQ(p, base);
    EXPECT_EQ(n, 54u); // from the storage start up to the read index
    std::memcpy(p, "abcde", 5);
    b.AddBytesWritten(5);

    // The in-place request is capped by what the caller asks for.
    n = 3;
    b.ExposeSingleBufferWrite(p, n);
    EXPECT_EQ(n, 3u);

    // Reading returns one contiguous stretch per call.
    char out[16] = {};
    EXPECT_EQ(b.Read(out, 16), 10u);
    EXPECT_EQ(std::string(out, 10), "0123456789");
    EXPECT_EQ(b.Read(out, 16), 5u);
    EXPECT_EQ(std::string(out, 5), "abcde");
}

TEST(TCircularBuffer, InPlaceReadExposesStoredStretch) {
    TCircularBuffer b(16, 1);
    auto data = Pattern(12);
    std::vector<uint8_t> tmp(16);
    ASSERT_EQ(b.Write(tmp.data(), 10), 10u);
    ASSERT_EQ(b.Read(tmp.data(), 10), 10u);
    ASSERT_EQ(b.Write(data.data(), 12), 6u); // up to the end of the storage
    ASSERT_EQ(b.Write(data.data() + 6, 6), 6u);

    void* p = nullptr;
    uint32_t n = 100;
    b.ExposeSingleBufferRead(p, n);
    ASSERT_EQ(n, 6u);
    EXPECT_EQ(std::memcmp(p, data.data(), 6), 0);
    b.AddBytesRead(6);
    n = 100;
    b.ExposeSingleBufferRead(p, n);
    ASSERT_EQ(n, 6u);
    EXPECT_EQ(std::memcmp(p, data.data() + 6, 6), 0);
    b.AddBytesRead(6);
    EXPECT_TRUE(b.WouldReadBlock());
}

TEST(TCircularBuffer, CommitsBeyondTheFreeOrStoredBytesAreCapped) {
    TCircularBuffer b(16, 1);
    std::vector<uint8_t> tmp(16);
    ASSERT_EQ(b.Write(tmp.data(), 12), 12u);
    b.AddBytesWritten(10); // only 4 bytes were free
    EXPECT_EQ(b.FreeSpace(), 0u);
    b.AddBytesRead(100);
    EXPECT_EQ(b.FreeSpace(), 16u);
    EXPECT_TRUE(b.WouldReadBlock());
}

TEST(TCircularBuffer, EndOfDataDrainsThenResetsPositions) {
    TCircularBuffer b(64, 1);
    auto data = Pattern(50);
    ASSERT_EQ(b.Write(data.data(), 50), 50u);
    ASSERT_EQ(b.Read(data.data(), 40), 40u); // positions 40 and 50
    b.SetEof(true);
    EXPECT_EQ(b.Write(data.data(), 10), 0u); // no writes after the end

    uint8_t out[64];
    EXPECT_EQ(b.Read(out, 6), 6u);
    EXPECT_EQ(b.Read(out, 64), 4u);
    EXPECT_EQ(b.Read(out, 64), 0u);
    EXPECT_EQ(b.Read(out, 64), 0u);
    // Positions are back at 0: the whole storage is one free stretch from its start.
    b.SetEof(false);
    void* p = nullptr;
    uint32_t n = 64;
    b.ExposeSingleBufferWrite(p, n);
    EXPECT_EQ(n, 64u);
}

TEST(TCircularBuffer, StopReleasesWaitingReaderAndWriter) {
    TCircularBuffer empty(64, 1);
    auto reader = std::async(std::launch::async, [&] {
        uint8_t out[8];
        return empty.Read(out, 8);
    });
    TCircularBuffer full(8, 1);
    auto data = Pattern(8);
    ASSERT_EQ(full.Write(data.data(), 8), 8u);
    auto writer = std::async(std::launch::async, [&] { return full.Write(data.data(), 8); });

    empty.Stop();
    full.Stop();
    EXPECT_EQ(reader.get(), 0u);
    EXPECT_EQ(writer.get(), 0u);

    // Stopped: both sides return 0 until Reset makes the ring usable again.
    uint8_t out[8];
    EXPECT_EQ(full.Read(out, 8), 0u);
    EXPECT_EQ(full.Write(data.data(), 8), 0u);
    full.Reset();
    EXPECT_FALSE(full.Eof());
    EXPECT_EQ(full.FreeSpace(), 8u);
    EXPECT_EQ(full.Write(data.data(), 8), 8u);
    EXPECT_EQ(full.Read(out, 8), 8u);
}

TEST(TCircularBuffer, Reset2DropsStoredData) {
    TCircularBuffer b(64, 1);
    auto data = Pattern(64);
    ASSERT_EQ(b.Write(data.data(), 40), 40u);
    b.Reset2();
    EXPECT_TRUE(b.WouldReadBlock());
    EXPECT_EQ(b.FreeSpace(), 64u);
    // Data written afterwards is what the reader gets next.
    ASSERT_EQ(b.Write(data.data() + 40, 10), 10u);
    uint8_t out[10];
    ASSERT_EQ(b.Read(out, 10), 10u);
    EXPECT_EQ(std::memcmp(out, data.data() + 40, 10), 0);
}

// One producer (alternating copied and in-place writes of random sizes) and one consumer
// (alternating Read and in-place reads) move a long stream through a small ring of odd size;
// the consumer must see every byte in order, and the end flag only after the last one.
TEST(TCircularBuffer, ProducerAndConsumerThreadsPassEveryByteInOrder) {
    constexpr size_t total = 3'000'000;
    TCircularBuffer b(4099, 1);
    auto src = [](size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); };

    std::thread producer([&] {
        std::mt19937 rng(1);
        std::vector<uint8_t> chunk(6000);
        size_t done = 0;
        bool inPlace = false;
        while (done < total) {
            uint32_t want = static_cast<uint32_t>(std::min<size_t>(rng() % 6000 + 1, total - done));
            if (inPlace) {
                void* p = nullptr;
                uint32_t n = want;
                b.ExposeSingleBufferWrite(p, n);
                for (uint32_t i = 0; i < n; ++i)
                    static_cast<uint8_t*>(p)[i] = src(done + i);
                b.AddBytesWritten(n);
                done += n;
                if (n == 0) std::this_thread::yield();
            } else {
                for (uint32_t i = 0; i < want; ++i)
                    chunk[i] = src(done + i);
                done += b.Write(chunk.data(), want);
            }
            inPlace = !inPlace;
        }
        b.SetEof(true);
    });

    std::mt19937 rng(2);
    std::vector<uint8_t> out(6000);
    size_t got = 0, bad = 0;
    bool inPlace = false;
    for (;;) {
        uint32_t want = rng() % 6000 + 1;
        if (inPlace && !b.WouldReadBlock()) {
            void* p = nullptr;
            uint32_t n = want;
            b.ExposeSingleBufferRead(p, n);
            for (uint32_t i = 0; i < n; ++i)
                bad += static_cast<uint8_t*>(p)[i] != src(got + i);
            b.AddBytesRead(n);
            got += n;
        } else {
            uint32_t n = b.Read(out.data(), want);
            if (n == 0) break;
            for (uint32_t i = 0; i < n; ++i)
                bad += out[i] != src(got + i);
            got += n;
        }
        inPlace = !inPlace;
    }
    producer.join();
    EXPECT_EQ(got, total);
    EXPECT_EQ(bad, 0u);
}
