// The dispatcher: order, blocking, clearing, non-GUI events, its life.

#include <gtest/gtest.h>

#include "pipeline/TEventHandler.h"
#include "pipeline/TNullOut.h"
#include "support/TestInputs.h"

#include <thread>

using namespace tarvio;
using namespace tarvio::test;

TEST(TEventHandler, OrderBlockingClearingAndNonGuiFirst) {
    TNullOut out; // keeps the dispatcher alive
    TComponent a, b;
    TEventHandler* h = EventHandler();
    ASSERT_NE(h, nullptr);
    std::vector<std::string> log;
    std::mutex logLock;
    auto note = [&](const std::string& s) {
        return [&, s](TComponent*) {
            std::lock_guard<std::mutex> l(logLock);
            log.push_back(s);
        };
    };
    // Hold the dispatcher on a GUI delivery while the queue is built up.
    h->PostGenericEvent(&a, note("first"));
    h->PostGenericEvent(&a, note("a1"));
    h->PostGenericEvent(&b, note("b1"));
    h->BlockEvents(&a);
    h->PostGenericEvent(&a, note("a-blocked"));
    h->UnblockEvents(nullptr);
    h->PostGenericEvent(&a, note("a2"));
    h->ClearEvents(&b);
    h->PostNonGuiEvent(&b, note("nongui"));
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> l(logLock);
        return log.size() == 4;
    }));
    PumpFor(50);
    // "first" may already have been taken before the non-GUI record was queued.
    std::vector<std::string> expected1{"nongui", "first", "a1", "a2"};
    std::vector<std::string> expected2{"first", "nongui", "a1", "a2"};
    EXPECT_TRUE(log == expected1 || log == expected2) << ::testing::PrintToString(log);
}

TEST(TEventHandler, LivesWhileAnyOutputExists) {
    ASSERT_EQ(EventHandler(), nullptr);
    auto first = std::make_unique<TNullOut>();
    TEventHandler* h = EventHandler();
    ASSERT_NE(h, nullptr);
    {
        TNullOut second;
        EXPECT_EQ(EventHandler(), h);
    }
    EXPECT_EQ(EventHandler(), h);
    first.reset();
    EXPECT_EQ(EventHandler(), nullptr);
}

TEST(TEventHandler, DoneClearsBusyWithoutHandlerAndDropsLaterEventsOfThatOutput) {
    TMemoryStream s(Pattern(4000));
    TRawPcmIn in;
    in.SetStream(&s);
    TNullOut out;
    out.SetInput(&in);
    int progress = 0;
    out.SetOnProgress([&](TComponent*) { ++progress; });
    // Post a late event for the output: the done event drops it.
    out.Run();
    ASSERT_TRUE(PumpUntil([&] { return !out.IsBusy(); }));
    int before = progress;
    EventHandler()->PostGenericEvent(&out, [&](TComponent*) { ++progress; });
    EventHandler()->PostOnDone(&out, out.WorkerThread(), out.CurrentRun(), "");
    EventHandler()->PostGenericEvent(&out, [&](TComponent*) { progress += 100; });
    PumpFor(200);
    EXPECT_LT(progress - before, 100);
}

TEST(TEventHandler, ALateDoneEventDoesNotClearANewRun) {
    TComponent owner;
    auto* in = new TRawPcmIn(&owner);
    TMemoryStream s(Pattern(400000));
    in->SetStream(&s);
    in->SetLoop(true); // never ends
    auto* out = new TNullOut(&owner);
    out->SetChunkSize(64);
    out->SetInput(in);
    out->Run();
    uint64_t firstRun = out->CurrentRun();
    out->Stop(false);
    out->Run();
    EventHandler()->PostOnDone(out, out->WorkerThread(), firstRun, ""); // stale
    PumpFor(100);
    EXPECT_TRUE(out->IsBusy());
    out->Stop(false);
}

// A handler that throws leaves the dispatcher running and is reported on standard error,
// once for each message.
TEST(TEventHandler, FailingHandlerIsReportedOnce) {
    TNullOut out;
    TComponent sender;
    sender.SetName("Indicator1");
    testing::internal::CaptureStderr();
    int delivered = 0;
    for (const char* message : {"boom", "boom", "bang"})
        EventHandler()->PostGenericEvent(&sender, [&, message](TComponent*) {
            ++delivered;
            throw EAuException(message);
        });
    EventHandler()->PostGenericEvent(&sender, [&](TComponent*) { ++delivered; });
    ASSERT_TRUE(PumpUntil([&] { return delivered == 4; }));
    PumpFor(20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tarvio: the event handler of Indicator1 failed: boom\n"
              "tarvio: the event handler of Indicator1 failed: bang\n");
}

