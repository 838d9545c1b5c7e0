#include "pipeline/TMainThreadQueue.h"

namespace tarvio {

namespace {
// Static initialisation runs on the thread that starts the program.
const std::thread::id StartupThread = std::this_thread::get_id();
} // namespace

TMainThreadQueue::TMainThreadQueue() : FMainThread(StartupThread) {}

TMainThreadQueue& TMainThreadQueue::Instance() {
    static TMainThreadQueue queue;
    return queue;
}

std::thread::id TMainThreadQueue::MainThreadID() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FMainThread;
}

void TMainThreadQueue::SetMainThreadID(std::thread::id Id) {
    std::lock_guard<std::mutex> lock(FMutex);
    FMainThread = Id;
}

void TMainThreadQueue::SetWakeMainThread(std::function<void()> Hook) {
    std::lock_guard<std::mutex> lock(FMutex);
    FWake = std::move(Hook);
}

void TMainThreadQueue::Synchronize(const std::function<void()>& Call) {
    if (IsMainThread()) {
        Call();
        return;
    }
    TRequest request{&Call, nullptr, false};
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FQueue.push_back(&request);
        wake = FWake;
    }
    if (wake) wake();
    std::unique_lock<std::mutex> lock(FMutex);
    FDone.wait(lock, [&] { return request.Done; });
    if (request.Error) std::rethrow_exception(request.Error);
}

bool TMainThreadQueue::CheckSynchronize() {
    bool ran = false;
    for (;;) {
        TRequest* request;
        {
            std::lock_guard<std::mutex> lock(FMutex);
            if (FQueue.empty()) break;
            request = FQueue.front();
            FQueue.pop_front();
        }
        try {
            (*request->Call)();
        } catch (...) {
            request->Error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(FMutex);
            request->Done = true;
        }
        FDone.notify_all();
        ran = true;
    }
    return ran;
}

} // namespace tarvio
