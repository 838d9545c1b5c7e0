#pragma once
// Sets the checksums of the FLAC frames in a buffer, so that mutated frame headers and
// subframes reach the decoder instead of being dropped by libFLAC's checks.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvio::fuzz {

namespace detail {

inline uint8_t FlacCrc8(const uint8_t* Data, size_t Size) {
    uint8_t crc = 0;
    for (size_t i = 0; i < Size; ++i) {
        crc ^= Data[i];
        for (int k = 0; k < 8; ++k)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

inline uint16_t FlacCrc16Step(uint16_t Crc, uint8_t Byte) {
    Crc ^= static_cast<uint16_t>(Byte << 8);
    for (int k = 0; k < 8; ++k)
        Crc = static_cast<uint16_t>((Crc & 0x8000) ? (Crc << 1) ^ 0x8005 : Crc << 1);
    return Crc;
}

inline bool IsFrameSync(const std::vector<uint8_t>& B, size_t At) {
    return At + 1 < B.size() && B[At] == 0xFF && (B[At + 1] & 0xFE) == 0xF8;
}

// Length of the frame header at At up to (not including) its CRC-8 byte; 0 when it does not fit.
inline size_t FrameHeaderLength(const std::vector<uint8_t>& B, size_t At) {
    if (At + 5 > B.size()) return 0;
    size_t n = 4;
    const uint8_t first = B[At + 4]; // the frame or sample number, UTF-8 coded
    int extra = 0;
    while (extra < 7 && (first & (0x80 >> extra)))
        ++extra;
    n += extra == 0 ? 1 : static_cast<size_t>(extra);
    const uint8_t blockCode = B[At + 2] >> 4, rateCode = B[At + 2] & 0x0F;
    n += blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
    n += rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
    return At + n + 1 <= B.size() ? n : 0;
}

} // namespace detail

// Walks the frames after the metadata. A frame ends at the first later frame sync, or the end
// of the data, before which its CRC-16 already matches (a valid frame is left as it is);
// failing that, at the first later sync, and its checksums are set.
inline void RepairFlacChecksums(std::vector<uint8_t>& B) {
    if (B.size() < 8 || B[0] != 'f' || B[1] != 'L' || B[2] != 'a' || B[3] != 'C') return;
    size_t pos = 4;
    for (bool last = false; !last && pos + 4 <= B.size();) {
        last = (B[pos] & 0x80) != 0;
        pos += 4 + ((size_t(B[pos + 1]) << 16) | (size_t(B[pos + 2]) << 8) | B[pos + 3]);
    }
    while (pos < B.size() && !detail::IsFrameSync(B, pos))
        ++pos;
    while (pos < B.size()) {
        const size_t header = detail::FrameHeaderLength(B, pos);
        if (header == 0) return;
        B[pos + header] = detail::FlacCrc8(&B[pos], header);
        // crc covers [pos, covered); a frame ending before the sync at i has its CRC-16 at
        // i - 2 over [pos, i - 2).
        uint16_t crc = 0;
        size_t covered = pos, end = 0, firstSync = 0;
        for (size_t i = pos + header + 3; i < B.size() && end == 0; ++i) {
            if (!detail::IsFrameSync(B, i)) continue;
            while (covered < i - 2)
                crc = detail::FlacCrc16Step(crc, B[covered++]);
            if (firstSync == 0) firstSync = i;
            if (((B[i - 2] << 8) | B[i - 1]) == crc) end = i;
        }
        if (end == 0 && B.size() >= pos + header + 3) { // the last frame runs to the end of the data
            while (covered < B.size() - 2)
                crc = detail::FlacCrc16Step(crc, B[covered++]);
            if (((B[B.size() - 2] << 8) | B[B.size() - 1]) == crc) end = B.size();
        }
        if (end == 0) end = firstSync != 0 ? firstSync : B.size();
        if (end < pos + header + 3) return;
        uint16_t frameCrc = 0;
        for (size_t i = pos; i + 2 < end; ++i)
            frameCrc = detail::FlacCrc16Step(frameCrc, B[i]);
        B[end - 2] = static_cast<uint8_t>(frameCrc >> 8);
        B[end - 1] = static_cast<uint8_t>(frameCrc);
        pos = end;
    }
}

} // namespace tarvio::fuzz
