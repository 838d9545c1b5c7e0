#include "pipeline/TStreamReader.h"

#include <algorithm>
#include <cstring>

namespace tarvio {

TStreamReader::TStreamReader(uint32_t Capacity) : FBuffer(std::max<uint32_t>(Capacity, 16)) {}

void TStreamReader::Attach(TStream* Source) {
    FSource = Source;
    FBase = Source ? std::max<int64_t>(Source->Position(), 0) : 0;
    FHead = FTail = 0;
}

bool TStreamReader::Seek(int64_t Position) {
    if (Position >= FBase && Position <= FBase + FTail) {
        FHead = static_cast<uint32_t>(Position - FBase);
        return true;
    }
    if (!FSource || Position < 0 || FSource->Seek(Position, TSeekOrigin::soBeginning) != Position)
        return false;
    FBase = Position;
    FHead = FTail = 0;
    return true;
}

uint32_t TStreamReader::Peek(uint32_t Count, const uint8_t*& Data) {
    const uint32_t capacity = static_cast<uint32_t>(FBuffer.size());
    Count = std::min(Count, capacity);
    if (FTail - FHead < Count && FSource) {
        // Keep the bytes not yet taken at the front, then fill the rest from the source,
        // which stands at FBase + FTail.
        if (FHead > 0) {
            std::memmove(FBuffer.data(), FBuffer.data() + FHead, FTail - FHead);
            FBase += FHead;
            FTail -= FHead;
            FHead = 0;
        }
        while (FTail < Count) {
            const int32_t got = FSource->Read(FBuffer.data() + FTail, static_cast<int32_t>(capacity - FTail));
            if (got <= 0) break;
            FTail += static_cast<uint32_t>(got);
        }
    }
    Data = FBuffer.data() + FHead;
    return std::min(Count, FTail - FHead);
}

uint32_t TStreamReader::Read(void* Dest, uint32_t Count) {
    auto* out = static_cast<uint8_t*>(Dest);
    uint32_t done = 0;
    while (done < Count) {
        const uint8_t* data = nullptr;
        const uint32_t n = Peek(Count - done, data);
        if (n == 0) break;
        std::memcpy(out + done, data, n);
        Skip(n);
        done += n;
    }
    return done;
}

} // namespace tarvio
