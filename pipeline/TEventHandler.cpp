#include "pipeline/TEventHandler.h"

#include <chrono>
#include <cstdio>

#include "pipeline/TAuOutput.h"
#include "pipeline/TMainThreadQueue.h"

namespace tarvio {

namespace {
std::mutex UsersLock;
int EventHandlerUsers = 0;
std::atomic<TEventHandler*> TheEventHandler{nullptr};
} // namespace

TEventHandler* EventHandler() {
    return TheEventHandler;
}

void AcquireEventHandler() {
    std::lock_guard<std::mutex> lock(UsersLock);
    if (EventHandlerUsers == 0) {
        auto* handler = new TEventHandler(); // freed by the last ReleaseEventHandler
        handler->Start();
        TheEventHandler = handler;
    }
    ++EventHandlerUsers;
}

void ReleaseEventHandler() {
    std::unique_ptr<TEventHandler> ending;
    {
        std::lock_guard<std::mutex> lock(UsersLock);
        if (EventHandlerUsers == 0) return;
        if (--EventHandlerUsers > 0) return;
        ending.reset(TheEventHandler.exchange(nullptr));
    }
    ending->Terminate();
    // The dispatcher may be waiting for the GUI thread: keep serving it while it ends.
    bool onMain = TMainThreadQueue::Instance().IsMainThread();
    while (!ending->Finished()) {
        if (onMain) CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ending->WaitFor();
}

void ClearPendingEvents(TComponent* Sender) {
    std::lock_guard<std::mutex> lock(UsersLock);
    if (TEventHandler* h = TheEventHandler) h->ClearEvents(Sender);
}

void PostGenericEventIfDispatching(TComponent* Sender, const TGenericEvent& Handler) {
    // Holding the users' lock keeps ReleaseEventHandler from ending the dispatcher meanwhile.
    std::lock_guard<std::mutex> lock(UsersLock);
    if (TEventHandler* h = TheEventHandler) h->PostGenericEvent(Sender, Handler);
}

std::recursive_mutex& LibraryLoadLock() {
    static std::recursive_mutex lock;
    return lock;
}

TEventHandler::TEventHandler() = default;

TEventHandler::~TEventHandler() {
    Terminate();
    WaitFor();
}

void TEventHandler::Terminate() {
    TThread::Terminate();
    _Evt.SetEvent();
}

void TEventHandler::AddEvent(PEventRecord Record, bool AtHead) {
    // An output's progress and error records belong to the run under way when posted.
    if (Record->_type != etOnDone)
        if (auto* output = dynamic_cast<TAuOutput*>(Record->Sender)) Record->Run = output->CurrentRun();
    {
        std::lock_guard<std::mutex> lock(CS);
        if (Record->Sender != BlockedSender) {
            if (AtHead)
                Events.push_front(std::move(Record));
            else
                Events.push_back(std::move(Record));
        }
    }
    // A refused record is freed here, outside the lock.
    Record.reset();
    _Evt.SetEvent();
}

void TEventHandler::PostOnDone(TComponent* Sender, TAuThread* Thread, uint64_t Run,
                               const std::string& Message) {
    auto r = std::make_unique<TEventRecord>();
    r->_type = etOnDone;
    r->Sender = Sender;
    r->Thread = Thread;
    r->Run = Run;
    r->Message = Message;
    // A synchronous stop clears DoNotify before the run ends and sets it again once the
    // worker has parked; a record it failed to drop must still stay silent.
    r->Notify = Thread->DoNotify;
    AddEvent(std::move(r), false);
}

void TEventHandler::PostOnProgress(TComponent* Sender, const TOutputProgressEvent& Handler) {
    auto r = std::make_unique<TEventRecord>();
    r->_type = etOnProgress;
    r->Sender = Sender;
    r->ProgressEvent = Handler;
    AddEvent(std::move(r), false);
}

void TEventHandler::PostGenericEvent(TComponent* Sender, const TGenericEvent& Handler) {
    auto r = std::make_unique<TEventRecord>();
    r->_type = etGeneric;
    r->Sender = Sender;
    r->GenericEvent = Handler;
    AddEvent(std::move(r), false);
}

void TEventHandler::PostNonGuiEvent(TComponent* Sender, const TGenericEvent& Handler) {
    auto r = std::make_unique<TEventRecord>();
    r->_type = etNonGUI;
    r->Sender = Sender;
    r->GenericEvent = Handler;
    AddEvent(std::move(r), true);
}

void TEventHandler::ClearEvents(TComponent* Sender) {
    std::deque<PEventRecord> dropped; // freed after the lock is left
    std::lock_guard<std::mutex> lock(CS);
    for (auto it = Events.begin(); it != Events.end();) {
        if ((*it)->Sender == Sender) {
            dropped.push_back(std::move(*it));
            it = Events.erase(it);
        } else {
            ++it;
        }
    }
}

void TEventHandler::ClearEventsOfEndedRun(TComponent* Sender, uint64_t Run) {
    std::deque<PEventRecord> dropped;
    std::lock_guard<std::mutex> lock(CS);
    for (auto it = Events.begin(); it != Events.end();) {
        // The done record of another run must survive: its OnDone is still owed. So must
        // what a newer run (one started from OnSyncDone) has posted already.
        const bool otherDone = (*it)->_type == etOnDone && (*it)->Run != Run;
        const bool newerRun = (*it)->_type != etOnDone && (*it)->Run > Run;
        if ((*it)->Sender == Sender && !otherDone && !newerRun) {
            dropped.push_back(std::move(*it));
            it = Events.erase(it);
        } else {
            ++it;
        }
    }
}

void TEventHandler::BlockEvents(TComponent* Sender) {
    std::lock_guard<std::mutex> lock(CS);
    BlockedSender = Sender;
}

void TEventHandler::UnblockEvents(TComponent*) {
    std::lock_guard<std::mutex> lock(CS);
    BlockedSender = nullptr;
}

size_t TEventHandler::QueuedEvents() {
    std::lock_guard<std::mutex> lock(CS);
    return Events.size();
}

void TEventHandler::WaitWhileDelivering(TComponent* Sender) {
    bool onMain = TMainThreadQueue::Instance().IsMainThread();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(CS);
            if (!CurrentEvent || CurrentEvent->Sender != Sender) return;
        }
        if (onMain) CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

PEventRecord TEventHandler::TakeFirstEvent() {
    std::lock_guard<std::mutex> lock(CS);
    if (Events.empty()) return nullptr;
    PEventRecord r = std::move(Events.front());
    Events.pop_front();
    CurrentEvent = r.get();
    return r;
}

void TEventHandler::Execute() {
    while (!Terminated()) {
        while (PEventRecord record = TakeFirstEvent()) {
            // A handler's error must not end the dispatcher, nor go unnoticed.
            try {
                Deliver(*record);
            } catch (const std::exception& e) {
                ReportHandlerError(*record, e.what());
            } catch (...) {
                ReportHandlerError(*record, "unknown exception");
            }
            std::lock_guard<std::mutex> lock(CS);
            CurrentEvent = nullptr;
        }
        _Evt.WaitFor(100);
    }
}

void TEventHandler::ReportHandlerError(const TEventRecord& Record, const std::string& Message) {
    const char* kind = Record._type == etOnDone       ? "OnDone"
                       : Record._type == etOnProgress ? "OnProgress"
                                                      : "event";
    if (!ReportedErrors.emplace(Record.Sender, kind, Message).second) return;
    const std::string name =
        Record.Sender && !Record.Sender->Name().empty() ? Record.Sender->Name() : "a component";
    std::fprintf(stderr, "tarvio: the %s handler of %s failed: %s\n", kind, name.c_str(), Message.c_str());
}

void TEventHandler::Deliver(TEventRecord& Record) {
    switch (Record._type) {
    case etOnDone:
        DeliverDone(Record);
        break;
    case etNonGUI:
        if (Record.GenericEvent) Record.GenericEvent(Record.Sender);
        break;
    case etOnProgress:
        if (Record.ProgressEvent) Synchronize([&] { Record.ProgressEvent(Record.Sender); });
        break;
    case etGeneric:
        if (Record.GenericEvent) Synchronize([&] { Record.GenericEvent(Record.Sender); });
        break;
    }
}

void TEventHandler::DeliverDone(TEventRecord& Record) {
    auto* output = static_cast<TAuOutput*>(Record.Sender);
    // The run is over once the worker has parked, or once a newer run has started (which
    // can only follow the completion of this one); waiting for that newer run to end
    // would hold every other event back for its whole length.
    while (!Record.Thread->Sleeping && output->CurrentRun() == Record.Run)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Only the run that posted this record is cleared: a run started since stays busy.
    output->ClearBusyOfRun(Record.Run);
    ClearEventsOfEndedRun(output, Record.Run);
    if (Record.Notify && Record.Thread->DoNotify) {
        Record.DoneEvent = output->OnDone();
        if (Record.DoneEvent)
            Synchronize([&] {
                output->BeginDoneDelivery(Record.Message);
                try {
                    Record.DoneEvent(Record.Sender);
                } catch (...) {
                    output->EndDoneDelivery();
                    throw;
                }
                output->EndDoneDelivery();
            });
    }
}

} // namespace tarvio
