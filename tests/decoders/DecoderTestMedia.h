#pragma once
// Helpers for decoder tests: the generated media (tests/fixtures/make-fixtures.sh), the
// reference decoders' output, byte strings and temporary files, draining an input or
// playing it into a WAVE file, seek cases, errors, and damaged copies of a file.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/EAuException.h"
#include "pipeline/TAuInput.h"
#include "pipeline/TAuStreamedInput.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TWaveOut.h"

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

// A path for a temporary file of this test process, e.g. TempPath("played.wav").
inline std::string TempPath(const std::string& Name) {
    return testing::TempDir() + "tarvio_" + std::to_string(getpid()) + "_" + Name;
}

inline void WriteFile(const std::string& Path, const TBytes& Bytes) {
    std::ofstream(Path, std::ios::binary)
        .write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

// Bytes From to To (exclusive) of Data.
inline TBytes SliceBytes(const TBytes& Data, size_t From, size_t To) {
    return TBytes(Data.begin() + static_cast<std::ptrdiff_t>(From),
                  Data.begin() + static_cast<std::ptrdiff_t>(To));
}

inline TBytes Concat(TBytes A, const TBytes& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// The message of the EAuException Call raises; "no exception" when it raises none.
inline std::string ErrorText(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const EAuException& e) {
        return e.what();
    }
    return "no exception";
}

// The error a data call on In raises (100 bytes asked); "no exception" when none.
inline std::string DataError(TAuInput& In) {
    uint8_t* p = nullptr;
    uint32_t n = 100;
    return ErrorText([&] { In.GetData(p, n); });
}

// Points Lib at the file Name (a missing library, or one without the entry points) for
// its lifetime, and back at the real one after.
class TLibraryOverride {
public:
    TLibraryOverride(TLibraryLoader& Lib, const std::string& Name) : FLib(Lib), FReal(Lib.FileName()) {
        FLib.OverrideFileName(Name);
    }
    ~TLibraryOverride() { FLib.OverrideFileName(FReal); }
    TLibraryOverride(const TLibraryOverride&) = delete;
    TLibraryOverride& operator=(const TLibraryOverride&) = delete;

private:
    TLibraryLoader& FLib;
    std::string FReal;
};

// For each file name in Names: with Lib pointed at it (a missing library, or one without
// the entry points), a TDecoder of File is not valid, and asking its format raises
// "<name> library could not be loaded."; with the real library back, it is valid.
template <class TDecoder>
void ExpectMissingLibraryNamed(TLibraryLoader& Lib, const std::string& File,
                               std::initializer_list<const char*> Names) {
    for (const char* name : Names) {
        TLibraryOverride missing(Lib, name);
        TDecoder in;
        in.SetFileName(File);
        EXPECT_FALSE(in.Valid());
        EXPECT_EQ(ErrorText([&] { in.Channels(); }), std::string(name) + " library could not be loaded.");
    }
    TDecoder in;
    in.SetFileName(File);
    EXPECT_TRUE(in.Valid());
}

// A file name as a test name: "tones.dts" becomes "tones_dts".
inline std::string FileParamName(const testing::TestParamInfo<const char*>& Info) {
    std::string name = Info.param;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
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

// Plays In to its end through a TWaveOut that records the WAVE file Path; returns the
// output's error message, empty when none.
inline std::string PlayIntoWaveFile(TAuInput& In, const std::string& Path) {
    TWaveOut out;
    out.SetInput(&In);
    out.SetFileName(Path);
    // BlockingRun must not race the new worker thread, which checks for a run before it parks.
    for (int i = 0; i < 5000 && !out.WorkerThread()->Sleeping; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out.BlockingRun();
    return out.ExceptionMessage();
}

// A file decoded in requests of Chunk bytes, for tables of conformance cases.
struct TChunkCase {
    const char* Name;
    uint32_t Chunk;
};

inline void PrintTo(const TChunkCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk;
}

// In states the format of Ref and its length in frames.
inline void ExpectFormatOf(TAuInput& In, const TWave& Ref) {
    EXPECT_EQ(In.BitsPerSample(), Ref.Bits);
    EXPECT_EQ(In.Channels(), Ref.Channels);
    EXPECT_EQ(In.SampleRate(), Ref.SampleRate);
    const uint32_t frame = Ref.Channels * Ref.Bits / 8;
    EXPECT_EQ(In.TotalSamples(), static_cast<int64_t>(Ref.Data.size() / frame));
}

// A seek to a frame of a file, for tables of seek cases.
struct TSeekTarget {
    const char* Name;
    int64_t Sample; // -1: the last frame
};

inline void PrintTo(const TSeekTarget& c, std::ostream* os) {
    *os << c.Name << " at " << c.Sample;
}

inline std::string SeekTargetName(const testing::TestParamInfo<TSeekTarget>& Info) {
    return std::string(Info.param.Name) + "_" +
           (Info.param.Sample < 0 ? "last" : std::to_string(Info.param.Sample));
}

// The frame Sample stands for in Ref (-1: the last one), and Ref's data from it to the end.
inline TBytes FromFrame(const TWave& Ref, int64_t Sample, int64_t& Frame) {
    const size_t frameBytes = Ref.Channels * Ref.Bits / 8;
    Frame = Sample < 0 ? static_cast<int64_t>(Ref.Data.size() / frameBytes) - 1 : Sample;
    return TBytes(Ref.Data.begin() + static_cast<std::ptrdiff_t>(Frame * static_cast<int64_t>(frameBytes)),
                  Ref.Data.end());
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

// Seeks In (its file set, not running) to frame Sample of Ref (-1: the last frame) twice:
// during a run, after a little playing, and before a run, where the target becomes the
// start frame. Each time the position is the target's and the data from there on is Ref's
// to the end. AfterSeek, when set, checks more right after the first seek, given the frame.
inline void ExpectSeekDeliversTheTail(TAuStreamedInput& In, const TWave& Ref, int64_t Sample,
                                      const std::function<void(int64_t)>& AfterSeek = {}) {
    int64_t target = 0;
    const TBytes expected = FromFrame(Ref, Sample, target);
    In.Init();
    uint8_t* p = nullptr;
    uint32_t n = 5000;
    In.GetData(p, n);
    ASSERT_TRUE(In.Seek(target));
    EXPECT_EQ(In.Position(), target * (Ref.Channels * Ref.Bits / 8));
    if (AfterSeek) AfterSeek(target);
    TBytes out = Drain(In, 4096);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
    In.Flush();

    ASSERT_TRUE(In.Seek(target));
    out = DecodeAll(In, 10000);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
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
