// Ripping speed of the CD input on a disc image.
//
// Writes a 10-minute audio disc image (two tracks of a tone) and times ripping all of it
// through TCDIn with plain reads, with jitter correction (paranoia's overlap verification)
// and in paranoid mode (full paranoia), against reading the image's BIN file in pieces of
// the same size, in the same run. Prints each as a ratio of CPU time against the plain file
// read, and its real-time factor (seconds of audio per CPU second).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cd/TCDIn.h"

using namespace tarvio;

namespace {

constexpr int Seconds = 600;
constexpr int Rounds = 3;
constexpr uint32_t Sectors = Seconds * 75;

double ThreadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The least CPU time of Rounds runs of Run, which returns the bytes it read.
double Best(const std::function<int64_t()>& Run, bool& Ok) {
    double best = 1e30;
    for (int r = 0; r < Rounds; ++r) {
        const double t0 = ThreadCpu();
        Ok = Ok && Run() == int64_t{Sectors} * 2352;
        best = std::min(best, ThreadCpu() - t0);
    }
    return best;
}

int64_t Rip(const std::function<void(TCDIn&)>& Mode) {
    TCDIn in;
    in.SetStartTrack(1);
    in.SetEndPos(DiscEndPosition);
    Mode(in);
    in.Init();
    int64_t bytes = 0;
    for (;;) {
        uint8_t* p = nullptr;
        uint32_t n = TCDIn::ChunkBytes;
        in.GetData(p, n);
        if (n == 0) break;
        bytes += n;
    }
    in.Flush();
    return bytes;
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "tarvio-bench-cd";
    fs::create_directories(dir);
    {
        std::ofstream cue(dir / "disc.cue");
        cue << "FILE \"disc.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
               "  TRACK 02 AUDIO\n    INDEX 00 05:00:00\n    INDEX 01 05:02:00\n";
        std::ofstream bin(dir / "disc.bin", std::ios::binary);
        std::vector<int16_t> sector(1176);
        for (uint32_t s = 0; s < Sectors; ++s) {
            for (uint32_t f = 0; f < 588; ++f) {
                const double t = (s * 588.0 + f) / 44100.0;
                sector[f * 2] = sector[f * 2 + 1] =
                    static_cast<int16_t>(std::lround(8000 * std::sin(6.2831853 * 440 * t)));
            }
            bin.write(reinterpret_cast<const char*>(sector.data()), 2352);
        }
    }
    TCDIn::SetDiscImage((dir / "disc.cue").string());

    bool ok = true;
    std::vector<char> piece(TCDIn::ChunkBytes);
    const double file = Best(
        [&] {
            std::ifstream bin(dir / "disc.bin", std::ios::binary);
            int64_t bytes = 0;
            while (bin.read(piece.data(), static_cast<std::streamsize>(piece.size())) || bin.gcount() > 0)
                bytes += bin.gcount();
            return bytes;
        },
        ok);
    struct TMode {
        const char* Name;
        std::function<void(TCDIn&)> Set;
    };
    const TMode modes[] = {
        {"plain reads", [](TCDIn&) {}},
        {"jitter correction", [](TCDIn& in) { in.SetEnableJitterCorrection(true); }},
        {"paranoid (full)", [](TCDIn& in) { in.SetParanoid(true), in.SetParanoiaMode(0xff); }},
    };
    for (const TMode& m : modes) {
        const double cpu = Best([&] { return Rip(m.Set); }, ok);
        if (!ok) break;
        std::printf(
            "CD rip, %-18s CPU %.3f s vs reading the BIN %.3f s: ratio %.1f; real-time factor %.0fx\n",
            m.Name, cpu, file, cpu / file, Seconds / cpu);
    }
    TCDIn::SetDiscImage("");
    fs::remove_all(dir);
    if (!ok) std::fprintf(stderr, "a rip did not deliver the whole disc\n");
    return ok ? 0 : 1;
}
