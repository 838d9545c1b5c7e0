#pragma once
// Helpers shared by the fuzz targets: a check that aborts (so libFuzzer and the replay test
// report it as a crash), a read of every byte of a buffer (so AddressSanitizer checks that a
// producer really owns the bytes it hands out), and a file descriptor holding the input for
// the readers that work on file handles.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "tags/TFileHandle.h"

// Aborts with the failed condition when it does not hold.
#define FUZZ_CHECK(Condition)                                                                                \
    do {                                                                                                     \
        if (!(Condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #Condition);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace tarvio::fuzz {

// Where Touch and Keep leave their results, so that the compiler keeps the reads.
inline volatile uint64_t Sink;

// Reads Size bytes at Data; the sum keeps the reads from being optimised away.
inline void Touch(const void* Data, size_t Size) {
    const auto* p = static_cast<const volatile uint8_t*>(Data);
    uint32_t sum = 0;
    for (size_t i = 0; i < Size; ++i)
        sum += p[i];
    Sink = sum;
}

// Keeps a computed value from being optimised away.
inline void Keep(uint64_t Value) {
    Sink = Value;
}

inline void Touch(const std::string& Text) {
    Touch(Text.data(), Text.size());
}
inline void Touch(const std::u16string& Text) {
    Touch(Text.data(), Text.size() * sizeof(char16_t));
}

// An anonymous in-memory file, made once per process and refilled for every input. The
// handle's position is 0 after Load.
class TMemFile {
public:
    TMemFile() : FFd(memfd_create("tarvio-fuzz", MFD_CLOEXEC)), FHandle(FFd) { FUZZ_CHECK(FFd >= 0); }
    ~TMemFile() { ::close(FFd); }
    TMemFile(const TMemFile&) = delete;
    TMemFile& operator=(const TMemFile&) = delete;

    TFileHandle& Load(const uint8_t* Data, size_t Size) {
        FUZZ_CHECK(FHandle.Resize(0));
        FUZZ_CHECK(FHandle.WriteAt(Data, Size, 0) == Size);
        FUZZ_CHECK(FHandle.Seek(0, TSeekOrigin::soBeginning) == 0);
        return FHandle;
    }
    TFileHandle& Handle() { return FHandle; }

private:
    int FFd;
    TFileHandle FHandle;
};

} // namespace tarvio::fuzz
