// Speed of the pipeline stages, each printed as a ratio against its target:
// 1. the chain source -> audio cache -> spectrum indicator -> TNullOut, run as fast as it
//    goes, in multiples of real time for 44.1 kHz 16-bit stereo (target at least 300; the
//    cache's 10 ms rounds of at most 768 KiB cap it near 435);
// 2. the indicator's CPU time per second of audio at Interval 1 (target under 0.2 % of a core);
// 3. the process's CPU time while the ring is full and the output paused, which is the fill
//    thread polling (target near zero).

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "pipeline/TAuInput.h"
#include "pipeline/TEventHandler.h"
#include "pipeline/TMainThreadQueue.h"
#include "pipeline/TNullOut.h"
#include "stages/TAudioCache.h"
#include "stages/TSpectrumIndicator.h"

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t Rate = 44100;
constexpr uint32_t BytesPerSecond = Rate * 4; // 16-bit stereo

// Endless or sized 16-bit stereo noise-like data served from one pre-built block.
class TBenchSource : public TAuInput {
public:
    explicit TBenchSource(int64_t Bytes) : FLength(Bytes), FBlock(0x10000) {
        uint32_t x = 12345;
        for (auto& b : FBlock) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
    }

protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return Rate; }
    void InitInternal() override {
        Busy = true;
        FPosition = 0;
        FSize = FLength;
        FAt = 0;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        int64_t left = FLength < 0 ? INT64_MAX : FLength - FAt;
        Bytes = static_cast<uint32_t>(std::min<int64_t>({Bytes, static_cast<int64_t>(FBlock.size()), left}));
        Buffer = Bytes ? FBlock.data() : nullptr;
        FAt += Bytes;
        FPosition += Bytes;
    }

private:
    int64_t FLength;
    int64_t FAt = 0;
    std::vector<uint8_t> FBlock;
};

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Serves the GUI-thread queue (this is the GUI thread) until Done.
void Pump(const std::function<bool()>& Done) {
    while (!Done())
        if (!CheckSynchronize()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ChainSpeed() {
    const int64_t seconds = 600;
    TBenchSource source(seconds * BytesPerSecond);
    TAudioCache cache;
    TSpectrumIndicator indicator;
    TNullOut out;
    cache.SetInput(&source);
    indicator.SetInput(&cache);
    indicator.SetInterval(1);
    int gains = 0;
    indicator.SetOnGainData([&](TComponent*) { ++gains; });
    out.SetInput(&indicator);
    int done = 0;
    out.SetOnDone([&](TComponent*) { ++done; });
    // The run's end on the worker thread; the GUI's delivery of the events is not timed.
    std::atomic<Clock::rep> end{0};
    out.SetOnSyncDone([&](TComponent*) { end = Clock::now().time_since_epoch().count(); });

    auto t0 = Clock::now();
    out.Run();
    Pump([&] { return done == 1; });
    double wall = std::chrono::duration<double>(Clock::time_point(Clock::duration(end.load())) - t0).count();
    double audio = double(out.BytesPulled()) / BytesPerSecond;
    double speed = audio / wall;
    std::printf("chain source-cache-indicator-null: %.0f x real time (target >= 300, ratio %.2f) %s\n", speed,
                speed / 300, speed >= 300 ? "OK" : "BELOW TARGET");
    if (!out.ExceptionMessage().empty()) std::printf("  run failed: %s\n", out.ExceptionMessage().c_str());
}

void IndicatorCpu() {
    const int64_t seconds = 600;
    TBenchSource source(seconds * BytesPerSecond);
    TSpectrumIndicator indicator;
    indicator.SetInput(&source);
    indicator.SetInterval(1);
    // Events are posted as in the player; delivery is left out of the measurement.
    indicator.SetOnGainData([](TComponent*) {});
    indicator.Init();
    double c0 = ThreadCpuSeconds();
    int64_t total = 0;
    for (;;) {
        uint8_t* data = nullptr;
        uint32_t bytes = 3072;
        indicator.GetData(data, bytes);
        if (bytes == 0) break;
        total += bytes;
        // Keep the dispatcher's queue short so memory does not grow over the run.
        if ((total & 0xFFFFF) < 3072) ClearPendingEvents(&indicator);
    }
    double cpu = ThreadCpuSeconds() - c0;
    indicator.Flush();
    ClearPendingEvents(&indicator);
    double percent = cpu / (double(total) / BytesPerSecond) * 100;
    std::printf("spectrum indicator at Interval 1: %.4f %% of one core per second of audio (target < 0.2, "
                "ratio %.2f) %s\n",
                percent, percent / 0.2, percent < 0.2 ? "OK" : "ABOVE TARGET");
}

void PausedFillThreadCpu() {
    TBenchSource source(-1);
    TAudioCache cache;
    TNullOut out;
    cache.SetInput(&source);
    out.SetInput(&cache);
    out.Run();
    // Let the ring fill, then hold the output.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    out.Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double c0 = ProcessCpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double cpu = ProcessCpuSeconds() - c0;
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    out.Resume();
    out.Stop(false);
    double percent = cpu / wall * 100;
    std::printf(
        "paused output, full ring: %.3f %% of one core for the whole process (target near 0: < 0.5) %s\n",
        percent, percent < 0.5 ? "OK" : "ABOVE TARGET");
}

} // namespace

int main() {
    AcquireEventHandler(); // as the player's output would
    ChainSpeed();
    IndicatorCpu();
    PausedFillThreadCpu();
    ReleaseEventHandler();
    return 0;
}
