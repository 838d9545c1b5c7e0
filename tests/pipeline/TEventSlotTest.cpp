// Event slots: a post from any thread reaches the GUI thread through the dispatcher,
// merged with one not yet run; posts that have nowhere to go are dropped.

#include <gtest/gtest.h>

#include "pipeline/TEventHandler.h"
#include "pipeline/TEventSlot.h"
#include "pipeline/TMainThreadQueue.h"
#include "pipeline/TNullOut.h"
#include "support/TestInputs.h"

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

using namespace tarvio;
using namespace tarvio::test;

namespace {

void PostFromWorker(TEventSlot& Slot, int Times) {
    std::thread([&] {
        for (int i = 0; i < Times; ++i)
            Slot.Post();
    }).join();
}

TEST(TEventSlot, PostsFromAWorkerMergeIntoOneHandlerRunOnTheGuiThread) {
    TNullOut out; // keeps the dispatcher alive
    TComponent sender;
    TEventSlot slot(&sender);
    int runs = 0;
    slot.SetHandler([&](TComponent* Sender) {
        EXPECT_EQ(Sender, &sender);
        EXPECT_TRUE(TMainThreadQueue::Instance().IsMainThread());
        ++runs;
    });
    PostFromWorker(slot, 50); // this thread does not pump meanwhile
    // Every post looked at by the dispatcher before the handler can run (not pumping).
    for (int i = 0; i < 10000 && EventHandler()->QueuedEvents() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(EventHandler()->QueuedEvents(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return runs == 1; }));
    PumpFor(60);
    EXPECT_EQ(runs, 1);
    // Once the handler has run, the next post brings it again.
    PostFromWorker(slot, 1);
    ASSERT_TRUE(PumpUntil([&] { return runs == 2; }));
}

enum class TNowhere { NoHandler, Closed, NoDispatcherWhenPosted };

class TEventSlotDropTest : public testing::TestWithParam<TNowhere> {};

TEST_P(TEventSlotDropTest, PostIsDropped) {
    std::optional<TNullOut> out;
    if (GetParam() != TNowhere::NoDispatcherWhenPosted) out.emplace();
    TComponent sender;
    TEventSlot slot(&sender);
    int runs = 0;
    if (GetParam() != TNowhere::NoHandler) slot.SetHandler([&](TComponent*) { ++runs; });
    if (GetParam() == TNowhere::Closed) slot.Close();
    PostFromWorker(slot, 3);
    if (!out) out.emplace(); // a dispatcher that starts later owes nothing
    PumpFor(100);
    EXPECT_EQ(runs, 0);
}

INSTANTIATE_TEST_SUITE_P(Nowhere, TEventSlotDropTest,
                         testing::Values(TNowhere::NoHandler, TNowhere::Closed,
                                         TNowhere::NoDispatcherWhenPosted),
                         [](const testing::TestParamInfo<TNowhere>& Info) {
                             switch (Info.param) {
                             case TNowhere::NoHandler:
                                 return "NoHandler";
                             case TNowhere::Closed:
                                 return "Closed";
                             default:
                                 return "NoDispatcherWhenPosted";
                             }
                         });

} // namespace
