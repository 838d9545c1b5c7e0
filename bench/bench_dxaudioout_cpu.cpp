// Plays 44.1 kHz stereo 16-bit audio to the null device through TDXAudioOut at Latency
// 100 and prints the process's CPU seconds per second of audio played (target: under
// 0.005, half a percent of one core).

#include "output/TDXAudioOut.h"
#include "pipeline/TMainThreadQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

using namespace tarvio;

namespace {

constexpr uint32_t Rate = 44100;
constexpr double Seconds = 5.0;

// A tone of a fixed length, handed out from one buffer.
class TToneSource : public TAuInput {
public:
    explicit TToneSource(int64_t Bytes) : FTotal(Bytes), FBlock(1 << 16) {
        for (size_t i = 0; i < FBlock.size(); ++i)
            FBlock[i] = static_cast<uint8_t>(i * 13);
    }

protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return Rate; }
    void InitInternal() override {
        FPosition = 0;
        FSize = FTotal;
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        int64_t left = FTotal - FPosition;
        Bytes = static_cast<uint32_t>(std::min<int64_t>({left, Bytes, int64_t(FBlock.size())}));
        Buffer = Bytes ? FBlock.data() : nullptr;
        FPosition += Bytes;
    }

private:
    int64_t FTotal;
    std::vector<uint8_t> FBlock;
};

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

} // namespace

int main() {
    setenv("TARVIO_AUDIO_DEVICE", "null", 1);
    TDXAudioOut out;
    out.SetLatency(100);
    out.SetPrefetchData(false); // the player's setting
    TToneSource tone(static_cast<int64_t>(Seconds * Rate) * 4);
    out.SetInput(&tone);

    double cpu0 = CpuSeconds();
    auto wall0 = std::chrono::steady_clock::now();
    out.Run();
    while (out.Status() != tosIdle) {
        CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double cpu = CpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    if (!out.ExceptionMessage().empty()) {
        std::printf("bench_dxaudioout_cpu: run failed: %s\n", out.ExceptionMessage().c_str());
        return 1;
    }
    double ratio = cpu / Seconds;
    std::printf("bench_dxaudioout_cpu: %.1f s of audio in %.2f s, %.4f CPU s per audio s "
                "(target < 0.005): %s\n",
                Seconds, wall, ratio, ratio < 0.005 ? "ok" : "OVER");
    return 0;
}
