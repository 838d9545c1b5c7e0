#include "bench/TDecodeBenchmark.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "pipeline/TWaveOut.h"

namespace tarvio {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Seconds = 600;
constexpr int Rounds = 3;

struct TTimes {
    double Cpu = 1e30, Wall = 1e30;
};

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

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

std::string Quote(const std::string& S) {
    return "'" + S + "'";
}

// Command with {wav}, {in} and {out} replaced by the quoted paths.
std::string Expand(std::string Command, const std::string& Wav, const std::string& In,
                   const std::string& Out) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"{wav}", Wav}, {"{in}", In}, {"{out}", Out}})
        for (size_t at = Command.find(key); at != std::string::npos; at = Command.find(key, at))
            Command.replace(at, key.size(), Quote(value));
    return Command;
}

bool Installed(const std::string& Command) {
    const std::string program = Command.substr(0, Command.find(' '));
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

int TDecodeBenchmark::Run(int Argc, char** Argv) const {
    if (Argc == 5 && std::strcmp(Argv[1], "--decode") == 0) return Decode(Argv[2], Argv[3], Argv[4]);

    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tarvio-bench-decode-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string wav = dir + "/signal.wav";
    std::printf("making a %d-second 44.1 kHz stereo signal...\n", Seconds);
    std::fflush(stdout);
    const std::string make = "sox -R -D -n -r 44100 -c 2 -b 16 -t wavpcm " + Quote(wav) + " synth " +
                             std::to_string(Seconds) + " sine 100-8000 pinknoise vol 0.6";
    int status = 0;
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test signal (sox is needed)\n");
        status = 1;
    }
    for (const TCase& c : FCases)
        if (status == 0 && !Measure(c, dir, self)) status = 1;
    fs::remove_all(dir);
    return status;
}

int TDecodeBenchmark::Decode(const std::string& Case, const std::string& In, const std::string& Out) const {
    const auto c = std::find_if(FCases.begin(), FCases.end(), [&](const TCase& x) { return x.Name == Case; });
    if (c == FCases.end()) return 2;
    try {
        std::unique_ptr<TAuFileIn> decoder = c->Create();
        decoder->SetFileName(In);
        TWaveOut out;
        out.SetInput(decoder.get());
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

bool TDecodeBenchmark::Measure(const TCase& Case, const std::string& Dir, const std::string& Self) const {
    const std::string wav = Dir + "/signal.wav", file = Dir + "/" + Case.Name + Case.Extension;
    const std::string ours = Dir + "/ours.wav", theirs = Dir + "/theirs.wav";
    if (std::system(Expand(Case.Encode, wav, "", file).c_str()) != 0) {
        std::fprintf(stderr, "%s: could not make the test file\n", Case.Name.c_str());
        return false;
    }
    struct TMeasured {
        const TReference* Reference;
        TTimes Times;
    };
    std::vector<TMeasured> references;
    for (const TReference& r : Case.References)
        if (!r.Informative || Installed(r.Command)) references.push_back({&r, {}});
    const std::string pipeline =
        Quote(Self) + " --decode " + Case.Name + " " + Quote(file) + " " + Quote(ours);
    TTimes pipelineTimes;
    for (int round = 0; round < Rounds; ++round) {
        if (!Time(pipeline, pipelineTimes)) return false;
        for (TMeasured& m : references)
            if (!Time(Expand(m.Reference->Command, wav, file, theirs), m.Times)) return false;
    }
    // Lossless: the pipeline's samples are the source's.
    if (Case.Lossless &&
        std::system(("sox " + Quote(ours) + " -t raw " + Quote(Dir + "/ours.raw") + " && sox " + Quote(wav) +
                     " -t raw " + Quote(Dir + "/source.raw") + " && cmp -s " + Quote(Dir + "/ours.raw") +
                     " " + Quote(Dir + "/source.raw"))
                        .c_str()) != 0) {
        std::fprintf(stderr, "%s: the pipeline's output differs from the source\n", Case.Name.c_str());
        return false;
    }
    const double rtf = RealTimeFactor(Case, file);
    if (rtf < 0) {
        std::fprintf(stderr, "%s: the decoder did not deliver the whole signal\n", Case.Name.c_str());
        return false;
    }
    const TMeasured* faster = nullptr;
    for (const TMeasured& m : references)
        if (!m.Reference->Informative && (!faster || m.Times.Cpu < faster->Times.Cpu)) faster = &m;
    char target[64];
    std::snprintf(target, sizeof target, " (target <= %.2f)", FTarget);
    for (const TMeasured& m : references) {
        const double ratio = pipelineTimes.Cpu / m.Times.Cpu;
        std::string note; // the target applies to every reference, or to the faster one
        if (!m.Reference->Informative && (!Case.AgainstFaster || &m == faster))
            note = std::string(target) + (ratio <= FTarget ? "" : " ABOVE TARGET");
        std::printf("%-8s pipeline to WAV vs %-10s CPU %.2f s vs %.2f s: ratio %.2f%s; wall ratio %.2f\n",
                    Case.Name.c_str(), m.Reference->Name.c_str(), pipelineTimes.Cpu, m.Times.Cpu, ratio,
                    note.c_str(), pipelineTimes.Wall / m.Times.Wall);
    }
    std::printf("%-8s decoder real-time factor %.0fx\n", Case.Name.c_str(), rtf);
    std::fflush(stdout);
    return true;
}

double TDecodeBenchmark::RealTimeFactor(const TCase& Case, const std::string& In) const {
    double best = 1e30;
    for (int round = 0; round < Rounds; ++round) {
        std::unique_ptr<TAuFileIn> decoder = Case.Create();
        decoder->SetFileName(In);
        const double t0 = ThreadCpu();
        decoder->Init();
        int64_t bytes = 0;
        for (;;) {
            uint8_t* p = nullptr;
            uint32_t n = 32768;
            decoder->GetData(p, n);
            if (n == 0) break;
            bytes += n;
        }
        decoder->Flush();
        best = std::min(best, ThreadCpu() - t0);
        // The whole signal, in the format the case encodes it; a block-coded format may pad
        // its last block.
        const int64_t second =
            int64_t{decoder->SampleRate()} * decoder->Channels() * (decoder->BitsPerSample() / 8);
        if (second <= 0 || bytes < Seconds * second || bytes >= (Seconds + 1) * second) return -1;
    }
    return Seconds / best;
}

} // namespace tarvio
