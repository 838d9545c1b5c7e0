// Runs a fuzz target's LLVMFuzzerTestOneInput over files, without libFuzzer, so that any
// compiler builds it and the kept crash inputs are replayed as an ordinary test:
//
//   NAME_fuzz_replay [--seeds DIR]... [PATH]...
//
// A PATH is a file or a folder (its files in name order, not descending further); a PATH that
// does not exist is skipped, since a target may have no kept inputs yet. Of the --seeds
// folders the first one that exists is run as well. Each input's name is printed before it
// runs, so a crash names its input. A fault aborts the process; otherwise the exit status is 0.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* Argc, char*** Argv);

namespace {

namespace fs = std::filesystem;

// The files of Path (itself when it is a file), sorted; empty when it does not exist.
std::vector<fs::path> FilesOf(const fs::path& Path) {
    std::error_code ec;
    std::vector<fs::path> files;
    if (fs::is_regular_file(Path, ec)) {
        files.push_back(Path);
    } else if (fs::is_directory(Path, ec)) {
        for (const fs::directory_entry& e : fs::directory_iterator(Path, ec))
            if (e.is_regular_file(ec)) files.push_back(e.path());
        std::sort(files.begin(), files.end());
    }
    return files;
}

void Run(const fs::path& File) {
    std::printf("%s\n", File.c_str());
    std::fflush(stdout);
    std::ifstream in(File, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", File.c_str());
        std::exit(2);
    }
    // A copy of exactly the input's size, so a read past its end is caught by AddressSanitizer
    // in sanitizer builds, as libFuzzer does.
    auto copy = std::make_unique<uint8_t[]>(bytes.size());
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
}

} // namespace

int main(int Argc, char** Argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&Argc, &Argv);
    std::vector<fs::path> kept, seeds;
    bool seedsChosen = false;
    for (int i = 1; i < Argc; ++i) {
        if (std::strcmp(Argv[i], "--seeds") == 0 && i + 1 < Argc) {
            std::vector<fs::path> files = FilesOf(Argv[++i]);
            if (!seedsChosen && !files.empty()) {
                seeds = std::move(files);
                seedsChosen = true;
            }
        } else {
            std::vector<fs::path> files = FilesOf(Argv[i]);
            kept.insert(kept.end(), files.begin(), files.end());
        }
    }
    for (const fs::path& f : kept)
        Run(f);
    for (const fs::path& f : seeds)
        Run(f);
    std::printf("replayed %zu kept inputs and %zu seeds\n", kept.size(), seeds.size());
    return 0;
}
