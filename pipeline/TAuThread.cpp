#include "pipeline/TAuThread.h"

#include <chrono>
#include <exception>
#include <thread>

#include "pipeline/TAuOutput.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

bool TAuThread::WaitForPause() {
    // Polls so that a run ending before it sees the pause request does not hold the
    // caller for the whole time-out.
    for (int waited = 0; waited < 5000; waited += 10) {
        if (PauseEvent.WaitFor(10)) return true;
        if (!Parent->IsBusy() || Stopped) return false;
    }
    return false;
}

void TAuThread::SoftSleep() {
    SoftSleepEvent.ResetEvent();
    {
        std::lock_guard<std::mutex> lock(ParkLock);
        if (TakeRunRequest() || Terminated()) return;
        Sleeping = true;
    }
    // Run sets its request before it signals, so a wake-up sent after the reset above is
    // kept by the event and one sent before it is seen in the request.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(ParkLock);
            if (TakeRunRequest() || Terminated()) {
                Sleeping = false;
                return;
            }
        }
        SoftSleepEvent.WaitFor();
    }
}

bool TAuThread::TakeRunRequest() {
    bool requested = RunRequested;
    RunRequested = false;
    return requested;
}

void TAuThread::SoftPause() {
    SoftSleepEvent.ResetEvent();
    Paused = true;
    PauseEvent.SetEvent();
    SoftSleepEvent.WaitFor();
    Paused = false;
}

void TAuThread::Execute() {
    TAuOutput& O = *Parent;
    SoftSleep(); // Run clears Stop before it wakes us; a Stop sent since must stand
    while (!Terminated()) {
        uint64_t run = O.FRunId;
        try {
            O.StartOutput();
            O.CanOutput = true;
            // Stale pause requests were dropped by Run, before the wake-up, so that a
            // Pause right after Run is not lost here.
            bool goOn = true;
            while (goOn && !Stop) {
                int delay = Delay;
                if (delay > 5) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                int progress = O.Progress();
                if (progress != O.CurProgr) {
                    O.CurProgr = progress;
                    if (TNotifyEvent handler = O.OnProgress())
                        if (TEventHandler* h = EventHandler()) h->PostOnProgress(&O, handler);
                }
                if (SetPause) {
                    SetPause = false;
                    SoftPause();
                }
                goOn = O.OutputChunk(Stop);
            }
            Stop = false;
        } catch (const std::exception& e) {
            O.SetExceptionMessage(e.what());
            if (TNotifyEvent handler = O.OnThreadException())
                if (TEventHandler* h = EventHandler()) h->PostGenericEvent(&O, handler);
            Stop = true;
        } catch (...) {
            O.SetExceptionMessage("Unknown error");
            if (TNotifyEvent handler = O.OnThreadException())
                if (TEventHandler* h = EventHandler()) h->PostGenericEvent(&O, handler);
            Stop = true;
        }
        try {
            O.CompleteRun();
        } catch (...) {
            O.Busy = false;
        }
        // Taken before OnSyncDone, whose handler may start the next run.
        const std::string message = O.ExceptionMessage();
        if (TNotifyEvent handler = O.OnSyncDone()) {
            try {
                handler(&O);
            } catch (...) {
                // The worker must survive a failing handler.
            }
        }
        if (TEventHandler* h = EventHandler()) h->PostOnDone(&O, this, run, message);
        {
            std::lock_guard<std::mutex> lock(ParkLock);
            if (TakeRunRequest()) continue; // a handler started a new run
        }
        Stopped = true;
        if (!Terminated()) SoftSleep();
    }
}

} // namespace tarvio
