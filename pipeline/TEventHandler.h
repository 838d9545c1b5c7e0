#pragma once
// The process-wide event dispatcher: pipeline threads post small records and return at
// once; the dispatcher thread delivers them in order, running handlers on the GUI thread
// (through Synchronize) or, for etNonGUI, on its own thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pipeline/TComponent.h"
#include "pipeline/TEvent.h"
#include "pipeline/TThread.h"

namespace tarvio {

class TAuThread;
class TEventSlot;

enum TEventType { etOnProgress = 0, etOnDone = 1, etGeneric = 2, etNonGUI = 3 };

using TOutputDoneEvent = TNotifyEvent;
using TOutputProgressEvent = TNotifyEvent;
using TGenericEvent = TNotifyEvent;

struct TEventRecord {
    TEventType _type = etGeneric;
    TComponent* Sender = nullptr;
    TOutputDoneEvent DoneEvent;  // etOnDone: filled in at delivery
    TAuThread* Thread = nullptr; // etOnDone: the worker of the output that finished
    // etOnDone: the run that ended; other records of an output: its run when posted.
    uint64_t Run = 0;
    bool Notify = true;  // etOnDone: the worker's DoNotify when the run ended
    std::string Message; // etOnDone: the exception message of the run that ended
    TOutputProgressEvent ProgressEvent;
    TGenericEvent GenericEvent;                        // etGeneric and etNonGUI
    bool Coalesced = false;                            // etGeneric: posted by PostCoalescedEvent
    std::chrono::steady_clock::time_point NotBefore{}; // Coalesced: held back until then
};
using PEventRecord = std::unique_ptr<TEventRecord>;

class TEventHandler : public TThread {
public:
    TEventHandler();
    ~TEventHandler() override;

    // All posting calls may come from any thread and never block beyond a list append.
    // Message: the run's exception message, taken before anything could start a new run.
    void PostOnDone(TComponent* Sender, TAuThread* Thread, uint64_t Run, const std::string& Message);
    void PostOnProgress(TComponent* Sender, const TOutputProgressEvent& Handler);
    void PostGenericEvent(TComponent* Sender, const TGenericEvent& Handler);
    // A generic event for a handler that reads the sender's latest state (new levels, a new
    // position): dropped when a record that Sender posted this way still waits in the queue,
    // or has been handed to the GUI thread and its handler has not begun, since that one's
    // handler will see this state too; one whose handler has begun does not count, so the
    // last state is always seen. Such records of one Sender are
    // delivered at most once per CoalescedEventPeriod (a frame of the display): a record
    // posted sooner waits for its turn, and later records of other kinds may overtake it
    // meanwhile. The dispatcher hands such a record to the GUI thread without waiting for
    // its handler (the GUI thread still runs handlers in the order they were handed over);
    // one that is due when posted is handed over by the posting thread itself, without
    // waking the dispatcher, and so may overtake records queued before it.
    // Allocates nothing when the post is merged.
    void PostCoalescedEvent(TComponent* Sender, const TGenericEvent& Handler);
    // Queued at the head and run on the dispatcher thread itself.
    void PostNonGuiEvent(TComponent* Sender, const TGenericEvent& Handler);
    // Drops every queued record of Sender.
    void ClearEvents(TComponent* Sender);
    // Refuse records of Sender from now on (one blocked sender at a time).
    void BlockEvents(TComponent* Sender);
    // Refuse nothing any more; the argument is not compared.
    void UnblockEvents(TComponent* Sender);
    // Returns once no record of Sender is being delivered, nor handed to the GUI thread and
    // not yet run (pumps the GUI queue when called on the GUI thread). Used by destructors
    // before freeing what records refer to. Sender null: no record of any sender.
    void WaitWhileDelivering(TComponent* Sender);
    // Number of queued records, event slots posted and not yet taken among them (for tests
    // and diagnostics).
    size_t QueuedEvents();
    // Ends the dispatcher's loop at once, not at its next 100 ms wake-up.
    void Terminate() override;
    // Makes the dispatcher look at its queue and at the posted event slots. Any thread;
    // allocates nothing.
    void Wake() { _Evt.SetEvent(); }

protected:
    void Execute() override;

private:
    void AddEvent(PEventRecord Record, bool AtHead);
    // Dispatcher thread: posts the event of every slot posted since the last look, as
    // PostCoalescedEvent.
    void PostPendingSlots();
    // Under CS: a coalesced record of Sender waits in the queue, or has been handed to the
    // GUI thread and its handler has not begun; either will show Sender's current state.
    bool CoalescedPending(const TComponent* Sender);
    // Under CS: when the last coalesced record of Sender was taken for delivery.
    std::chrono::steady_clock::time_point& LastCoalesced(const TComponent* Sender);
    // The first record that is due (all of them once the dispatcher is ending); when none
    // is, Next is set to when the first held-back record becomes due (or left alone).
    PEventRecord TakeFirstEvent(std::chrono::steady_clock::time_point& Next);
    void Deliver(TEventRecord& Record);
    void DeliverDone(TEventRecord& Record);
    struct TShared;
    // Writes a failed handler's message to standard error, once per sender, kind and text.
    static void ReportHandlerError(TShared& Shared, const TEventRecord& Record, const std::string& Message);
    // Drops the queued records of Sender left from the run that ended (and earlier ones);
    // those of a newer run stay.
    void ClearEventsOfEndedRun(TComponent* Sender, uint64_t Run);

