#pragma once
// An event over a mutex and a condition variable: auto-reset (one waiter released per
// signal, signal cleared by that waiter) or manual-reset.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarvio {

class TEvent {
public:
    explicit TEvent(bool ManualReset = false, bool InitialState = false)
        : FManualReset(ManualReset), FSignaled(InitialState) {}

    void SetEvent();
    void ResetEvent();
    // Waits until signalled; Timeout in milliseconds, negative = forever.
    // Returns true when signalled, false on time-out.
    bool WaitFor(int TimeoutMs = -1);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    const bool FManualReset;
    bool FSignaled;
};

} // namespace tarvio
