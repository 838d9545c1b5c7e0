// Decode speed of the MP4/AAC decoder.
//
// Makes a 10-minute 44.1 kHz stereo test signal and encodes it to AAC in MP4 with ffmpeg,
// then times whole-process decodes into a WAV file: this program decoding through the
// pipeline (TMP4In to TWaveOut) against `ffmpeg -i X -f wav` on the same file, alternately,
// in the same run. Prints the CPU-time ratio (target at most 1.2; the wall-clock ratio for
// information) and the decoder's real-time factor (seconds of audio per CPU second of
// decoding alone, output discarded). Where faad2's own command-line decoder is installed,
// the ratio against it too: both decode with libfaad, so it shows what the pipeline adds.
//
//   bench_decode_mp4                    the benchmark
//   bench_decode_mp4 --decode IN OUT    one pipeline decode (used by the benchmark)

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "decoders/mp4/TMP4In.h"
#include "pipeline/TWaveOut.h"

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Seconds = 600;
constexpr int Rounds = 3;

int DecodeToWave(const std::string& In, const std::string& Out) {
    try {
        TMP4In decoder;
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
        TMP4In decoder;
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
    char pattern[] = "/tmp/tarvio-bench-mp4-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string wav = dir + "/signal.wav", m4a = dir + "/signal.m4a";
    std::printf("making a %d-second 44.1 kHz stereo signal and encoding it to AAC...\n", Seconds);
    std::fflush(stdout);
    const std::string make = "sox -R -D -n -r 44100 -c 2 -b 16 " + Quote(wav) + " synth " +
                             std::to_string(Seconds) +
                             " sine 100-8000 pinknoise vol 0.6 && ffmpeg -v error -y -i " + Quote(wav) +
                             " -c:a aac -b:a 160k " + Quote(m4a);
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test media (sox and ffmpeg are needed)\n");
        fs::remove_all(dir);
        return 1;
    }
    TTimes ours, reference, faad;
    const std::string pipeline = Quote(self) + " --decode " + Quote(m4a) + " " + Quote(dir + "/ours.wav");
    const std::string ffmpeg = "ffmpeg -v error -y -i " + Quote(m4a) + " -f wav " + Quote(dir + "/ref.wav");
    const bool haveFaad = std::system("command -v faad >/dev/null 2>&1") == 0;
    const std::string faadCommand = "faad -q -o " + Quote(dir + "/faad.wav") + " " + Quote(m4a);
    bool ok = true;
    for (int r = 0; r < Rounds && ok; ++r)
        ok = Time(pipeline, ours) && Time(ffmpeg, reference) && (!haveFaad || Time(faadCommand, faad));
    const double rtf = ok ? RealTimeFactor(m4a) : -1;
    fs::remove_all(dir);
    if (!ok || rtf < 0) return 1;
    const double ratio = ours.Cpu / reference.Cpu;
    std::printf("mp4  pipeline to WAV vs ffmpeg -f wav CPU %.2f s vs %.2f s: ratio %.2f (target <= 1.2)%s; "
                "wall ratio %.2f\n",
                ours.Cpu, reference.Cpu, ratio, ratio <= 1.2 ? "" : " ABOVE TARGET",
                ours.Wall / reference.Wall);
    if (haveFaad)
        std::printf(
            "mp4  pipeline to WAV vs faad -o (same decoder library) CPU %.2f s vs %.2f s: ratio %.2f\n",
            ours.Cpu, faad.Cpu, ours.Cpu / faad.Cpu);
    std::printf("mp4  decoder real-time factor %.0fx\n", rtf);
    return 0;
}
