#pragma once
// Scratch files for the tag tests: a temporary folder removed with everything in it, file
// contents as byte vectors, and an owned descriptor.

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace tarvio::test {

using TBytes = std::vector<uint8_t>;

class TTempDir {
public:
    TTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tarvio-tags-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        FPath = tmpl;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& Name) const { return (FPath / Name).string(); }

private:
    std::filesystem::path FPath;
};

class TFd {
public:
    explicit TFd(int Fd) : FFd(Fd) {}
    TFd(const std::string& Path, int Flags) : FFd(::open(Path.c_str(), Flags | O_CLOEXEC, 0644)) {}
    ~TFd() {
        if (FFd >= 0) ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

inline void WriteBytes(const std::string& Path, const TBytes& Data) {
    std::ofstream f(Path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
}

// Count bytes of a pseudo-random sequence that Seed fixes.
inline TBytes RandomBytes(size_t Count, unsigned Seed) {
    std::mt19937 rng(Seed);
    TBytes b(Count);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

inline TBytes ReadBytes(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void Append(TBytes& To, const std::string& Text) {
    To.insert(To.end(), Text.begin(), Text.end());
}
inline void Append(TBytes& To, const TBytes& More) {
    To.insert(To.end(), More.begin(), More.end());
}

// Runs a shell command; its standard output, and whether it exited with 0.
inline bool RunCommand(const std::string& Command, std::string& Output) {
    Output.clear();
    FILE* p = ::popen(Command.c_str(), "r");
    if (!p) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        Output.append(buf, n);
    return ::pclose(p) == 0;
}

} // namespace tarvio::test
