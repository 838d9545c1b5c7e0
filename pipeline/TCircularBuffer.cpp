#include "pipeline/TCircularBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using std::chrono::steady_clock;

namespace tarvio {

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
    steady_clock::time_point waitStart{};
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
        WaitForChange(true, waitStart);
    }
    uint32_t ri = Index(r);
    uint32_t n = std::min({BufSize, Stored(r, w), FBufSize - ri});
    if (n) std::memcpy(Buf, FBuffer + ri, n);
    ReadPos.store(r + n, std::memory_order_release);
    WakeForSpace();
    return n;
}

uint32_t TCircularBuffer::Write(const void* Buf, uint32_t BufSize) {
    if (FEOF.load(std::memory_order_acquire)) return 0;
    int64_t r, w;
    steady_clock::time_point waitStart{};
    for (;;) {
        w = WritePos.load(std::memory_order_relaxed);
        r = ReadPos.load(std::memory_order_acquire);
        if (Stored(r, w) < FBufSize) break;
        WaitForChange(false, waitStart);
        if (FBreak.load(std::memory_order_acquire)) return 0;
    }
    uint32_t wi = Index(w);
    uint32_t n = std::min({BufSize, FBufSize - Stored(r, w), FBufSize - wi});
    if (n) std::memcpy(FBuffer + wi, Buf, n);
    WritePos.store(w + n, std::memory_order_release);
    WakeForData();
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
    WakeForData();
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
    WakeForSpace();
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
    std::lock_guard<std::mutex> wait(FWaitLock);
    ReadPos.store(0, std::memory_order_relaxed);
    WritePos.store(0, std::memory_order_relaxed);
    FBreak.store(false, std::memory_order_relaxed);
    FEOF.store(false, std::memory_order_release);
    FProducerWake = false;
}

void TCircularBuffer::Reset2() {
    ReadPos.store(WritePos.load(std::memory_order_acquire), std::memory_order_release);
    WakeForSpace();
}

void TCircularBuffer::SetEof(bool Value) {
    {
        std::lock_guard<std::mutex> wait(FWaitLock);
        FEOF.store(Value, std::memory_order_release);
    }
    FWaitCond.notify_all();
}

void TCircularBuffer::Stop() {
    std::lock_guard<std::recursive_mutex> lock(CS);
    {
        std::lock_guard<std::mutex> wait(FWaitLock);
        // Flags first: a side that is inside a copy sees them on its next call and returns 0,
        // whatever position it stores when the copy ends.
        FBreak.store(true, std::memory_order_release);
        FEOF.store(true, std::memory_order_release);
        ReadPos.store(0, std::memory_order_release);
        WritePos.store(0, std::memory_order_release);
    }
    FWaitCond.notify_all();
}

bool TCircularBuffer::WaitForSpace(uint32_t Bytes, uint32_t TimeoutMs) {
    {
        std::unique_lock<std::mutex> lock(FWaitLock);
        FSpaceWanted.store(std::max<uint32_t>(Bytes, 1), std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        FWaitCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                           [&] { return FProducerWake || FreeSpace() >= Bytes; });
        FSpaceWanted.store(0, std::memory_order_relaxed);
        FProducerWake = false;
    }
    return FreeSpace() >= Bytes;
}

void TCircularBuffer::WakeProducer() {
    {
        std::lock_guard<std::mutex> lock(FWaitLock);
        FProducerWake = true;
    }
    FWaitCond.notify_all();
}

void TCircularBuffer::WaitForChange(bool Reader, steady_clock::time_point& Start) {
    // First yield for a short while: that catches the other side when both run at memory
    // speed on cores of their own.
    auto now = steady_clock::now();
    if (Start == steady_clock::time_point{}) Start = now;
    if (now - Start < std::chrono::microseconds(200)) {
        std::this_thread::yield();
        return;
    }
    // Then sleep until the other side brings what is waited for. The announcement comes
    // before the test, so a change made after the test always sends a wake-up.
    std::unique_lock<std::mutex> lock(FWaitLock);
    if (Reader) {
        FDataWanted.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        FWaitCond.wait(lock, [&] {
            return FBreak.load(std::memory_order_acquire) || FEOF.load(std::memory_order_acquire) ||
                   !WouldReadBlock();
        });
        FDataWanted.store(false, std::memory_order_relaxed);
    } else {
        FSpaceWanted.store(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        FWaitCond.wait(lock, [&] { return FBreak.load(std::memory_order_acquire) || !WouldWriteBlock(); });
        FSpaceWanted.store(0, std::memory_order_relaxed);
    }
}

void TCircularBuffer::WakeForSpace() {
    // Pairs with the waiter's announcement: either it sees the new position or this sees it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint32_t wanted = FSpaceWanted.load(std::memory_order_relaxed);
    if (wanted == 0 || FreeSpace() < wanted) return;
    { std::lock_guard<std::mutex> lock(FWaitLock); }
    FWaitCond.notify_all();
}

void TCircularBuffer::WakeForData() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!FDataWanted.load(std::memory_order_relaxed)) return;
    { std::lock_guard<std::mutex> lock(FWaitLock); }
    FWaitCond.notify_all();
}

} // namespace tarvio
