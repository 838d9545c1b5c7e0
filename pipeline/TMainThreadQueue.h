#pragma once
// Running calls on the GUI (main) thread. Other threads queue a call with Synchronize
// and wait; the GUI thread runs the queued calls whenever it calls CheckSynchronize.
// A GUI toolkit installs a wake-up hook to pump the queue from its event loop; a console
// program or a test calls CheckSynchronize from its own loop.

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace tarvio {

class TMainThreadQueue {
public:
    static TMainThreadQueue& Instance();

    // The GUI thread: the thread that started the program unless set otherwise.
    std::thread::id MainThreadID() const;
    void SetMainThreadID(std::thread::id Id);
    bool IsMainThread() const { return std::this_thread::get_id() == MainThreadID(); }

    // Runs Call on the GUI thread and returns when it has run. On the GUI thread itself
    // it runs at once. An exception of Call is raised again in the caller's thread.
    void Synchronize(const std::function<void()>& Call);
    // Runs Call on the GUI thread later and returns at once (on the GUI thread itself it runs
    // at once). Calls run in the order they were queued, among those of Synchronize. Call
    // must not throw: nobody is there to receive the exception.
    void Queue(std::function<void()> Call);
    // Called on the GUI thread: runs every pending call. Returns true if any ran.
    bool CheckSynchronize();
    // Called (on the queuing thread) whenever a call is queued; may be empty.
    void SetWakeMainThread(std::function<void()> Hook);

private:
    struct TRequest {
        const std::function<void()>* Call;
        std::exception_ptr Error;
        bool Done = false;
    };
    // A waiting Synchronize (Request) or a queued call (Call, owned here).
    struct TEntry {
        TRequest* Request = nullptr;
        std::function<void()> Call;
    };
    void Wake();

    mutable std::mutex FMutex;
    std::condition_variable FDone;
    std::deque<TEntry> FQueue;
    std::function<void()> FWake;
    std::thread::id FMainThread;

    TMainThreadQueue();
};

inline void Synchronize(const std::function<void()>& Call) {
    TMainThreadQueue::Instance().Synchronize(Call);
}
inline bool CheckSynchronize() {
    return TMainThreadQueue::Instance().CheckSynchronize();
}

} // namespace tarvio
