#include "decoders/mp4/mp4ff/TMp4Reader.h"

namespace tarvio::mp4ff {

bool TMp4Reader::Take(size_t Count, const uint8_t*& At) {
    if (FFailed || Count > FSize - FPos) {
        FFailed = true;
        FPos = FSize;
        return false;
    }
    At = FData + FPos;
    FPos += Count;
    return true;
}

uint8_t TMp4Reader::U8() {
    const uint8_t* p = nullptr;
    return Take(1, p) ? p[0] : 0;
}

uint16_t TMp4Reader::U16() {
    const uint8_t* p = nullptr;
    return Take(2, p) ? static_cast<uint16_t>((p[0] << 8) | p[1]) : 0;
}

uint32_t TMp4Reader::U24() {
    const uint8_t* p = nullptr;
    return Take(3, p) ? (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2] : 0;
}

uint32_t TMp4Reader::U32() {
    const uint8_t* p = nullptr;
    if (!Take(4, p)) return 0;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint64_t TMp4Reader::U64() {
    const uint64_t high = U32();
    return (high << 32) | U32();
}

bool TMp4Reader::Skip(size_t Count) {
    const uint8_t* p = nullptr;
    return Take(Count, p);
}

bool TMp4Reader::NextBox(TMp4Box& Box) {
    if (FFailed || Remaining() < 8) return false;
    const size_t start = FPos;
    uint64_t size = U32();
    const uint32_t type = U32();
    size_t header = 8;
    if (size == 1) {
        size = U64();
        header = 16;
    } else if (size == 0) {
        size = FSize - start;
    }
    if (!Ok() || size < header || size > FSize - start) {
        FFailed = true;
        FPos = FSize;
        return false;
    }
    Box.Type = type;
    Box.Body = FData + start + header;
    Box.Size = static_cast<size_t>(size) - header;
    FPos = start + static_cast<size_t>(size);
    return true;
}

bool TMp4Reader::FindBox(uint32_t Type, TMp4Box& Box) {
    while (NextBox(Box))
        if (Box.Type == Type) return true;
    return false;
}

} // namespace tarvio::mp4ff
