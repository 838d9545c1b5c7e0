#include "pipeline/TThread.h"

#include "pipeline/TRealtimeScheduling.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvio {

TThread::~TThread() {
    WaitFor();
}

void TThread::Start() {
    FThread = std::thread([this] {
        FId = std::this_thread::get_id();
        FTid = static_cast<int>(syscall(SYS_gettid));
        ApplyPriority();
        if (FRealtimePriority > 0) TRealtimeScheduling::Request(FTid, FRealtimePriority);
        Execute();
        FFinished = true;
    });
    // Make ThreadID valid as soon as Start returns.
    FId = FThread.get_id();
}

void TThread::WaitFor() {
    if (FThread.joinable() && std::this_thread::get_id() != FThread.get_id()) FThread.join();
}

void TThread::SetPriority(TThreadPriority Value) {
    FPriority = Value;
    ApplyPriority();
}

void TThread::SetRealtimePriority(int Value) {
    FRealtimePriority = Value;
    const int tid = FTid;
    if (tid != 0 && Value > 0) TRealtimeScheduling::Request(tid, Value);
}

void TThread::ApplyPriority() {
    int tid = FTid;
    if (tid == 0) return;
    static const int nice[] = {19, 10, 5, 0, -5, -10, -15};
    int wanted = nice[static_cast<int>(FPriority.load())];
    // Without the right to lower the nice value, go as far as the limit allows.
    for (int n = wanted; n <= 0 || n == wanted; ++n) {
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), n) == 0) return;
        if (n >= 0) return;
    }
}

} // namespace tarvio
