// Decode speed of the WavPack decoder.
//
// Makes a 10-minute 44.1 kHz stereo test signal and encodes it with wavpack, then times
// whole-process decodes of that file into a WAV file: this program decoding through the
// pipeline (TWVIn to TWaveOut) against `wvunpack` and against `ffmpeg`, alternately, in the
// same run. Prints the CPU-time ratio against each (target at most 1.15; wall-clock ratios
// for information) and the decoder's real-time factor (seconds of audio per CPU second of
// decoding alone, output discarded).
//
//   bench_decode_wavpack                    the benchmark
//   bench_decode_wavpack --decode IN OUT    one pipeline decode (used by the benchmark)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "decoders/wavpack/TWVIn.h"
#include "pipeline/TWaveOut.h"

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Seconds = 600;
constexpr int Rounds = 3;

int DecodeToWave(const std::string& In, const std::string& Out) {
    try {
        TWVIn decoder;
        decoder.SetFileName(In);
        TWaveOut out;
        out.SetInput(&decoder);
        out.SetFileName(Out);
        // Let the new worker thread park first; BlockingRun runs on this thread.
        for (int i = 0; i < 5000 && !out.WorkerThread()->Sleeping; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        out.BlockingRun();
        return out.BytesWritten() > 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "decode failed: %s\n", e.what());
        return 1;
    }
}

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TTimes {
    double Cpu = 1e30, Wall = 1e30;
};

// Runs Command in a shell; keeps the smallest CPU and wall time seen in Best.
bool Time(const std::string& Command, TTimes& Best) {
    const double cpu0 = ChildrenCpu();
    const auto t0 = Clock::now();
    const int rc = std::system(Command.c_str());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = ChildrenCpu() - cpu0;
    if (rc != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", rc, Command.c_str());
        return false;
    }
    Best.Cpu = std::min(Best.Cpu, cpu);
    Best.Wall = std::min(Best.Wall, wall);
    return true;
}

double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Seconds of audio per CPU second of decoding alone; -1 on failure.
double RealTimeFactor(const std::string& In) {
    double best = 1e30;
    for (int r = 0; r < Rounds; ++r) {
        TWVIn decoder;
        decoder.SetFileName(In);
        const double t0 = ThreadCpu();
        decoder.Init();
        int64_t bytes = 0;
        for (;;) {
            uint8_t* p = nullptr;
            uint32_t n = 32768;
            decoder.GetData(p, n);
            if (n == 0) break;
            bytes += n;
        }
        decoder.Flush();
        best = std::min(best, ThreadCpu() - t0);
        if (bytes != int64_t{Seconds} * 44100 * 4) return -1;
    }
    return Seconds / best;
}

std::string Quote(const std::string& S) {
    return "'" + S + "'";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--decode") == 0) return DecodeToWave(argv[2], argv[3]);

    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tarvio-bench-wavpack-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string wav = dir + "/signal.wav", wv = dir + "/signal.wv";
    std::printf("making a %d-second 44.1 kHz stereo signal and encoding it with wavpack...\n", Seconds);
    std::fflush(stdout);
    const std::string make = "sox -R -D -n -r 44100 -c 2 -b 16 " + Quote(wav) + " synth " +
                             std::to_string(Seconds) + " sine 100-8000 pinknoise vol 0.6 && wavpack -q -y " +
                             Quote(wav) + " -o " + Quote(wv);
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test media (sox and wavpack are needed)\n");
        fs::remove_all(dir);
        return 1;
    }

    struct TReference {
        const char* Name;
        std::string Command;
        TTimes Times;
    };
    TReference refs[] = {
        {"wvunpack", "wvunpack -q -y " + Quote(wv) + " -o " + Quote(dir + "/ref.wav"), {}},
        {"ffmpeg", "ffmpeg -v error -y -i " + Quote(wv) + " -f wav " + Quote(dir + "/ref.wav"), {}},
    };
    const std::string pipeline = Quote(self) + " --decode " + Quote(wv) + " " + Quote(dir + "/ours.wav");
    TTimes ours;
    bool ok = true;
    for (int r = 0; r < Rounds && ok; ++r) {
        ok = Time(pipeline, ours);
        for (TReference& ref : refs)
            ok = ok && Time(ref.Command, ref.Times);
    }
    const double rtf = ok ? RealTimeFactor(wv) : -1;
    fs::remove_all(dir);
    if (!ok || rtf < 0) return 1;
    for (const TReference& ref : refs) {
        const double ratio = ours.Cpu / ref.Times.Cpu;
        std::printf("wavpack pipeline to WAV vs %-8s CPU %.2f s vs %.2f s: ratio %.2f (target <= 1.15)%s; "
                    "wall ratio %.2f\n",
                    ref.Name, ours.Cpu, ref.Times.Cpu, ratio, ratio <= 1.15 ? "" : " ABOVE TARGET",
                    ours.Wall / ref.Times.Wall);
    }
    std::printf("wavpack decoder real-time factor %.0fx\n", rtf);
    return 0;
}
