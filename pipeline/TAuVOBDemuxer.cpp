#include "pipeline/TAuVOBDemuxer.h"

#include <algorithm>
#include <cstring>

#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

bool StartCode(const uint8_t* p, uint8_t Id) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == Id;
}

} // namespace

TAuVOBDemuxer::TAuVOBDemuxer(TStream& Source) : FSource(&Source) {}

TAuVOBDemuxer::TAuVOBDemuxer(std::unique_ptr<TStream> Source)
    : FOwnedSource(std::move(Source)), FSource(FOwnedSource.get()) {}

void TAuVOBDemuxer::SelectSubstreams(uint8_t First, uint8_t Last) {
    FFirst = First;
    FLast = Last;
    FLocked = First == Last ? First : -1;
    Seek(0, TSeekOrigin::soBeginning);
}

bool TAuVOBDemuxer::ParseSector(uint32_t Bytes, uint32_t& Offset, uint32_t& Length) {
    const uint8_t* s = InBuff.data();
    // An MPEG-2 pack header: start code, '01' marker bits, 3 stuffing-length bits at byte 13.
    if (Bytes < 14 || !StartCode(s, 0xBA) || (s[4] & 0xC0) != 0x40) return false;
    uint32_t p = 14 + (s[13] & 7);
    while (p + 6 <= Bytes) {
        if (s[p] != 0 || s[p + 1] != 0 || s[p + 2] != 1 || s[p + 3] < 0xBB) return false;
        const uint32_t length = (uint32_t{s[p + 4]} << 8) | s[p + 5];
        if (s[p + 3] != 0xBD) {
            p += 6 + length; // system header, padding, private stream 2, video, ...
            continue;
        }
        // A packet of length 0 runs to the end of the sector.
        const uint32_t end = length == 0 ? Bytes : std::min(Bytes, p + 6 + length);
        if (p + 9 > end) return false;
        const uint32_t sub = p + 9 + s[p + 8]; // after the PES header data
        if (sub + 4 > end) return false;
        const uint8_t id = s[sub];
        if (FLocked >= 0 ? id != FLocked : (id < FFirst || id > FLast)) return false;
        FLocked = id;
        Offset = sub + 4; // substream number, frame count, first access unit pointer
        Length = end - Offset;
        return true;
    }
    return false;
}

bool TAuVOBDemuxer::ReadSector() {
    DataSize = 0;
    for (;;) {
        if (FLimit >= 0 && FNextSector >= FLimit) return false;
        if (FSource->Seek(FNextSector, TSeekOrigin::soBeginning) != FNextSector) return false;
        const int32_t got = FSource->Read(InBuff.data(), SectorSize);
        if (got <= 0) return false;
        FNextSector += got;
        uint32_t offset = 0, length = 0;
        if (ParseSector(static_cast<uint32_t>(got), offset, length) && length > 0) {
            Block = InBuff.data() + offset;
            DataSize = length;
            return true;
        }
    }
}

int32_t TAuVOBDemuxer::Read(void* Buffer, int32_t Count) {
    auto* out = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    while (done < Count) {
        if (DataSize == 0 && !ReadSector()) break; // what was gathered is still delivered
        const uint32_t n = std::min<uint32_t>(DataSize, static_cast<uint32_t>(Count - done));
        std::memcpy(out + done, Block, n);
        Block += n;
        DataSize -= n;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t TAuVOBDemuxer::Write(const void*, int32_t) {
    return -1;
}

int64_t TAuVOBDemuxer::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (Origin == TSeekOrigin::soCurrent && Offset == 0) return FNextSector;
    if (Origin == TSeekOrigin::soBeginning && Offset == 0) {
        FNextSector = 0;
        DataSize = 0;
        if (FFirst != FLast) FLocked = -1;
        return 0;
    }
    return -1;
}

void TAuVOBDemuxer::SetSize(int64_t) {
    throw EAuException("The demultiplexed stream is read-only");
}

} // namespace tarvio
