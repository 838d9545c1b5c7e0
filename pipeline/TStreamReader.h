#pragma once
// Buffered forward reading of a stream for frame searches: bytes ahead of the position can be
// looked at (Peek) before they are taken (Skip, Read), so that a search that tries every
// byte offset costs one stream read per buffer, not one per offset. Positions and counts are
// bytes; positions are 64-bit. Not thread-safe: one thread reads at a time.

#include <cstdint>
#include <vector>

#include "pipeline/TStream.h"

namespace tarvio {

class TStreamReader {
public:
    // Capacity: the most bytes one Peek can show.
    explicit TStreamReader(uint32_t Capacity = 1u << 17);

    // Reads Source (not owned; must outlive its use here) from its current position on.
    // Nothing is buffered yet. Source = nullptr detaches.
    void Attach(TStream* Source);
    // Position in the source of the next byte Skip or Read takes.
    int64_t Position() const { return FBase + FHead; }
    // Moves to Position of a seekable source (the buffer is kept when it holds it); false
    // when the source refuses.
    bool Seek(int64_t Position);
    // Makes up to Count bytes (at most Capacity) from the position on available without
    // taking them; Data points at them until the next call of any method. Returns how many
    // there are: fewer than Count only at the end of the source.
    uint32_t Peek(uint32_t Count, const uint8_t*& Data);
    // Takes Count bytes (no more than the last Peek showed).
    void Skip(uint32_t Count) { FHead += Count; }
    // Copies up to Count bytes to Dest and takes them; fewer only at the end of the source.
    uint32_t Read(void* Dest, uint32_t Count);

private:
    TStream* FSource = nullptr;
    std::vector<uint8_t> FBuffer;
    int64_t FBase = 0;  // source position of FBuffer[0]
    uint32_t FHead = 0; // next byte to take
    uint32_t FTail = 0; // end of the bytes read
};

} // namespace tarvio