    std::deque<PEventRecord> Events;
    std::mutex CS;
    TEvent _Evt;
    TEventRecord* CurrentEvent = nullptr; // guarded by CS
    TComponent* BlockedSender = nullptr;
    // Guarded by CS: senders of coalesced records and when their last one was taken.
    std::vector<std::pair<const TComponent*, std::chrono::steady_clock::time_point>> CoalescedSenders;
    // What the calls handed to the GUI thread use; they may outlive the dispatcher.
    struct TShared {
        std::mutex Lock;
        // Coalesced records handed over whose handlers have not run yet, one entry each;
        // Started once the handler is about to read the sender's state.
        struct TInFlight {
            const TComponent* Sender;
            const TEventRecord* Record;
            bool Started;
        };
        std::vector<TInFlight> InFlight;
        std::set<std::tuple<const TComponent*, const char*, std::string>> ReportedErrors;
    };
    std::shared_ptr<TShared> Shared = std::make_shared<TShared>();
    // Hands a coalesced record to the GUI thread without waiting for its handler (on the
    // dispatcher thread, after TakeFirstEvent).
    void HandOver(PEventRecord Record);
    // Counts Record's sender as in flight until its handler has run (takes Shared->Lock, so
    // it may be called under CS), and makes the record shareable with the GUI thread's call.
    std::shared_ptr<TEventRecord> MarkInFlight(PEventRecord Record);
    // Queues the handler of a record marked in flight on the GUI thread; not under CS (on
    // the GUI thread the call runs at once).
    void QueueHandler(std::shared_ptr<TEventRecord> Record);
    // A coalesced record of Sender has been handed over and its handler has not run yet
    // (NotStarted: nor begun, so it will still see the state that Sender has now).
    bool InFlightFor(const TComponent* Sender, bool NotStarted = false);
    // The same under Shared.Lock.
    static bool InFlightLocked(const TShared& Shared, const TComponent* Sender, bool NotStarted);
};

// The one dispatcher, or null. Created by the first AcquireEventHandler, ended by the
// last ReleaseEventHandler (each output calls them from its constructor/destructor).
TEventHandler* EventHandler();
void AcquireEventHandler();
void ReleaseEventHandler();
// Drops queued records of Sender when a dispatcher exists (used by destructors).
void ClearPendingEvents(TComponent* Sender);
// Posts a generic event when a dispatcher exists; safe against the last output releasing
// the dispatcher at the same time. For components that are not outputs.
void PostGenericEventIfDispatching(TComponent* Sender, const TGenericEvent& Handler);
// The same for PostCoalescedEvent.
void PostCoalescedEventIfDispatching(TComponent* Sender, const TGenericEvent& Handler);

// Event slots (TEventSlot): their constructor and Close register and withdraw them (any
// thread but the dispatcher's; Unregister waits while the dispatcher reads the slot).
void RegisterEventSlot(TEventSlot* Slot);
void UnregisterEventSlot(TEventSlot* Slot);
// Marks Slot posted and wakes the dispatcher, when one exists (else nothing). Allocates
// nothing; the lock it takes is only ever held for a pointer check or store.
void WakeEventHandlerFor(TEventSlot& Slot);

// The least time between two deliveries of coalesced records of one sender: a frame of the
// display (default 1/60 s). The GUI sets it from its screen's refresh rate; any thread.
std::chrono::microseconds CoalescedEventPeriod();
void SetCoalescedEventPeriod(std::chrono::microseconds Period);

// Serialises the loading of run-time libraries in the whole process.
std::recursive_mutex& LibraryLoadLock();

} // namespace tarvio
