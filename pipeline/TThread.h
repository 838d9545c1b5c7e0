#pragma once
// The platform thread: a std::thread running Execute, with a terminate flag, waiting
// for the end, and a best-effort priority (per-thread nice), or real-time scheduling for
// the threads that keep the sound going (TRealtimeScheduling).

#include <atomic>
#include <thread>

namespace tarvio {

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
    TThread() = default;
    virtual ~TThread(); // waits for the thread; call Terminate (and wake it) first
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute on a new thread. Call once, after the subclass is fully built.
    void Start();
    // Sets the terminate flag; a thread that waits for work extends it to wake itself.
    virtual void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    // Blocks until Execute has returned. Safe to call more than once.
    void WaitFor();
    bool Finished() const { return FFinished; }
    std::thread::id ThreadID() const { return FId; }
    bool IsCurrentThread() const { return std::this_thread::get_id() == FId.load(); }
    // The Linux thread id once the thread runs; 0 before.
    int Tid() const { return FTid; }

    // Best effort: maps to the thread's nice value where the system permits it.
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority Value);
    // A SCHED_RR priority (1-99) the thread asks for: at once when it runs, else as it
    // starts, before any work; 0 (the default) asks for none. Any thread.
    void SetRealtimePriority(int Value);

protected:
    virtual void Execute() = 0;

private:
    void ApplyPriority();

    std::thread FThread;
    std::atomic<std::thread::id> FId{};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
    std::atomic<int> FTid{0};
    std::atomic<int> FRealtimePriority{0};
};

} // namespace tarvio
