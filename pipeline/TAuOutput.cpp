#include "pipeline/TAuOutput.h"

#include <cmath>
#include <thread>

#include "pipeline/EAuException.h"
#include "pipeline/TMainThreadQueue.h"

namespace tarvio {

TAuOutput::TAuOutput(TComponent* AOwner) : TComponent(AOwner) {
    Thread = std::make_unique<TAuThread>(this);
    Thread->DoNotify = true;
    Thread->Start();
    AcquireEventHandler();
}

TAuOutput::~TAuOutput() {
    ShutDown();
}

void TAuOutput::ShutDown() {
    if (FShutDown) return;
    FShutDown = true;
    Stop(false);
    if (TEventHandler* h = EventHandler()) {
        h->ClearEvents(this);
        h->WaitWhileDelivering(this);
    }
    Thread->Terminate();
    while (!Thread->Finished()) {
        Thread->SoftWake();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Thread->WaitFor();
    ReleaseEventHandler();
}

void TAuOutput::Run() {
    std::lock_guard<std::recursive_mutex> lock(RunCS);
    SetExceptionMessage("");
    if (Busy) throw EAuException("Component is Busy");
    if (!FInput) throw EAuException("Input is not assigned");
    {
        std::lock_guard<std::mutex> park(Thread->ParkLock);
        ++FRunId;
        Busy = true;
        Thread->RunRequested = true;
        Thread->Stopped = false;
        Thread->Stop = false;
        Thread->SetPause = false;
        Thread->Paused = false;
        Thread->PauseEvent.ResetEvent();
    }
    // Until the worker is awake, or has already completed a run that failed at once
    // and parked again (it would never wake for this run a second time).
    while (Thread->Sleeping && Busy) {
        Thread->SoftWake();
        std::this_thread::yield();
    }
}

void TAuOutput::BlockingRun() {
    {
        std::lock_guard<std::recursive_mutex> lock(RunCS);
        if (Busy) throw EAuException("Component is Busy");
        Busy = true;
    }
    try {
        StartOutput();
        CanOutput = true;
        while (OutputChunk(false)) {
        }
    } catch (...) {
        try {
            CompleteRun();
        } catch (...) {
            Busy = false;
        }
        throw;
    }
    CompleteRun();
}

void TAuOutput::Stop(bool Async) {
    if (Thread->IsCurrentThread())
        throw EAuException("You are trying to stop this thread from the thread itself!");
    FStopped = true;
    Thread->DoNotify = Async;
    Thread->Stop = true;
    while (Thread->Paused) {
        Thread->SoftWake();
        std::this_thread::yield();
    }
    if (Async) return;
    TEventHandler* h = EventHandler();
    if (h) {
        h->BlockEvents(this);
        h->ClearEvents(this);
    }
    bool onMain = TMainThreadQueue::Instance().IsMainThread();
    while (!Thread->Sleeping && !Thread->Stopped) {
        if (onMain) CheckSynchronize();
        std::this_thread::yield();
    }
    if (h) h->UnblockEvents(this);
    Thread->DoNotify = true;
}

void TAuOutput::Pause() {
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned.");
    if (!Busy || Thread->Paused) return; // a paused worker would never answer again
    Thread->SetPause = true;
    Thread->WaitForPause();
    in->_Pause();
}

void TAuOutput::Resume() {
    if (!Busy || !Thread->Paused) return;
    if (TAuInput* in = FInput) in->_Resume();
    while (Thread->Paused) {
        Thread->SoftWake();
        std::this_thread::yield();
    }
}

void TAuOutput::CompleteRun() {
    if (!Busy) return;
    CanOutput = false;
    FinishOutput();
    FStopped = false;
    Busy = false;
}

void TAuOutput::ClearBusyOfRun(uint64_t Run) {
    std::lock_guard<std::mutex> park(Thread->ParkLock);
    if (FRunId == Run) Busy = false;
}

void TAuOutput::SetInput(TAuInput* Value) {
    if (Busy) {
        Stop(false);
        FInput = Value;
        Run();
    } else {
        FInput = Value;
    }
}

void TAuOutput::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == TOperation::opRemove && AComponent == FInput) {
        // The input is going away: end the run that reads it, then forget it.
        if (Busy && !Thread->IsCurrentThread()) Stop(false);
        FInput = nullptr;
    }
    TComponent::Notification(AComponent, Operation);
}

int TAuOutput::Delay() const {
    return Thread ? Thread->Delay.load() : 0;
}

void TAuOutput::SetDelay(int Value) {
    if (Value <= 100) Thread->Delay = Value;
}

TThreadPriority TAuOutput::ThreadPriority() const {
    return Thread->Priority();
}

void TAuOutput::SetThreadPriority(TThreadPriority Value) {
    Thread->SetPriority(Value);
}

int TAuOutput::Progress() {
    TAuInput* in = FInput;
    if (!in) return 0;
    int64_t size = in->Size();
    if (size == -1) return -1;
    if (size == 0) return 0;
    return static_cast<int>(
        std::nearbyint(100.0 * static_cast<double>(in->Position()) / static_cast<double>(size)));
}

TOutputStatus TAuOutput::Status() const {
    if (!Busy) return tosIdle;
    return Thread->Paused ? tosPaused : tosPlaying;
}

int TAuOutput::TimeElapsed() {
    TAuInput* in = FInput;
    if (!in) return 0;
    double divisor = static_cast<double>(in->BitsPerSample() / 8) * in->Channels() * in->SampleRate();
    if (divisor <= 0) return 0;
    return static_cast<int>(std::nearbyint(static_cast<double>(in->Position()) / divisor));
}

std::string TAuOutput::ExceptionMessage() const {
    std::lock_guard<std::mutex> lock(FFieldsLock);
    return FDeliveringDone ? FDoneMessage : FExceptionMessage;
}

void TAuOutput::BeginDoneDelivery(const std::string& Message) {
    std::lock_guard<std::mutex> lock(FFieldsLock);
    FDeliveringDone = true;
    FDoneMessage = Message;
}

void TAuOutput::EndDoneDelivery() {
    std::lock_guard<std::mutex> lock(FFieldsLock);
    FDeliveringDone = false;
    FDoneMessage.clear();
}

void TAuOutput::SetExceptionMessage(const std::string& Message) {
    std::lock_guard<std::mutex> lock(FFieldsLock);
    FExceptionMessage = Message;
}

#define TARVIO_EVENT_PROPERTY(Name)                                                                          \
    TNotifyEvent TAuOutput::Name() const {                                                                   \
        std::lock_guard<std::mutex> lock(FFieldsLock);                                                       \
        return F##Name;                                                                                      \
    }                                                                                                        \
    void TAuOutput::Set##Name(TNotifyEvent Value) {                                                          \
        std::lock_guard<std::mutex> lock(FFieldsLock);                                                       \
        F##Name = std::move(Value);                                                                          \
    }
TARVIO_EVENT_PROPERTY(OnDone)
TARVIO_EVENT_PROPERTY(OnSyncDone)
TARVIO_EVENT_PROPERTY(OnProgress)
TARVIO_EVENT_PROPERTY(OnThreadException)
#undef TARVIO_EVENT_PROPERTY

} // namespace tarvio
