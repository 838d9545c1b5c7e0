// PNG files through the player's picture loader (the skin pictures and the button mask).
//
// Every chunk's checksum is set right before the bytes are used: otherwise libpng refuses
// nearly every mutated chunk and the fuzzer never gets past the container.

#include <array>
#include <vector>

#include "tests/fuzz/PictureCheck.h"

namespace {

uint32_t Crc32(const uint8_t* Data, size_t Size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k)
                r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < Size; ++i)
        crc = (crc >> 8) ^ table[(crc ^ Data[i]) & 0xFF];
    return crc ^ 0xFFFFFFFFu;
}

// Chunks follow the 8-byte signature: length (4 bytes, big-endian), type (4), data, CRC (4)
// over type and data. A chunk cut short by the end is left as it is.
void RepairChunkChecksums(std::vector<uint8_t>& Bytes) {
    size_t pos = 8;
    while (pos + 12 <= Bytes.size()) {
        const uint8_t* p = Bytes.data() + pos;
        const uint64_t length = (uint64_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        if (length > Bytes.size() - pos - 12) break;
        const uint32_t crc = Crc32(p + 4, 4 + length);
        uint8_t* out = Bytes.data() + pos + 8 + length;
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        pos += 12 + length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::vector<uint8_t> bytes(Data, Data + Size);
    RepairChunkChecksums(bytes);
    return tarvio::fuzz::DecodePicture(".png", bytes.data(), bytes.size());
}
