#include "pipeline/TEventSlot.h"

#include "pipeline/TEventHandler.h"

namespace tarvio {

TEventSlot::TEventSlot(TComponent* Sender) : FSender(Sender) {
    RegisterEventSlot(this);
}

TEventSlot::~TEventSlot() {
    Close();
}

TNotifyEvent TEventSlot::Handler() const {
    std::lock_guard<std::mutex> lock(FHandlerLock);
    return FHandler;
}

void TEventSlot::SetHandler(TNotifyEvent Value) {
    std::lock_guard<std::mutex> lock(FHandlerLock);
    FHasHandler = static_cast<bool>(Value);
    FHandler = std::move(Value);
}

void TEventSlot::Post() {
    if (!FHasHandler.load(std::memory_order_relaxed) || FClosed.load(std::memory_order_relaxed)) return;
    WakeEventHandlerFor(*this);
}

void TEventSlot::Close() {
    if (FClosed.exchange(true)) return;
    UnregisterEventSlot(this);
    FPending = false;
}

} // namespace tarvio
