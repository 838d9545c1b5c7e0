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
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FQueue.push_back({&request, {}});
    }
    Wake();
    std::unique_lock<std::mutex> lock(FMutex);
    FDone.wait(lock, [&] { return request.Done; });
    if (request.Error) std::rethrow_exception(request.Error);
}

void TMainThreadQueue::Queue(std::function<void()> Call) {
    if (IsMainThread()) {
        Call();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FQueue.push_back({nullptr, std::move(Call)});
    }
    Wake();
}

void TMainThreadQueue::Wake() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        wake = FWake;
    }
    if (wake) wake();
}

bool TMainThreadQueue::CheckSynchronize() {
    bool ran = false;
    for (;;) {
        TEntry entry;
        {
            std::lock_guard<std::mutex> lock(FMutex);
            if (FQueue.empty()) break;
            entry = std::move(FQueue.front());
            FQueue.pop_front();
        }
        ran = true;
        if (!entry.Request) {
            entry.Call();
            continue;
        }
        TRequest* request = entry.Request;
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
    }
    return ran;
}

} // namespace tarvio
