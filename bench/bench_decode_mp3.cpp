// Decode speed of the MP3 input.
//
// Makes a 10-minute 44.1 kHz stereo test signal and encodes it with lame (VBR, -V 2), then
// times whole-process decodes into a WAV file: this program decoding through the pipeline
// (TMP3In to TWaveOut) against `ffmpeg -i X -f wav` and `mpg123 -w` on the same file, in
// turn, in the same run. Prints the CPU-time ratio against the faster of the two (target at
// most 1.15; wall-clock ratio for information) and the input's real-time factor (seconds of
// audio per CPU second of decoding alone, output discarded).
//
//   bench_decode_mp3                  the benchmark
//   bench_decode_mp3 --decode IN OUT  one pipeline decode (used by the benchmark)

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

#include "decoders/wm/TMP3In.h"
#include "pipeline/TWaveOut.h"

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Seconds = 600;
constexpr int Rounds = 3;

int DecodeToWave(const std::string& In, const std::string& Out) {
    try {
        TMP3In decoder;
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
        TMP3In decoder;
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
        if (bytes != int64_t{Seconds} * 44100 * 4) return -1; // the encoder's delay is dropped
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
    char pattern[] = "/tmp/tarvio-bench-mp3-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string wav = dir + "/signal.wav", mp3 = dir + "/signal.mp3";
    std::printf("making a %d-second 44.1 kHz stereo signal and encoding it...\n", Seconds);
    std::fflush(stdout);
    const std::string make =
        "sox -R -D -n -r 44100 -c 2 -b 16 " + Quote(wav) + " synth " + std::to_string(Seconds) +
        " sine 100-8000 pinknoise vol 0.6 && lame --quiet -V 2 " + Quote(wav) + " " + Quote(mp3);
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test media (sox and lame are needed)\n");
        fs::remove_all(dir);
        return 1;
    }

    const std::string pipeline = Quote(self) + " --decode " + Quote(mp3) + " " + Quote(dir + "/ours.wav");
    const std::string ffmpeg =
        "ffmpeg -nostdin -v error -y -i " + Quote(mp3) + " -f wav " + Quote(dir + "/ffmpeg.wav");
    const std::string mpg123 = "mpg123 -q -w " + Quote(dir + "/mpg123.wav") + " " + Quote(mp3);
    TTimes ours, byFFmpeg, byMpg123;
    bool ok = true;
    for (int r = 0; r < Rounds && ok; ++r)
        ok = Time(pipeline, ours) && Time(ffmpeg, byFFmpeg) && Time(mpg123, byMpg123);
    const double rtf = ok ? RealTimeFactor(mp3) : -1;
    fs::remove_all(dir);
    if (!ok || rtf < 0) return 1;

    const bool ffmpegFaster = byFFmpeg.Cpu <= byMpg123.Cpu;
    const TTimes& faster = ffmpegFaster ? byFFmpeg : byMpg123;
    const double ratio = ours.Cpu / faster.Cpu;
    std::printf("mp3 pipeline to WAV CPU %.2f s; ffmpeg %.2f s, mpg123 %.2f s\n", ours.Cpu, byFFmpeg.Cpu,
                byMpg123.Cpu);
    std::printf("mp3 pipeline vs %s (the faster): CPU ratio %.2f (target <= 1.15)%s; wall ratio %.2f\n",
                ffmpegFaster ? "ffmpeg" : "mpg123", ratio, ratio <= 1.15 ? "" : " ABOVE TARGET",
                ours.Wall / faster.Wall);
    std::printf("mp3 decoder real-time factor %.0fx\n", rtf);
    return 0;
}
