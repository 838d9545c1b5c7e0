// Decode speed of the DTS and AC-3 decoders on a 5.1 48 kHz stream.
//
// Makes a 2-minute 5.1 48 kHz test signal, encodes it with ffmpeg's DTS and AC-3 encoders,
// then measures in the same run, alternately, each decoder's real-time factor (seconds of
// audio per CPU second of decoding, output discarded) and ffmpeg's decoding the same file to
// 16-bit PCM (whole-process CPU time, output discarded). Prints both and their ratio (ours
// over ffmpeg's: above 1 means faster than ffmpeg).

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "decoders/ac3/TAC3In.h"
#include "decoders/dts/TDTSIn.h"
#include "pipeline/EAuException.h"

using namespace tarvio;

namespace {

constexpr int Seconds = 120;
constexpr int Rounds = 3;

double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string Quote(const std::string& S) {
    return "'" + S + "'";
}

// Seconds of audio per CPU second of one decode by the pipeline's decoder; -1 on failure.
double OurFactor(const std::string& Kind, const std::string& File) {
    std::unique_ptr<TAuFileIn> in;
    if (Kind == "dts")
        in = std::make_unique<TDTSIn>();
    else
        in = std::make_unique<TAC3In>();
    in->SetFileName(File);
    const double t0 = ThreadCpu();
    in->Init();
    int64_t bytes = 0;
    for (;;) {
        uint8_t* p = nullptr;
        uint32_t n = 65536;
        in->GetData(p, n);
        if (n == 0) break;
        bytes += n;
    }
    in->Flush();
    const double cpu = ThreadCpu() - t0;
    const double audio = static_cast<double>(bytes) / (48000.0 * 6 * 2);
    return audio > Seconds - 1 ? audio / cpu : -1;
}

// The same for ffmpeg decoding File to 16-bit PCM; -1 on failure.
double FFmpegFactor(const std::string& File) {
    const double cpu0 = ChildrenCpu();
    const std::string command =
        "ffmpeg -nostdin -loglevel error -threads 1 -i " + Quote(File) + " -f s16le -y /dev/null";
    if (std::system(command.c_str()) != 0) return -1;
    return Seconds / (ChildrenCpu() - cpu0);
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tarvio-bench-surround-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string wav = dir + "/signal.wav", dts = dir + "/signal.dts", ac3 = dir + "/signal.ac3";
    std::printf("making a %d-second 5.1 48 kHz signal and encoding it to DTS and AC-3...\n", Seconds);
    std::fflush(stdout);
    const std::string make =
        "sox -R -D -n -r 48000 -c 6 -b 16 " + Quote(wav) + " synth " + std::to_string(Seconds) +
        " sine 100-8000 pinknoise sine 440 sine 60 whitenoise sine 9000-200 vol 0.5" +
        " && ffmpeg -nostdin -loglevel error -y -i " + Quote(wav) + " -c:a dca -strict -2 " + Quote(dts) +
        " && ffmpeg -nostdin -loglevel error -y -i " + Quote(wav) + " -c:a ac3 " + Quote(ac3);
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test media (sox and ffmpeg are needed)\n");
        fs::remove_all(dir);
        return 1;
    }
    int status = 0;
    for (const auto& [kind, file] : {std::pair<std::string, std::string>{"dts", dts}, {"ac3", ac3}}) {
        double ours = 0, reference = 0;
        try {
            for (int r = 0; r < Rounds; ++r) {
                ours = std::max(ours, OurFactor(kind, file));
                reference = std::max(reference, FFmpegFactor(file));
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", kind.c_str(), e.what());
            ours = -1;
        }
        if (ours <= 0 || reference <= 0) {
            std::fprintf(stderr, "%s: a decode failed\n", kind.c_str());
            status = 1;
            continue;
        }
        std::printf("%s 5.1 48 kHz: decoder real-time factor %.0fx, ffmpeg %.0fx: ratio %.2f\n", kind.c_str(),
                    ours, reference, ours / reference);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return status;
}
