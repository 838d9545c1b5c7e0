#pragma once
// Helpers for decoder tests: the generated media (tests/fixtures/make-fixtures.sh), the
// reference decoders' output, draining an input, and damaged copies of a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "pipeline/TAuInput.h"

namespace tarvio::test {

using TBytes = std::vector<uint8_t>;

// Path of a generated file, e.g. Media("flac/s16_stereo_44100.flac").
inline std::string Media(const std::string& Name) {
    const char* dir = std::getenv("TARVIO_FIXTURES");
    return std::string(dir && *dir ? dir : TARVIO_BINARY_DIR "/fixtures") + "/" + Name;
}

inline TBytes ReadAll(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    if (!f) ADD_FAILURE() << "missing test media " << Path << " (the make_fixtures test makes it)";
    return TBytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The format and the data chunk of a RIFF WAVE file.
struct TWave {
    uint32_t Channels = 0, SampleRate = 0, Bits = 0;
    TBytes Data;
};

inline uint32_t Le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

inline TWave ReadWave(const std::string& Path) {
    TWave w;
    TBytes f = ReadAll(Path);
    if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 || std::memcmp(f.data() + 8, "WAVE", 4) != 0) {
        ADD_FAILURE() << Path << " is not a WAVE file";
        return w;
    }
    size_t pos = 12;
    while (pos + 8 <= f.size()) {
        const uint32_t size = Le(&f[pos + 4], 4);
        const size_t body = pos + 8;
        if (std::memcmp(&f[pos], "fmt ", 4) == 0 && body + 16 <= f.size()) {
            w.Channels = Le(&f[body + 2], 2);
            w.SampleRate = Le(&f[body + 4], 4);
            w.Bits = Le(&f[body + 14], 2);
        } else if (std::memcmp(&f[pos], "data", 4) == 0) {
            const size_t end = std::min<size_t>(f.size(), body + size);
            w.Data.assign(f.begin() + static_cast<std::ptrdiff_t>(body),
                          f.begin() + static_cast<std::ptrdiff_t>(end));
            break;
        }
        pos = body + size + (size & 1);
    }
    return w;
}

// Everything GetData delivers from now to the end, asking Chunk bytes at a time. Stops
// after Limit bytes so that a faulty input cannot loop forever.
inline TBytes Drain(TAuInput& In, uint32_t Chunk = 16384, size_t Limit = 256u << 20) {
    TBytes out;
    for (;;) {
        uint8_t* p = nullptr;
        uint32_t n = Chunk;
        In.GetData(p, n);
        if (n == 0) break;
        EXPECT_LE(n, Chunk);
        out.insert(out.end(), p, p + n);
        if (out.size() > Limit) {
            ADD_FAILURE() << "input delivered more than " << Limit << " bytes";
            break;
        }
    }
    return out;
}

// Init, drain, Flush.
inline TBytes DecodeAll(TAuInput& In, uint32_t Chunk = 16384) {
    In.Init();
    TBytes out = Drain(In, Chunk);
    In.Flush();
    return out;
}

// First difference of two byte strings, for failure messages.
inline std::string FirstDifference(const TBytes& A, const TBytes& B) {
    const size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i)
        if (A[i] != B[i])
            return "first difference at byte " + std::to_string(i) + " (" + std::to_string(A[i]) + " and " +
                   std::to_string(B[i]) + ", sizes " + std::to_string(A.size()) + " and " +
                   std::to_string(B.size()) + ")";
    if (A.size() != B.size()) return "sizes " + std::to_string(A.size()) + " and " + std::to_string(B.size());
    return "equal";
}

// Damaged copies of a valid file: cut at many lengths, bytes overwritten in the headers
// and in the audio, and pure random bytes (with and without the format's magic in front).
inline std::vector<std::pair<std::string, TBytes>> DamagedCopies(const TBytes& File,
                                                                 const std::string& Magic) {
    std::vector<std::pair<std::string, TBytes>> out;
    std::mt19937 rng(12345);
    const size_t n = File.size();
    for (size_t cut : {size_t{0}, size_t{1}, size_t{4}, size_t{8}, size_t{30}, size_t{42}, size_t{60},
                       size_t{100}, size_t{500}, size_t{4000}, n / 3, n / 2, n - 100, n - 1})
        if (cut < n)
            out.emplace_back("cut at " + std::to_string(cut), TBytes(File.begin(), File.begin() + cut));
    for (size_t at : {size_t{4}, size_t{8}, size_t{20}, size_t{28}, size_t{40}, size_t{58}, size_t{90},
                      size_t{200}, n / 4, n / 2, n - 20}) {
        for (size_t len : {size_t{1}, size_t{16}, size_t{600}}) {
            if (at >= n) continue;
            TBytes b = File;
            for (size_t i = at; i < std::min(n, at + len); ++i)
                b[i] = static_cast<uint8_t>(rng());
            out.emplace_back("overwritten " + std::to_string(len) + " at " + std::to_string(at),
                             std::move(b));
        }
    }
    {
        TBytes b = File; // one bit in every 997 bytes
        for (size_t i = 0; i < n; i += 997)
            b[i] ^= static_cast<uint8_t>(1u << (i % 8));
        out.emplace_back("bit errors throughout", std::move(b));
    }
    for (size_t size : {size_t{3}, size_t{64}, size_t{5000}, size_t{100000}}) {
        TBytes b(size);
        for (auto& x : b)
            x = static_cast<uint8_t>(rng());
        out.emplace_back("random " + std::to_string(size), b);
        if (size > Magic.size()) {
            std::memcpy(b.data(), Magic.data(), Magic.size());
            out.emplace_back("magic then random " + std::to_string(size), std::move(b));
        }
    }
    return out;
}

} // namespace tarvio::test
