#pragma once
// The disc images the CD tests share, made once per test process.

#include <cstdint>
#include <vector>

#include "cd/TCDIn.h"
#include "tests/cd/TDiscImage.h"

namespace tarvio::test {

struct TCDTestDiscs {
    TTempFolder Folder{"cd"};
    // Track 1 data; tracks 2 to 4 audio with pregaps. Track 2 up to track 3 is 750 sectors,
    // 441 000 frames.
    TDiscImage Mixed{
        Folder.Path(), "mixed", {{false, 0, 300}, {true, 150, 675}, {true, 75, 450}, {true, 75, 300}}};
    TDiscImage Audio{Folder.Path(), "audio", {{true, 0, 300}, {true, 75, 225}}};
    TDiscImage Data{Folder.Path(), "data", {{false, 0, 300}}};

    static TCDTestDiscs& Get() {
        static TCDTestDiscs discs;
        return discs;
    }
};

// Reads an input to its end in pieces of Piece bytes (not a divisor of the chunk size, so
// pieces straddle the drive's reads).
inline std::vector<uint8_t> ReadAll(TAuInput& Input, uint32_t Piece = 10007) {
    std::vector<uint8_t> out;
    for (;;) {
        uint8_t* data = nullptr;
        uint32_t bytes = Piece;
        Input.GetData(data, bytes);
        if (bytes == 0) break;
        out.insert(out.end(), data, data + bytes);
    }
    return out;
}

} // namespace tarvio::test