// Coalesced posts made on the GUI thread (through the dispatcher): while one of a sender waits in the queue,
// more of the same sender merge into it (other senders' do not); a sender's deliveries are at least a period
// apart; a handler that throws is reported like any other; the sender counts as being delivered until its
// handler has run.
TEST(TEventHandler, CoalescedPostsMergeAndComeOncePerPeriod) {
    TNullOut out;
    TComponent a, b;
    a.SetName("Levels");
    const auto period = CoalescedEventPeriod();
    SetCoalescedEventPeriod(std::chrono::milliseconds(40));
    std::vector<std::chrono::steady_clock::time_point> atA;
    int atB = 0;
    auto onA = [&](TComponent*) { atA.push_back(std::chrono::steady_clock::now()); };
    // This thread is the GUI thread: nothing runs until it pumps. A plain record ahead of
    // the coalesced ones holds the dispatcher on its delivery, so none of them is taken
    // before all are posted, however slow this machine.
    // The period counts from when the dispatcher takes a record, which is after the holding
    // record's handler has run.
    TComponent hold;
    std::chrono::steady_clock::time_point released;
    auto holdDispatcher = [&] {
        EventHandler()->PostGenericEvent(&hold,
                                         [&](TComponent*) { released = std::chrono::steady_clock::now(); });
    };
    holdDispatcher();
    for (int i = 0; i < 5; ++i) {
        EventHandler()->PostCoalescedEvent(&a, onA);
        EventHandler()->PostCoalescedEvent(&b, [&](TComponent*) { ++atB; });
    }
    ASSERT_TRUE(PumpUntil([&] { return atA.size() == 1 && atB == 1; }));
    const auto firstTaken = released; // or later
    holdDispatcher();
    EventHandler()->PostCoalescedEvent(&a, onA);
    EventHandler()->PostCoalescedEvent(&a, onA);
    ASSERT_TRUE(PumpUntil([&] { return atA.size() == 2; }));
    EXPECT_GE(atA[1] - firstTaken, std::chrono::milliseconds(40));

    testing::internal::CaptureStderr();
    EventHandler()->PostCoalescedEvent(&a, [](TComponent*) { throw EAuException("late"); });
    ASSERT_TRUE(PumpUntil([] { return EventHandler()->QueuedEvents() == 0; }));
    EventHandler()->WaitWhileDelivering(&a); // runs the handed-over handler on this thread
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tarvio: the event handler of Levels failed: late\n");
    PumpFor(50);
    EXPECT_EQ(atA.size(), 2u);
    EXPECT_EQ(atB, 1);
    SetCoalescedEventPeriod(period);
}

// From any other thread a coalesced post that is due goes to the GUI thread at once, and
// later posts merge into it until its handler begins; one posted while the handler runs
// waits in the queue for the period. A record handed over this way still counts as being
// delivered.
TEST(TEventHandler, DueCoalescedPostsFromOtherThreadsGoStraightToTheGuiThread) {
    TNullOut out;
    TComponent a;
    const auto period = CoalescedEventPeriod();
    SetCoalescedEventPeriod(std::chrono::milliseconds(40));
    std::vector<std::chrono::steady_clock::time_point> atA;
    auto onA = [&](TComponent*) { atA.push_back(std::chrono::steady_clock::now()); };
    auto postFromWorker = [&](int Times, const TGenericEvent& Handler) {
        std::thread([&] {
            for (int i = 0; i < Times; ++i)
                EventHandler()->PostCoalescedEvent(&a, Handler);
        }).join();
    };
    postFromWorker(5, onA); // this thread does not pump meanwhile
    EXPECT_EQ(EventHandler()->QueuedEvents(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return atA.size() == 1; }));
    PumpFor(60);
    EXPECT_EQ(atA.size(), 1u);

    size_t queuedMeanwhile = 0;
    postFromWorker(1, [&](TComponent* Sender) {
        onA(Sender);
        postFromWorker(1, onA);
        queuedMeanwhile = EventHandler()->QueuedEvents();
    });
    EXPECT_EQ(EventHandler()->QueuedEvents(), 0u);
    EventHandler()->WaitWhileDelivering(&a); // runs the handed-over handler on this thread
    EXPECT_EQ(atA.size(), 2u);
    EXPECT_EQ(queuedMeanwhile, 1u);
    ASSERT_TRUE(PumpUntil([&] { return atA.size() == 3; }));
    EXPECT_GE(atA[2] - atA[1], std::chrono::milliseconds(40));
    SetCoalescedEventPeriod(period);
}

// A handler handed to the GUI thread runs before the dispatcher is gone, so a sender that
// goes away after the last output never has one left behind.
TEST(TEventHandler, EndingRunsHandlersHandedToTheGuiThread) {
    TComponent sender;
    int delivered = 0;
    {
        TNullOut out;
        EventHandler()->PostCoalescedEvent(&sender, [&](TComponent*) { ++delivered; });
        // Not pumping: the record is taken and handed over, its handler waits for this thread.
        for (int i = 0; i < 2000 && EventHandler()->QueuedEvents() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(delivered, 0);
    }
    EXPECT_EQ(delivered, 1);
}
