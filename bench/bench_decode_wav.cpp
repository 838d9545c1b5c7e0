// Decode speed of the WAV decoder against `ffmpeg` writing the same PCM from the same file
// (TDecodeBenchmark.h says how it is measured): 24-bit 48 kHz PCM and IMA ADPCM.
//
// Then the peak memory of decoding a 500 MB MP3-in-WAV file (a 320 kbit/s minute repeated,
// 3.5 hours of audio) through the pipeline in a process of its own: the MPEG data is
// converted as it is read, so the peak stays that of a small file (target: under 2x the
// file; converted whole, the PCM alone would take 11 times the file).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/TDecodeBenchmark.h"
#include "decoders/wav/TWaveIn.h"

using namespace tarvio;

namespace {

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
        execl(Self.c_str(), Self.c_str(), "--decode", "pcm", In.c_str(), "/dev/null",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return int64_t{usage.ru_maxrss} * 1024;
}

// Peak memory for a 500 MB MP3-in-WAV file; false on failure.
bool MeasurePeakMemory(const std::string& Self) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/tarvio-bench-wav-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    const std::string dir = pattern;
    const std::string minute = dir + "/minute.wav", big = dir + "/big_mp3.wav";
    const std::string makeMp3 =
        "sox -V1 -R -D -n -r 44100 -c 2 -b 16 -t wav - synth 60 sine 100-8000 pinknoise vol "
        "0.6 | ffmpeg -nostdin -v error -y -i - -c:a libmp3lame -b:a 320k " +
        Quote(minute);
    const uint64_t bigBytes = 500ull * 1000 * 1000;
    bool ok = true;
    if (std::system(makeMp3.c_str()) != 0 || !RepeatMp3Wave(minute, big, bigBytes)) {
        std::fprintf(stderr, "could not make the MP3-in-WAV file (ffmpeg with libmp3lame is needed)\n");
        ok = false;
    } else {
        const double size = static_cast<double>(fs::file_size(big));
        const int64_t peak = PeakMemoryOfDecode(Self, big);
        if (peak < 0) {
            std::fprintf(stderr, "decoding %s failed\n", big.c_str());
            ok = false;
        } else {
            const double ratio = static_cast<double>(peak) / size;
            std::printf("MP3-in-WAV of %.0f MB: peak memory of the decoding process %.1f MB, %.3fx the file "
                        "(target < 2x)%s\n",
                        size / 1e6, static_cast<double>(peak) / 1e6, ratio, ratio < 2 ? "" : " ABOVE TARGET");
        }
    }
    fs::remove_all(dir);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.1);
    const auto create = [] { return std::make_unique<TWaveIn>(); };
    bench.Add({"pcm",
               create,
               ".wav",
               "sox -V1 {wav} -b 24 -r 48000 {out}",
               {{"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -c:a pcm_s24le {out}"}}});
    bench.Add({"ima",
               create,
               ".wav",
               "ffmpeg -nostdin -v error -y -i {wav} -c:a adpcm_ima_wav {out}",
               {{"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -c:a pcm_s16le {out}"}}});
    const int status = bench.Run(argc, argv);
    if (argc > 1) return status;
    const bool memory = MeasurePeakMemory(std::filesystem::canonical("/proc/self/exe").string());
    return status == 0 && memory ? 0 : 1;
}
