// Output engine: run states, synchronous and asynchronous stop, pause and resume, events.

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "pipeline/EAuException.h"
#include "pipeline/TNullOut.h"
#include "support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// An endless input of silence that can be told to fail its Init.
class TEndless : public TAuInput {
public:
    using TAuInput::TAuInput;
    std::atomic<bool> FailInit{false};
    std::atomic<int> Pauses{0}, Resumes{0}, Jumps{0};
    std::atomic<int64_t> SizeValue{-1};

protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return 44100; }
    void InitInternal() override {
        if (FailInit) throw EAuException("cannot start");
        // Busy last: a test that sees it set reads the size of this run.
        FPosition = 0;
        FSize = SizeValue.load();
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        Bytes = std::min<uint32_t>(Bytes, sizeof Silence);
        Buffer = Silence;
        FPosition += Bytes;
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // a device's pace
    }

public:
    void _Pause() override { ++Pauses; }
    void _Resume() override { ++Resumes; }

private:
    uint8_t Silence[4096] = {};
};

// Counts the hooks and what the handlers see.
class TCountingOut : public TNullOut {
public:
    using TNullOut::TNullOut;
    ~TCountingOut() override { ShutDown(); }
    std::atomic<int> Starts{0}, Finishes{0};

protected:
    void StartOutput() override {
        ++Starts;
        TNullOut::StartOutput();
    }
    void FinishOutput() override {
        ++Finishes;
        TNullOut::FinishOutput();
    }
};

struct OutputFixture : ::testing::Test {
    std::vector<std::string> Events; // GUI thread only; outlives the components
    TComponent Owner;
    TEndless* Input = new TEndless(&Owner);
    TCountingOut* Out = new TCountingOut(&Owner);
    void SetUp() override {
        Out->SetInput(Input);
        Out->SetOnDone([this](TComponent*) { Events.push_back("done:" + Out->ExceptionMessage()); });
        Out->SetOnThreadException([this](TComponent*) { Events.push_back("exception"); });
    }
};

} // namespace

TEST_F(OutputFixture, RunTwiceIsBusyAndAsyncStopDeliversDone) {
    EXPECT_EQ(Out->Status(), tosIdle);
    Out->Run();
    EXPECT_EQ(Out->Status(), tosPlaying);
    EXPECT_THROW(Out->Run(), EAuException);
    Out->Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return Events.size() == 1; }));
    EXPECT_EQ(Events[0], "done:");
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_EQ(Out->Starts, 1);
    EXPECT_EQ(Out->Finishes, 1);
}

TEST_F(OutputFixture, SyncStopSuppressesDoneAndIdleStopReturnsAtOnce) {
    Out->Stop(false); // idle
    Out->Run();
    PumpFor(20);
    Out->Stop(false);
    EXPECT_FALSE(Out->IsBusy());
    PumpFor(150);
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(Out->Finishes, 1);
    Out->Run(); // runs again at once after a stop
    Out->Stop(false);
    EXPECT_EQ(Out->Finishes, 2);
}

TEST_F(OutputFixture, EndOfInputCompletesTheRun) {
    TMemoryStream s(Pattern(100000));
    TRawPcmIn in(&Owner);
    in.SetStream(&s);
    Out->SetInput(&in);
    int progressEvents = 0;
    Out->SetOnProgress([&](TComponent*) { ++progressEvents; });
    Out->Run();
    ASSERT_TRUE(PumpUntil([&] { return !Events.empty(); }));
    EXPECT_EQ(Out->BytesPulled(), 100000);
    EXPECT_GT(progressEvents, 0);
    Out->SetInput(nullptr);
}

TEST_F(OutputFixture, ExceptionInStartOutputGivesThreadExceptionThenDone) {
    Input->FailInit = true;
    Out->Run();
    ASSERT_TRUE(PumpUntil([&] { return Events.size() == 2; }));
    EXPECT_EQ(Events[0], "exception");
    EXPECT_EQ(Events[1], "done:cannot start");
    EXPECT_EQ(Out->Status(), tosIdle);
    // The next run clears the message.
    Input->FailInit = false;
    Out->Run();
    EXPECT_EQ(Out->ExceptionMessage(), "");
    Out->Stop(false);
}

TEST_F(OutputFixture, PauseResumeAndStopWhilePaused) {
    Out->Pause(); // idle: nothing
    EXPECT_EQ(Input->Pauses, 0);
    Out->Resume(); // not paused: nothing
    EXPECT_EQ(Input->Resumes, 0);
    Out->Run();
    Out->Pause();
    EXPECT_EQ(Out->Status(), tosPaused);
    EXPECT_EQ(Input->Pauses, 1);
    int64_t at = Input->Position();
    PumpFor(30);
    EXPECT_EQ(Input->Position(), at); // nothing pulled while paused
    Out->Resume();
    EXPECT_EQ(Out->Status(), tosPlaying);
    EXPECT_EQ(Input->Resumes, 1);
    Out->Pause();
    Out->Stop(false); // releases the pause and ends the run
    EXPECT_EQ(Out->Status(), tosIdle);
    TNullOut bare;
    EXPECT_THROW(bare.Pause(), EAuException);
    EXPECT_THROW(bare.Run(), EAuException);
}

