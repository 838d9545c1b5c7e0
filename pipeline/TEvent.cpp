#include "pipeline/TEvent.h"

namespace tarvio {

void TEvent::SetEvent() {
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FSignaled = true;
    }
    if (FManualReset)
        FCond.notify_all();
    else
        FCond.notify_one();
}

void TEvent::ResetEvent() {
    std::lock_guard<std::mutex> lock(FMutex);
    FSignaled = false;
}

bool TEvent::WaitFor(int TimeoutMs) {
    std::unique_lock<std::mutex> lock(FMutex);
    if (TimeoutMs < 0)
        FCond.wait(lock, [this] { return FSignaled; });
    else if (!FCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return FSignaled; }))
        return false;
    if (!FManualReset) FSignaled = false;
    return true;
}

} // namespace tarvio
