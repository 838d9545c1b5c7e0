#pragma once
// A byte ring between exactly one producer thread and one consumer thread.
//
// Positions count bytes since the last reset and only grow; a position's storage index is
// the position modulo the capacity, so "empty" (WritePos == ReadPos) and "full"
// (WritePos - ReadPos == capacity) never look alike. Each position is stored only by its
// own side, with release ordering after the bytes it covers are copied, and loaded by the
// other side with acquire ordering: a reader never sees bytes before they are written, a
// writer never overwrites bytes before they are read.
//
// Producer side: Write, ExposeSingleBufferWrite, AddBytesWritten, SetEof.
// Consumer side: Read, ExposeSingleBufferRead, AddBytesRead, Reset2.
// Any thread: Stop (releases a waiting Read or Write at once), WakeProducer, Lock/Unlock.
// A side that waits sleeps on a condition variable until the other side's progress, Stop or
// the end flag gives it cause to go on; it never polls. The other side only signals when a
// waiter has said what it waits for, so a ring that nobody waits on costs no system call.
// Reset must be called while neither side is inside a call.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarvio {

class TCircularBuffer {
public:
    // BufSize: capacity in bytes, allocated here once. Mode is accepted for the callers that
    // pass one and not stored: no option bit is set by it.
    TCircularBuffer(uint32_t BufSize, uint16_t Mode);
    ~TCircularBuffer() = default;
    TCircularBuffer(const TCircularBuffer&) = delete;
    TCircularBuffer& operator=(const TCircularBuffer&) = delete;

    uint32_t BufSize() const { return FBufSize; }

    // Consumer: copies up to BufSize bytes of the next contiguous stored stretch into Buf and
    // returns the count (a wrapped block comes out in two reads). Waits while the ring is
    // empty. Returns 0 at the end of data (ring empty and EOF set; the
    // positions are then reset to 0 for the next producer) or after Stop.
    uint32_t Read(void* Buf, uint32_t BufSize);
    // Producer: copies up to BufSize bytes from Buf into the next contiguous free stretch and
    // returns the count. Waits while the ring is full. Returns 0 once EOF is set or after
    // Stop.
    uint32_t Write(const void* Buf, uint32_t BufSize);

    // Producer: the free stretch that starts at the write index without wrapping. Bytes, in
    // bytes: on entry the most the caller wants, on return the stretch's length (0 when full).
    void ExposeSingleBufferWrite(void*& Buffer, uint32_t& Bytes);
    // Producer: commits Bytes bytes written into the exposed stretch (at most its length).
    void AddBytesWritten(uint32_t Bytes);
    // Consumer: the stored stretch that starts at the read index without wrapping. Bytes: on
    // entry the most the caller wants, on return the stretch's length (0 when empty).
    void ExposeSingleBufferRead(void*& Buffer, uint32_t& Bytes);
    // Consumer: releases Bytes bytes taken from the exposed stretch (at most its length).
    void AddBytesRead(uint32_t Bytes);

    bool WouldWriteBlock() const; // full
    bool WouldReadBlock() const;  // empty
    // Free bytes: capacity - stored.
    uint32_t FreeSpace() const;

    // Producer: waits until at least Bytes bytes are free (Bytes above the capacity: until
    // woken), the ring is stopped, WakeProducer is called or TimeoutMs milliseconds have
    // passed. True when the space is there.
    bool WaitForSpace(uint32_t Bytes, uint32_t TimeoutMs);
    // Any thread: ends the producer's WaitForSpace in progress, or, when none is, its next one.
    void WakeProducer();

    // Empties the ring and clears the break and end flags (both sides idle).
    void Reset();
    // Consumer: drops everything stored (the read position jumps to the write position).
    void Reset2();
    // Empties the ring and sets the break and end flags: a waiting Read or Write returns 0.
    void Stop();

    void Lock() { CS.lock(); }
    void Unlock() { CS.unlock(); }

    // The producer has no more data. (Named EOF in the design; EOF is a C library macro.)
    bool Eof() const { return FEOF.load(std::memory_order_acquire); }
    void SetEof(bool Value);

private:
    // Stored bytes as seen by the caller's side, clamped to [0, capacity] so that a Stop
    // racing with a copy can never produce an out-of-range stretch.
    uint32_t Stored(int64_t Read, int64_t Written) const;
    // Waits for the other side (Reader: for data or the end; else for space): a few yields
    // first, for a partner that runs at memory speed on a core of its own, then on the
    // condition variable.
    void WaitForChange(bool Reader, std::chrono::steady_clock::time_point& Start);
    // After the consumer has freed space: wakes the producer if it waits for that much.
    void WakeForSpace();
    // After the producer has stored data: wakes the consumer if it waits.
    void WakeForData();
    uint32_t Index(int64_t Pos) const { return FBufSize ? static_cast<uint32_t>(Pos % FBufSize) : 0; }

    uint8_t* FBuffer = nullptr;
    std::unique_ptr<uint8_t[]> FP; // owns the storage FBuffer points into
    uint32_t FBufSize;
    std::atomic<int64_t> ReadPos{0};
    std::atomic<int64_t> WritePos{0};
    std::recursive_mutex CS;
    uint16_t Flags = 0; // bit 4: an empty, not ended ring reads as zero bytes instead of waiting
    std::atomic<bool> FBreak{false};
    std::atomic<bool> FEOF{false};
    // Only for waiting. Flags change under it. Positions are stored without it (copies take
    // no lock): a waiter announces itself (FSpaceWanted, FDataWanted) and then tests its
    // condition under the lock; the other side stores its position and then reads the
    // announcement, each with a sequentially consistent fence in between, so either the
    // waiter sees the new position or the other side sees the waiter, takes the lock and
    // signals.
    std::mutex FWaitLock;
    std::condition_variable FWaitCond;
    std::atomic<uint32_t> FSpaceWanted{0}; // free bytes the waiting producer needs; 0: none waits
    std::atomic<bool> FDataWanted{false};  // the consumer waits for data
    bool FProducerWake = false;            // guarded by FWaitLock
};

} // namespace tarvio