TEST_F(OutputFixture, PropertiesAndInputSwitch) {
    Out->SetDelay(10);
    Out->SetDelay(150); // above 100: ignored
    EXPECT_EQ(Out->Delay(), 10);
    Out->SetDelay(0);
    Out->Run();
    ASSERT_TRUE(PumpUntil([&] { return Input->IsBusy(); }));
    EXPECT_EQ(Out->Progress(), -1); // unknown size
    Out->Stop(false);
    Input->SizeValue = 0;
    Out->Run();
    ASSERT_TRUE(PumpUntil([&] { return Input->Size() == 0; }));
    EXPECT_EQ(Out->Progress(), 0);
    auto* other = new TEndless(&Owner);
    Out->SetInput(other); // restarts from the new input
    EXPECT_TRUE(Out->IsBusy());
    PumpUntil([&] { return other->Position() > 0; });
    EXPECT_GT(other->Position(), 0);
    EXPECT_FALSE(Input->IsBusy());
    Out->Stop(false);
    EXPECT_EQ(Out->Starts, 3);
    EXPECT_EQ(Out->Finishes, 3);
}

TEST_F(OutputFixture, StopFromTheWorkerIsRefusedAndSyncDoneMayStartANewRun) {
    std::atomic<int> refused{0}, restarted{0};
    Out->SetOnSyncDone([&](TComponent*) {
        try {
            Out->Stop(true);
        } catch (const EAuException&) {
            ++refused;
        }
        if (restarted++ == 0) Out->Run(); // begins at once, without parking
    });
    Out->Run();
    Out->Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return restarted == 1 && Out->IsBusy(); }));
    Out->Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return restarted == 2 && !Out->IsBusy(); }));
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(Out->Starts, 2);
    EXPECT_EQ(Out->Finishes, 2);
}

// A run started from OnSyncDone that fails in Init: every run's events arrive, in order,
// and each OnDone reads its own run's message. Repeated: the race is between threads.
TEST_F(OutputFixture, RunRestartedFromSyncDoneKeepsEveryRunsEvents) {
    Out->SetOnThreadException(
        [this](TComponent*) { Events.push_back("exception:" + Out->ExceptionMessage()); });
    std::atomic<bool> restart{false};
    Out->SetOnSyncDone([&](TComponent*) {
        if (!restart.exchange(false)) return;
        Input->FailInit = true;
        Out->Run();
    });
    for (int trial = 0; trial < 100; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        Events.clear();
        Input->FailInit = false;
        restart = true;
        Out->Run();
        Out->Stop(true);
        ASSERT_TRUE(PumpUntil([&] { return Events.size() >= 3 && !Out->IsBusy(); }));
        ASSERT_EQ(Events, (std::vector<std::string>{"done:", "exception:cannot start", "done:cannot start"}));
    }
}

TEST(TAuOutput, BlockingRunCompletesTheRunOnError) {
    TEndless in;
    in.FailInit = true;
    TCountingOut out;
    out.SetInput(&in);
    EXPECT_THROW(out.BlockingRun(), EAuException);
    EXPECT_FALSE(out.IsBusy());
    EXPECT_EQ(out.Starts, 1); // the parked worker was not woken
    EXPECT_EQ(out.Finishes, 1);
    TMemoryStream s(Pattern(10000));
    TRawPcmIn raw;
    raw.SetStream(&s);
    out.SetInput(&raw);
    out.BlockingRun();
    EXPECT_EQ(out.BytesPulled(), 10000);
}

// Thousands of control calls in random order on two chains, events pumped: every started
// run finishes once, every asynchronous stop of a run is answered by one OnDone, and
// nothing deadlocks.
TEST(TAuOutputStress, RandomControlSequence) {
    TComponent owner;
    auto* a = new TEndless(&owner);
    auto* b = new TEndless(&owner);
    auto* out = new TCountingOut(&owner);
    out->SetChunkSize(512);
    std::atomic<int> done{0};
    out->SetOnDone([&](TComponent*) { ++done; });
    out->SetInput(a);
    std::mt19937 rng(12345);
    int asyncStops = 0;
    for (int i = 0; i < 3000; ++i) {
        switch (rng() % 6) {
        case 0:
            if (!out->IsBusy()) out->Run();
            break;
        case 1:
            if (out->IsBusy()) {
                out->Stop(true);
                ++asyncStops;
                // Wait for this run's OnDone so that each asynchronous stop is counted once.
                ASSERT_TRUE(PumpUntil([&] { return done == asyncStops; })) << "at step " << i;
            }
            break;
        case 2:
            out->Stop(false);
            break;
        case 3:
            out->Pause();
            break;
        case 4:
            out->Resume();
            break;
        case 5:
            out->SetInput(out->Input() == a ? b : a);
            break;
        }
        CheckSynchronize();
    }
    out->Stop(false);
    PumpFor(150);
    EXPECT_EQ(done, asyncStops) << "starts " << out->Starts;
    EXPECT_EQ(out->Starts, out->Finishes);
    EXPECT_GT(out->Starts, 100);
}
