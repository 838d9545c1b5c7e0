#pragma once
// The worker thread of an output: parked between runs, it drives one run of its output
// (StartOutput, OutputChunk until done, CompleteRun) each time it is woken.

#include <atomic>
#include <mutex>

#include "pipeline/TEvent.h"
#include "pipeline/TThread.h"

namespace tarvio {

class TAuOutput;

class TAuThread : public TThread {
public:
    explicit TAuThread(TAuOutput* AParent) : Parent(AParent) {}

    TEvent PauseEvent;     // auto-reset; signalled when the worker has parked for a pause
    TEvent SoftSleepEvent; // auto-reset; wakes the worker
    std::atomic<bool> DoNotify{true};
    std::atomic<bool> Stopped{false};
    TAuOutput* const Parent;
    std::atomic<bool> Stop{false};
    std::atomic<bool> SetPause{false};
    std::atomic<bool> Paused{false};
    std::atomic<int> Delay{0}; // milliseconds before each chunk, only when above 5
    std::atomic<bool> Sleeping{false};
    // Set by Run (under ParkLock) to wake the worker for a run; taken by the worker. Kept
    // apart from Busy so that a BlockingRun on the caller's thread never wakes the worker.
    bool RunRequested = false;
    // Guards the step between "no run is requested" and "parked" against Run.
    std::mutex ParkLock;

    void SoftWake() { SoftSleepEvent.SetEvent(); }
    // Waits for the worker to park for a pause: at most 5000 ms, less when the run ends.
    bool WaitForPause();

protected:
    void Execute() override;

private:
    bool TakeRunRequest(); // under ParkLock
    void SoftSleep();
    void SoftPause();
};

} // namespace tarvio
