// Wall time of a short command-line decode: `tarvio-cli decode` of one second from the
// middle of a 10-minute 44.1 kHz stereo FLAC file into a WAV file, against `flac -d` with
// --skip/--until on the same second, alternately, in the same run. What it measures is
// mostly what a whole process costs around a little decoding: start-up (loading libraries),
// opening and seeking the file, and exiting. It prints the medians of many runs and their
// ratio (target: at most 3), after checking that both wrote the same samples.
//
//   bench_cli_decode [TARVIO_CLI]   (default: tools/tarvio-cli of this build folder)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Seconds = 600;
constexpr int Rate = 44100;
constexpr int FrameBytes = 4; // 16-bit stereo
constexpr int Runs = 41;
constexpr double Target = 3.0;

// Runs Args (no shell), output and errors to /dev/null; the wall time in seconds, or a
// negative value when it could not run or failed.
double TimeRun(const std::vector<std::string>& Args) {
    std::vector<char*> argv;
    for (const std::string& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto t0 = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

// The bytes of a WAV file's data chunk; empty when it has none.
std::string WavData(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        for (int i = 3; i >= 0; --i)
            size = size << 8 | static_cast<uint8_t>(bytes[at + 4 + static_cast<size_t>(i)]);
        if (bytes.compare(at, 4, "data") == 0) return bytes.substr(at + 8, size);
        at += 8 + size + (size & 1);
    }
    return "";
}

std::string MinSec(int Second) {
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", Second / 60, Second % 60);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path self = fs::canonical("/proc/self/exe");
    const std::string cli =
        argc > 1 ? argv[1] : (self.parent_path().parent_path() / "tools/tarvio-cli").string();
    if (!fs::exists(cli)) {
        std::fprintf(stderr, "%s not found\n", cli.c_str());
        return 1;
    }
    char pattern[] = "/tmp/tarvio-bench-cli-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string wav = dir + "/signal.wav", flac = dir + "/signal.flac";
    const std::string ours = dir + "/ours.wav", theirs = dir + "/theirs.wav";
    std::printf("making a %d-second 44.1 kHz stereo FLAC file...\n", Seconds);
    std::fflush(stdout);
    const std::string make = "sox -R -D -n -r 44100 -c 2 -b 16 -t wavpcm '" + wav + "' synth " +
                             std::to_string(Seconds) + " sine 100-8000 pinknoise vol 0.6 && flac -s -f -o '" +
                             flac + "' '" + wav + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the test file (sox and flac are needed)\n");
        fs::remove_all(dir);
        return 1;
    }
    fs::remove(wav);

    // The second from the middle: frames [300 s, 301 s).
    const int from = Seconds / 2;
    const std::vector<std::string> oursCommand = {cli,       "decode",
                                                  "--start", std::to_string(int64_t{from} * Rate),
                                                  "--end",   std::to_string(int64_t{from + 1} * Rate),
                                                  flac,      ours};
    const std::vector<std::string> theirsCommand = {
        "flac", "-s",   "-d", "-f", "--skip=" + MinSec(from), "--until=" + MinSec(from + 1),
        "-o",   theirs, flac};

    std::vector<double> oursTimes, theirsTimes;
    // One run of each first, unmeasured: the file and the programs come into the page cache.
    bool ok = TimeRun(oursCommand) >= 0 && TimeRun(theirsCommand) >= 0;
    for (int run = 0; ok && run < Runs; ++run) {
        const double a = TimeRun(oursCommand), b = TimeRun(theirsCommand);
        ok = a >= 0 && b >= 0;
        oursTimes.push_back(a);
        theirsTimes.push_back(b);
    }
    if (!ok) {
        std::fprintf(stderr, "a decode failed\n");
        fs::remove_all(dir);
        return 1;
    }
    const std::string a = WavData(ours), b = WavData(theirs);
    fs::remove_all(dir);
    if (a.size() != size_t{Rate} * FrameBytes || a != b) {
        std::fprintf(stderr, "the two decodes differ (%zu and %zu bytes of samples)\n", a.size(), b.size());
        return 1;
    }
    const double oursMedian = Median(oursTimes), theirsMedian = Median(theirsTimes);
    const double ratio = oursMedian / theirsMedian;
    std::printf("one second from the middle, same samples; medians of %d runs, wall time:\n", Runs);
    std::printf(
        "tarvio-cli decode vs flac -d --skip/--until: %.1f ms vs %.1f ms: ratio %.2f (target <= %.2f)%s\n",
        oursMedian * 1e3, theirsMedian * 1e3, ratio, Target, ratio <= Target ? "" : " ABOVE TARGET");
    return 0;
}
