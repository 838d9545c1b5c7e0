#pragma once
// The audio cache's fill thread: keeps the cache's ring filled from the cache's input.
// Between fills it sleeps until the reader has freed enough of the ring for the next fill to
// be worth making, so a full ring costs no wake-ups.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "pipeline/TCircularBuffer.h"
#include "pipeline/TThread.h"

namespace tarvio {

class TAuInput;

class TAudioCacheThread : public TThread {
public:
    static constexpr uint32_t RingSize = 0x600000;        // bytes
    static constexpr uint32_t MaxFill = 0xC0000;          // most bytes added per round
    static constexpr uint32_t MinFill = 0x60000;          // a round adds more than this, or nothing
    static constexpr uint32_t RefillFreeSpace = 0x540000; // free bytes that always trigger a fill
    static constexpr uint32_t PauseMs = 10;               // breather after a round that filled
    // Longest sleep between two looks at the ring, a safety net: the reader wakes the
    // thread as soon as the space it waits for is free.
    static constexpr uint32_t IdleLookMs = 1000;

    // AParent: the input read from (not owned); it must stay alive until the thread ends.
    explicit TAudioCacheThread(TAuInput* AParent);
    // Ends the thread (Terminate and wait) if the owner has not done so.
    ~TAudioCacheThread() override;

    TAuInput* const Parent;
    // The ring: this thread is its only producer, the cache's reader its only consumer.
    TCircularBuffer Buf;
    // Set when the fill loop has ended (the ring's EOF is set then too).
    std::atomic<bool> Stopped{false};
    // Held for each fill round; whoever holds it keeps a block read from the input out of
    // the ring until it lets go (the cache's jump).
    std::mutex FillCS;

    // The message of an exception the input raised on this thread; empty when none. Once
    // set, the fill loop has ended and the ring's EOF is set.
    std::string ErrorMessage();
    // Fill rounds completed so far (diagnostics and tests).
    uint64_t Rounds() const { return FRounds; }
    // Any thread: the thread looks at the ring again now (or at once after its next round)
    // instead of waiting for space.
    void Wake() { Buf.WakeProducer(); }
    // Sets the terminate flag and wakes the thread.
    void Terminate() override;

protected:
    void Execute() override;

private:
    // One look at the ring, filling it when that is worth while. Returns 0 after a fill, else
    // the free bytes the ring needs before the next fill can happen (more than the ring's
    // size once the input has ended).
    uint32_t FillRound();

    std::mutex FErrorLock;
    std::string FErrorMessage;
    std::atomic<uint64_t> FRounds{0};
};

} // namespace tarvio
