#include "pipeline/TEventHandler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "pipeline/TAuOutput.h"
#include "pipeline/TEventSlot.h"
#include "pipeline/TMainThreadQueue.h"

namespace tarvio {

using std::chrono::steady_clock;

namespace {
std::mutex UsersLock;
int EventHandlerUsers = 0;
std::atomic<TEventHandler*> TheEventHandler{nullptr};
std::atomic<int64_t> CoalescedPeriodUs{16667};
// The dispatcher that event slots wake; apart from UsersLock so that a slot's post never
// waits while a dispatcher is created.
std::mutex WakeLock;
TEventHandler* WakeTarget = nullptr;
// Registered event slots; the dispatcher holds the lock while it reads them.
std::mutex SlotsLock;
std::vector<TEventSlot*> Slots;
} // namespace

void RegisterEventSlot(TEventSlot* Slot) {
    std::lock_guard<std::mutex> lock(SlotsLock);
    Slots.push_back(Slot);
}

void UnregisterEventSlot(TEventSlot* Slot) {
    std::lock_guard<std::mutex> lock(SlotsLock);
    std::erase(Slots, Slot);
}

void WakeEventHandlerFor(TEventSlot& Slot) {
    std::lock_guard<std::mutex> lock(WakeLock);
    if (!WakeTarget) return;
    Slot.MarkPending();
    WakeTarget->Wake();
}

std::chrono::microseconds CoalescedEventPeriod() {
    return std::chrono::microseconds(CoalescedPeriodUs.load(std::memory_order_relaxed));
}

void SetCoalescedEventPeriod(std::chrono::microseconds Period) {
    CoalescedPeriodUs.store(std::max<int64_t>(0, Period.count()), std::memory_order_relaxed);
}

TEventHandler* EventHandler() {
    return TheEventHandler;
}

void AcquireEventHandler() {
    std::lock_guard<std::mutex> lock(UsersLock);
    if (EventHandlerUsers == 0) {
        auto* handler = new TEventHandler(); // freed by the last ReleaseEventHandler
        handler->Start();
        TheEventHandler = handler;
        std::lock_guard<std::mutex> wake(WakeLock);
        WakeTarget = handler;
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
        std::lock_guard<std::mutex> wake(WakeLock);
        WakeTarget = nullptr;
    }
    ending->Terminate();
    // The dispatcher may be waiting for the GUI thread: keep serving it while it ends.
    bool onMain = TMainThreadQueue::Instance().IsMainThread();
    while (!ending->Finished()) {
        if (onMain) CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ending->WaitFor();
    // Handlers it has handed to the GUI thread run now, while their senders surely exist:
    // a sender going away later finds no dispatcher to wait for.
    ending->WaitWhileDelivering(nullptr);
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

void PostCoalescedEventIfDispatching(TComponent* Sender, const TGenericEvent& Handler) {
    std::lock_guard<std::mutex> lock(UsersLock);
    if (TEventHandler* h = TheEventHandler) h->PostCoalescedEvent(Sender, Handler);
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
        if (Record->Sender != BlockedSender && !(Record->Coalesced && CoalescedPending(Record->Sender))) {
            if (Record->Coalesced) Record->NotBefore = LastCoalesced(Record->Sender) + CoalescedEventPeriod();
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

void TEventHandler::PostCoalescedEvent(TComponent* Sender, const TGenericEvent& Handler) {
    {
        std::lock_guard<std::mutex> lock(CS);
        if (CoalescedPending(Sender)) return;
    }
    auto r = std::make_unique<TEventRecord>();
    r->_type = etGeneric;
    r->Sender = Sender;
    r->GenericEvent = Handler;
    r->Coalesced = true;
    // A record that is due at once goes to the GUI thread from here: waking the dispatcher
    // only to pass it on would cost two thread switches per frame. (On the GUI thread the
    // queue would run the handler inside this call, so the dispatcher takes it.)
    if (!TMainThreadQueue::Instance().IsMainThread()) {
        std::shared_ptr<TEventRecord> due;
        {
            std::lock_guard<std::mutex> lock(CS);
            if (Sender == BlockedSender || CoalescedPending(Sender)) return;
            const auto now = steady_clock::now();
            auto& last = LastCoalesced(Sender);
            if (!Terminated() && now >= last + CoalescedEventPeriod() && !InFlightFor(Sender)) {
                last = now;
                // In flight before CS is left, so WaitWhileDelivering cannot miss it.
                due = MarkInFlight(std::move(r));
            }
        }
        if (due) {
            QueueHandler(std::move(due));
            return;
        }
    }
    AddEvent(std::move(r), false);
}

bool TEventHandler::CoalescedPending(const TComponent* Sender) {
    for (const PEventRecord& r : Events)
        if (r->Coalesced && r->Sender == Sender) return true;
    return InFlightFor(Sender, true);
}

steady_clock::time_point& TEventHandler::LastCoalesced(const TComponent* Sender) {
    for (auto& [sender, last] : CoalescedSenders)
        if (sender == Sender) return last;
    CoalescedSenders.emplace_back(Sender, steady_clock::time_point{});
    return CoalescedSenders.back().second;
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
    // Senders are cleared as they go away; another component may later have the same address.
    std::erase_if(CoalescedSenders, [Sender](const auto& Entry) { return Entry.first == Sender; });
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
    // A slot posted and not yet looked at counts as a queued record. The dispatcher holds
    // SlotsLock from taking a slot's post until its record is queued or handed over.
    std::lock_guard<std::mutex> slots(SlotsLock);
    std::lock_guard<std::mutex> lock(CS);
    return Events.size() +
           std::count_if(Slots.begin(), Slots.end(), [](const TEventSlot* S) { return S->Pending(); });
}

void TEventHandler::WaitWhileDelivering(TComponent* Sender) {
    bool onMain = TMainThreadQueue::Instance().IsMainThread();
    for (;;) {
        bool busy;
        {
            std::lock_guard<std::mutex> lock(CS);
            busy = CurrentEvent && CurrentEvent->Sender == Sender;
        }
        if (!busy) {
            std::lock_guard<std::mutex> lock(Shared->Lock);
            if (Sender ? !InFlightLocked(*Shared, Sender, false) : Shared->InFlight.empty()) return;
        }
        if (onMain) CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

PEventRecord TEventHandler::TakeFirstEvent(steady_clock::time_point& Next) {
    std::lock_guard<std::mutex> lock(CS);
    const bool ending = Terminated();
    const auto now = steady_clock::now();
    for (auto it = Events.begin(); it != Events.end(); ++it) {
        TEventRecord& r = **it;
        if (r.Coalesced && !ending) {
            // One handed over for the same sender and not yet run holds it back another frame:
            // a GUI thread that is held up gets the latest state once, not a backlog.
            auto due = r.NotBefore;
            if (InFlightFor(r.Sender)) due = std::max(due, now + CoalescedEventPeriod());
            if (due > now) {
                if (Next == steady_clock::time_point{} || due < Next) Next = due;
                continue;
            }
            LastCoalesced(r.Sender) = now;
        }
        PEventRecord taken = std::move(*it);
        Events.erase(it);
        CurrentEvent = taken.get();
        return taken;
    }
    return nullptr;
}

void TEventHandler::Execute() {
    while (!Terminated()) {
        steady_clock::time_point next;
        for (;;) {
            PostPendingSlots();
            next = {};
            PEventRecord record = TakeFirstEvent(next);
            if (!record) break;
            if (record->Coalesced && record->GenericEvent) {
                HandOver(std::move(record));
                continue;
            }
            // A handler's error must not end the dispatcher, nor go unnoticed.
            try {
                Deliver(*record);
            } catch (const std::exception& e) {
                ReportHandlerError(*Shared, *record, e.what());
            } catch (...) {
                ReportHandlerError(*Shared, *record, "unknown exception");
            }
            std::lock_guard<std::mutex> lock(CS);
            CurrentEvent = nullptr;
        }
        // Every post and Terminate signal the event: no time-out is needed to notice either.
        // Only a held-back coalesced record sets a time to look again.
        if (next == steady_clock::time_point{}) {
            _Evt.WaitFor();
        } else {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - steady_clock::now());
            if (wait.count() > 0) _Evt.WaitFor(static_cast<int>(wait.count()));
        }
    }
}

void TEventHandler::PostPendingSlots() {
    std::lock_guard<std::mutex> lock(SlotsLock);
    for (TEventSlot* slot : Slots)
        if (slot->TakePending())
            if (TGenericEvent handler = slot->Handler()) PostCoalescedEvent(slot->Sender(), handler);
}

bool TEventHandler::InFlightLocked(const TShared& Shared, const TComponent* Sender, bool NotStarted) {
    return std::any_of(Shared.InFlight.begin(), Shared.InFlight.end(), [&](const TShared::TInFlight& e) {
        return e.Sender == Sender && !(NotStarted && e.Started);
    });
}

bool TEventHandler::InFlightFor(const TComponent* Sender, bool NotStarted) {
    std::lock_guard<std::mutex> lock(Shared->Lock);
    return InFlightLocked(*Shared, Sender, NotStarted);
}

// The record goes to the GUI thread's queue with its handler; the dispatcher does not wait.
void TEventHandler::HandOver(PEventRecord Record) {
    auto record = MarkInFlight(std::move(Record));
    {
        std::lock_guard<std::mutex> lock(CS);
        CurrentEvent = nullptr;
    }
    QueueHandler(std::move(record));
}

std::shared_ptr<TEventRecord> TEventHandler::MarkInFlight(PEventRecord Record) {
    std::lock_guard<std::mutex> lock(Shared->Lock);
    Shared->InFlight.push_back({Record->Sender, Record.get(), false});
    return std::shared_ptr<TEventRecord>(std::move(Record));
}

void TEventHandler::QueueHandler(std::shared_ptr<TEventRecord> Record) {
    TMainThreadQueue::Instance().Queue([record = std::move(Record), shared = Shared] {
        auto entry = [&] {
            return std::find_if(shared->InFlight.begin(), shared->InFlight.end(),
                                [&](const TShared::TInFlight& e) { return e.Record == record.get(); });
        };
        {
            // From here on a post of the same sender may carry a state this handler misses.
            std::lock_guard<std::mutex> lock(shared->Lock);
            entry()->Started = true;
        }
        try {
            record->GenericEvent(record->Sender);
        } catch (const std::exception& e) {
            ReportHandlerError(*shared, *record, e.what());
        } catch (...) {
            ReportHandlerError(*shared, *record, "unknown exception");
        }
        std::lock_guard<std::mutex> lock(shared->Lock);
        shared->InFlight.erase(entry());
    });
}

void TEventHandler::ReportHandlerError(TShared& Shared, const TEventRecord& Record,
                                       const std::string& Message) {
    const char* kind = Record._type == etOnDone       ? "OnDone"
                       : Record._type == etOnProgress ? "OnProgress"
                                                      : "event";
    {
        std::lock_guard<std::mutex> lock(Shared.Lock);
        if (!Shared.ReportedErrors.emplace(Record.Sender, kind, Message).second) return;
    }
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
