#pragma once
// One sender's event for a handler that reads the sender's latest state (new levels),
// prepared before the audio starts so that a real-time thread can raise it without
// allocating, waiting for a lock the GUI thread holds, or posting to Qt. Post only marks
// the slot and signals the dispatcher; the dispatcher's own thread then posts the event
// as TEventHandler::PostCoalescedEvent does: merged with one of the same sender that has
// not been run yet, and delivered at most once per frame of the display.

#include <atomic>
#include <mutex>

#include "pipeline/TComponent.h"

namespace tarvio {

class TEventSlot {
public:
    // Sender: named as the event's sender; not owned, must outlive the slot. Registers the
    // slot with the dispatcher (allocates; not on an audio thread).
    explicit TEventSlot(TComponent* Sender);
    // Close().
    ~TEventSlot();
    TEventSlot(const TEventSlot&) = delete;
    TEventSlot& operator=(const TEventSlot&) = delete;

    // The handler, run on the GUI thread with Sender; empty: posts are ignored. Any
    // thread; copying the handler may allocate.
    TNotifyEvent Handler() const;
    void SetHandler(TNotifyEvent Value);

    // Any thread, real-time ones included: allocates nothing and only takes a lock that
    // is held for a pointer check. Dropped when no dispatcher exists, the slot is closed
    // or no handler is set. Not while Close may run (the owner's destructor).
    void Post();

    // Withdraws the slot from the dispatcher: once this returns, the dispatcher no longer
    // reads it and later posts are dropped. Records of Sender already queued stay (the
    // owner clears them with ClearPendingEvents). Idempotent; not on the dispatcher thread.
    void Close();

    TComponent* Sender() const { return FSender; }
    // WakeEventHandlerFor, under the dispatcher's wake-up lock.
    void MarkPending() { FPending.store(true, std::memory_order_release); }
    // Posted and not yet taken by the dispatcher.
    bool Pending() const { return FPending.load(std::memory_order_acquire); }
    // Dispatcher thread: true once for the posts made since the last call.
    bool TakePending() { return FPending.exchange(false, std::memory_order_acq_rel); }

private:
    TComponent* const FSender;
    mutable std::mutex FHandlerLock; // FHandler; never taken by Post
    TNotifyEvent FHandler;
    std::atomic<bool> FHasHandler{false};
    std::atomic<bool> FPending{false};
    std::atomic<bool> FClosed{false};
};

} // namespace tarvio
