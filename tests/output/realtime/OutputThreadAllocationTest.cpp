// The sound output's worker while it plays: the player's chain (sound output, spectrum
// indicator with its level events, audio cache) must not allocate per block. This program
// replaces the global allocation functions with ones that count the calls made on the
// worker thread while a window is open.

#include "output/TDXAudioOut.h"
#include "pipeline/TAuConverter.h"
#include "pipeline/TMainThreadQueue.h"
#include "stages/TAudioCache.h"
#include "stages/TSpectrumIndicator.h"
#include "tests/output/TToneIn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

// Set on the thread whose allocations count (trivially initialised: reading it allocates
// nothing, even on the first access of a thread).
thread_local bool CountOnThisThread = false;
std::atomic<bool> WindowOpen{false};
std::atomic<long> Allocations{0};

void* Allocate(std::size_t Size) {
    if (CountOnThisThread && WindowOpen.load(std::memory_order_relaxed))
        Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(Size ? Size : 1)) return p;
    throw std::bad_alloc();
}

} // namespace

// The array and sized forms of the library call these.
void* operator new(std::size_t Size) {
    return Allocate(Size);
}
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(Size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* P) noexcept {
    std::free(P);
}
void operator delete(void* P, std::size_t) noexcept {
    std::free(P);
}

namespace tarvio {
namespace {

using namespace std::chrono_literals;

// A pass-through stage at the head of the chain: the thread that pulls it is the
// output's worker, and from its first block on that thread's allocations count.
class TWorkerMark : public TAuConverter {
public:
    std::atomic<long> Blocks{0};

protected:
    void InitInternal() override {
        if (TAuInput* in = FInput) in->Init();
        FPosition = 0;
        FSize = 0; // no end of its own: the input's end ends the stream
        Busy = true;
    }
    void FlushInternal() override {
        if (TAuInput* in = FInput) in->Flush();
        Busy = false;
    }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        CountOnThisThread = true;
        ++Blocks;
        TAuInput* in = FInput;
        if (in)
            in->GetData(Buffer, Bytes);
        else
            Bytes = 0;
    }
};

template <typename Condition> bool PumpUntil(Condition Done, std::chrono::milliseconds Limit) {
    const auto end = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        CheckSynchronize();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// PrefetchData: the worker writes from the input's buffer (true) or copies into its own
// staging buffer first (false, as the player does).
class OutputThreadAllocationTest : public testing::TestWithParam<bool> {};

TEST_P(OutputThreadAllocationTest, WorkerAllocatesNothingPerBlockWhileLevelsReachTheGuiThread) {
    // Thirty seconds of 16-bit stereo: far more than the test plays.
    test::TToneIn tone(2, 16, 44100, 30 * 44100);
    TAudioCache cache;
    cache.SetInput(&tone);
    TSpectrumIndicator indicator;
    indicator.SetInterval(1); // an update per block, as in the player
    std::atomic<long> levelEvents{0};
    indicator.SetOnGainData([&](TComponent*) {
        EXPECT_TRUE(TMainThreadQueue::Instance().IsMainThread());
        float sum = 0;
        for (uint32_t band = 0; band < 8; ++band)
            sum += indicator.GetLevel(band);
        if (sum != 0) ++levelEvents;
    });
    indicator.SetInput(&cache);
    TWorkerMark mark;
    mark.SetInput(&indicator);

    TDXAudioOut out; // the null device (TARVIO_AUDIO_DEVICE), held to the clock
    out.SetLatency(100);
    out.SetPrefetchData(GetParam());
    out.SetInput(&mark);
    out.Run();

    // Past the first fill of the ring and the first level events.
    ASSERT_TRUE(PumpUntil([&] { return mark.Blocks >= 10 && levelEvents >= 2; }, 10s));
    const long blocksBefore = mark.Blocks, eventsBefore = levelEvents;
    WindowOpen = true;
    PumpUntil([] { return false; }, 1500ms);
    WindowOpen = false;
    const long blocks = mark.Blocks - blocksBefore, events = levelEvents - eventsBefore;
    out.Stop(false);

    EXPECT_EQ(Allocations.exchange(0), 0) << "allocations on the worker during " << blocks << " blocks";
    EXPECT_GE(blocks, 10);
    EXPECT_GT(events, 0) << "the levels must still reach the GUI thread";
}

INSTANTIATE_TEST_SUITE_P(Staging, OutputThreadAllocationTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& Info) {
                             return Info.param ? "FromInputBuffer" : "ThroughStagingBuffer";
                         });

} // namespace
} // namespace tarvio
