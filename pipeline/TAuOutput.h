#pragma once
// The sink at the end of a chain. Its worker thread pulls the input and plays it; the
// GUI thread controls it with Run, Stop, Pause and Resume, and learns of the end of a run
// and of errors through events delivered on the GUI thread by the dispatcher.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "pipeline/TAuInput.h"
#include "pipeline/TAuThread.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

enum TOutputStatus { tosPlaying = 0, tosPaused = 1, tosIdle = 2 };
using TThreadExceptionEvent = TNotifyEvent;

class TAuOutput : public TComponent {
public:
    explicit TAuOutput(TComponent* AOwner = nullptr);
    // Concrete outputs must call ShutDown() first in their own destructor.
    ~TAuOutput() override;

    // GUI thread. Starts playing the input on the worker thread; returns at once.
    // Raises EAuException "Component is Busy" / "Input is not assigned".
    void Run();
    // Plays the input to its end on the calling thread; no events. On an exception the
    // run is completed (FinishOutput, not busy) before the exception reaches the caller.
    void BlockingRun();
    // Async: returns at once and OnDone follows. Sync: returns when the worker has parked;
    // no OnDone for that run. Raises EAuException when called on the worker thread.
    void Stop(bool Async = true);
    // Parks the worker between two chunks. Raises "Input is not assigned." without input.
    // Outputs that drive a device extend both to halt and restart it.
    virtual void Pause();
    virtual void Resume();

    TAuInput* Input() const { return FInput; }
    void SetInput(TAuInput* Value);
    int Delay() const;
    void SetDelay(int Value);
    TThreadPriority ThreadPriority() const;
    void SetThreadPriority(TThreadPriority Value);
    // Percent of the input delivered: 0 without input or size, -1 when the size is unknown.
    int Progress();
    TOutputStatus Status() const;
    // Whole seconds of the input delivered; 0 while its format is unknown.
    int TimeElapsed();
    // The message of the latest run's failure ("" when none); inside an OnDone handler,
    // that of the run the handler is for.
    std::string ExceptionMessage() const;

    TNotifyEvent OnDone() const;
    void SetOnDone(TNotifyEvent Value);
    TNotifyEvent OnSyncDone() const;
    void SetOnSyncDone(TNotifyEvent Value);
    TNotifyEvent OnProgress() const;
    void SetOnProgress(TNotifyEvent Value);
    TNotifyEvent OnThreadException() const;
    void SetOnThreadException(TNotifyEvent Value);

    bool IsBusy() const { return Busy; }
    TAuThread* WorkerThread() const { return Thread.get(); }
    // Called by the dispatcher for a done event: clears Busy only if no run started since.
    void ClearBusyOfRun(uint64_t Run);
    // Number of the latest run started by Run (0 before the first).
    uint64_t CurrentRun() const { return FRunId; }
    // The dispatcher, around an OnDone handler: meanwhile ExceptionMessage answers
    // Message, the message of the run that ended, even when a newer run has started.
    void BeginDoneDelivery(const std::string& Message);
    void EndDoneDelivery();

protected:
    friend class TAuThread;

    // Worker thread hooks. OutputChunk returns true to be called again, false when the run
    // must end (input ended, StopRequested, or CanOutput false).
    virtual void StartOutput() = 0;
    virtual bool OutputChunk(bool StopRequested) = 0;
    virtual void FinishOutput() = 0;

    // If busy: FinishOutput and not busy. Used by every path that ends a run.
    void CompleteRun();
    // Stops synchronously and ends the worker thread. Idempotent.
    void ShutDown();
    void Notification(TComponent* AComponent, TOperation Operation) override;

    std::atomic<bool> FStopped{false};
    std::atomic<bool> CanOutput{false};
    int CurProgr = 0; // worker thread only
    std::unique_ptr<TAuThread> Thread;
    std::atomic<TAuInput*> FInput{nullptr};
    std::atomic<bool> Busy{false};
    std::recursive_mutex RunCS;

private:
    void SetExceptionMessage(const std::string& Message);

    mutable std::mutex FFieldsLock; // event handlers and the exception message
    std::string FExceptionMessage;
    bool FDeliveringDone = false; // an OnDone handler runs: ExceptionMessage is FDoneMessage
    std::string FDoneMessage;
    TNotifyEvent FOnDone, FOnSyncDone, FOnProgress, FOnThreadException;
    std::atomic<uint64_t> FRunId{0};
    bool FShutDown = false;
};

} // namespace tarvio
