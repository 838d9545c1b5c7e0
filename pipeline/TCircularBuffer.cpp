#include "pipeline/TCircularBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tarvio {

namespace {
// A wait first yields for a short while, which catches the other side when both run at
// memory speed, and then polls every 1 ms, which costs next to nothing however long it waits.
class TPollWait {
public:
    void operator()() {
        auto now = std::chrono::steady_clock::now();
        if (FStart == std::chrono::steady_clock::time_point{}) FStart = now;
        if (now - FStart < std::chrono::microseconds(200))
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    std::chrono::steady_clock::time_point FStart{};
};
} // namespace

TCircularBuffer::TCircularBuffer(uint32_t BufSize, uint16_t /*Mode*/)
    : FP(std::make_unique<uint8_t[]>(BufSize ? BufSize : 1)), FBufSize(BufSize) {
    FBuffer = FP.get();
}

uint32_t TCircularBuffer::Stored(int64_t Read, int64_t Written) const {
    int64_t stored = Written - Read;
    if (stored <= 0) return 0;
    return stored >= FBufSize ? FBufSize : static_cast<uint32_t>(stored);
}

uint32_t TCircularBuffer::Read(void* Buf, uint32_t BufSize) {
    int64_t r, w;
    TPollWait wait;
    for (;;) {
        if (FBreak.load(std::memory_order_acquire)) return 0;
        // Load the end flag before the positions: the producer sets it after its last
        // commit, so an empty ring seen after the flag is empty for good.
        bool ended = FEOF.load(std::memory_order_acquire);
        r = ReadPos.load(std::memory_order_relaxed);
        w = WritePos.load(std::memory_order_acquire);
        if (Stored(r, w) > 0) break;
        if (ended) {
            WritePos.store(0, std::memory_order_relaxed);
            ReadPos.store(0, std::memory_order_release);
            return 0;
        }
        if (Flags & 4) {
            if (BufSize) std::memset(Buf, 0, BufSize);
            return BufSize;
        }
        wait();
    }
    uint32_t ri = Index(r);
    uint32_t n = std::min({BufSize, Stored(r, w), FBufSize - ri});
    if (n) std::memcpy(Buf, FBuffer + ri, n);
    ReadPos.store(r + n, std::memory_order_release);
    return n;
}

uint32_t TCircularBuffer::Write(const void* Buf, uint32_t BufSize) {
    if (FEOF.load(std::memory_order_acquire)) return 0;
    int64_t r, w;
    TPollWait wait;
    for (;;) {
        w = WritePos.load(std::memory_order_relaxed);
        r = ReadPos.load(std::memory_order_acquire);
        if (Stored(r, w) < FBufSize) break;
        wait();
        if (FBreak.load(std::memory_order_acquire)) return 0;
    }
    uint32_t wi = Index(w);
    uint32_t n = std::min({BufSize, FBufSize - Stored(r, w), FBufSize - wi});
    if (n) std::memcpy(FBuffer + wi, Buf, n);
    WritePos.store(w + n, std::memory_order_release);
    return n;
}

void TCircularBuffer::ExposeSingleBufferWrite(void*& Buffer, uint32_t& Bytes) {
    int64_t w = WritePos.load(std::memory_order_relaxed);
    int64_t r = ReadPos.load(std::memory_order_acquire);
    uint32_t wi = Index(w);
    Buffer = FBuffer + wi;
    Bytes = std::min({Bytes, FBufSize - Stored(r, w), FBufSize - wi});
}

void TCircularBuffer::AddBytesWritten(uint32_t Bytes) {
    int64_t w = WritePos.load(std::memory_order_relaxed);
    int64_t r = ReadPos.load(std::memory_order_acquire);
    // Never commit more than is free: that would hand the reader bytes it has not read yet.
    uint32_t n = std::min(Bytes, FBufSize - Stored(r, w));
    WritePos.store(w + n, std::memory_order_release);
}

void TCircularBuffer::ExposeSingleBufferRead(void*& Buffer, uint32_t& Bytes) {
    int64_t r = ReadPos.load(std::memory_order_relaxed);
    int64_t w = WritePos.load(std::memory_order_acquire);
    uint32_t ri = Index(r);
    Buffer = FBuffer + ri;
    Bytes = std::min({Bytes, Stored(r, w), FBufSize - ri});
}

void TCircularBuffer::AddBytesRead(uint32_t Bytes) {
    int64_t r = ReadPos.load(std::memory_order_relaxed);
    int64_t w = WritePos.load(std::memory_order_acquire);
    uint32_t n = std::min(Bytes, Stored(r, w));
    ReadPos.store(r + n, std::memory_order_release);
}

bool TCircularBuffer::WouldWriteBlock() const {
    return FreeSpace() == 0;
}

bool TCircularBuffer::WouldReadBlock() const {
    return Stored(ReadPos.load(std::memory_order_acquire), WritePos.load(std::memory_order_acquire)) == 0;
}

uint32_t TCircularBuffer::FreeSpace() const {
    return FBufSize -
           Stored(ReadPos.load(std::memory_order_acquire), WritePos.load(std::memory_order_acquire));
}

void TCircularBuffer::Reset() {
    std::lock_guard<std::recursive_mutex> lock(CS);
    ReadPos.store(0, std::memory_order_relaxed);
    WritePos.store(0, std::memory_order_relaxed);
    FBreak.store(false, std::memory_order_relaxed);
    FEOF.store(false, std::memory_order_release);
}

void TCircularBuffer::Reset2() {
    ReadPos.store(WritePos.load(std::memory_order_acquire), std::memory_order_release);
}

void TCircularBuffer::Stop() {
    std::lock_guard<std::recursive_mutex> lock(CS);
    // Flags first: a side that is inside a copy sees them on its next call and returns 0,
    // whatever position it stores when the copy ends.
    FBreak.store(true, std::memory_order_release);
    FEOF.store(true, std::memory_order_release);
    ReadPos.store(0, std::memory_order_release);
    WritePos.store(0, std::memory_order_release);
}

} // namespace tarvio
