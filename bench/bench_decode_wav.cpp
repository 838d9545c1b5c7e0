// Decode speed of the WAV decoder.
//
// Makes a 10-minute 24-bit 48 kHz stereo PCM file with sox and a 10-minute 44.1 kHz stereo
// IMA ADPCM file with ffmpeg, then times whole-process decodes into a WAV file: this program
// decoding through the pipeline (TWaveIn to TWaveOut) against `ffmpeg` writing the same PCM
// from the same file, alternately, in the same run. Prints the CPU-time ratio of each pair
// (target at most 1.1; wall-clock ratios for information) and the decoder's real-time factor
// (seconds of audio per CPU second of decoding alone, output discarded).
//
// Then the peak memory of decoding a 500 MB MP3-in-WAV file (a 320 kbit/s minute repeated,
// 3.5 hours of audio) through the pipeline in a process of its own: the MPEG data is
// converted as it is read, so the peak stays that of a small file (target: under 2x the
// file; converted whole, the PCM alone would take 11 times the file).
//
//   bench_decode_wav                      the benchmark
//   bench_decode_wav --decode IN OUT      one pipeline decode (used by the benchmark)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "decoders/wav/TWaveIn.h"
#include "pipeline/TWaveOut.h"

using namespace tarvio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Seconds = 600;
constexpr int Rounds = 3;
constexpr double Target = 1.1;

