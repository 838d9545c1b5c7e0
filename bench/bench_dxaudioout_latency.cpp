// Time from TDXAudioOut::Run to the first byte reaching the device, for several Latency
// values, through the wave-file device (the first data in the file). Prints the time as
// a ratio of Latency + 20 ms (target: at most 1).

#include "output/TDXAudioOut.h"
#include "pipeline/TMainThreadQueue.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

class TSilenceSource : public TAuInput {
protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return 44100; }
    void InitInternal() override {
        FPosition = 0;
        FSize = 44100 * 4; // one second
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        int64_t left = FSize - FPosition;
        Bytes = static_cast<uint32_t>(std::min<int64_t>({left, Bytes, int64_t(sizeof FBlock)}));
        Buffer = Bytes ? FBlock : nullptr;
        FPosition += Bytes;
    }

private:
    uint8_t FBlock[16384] = {};
};

off_t FileSize(const std::string& Path) {
    struct stat st {};
    return stat(Path.c_str(), &st) == 0 ? st.st_size : 0;
}

} // namespace

int main() {
    std::string path = "/tmp/bench_dxaudioout_latency-" + std::to_string(getpid()) + ".wav";
    setenv("TARVIO_AUDIO_DEVICE", ("wav:" + path).c_str(), 1);
    constexpr off_t HeaderBytes = 44;
    bool allPlayed = true;
    for (uint32_t latency : {20u, 50u, 100u, 200u, 500u}) {
        TDXAudioOut out;
        out.SetLatency(latency);
        out.SetPrefetchData(false);
        TSilenceSource source;
        out.SetInput(&source);
        std::remove(path.c_str());
        auto t0 = Clock::now();
        out.Run();
        double firstMs = -1;
        while (out.Status() != tosIdle) {
            if (firstMs < 0 && FileSize(path) > HeaderBytes)
                firstMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            CheckSynchronize();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        double ratio = firstMs / (latency + 20.0);
        bool ok = firstMs >= 0 && ratio <= 1.0;
        allPlayed = allPlayed && firstMs >= 0;
        std::printf(
            "bench_dxaudioout_latency: Latency %3u ms: first byte after %6.2f ms, ratio to Latency + 20 ms "
            "%.3f (target <= 1): %s\n",
            latency, firstMs, ratio, ok ? "ok" : "OVER");
    }
    std::remove(path.c_str());
    return allPlayed ? 0 : 1;
}
