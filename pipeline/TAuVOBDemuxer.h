#pragma once
// A read-only stream of the audio payload that an MPEG-2 program stream of 2048-byte sectors
// (a DVD VOB file) carries in private stream 1: the bytes of one substream, with the pack,
// packet and substream headers removed.
//
// Each sector is parsed on its own: the pack header (14 bytes plus its stuffing), then the
// packets it holds, skipping a system header, padding and other streams by their lengths,
// up to the first private stream 1 packet. When that packet's substream is the one chosen,
// its payload (after the substream number, the frame count and the first access unit
// pointer) up to the end of the packet is handed out. Every length is checked against the
// sector, so lying lengths lose at most that sector's payload.
//
// The substream is chosen by a range: the first sector whose substream lies in
// [First, Last] fixes it (one exact number when First = Last).
//
// Position and Size are those of the program stream (the position is after the last sector
// read). Seeking is possible only to the start (Seek(0, soBeginning)) and to the current
// position. Not thread-safe.

#include <array>
#include <cstdint>
#include <memory>

#include "pipeline/TStream.h"

namespace tarvio {

class TAuVOBDemuxer : public TStream {
public:
    static constexpr uint32_t SectorSize = 2048;

    // Reads the program stream Source from its start; not owned, must outlive the demuxer.
    explicit TAuVOBDemuxer(TStream& Source);
    // Owns the program stream.
    explicit TAuVOBDemuxer(std::unique_ptr<TStream> Source);

    // The substreams to take; see above. Starts over from the first sector.
    void SelectSubstreams(uint8_t First, uint8_t Last);
    // The substream taken, or -1 while none has been met.
    int Substream() const { return FLocked; }
    // While Limit >= 0, no sector starting at or beyond that source position is read (Read
    // returns what it has). -1, the default, lifts the limit.
    void SetLimit(int64_t Limit) { FLimit = Limit; }

    // Copies up to Count payload bytes; fewer only when the program stream (or the limit)
    // ends; 0 when there is nothing more.
    int32_t Read(void* Buffer, int32_t Count) override;
    // Refused (-1).
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return FSource->Size(); }
    // Refused: raises EAuException.
    void SetSize(int64_t NewSize) override;

protected:
    // Reads sectors until one of the chosen substream has payload; false at the end (or the
    // limit). Block and DataSize then describe the payload.
    bool ReadSector();
    // The payload of the chosen substream in the first Bytes bytes of InBuff, as an offset
    // and a length; false when the sector has none.
    bool ParseSector(uint32_t Bytes, uint32_t& Offset, uint32_t& Length);

    std::unique_ptr<TStream> FOwnedSource;
    TStream* FSource;
    const uint8_t* Block = nullptr; // next payload byte inside InBuff
    std::array<uint8_t, SectorSize> InBuff{};
    uint32_t DataSize = 0; // payload bytes left at Block
    uint8_t FFirst = 0x80, FLast = 0x80;
    int FLocked = -1;
    int64_t FNextSector = 0; // source position of the next sector to read
    int64_t FLimit = -1;
};

} // namespace tarvio