int DecodeToWave(const std::string& In, const std::string& Out) {
    try {
        TWaveIn decoder;
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
double RealTimeFactor(const std::string& In, int64_t ExpectedBytes) {
    double best = 1e30;
    for (int r = 0; r < Rounds; ++r) {
        TWaveIn decoder;
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
        if (bytes != ExpectedBytes) {
            std::fprintf(stderr, "%s: %lld bytes decoded, %lld expected\n", In.c_str(),
                         static_cast<long long>(bytes), static_cast<long long>(ExpectedBytes));
            return -1;
        }
    }
    return Seconds / best;
}

std::string Quote(const std::string& S) {
    return "'" + S + "'";
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(std::ofstream& Out, uint32_t v) {
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    Out.write(b, 4);
}

// Writes Out: the "fmt " of the MP3-in-WAV file In and its data repeated up to Bytes bytes,
// with the "fact" count to match. False when In has no such chunks.
bool RepeatMp3Wave(const std::string& In, const std::string& Out, uint64_t Bytes) {
    std::ifstream f(In, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> fmt, data;
    uint32_t fact = 0;
    for (size_t p = 12; p + 8 <= file.size();) {
        const uint32_t size = Le32(&file[p + 4]);
        const size_t end = std::min<size_t>(file.size(), p + 8 + size);
        if (std::memcmp(&file[p], "fmt ", 4) == 0) fmt.assign(file.begin() + p + 8, file.begin() + end);
        if (std::memcmp(&file[p], "data", 4) == 0) data.assign(file.begin() + p + 8, file.begin() + end);
        if (std::memcmp(&file[p], "fact", 4) == 0 && size >= 4) fact = Le32(&file[p + 8]);
        p += 8 + size + (size & 1);
    }
    if (fmt.empty() || data.empty()) return false;
    const uint64_t copies = Bytes / data.size() + 1;
    const uint64_t total = copies * data.size();
    if (total > UINT32_MAX - 100) return false;
    std::ofstream o(Out, std::ios::binary);
    o.write("RIFF", 4);
    PutLe32(o, static_cast<uint32_t>(4 + 8 + fmt.size() + 12 + 8 + total));
    o.write("WAVEfmt ", 8);
    PutLe32(o, static_cast<uint32_t>(fmt.size()));
    o.write(reinterpret_cast<const char*>(fmt.data()), static_cast<std::streamsize>(fmt.size()));
    o.write("fact", 4);
    PutLe32(o, 4);
    PutLe32(o, static_cast<uint32_t>(fact * copies));
    o.write("data", 4);
    PutLe32(o, static_cast<uint32_t>(total));
    for (uint64_t i = 0; i < copies; ++i)
        o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(o);
}

// Runs this program's pipeline decode of In into /dev/null in a child; its peak resident
// memory in bytes, or -1.
int64_t PeakMemoryOfDecode(const std::string& Self, const std::string& In) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl(Self.c_str(), Self.c_str(), "--decode", In.c_str(), "/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return int64_t{usage.ru_maxrss} * 1024;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--decode") == 0) return DecodeToWave(argv[2], argv[3]);

    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tarvio-bench-wav-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string pcm = dir + "/s24.wav", ima = dir + "/ima.wav";
    std::printf("making %d-second 24-bit PCM and IMA ADPCM files...\n", Seconds);
    std::fflush(stdout);
    const std::string make =
        "sox -R -D -n -r 48000 -c 2 -b 24 " + Quote(pcm) + " synth " + std::to_string(Seconds) +
        " sine 100-8000 pinknoise vol 0.6 && sox -V1 -R -D -n -r 44100 -c 2 -b 16 -t wav - synth " +
        std::to_string(Seconds) +
        " sine 100-8000 pinknoise vol 0.6 | ffmpeg -nostdin -v error -y -i - -c:a adpcm_ima_wav " +
        Quote(ima);
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test media (sox and ffmpeg are needed)\n");
        fs::remove_all(dir);
        return 1;
    }

    int status = 0;
    struct TPair {
        const char* Name;
        std::string File, Codec;
        int64_t Bytes; // of PCM the decoder delivers
    };
    const TPair pairs[] = {
        {"24-bit PCM", pcm, "pcm_s24le", int64_t{Seconds} * 48000 * 6},
        {"IMA ADPCM", ima, "pcm_s16le", -1},
    };
    for (const TPair& p : pairs) {
        TTimes ours, reference;
        const std::string pipeline =
            Quote(self) + " --decode " + Quote(p.File) + " " + Quote(dir + "/ours.wav");
        const std::string ffmpeg = "ffmpeg -nostdin -v error -y -i " + Quote(p.File) + " -c:a " + p.Codec +
                                   " " + Quote(dir + "/ref.wav");
        bool ok = true;
        for (int r = 0; r < Rounds && ok; ++r)
            ok = Time(pipeline, ours) && Time(ffmpeg, reference);
        int64_t bytes = p.Bytes;
        if (ok && bytes < 0) {
            TWaveIn in;
            in.SetFileName(p.File);
            bytes = in.TotalSamples() * 4;
        }
        const double rtf = ok ? RealTimeFactor(p.File, bytes) : -1;
        if (!ok || rtf < 0) {
            status = 1;
            continue;
        }
        const double ratio = ours.Cpu / reference.Cpu;
        std::printf("%-10s pipeline to WAV vs ffmpeg: CPU %.2f s vs %.2f s: ratio %.2f (target <= %.1f)%s; "
                    "wall ratio %.2f\n",
                    p.Name, ours.Cpu, reference.Cpu, ratio, Target, ratio <= Target ? "" : " ABOVE TARGET",
                    ours.Wall / reference.Wall);
        std::printf("%-10s decoder real-time factor %.0fx\n", p.Name, rtf);
        std::fflush(stdout);
    }
    // Peak memory for a 500 MB MP3-in-WAV file.
    const std::string minute = dir + "/minute.wav", big = dir + "/big_mp3.wav";
    const std::string makeMp3 =
        "sox -V1 -R -D -n -r 44100 -c 2 -b 16 -t wav - synth 60 sine 100-8000 pinknoise vol "
        "0.6 | ffmpeg -nostdin -v error -y -i - -c:a libmp3lame -b:a 320k " +
        Quote(minute);
    const uint64_t bigBytes = 500ull * 1000 * 1000;
    if (std::system(makeMp3.c_str()) != 0 || !RepeatMp3Wave(minute, big, bigBytes)) {
        std::fprintf(stderr, "could not make the MP3-in-WAV file (ffmpeg with libmp3lame is needed)\n");
        status = 1;
    } else {
        const double size = static_cast<double>(fs::file_size(big));
        const int64_t peak = PeakMemoryOfDecode(self, big);
        if (peak < 0) {
            std::fprintf(stderr, "decoding %s failed\n", big.c_str());
            status = 1;
        } else {
            const double ratio = static_cast<double>(peak) / size;
            std::printf("MP3-in-WAV of %.0f MB: peak memory of the decoding process %.1f MB, %.3fx the file "
                        "(target < 2x)%s\n",
                        size / 1e6, static_cast<double>(peak) / 1e6, ratio, ratio < 2 ? "" : " ABOVE TARGET");
        }
    }
    fs::remove_all(dir);
    return status;
}
