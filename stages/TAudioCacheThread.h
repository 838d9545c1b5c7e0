#pragma once
// The audio cache's fill thread: keeps the cache's ring filled from the cache's input.

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

protected:
    void Execute() override;

private:
    void FillRound();

    std::mutex FErrorLock;
    std::string FErrorMessage;
    std::atomic<uint64_t> FRounds{0};
};

} // namespace tarvio
