#include "pipeline/TStream.h"

#include <algorithm>
#include <vector>

#include "pipeline/EAuException.h"

namespace tarvio {

int64_t TStream::Size() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* Buffer, int32_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count) throw EAuException("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int32_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count) throw EAuException("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(Count, 1 << 16)));
    int64_t done = 0;
    while (done < Count) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(Count - done, static_cast<int64_t>(chunk.size())));
        Source.ReadBuffer(chunk.data(), n);
        WriteBuffer(chunk.data(), n);
        done += n;
    }
    return done;
}

} // namespace tarvio
