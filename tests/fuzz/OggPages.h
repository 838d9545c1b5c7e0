#pragma once
// Sets the checksum of every complete Ogg page in a buffer, so that mutated pages reach the
// packet decoders instead of being dropped by the container layer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarvio::fuzz {

// The page checksum: CRC-32 with polynomial 0x04C11DB7, most significant bit first, starting
// from 0, over the page with its checksum field zeroed.
inline uint32_t OggChecksum(const uint8_t* Data, size_t Size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < Size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ Data[i]) & 0xFF];
    return crc;
}

// Walks the pages from capture pattern to capture pattern; bytes between pages and a page
// cut short by the end of the buffer are left as they are.
inline void RepairOggChecksums(std::vector<uint8_t>& Bytes) {
    constexpr size_t headerSize = 27;
    size_t pos = 0;
    while (pos + headerSize <= Bytes.size()) {
        uint8_t* page = Bytes.data() + pos;
        if (std::memcmp(page, "OggS", 4) != 0) {
            ++pos;
            continue;
        }
        const size_t segments = page[26];
        if (pos + headerSize + segments > Bytes.size()) break;
        size_t length = headerSize + segments;
        for (size_t i = 0; i < segments; ++i)
            length += page[headerSize + i];
        if (pos + length > Bytes.size()) break;
        std::memset(page + 22, 0, 4);
        const uint32_t crc = OggChecksum(page, length);
        for (int i = 0; i < 4; ++i)
            page[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
        pos += length;
    }
}

} // namespace tarvio::fuzz
