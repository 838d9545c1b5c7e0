#pragma once
// A bounded big-endian reader over a span of bytes, and the boxes inside it. A read past
// the end yields zeros and marks the reader failed; nothing is ever read outside the span.

#include <cstddef>
#include <cstdint>

namespace tarvio::mp4ff {

// Four-character box type as a big-endian number: Fourcc("moov").
constexpr uint32_t Fourcc(const char (&Name)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(Name[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(Name[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(Name[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(Name[3]));
}

class TMp4Reader;

// A box found inside a reader's span: its type and its body (the bytes after the header).
struct TMp4Box {
    uint32_t Type = 0;
    const uint8_t* Body = nullptr;
    size_t Size = 0; // bytes of the body
    TMp4Reader Reader() const;
};

class TMp4Reader {
public:
    TMp4Reader() = default;
    TMp4Reader(const uint8_t* Data, size_t Size) : FData(Data), FSize(Data ? Size : 0) {}

    size_t Remaining() const { return FSize - FPos; }
    size_t Position() const { return FPos; }
    const uint8_t* Here() const { return FData + FPos; }
    // False once any read or skip went past the end.
    bool Ok() const { return !FFailed; }

    uint8_t U8();
    uint16_t U16();
    uint32_t U24();
    uint32_t U32();
    uint64_t U64();
    // Moves Count bytes on; fails (and moves to the end) when fewer remain.
    bool Skip(size_t Count);

    // The next box of the span. False at the end, or when the header is cut or claims more
    // bytes than the span has left (the reader then stops at the end). A size of 0 means
    // "to the end of the span".
    bool NextBox(TMp4Box& Box);
    // The first box of type Type from the current position on; false when none.
    bool FindBox(uint32_t Type, TMp4Box& Box);

private:
    bool Take(size_t Count, const uint8_t*& At);

    const uint8_t* FData = nullptr;
    size_t FSize = 0;
    size_t FPos = 0;
    bool FFailed = false;
};

inline TMp4Reader TMp4Box::Reader() const {
    return TMp4Reader(Body, Size);
}

} // namespace tarvio::mp4ff
