// Real-time scheduling is asked for and its outcome reported once. In a container or
// without rights the request may be refused: the tests accept either outcome and check
// that the report says which, and that a grant is really in force.
#include "pipeline/TRealtimeScheduling.h"
#include "pipeline/TThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace tarvio {
namespace {

// SCHED_RR at Priority in force for the thread Tid.
bool RunsRoundRobinAt(int Tid, int Priority) {
    sched_param param{};
    return (sched_getscheduler(Tid) & ~SCHED_RESET_ON_FORK) == SCHED_RR && sched_getparam(Tid, &param) == 0 &&
           param.sched_priority == Priority;
}

class TIdleThread : public TThread {
public:
    ~TIdleThread() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override {
        while (!Terminated())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST(RealtimeScheduling, RequestIsReportedOnceAndInForceWhenGranted) {
    TRealtimeScheduling::ResetReport();
    int calls = 0;
    std::string heard;
    TRealtimeScheduling::SetOnFirstResult([&](const std::string& Words) {
        ++calls;
        heard = Words;
    });
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        tid = static_cast<int>(syscall(SYS_gettid));
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (tid == 0)
        std::this_thread::yield();
    const TRealtimeResult first = TRealtimeScheduling::Request(tid, 5);
    const TRealtimeResult second = TRealtimeScheduling::Request(tid, 6);
    EXPECT_EQ(calls, 1) << "one report per process";
    EXPECT_EQ(heard, TRealtimeScheduling::Report());
    switch (first.Grant) {
    case TRealtimeGrant::rgDirect:
        EXPECT_EQ(heard, "SCHED_RR priority 5 (set directly)");
        EXPECT_TRUE(RunsRoundRobinAt(tid, 6)) << "the second request is in force";
        break;
    case TRealtimeGrant::rgRealtimeKit:
        EXPECT_EQ(heard, "SCHED_RR priority 5 (through RealtimeKit)");
        break;
    case TRealtimeGrant::rgNone:
        EXPECT_FALSE(first.Reason.empty());
        EXPECT_EQ(heard, "not granted: " + first.Reason);
        EXPECT_EQ(second.Grant, TRealtimeGrant::rgNone);
        break;
    }
    done = true;
    worker.join();
    TRealtimeScheduling::SetOnFirstResult(nullptr);
}

// A thread told its priority before it starts asks as it starts; one told while it runs
// asks at once.
TEST(RealtimeScheduling, ThreadsAskBeforeTheirWorkOrAtOnce) {
    TIdleThread early, late;
    early.SetRealtimePriority(7);
    early.Start();
    late.Start();
    while (early.Tid() == 0 || late.Tid() == 0)
        std::this_thread::yield();
    late.SetRealtimePriority(8);
    if (TRealtimeScheduling::Report().rfind("SCHED_RR", 0) != 0)
        GTEST_SKIP() << "real-time scheduling is not granted here: " << TRealtimeScheduling::Report();
    if (TRealtimeScheduling::Report().find("directly") == std::string::npos)
        GTEST_SKIP() << "granted through RealtimeKit, which this process cannot read back";
    for (int i = 0; i < 1000 && !RunsRoundRobinAt(early.Tid(), 7); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(RunsRoundRobinAt(early.Tid(), 7));
    EXPECT_TRUE(RunsRoundRobinAt(late.Tid(), 8));
}

} // namespace
} // namespace tarvio
