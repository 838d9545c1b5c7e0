#include "decoders/wm/TAudioStream.h"

#include <algorithm>
#include <climits>

namespace tarvio {

int32_t TAudioStream::Read(void* Buffer, uint32_t Count, uint32_t* Read) {
    uint32_t done = 0;
    try {
        if (FStream && Buffer && Count > 0)
            done = static_cast<uint32_t>(std::max<int32_t>(
                FStream->Read(Buffer, static_cast<int32_t>(std::min<uint32_t>(Count, INT32_MAX))), 0));
    } catch (...) {
        done = 0;
    }
    if (Read) *Read = done;
    return done > 0 ? Ok : Failed;
}

int32_t TAudioStream::Write(const void* Buffer, uint32_t Count, uint32_t* Written) {
    uint32_t done = 0;
    try {
        if (FStream && Buffer && Count > 0)
            done = static_cast<uint32_t>(std::max<int32_t>(
                FStream->Write(Buffer, static_cast<int32_t>(std::min<uint32_t>(Count, INT32_MAX))), 0));
    } catch (...) {
        done = 0;
    }
    if (Written) *Written = done;
    return done > 0 ? Ok : Failed;
}

int32_t TAudioStream::Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition) {
    if (!FStream || Origin > STREAM_SEEK_END) return Failed;
    const TSeekOrigin origin = Origin == STREAM_SEEK_SET   ? TSeekOrigin::soBeginning
                               : Origin == STREAM_SEEK_CUR ? TSeekOrigin::soCurrent
                                                           : TSeekOrigin::soEnd;
    int64_t pos = -1;
    try {
        pos = FStream->Seek(Offset, origin);
    } catch (...) {
        pos = -1;
    }
    if (pos < 0) return Failed;
    if (NewPosition) *NewPosition = static_cast<uint64_t>(pos);
    return Ok;
}

int32_t TAudioStream::SetSize(uint64_t NewSize) {
    if (NewSize > static_cast<uint64_t>(INT64_MAX)) return Failed;
    return Seek(static_cast<int64_t>(NewSize), STREAM_SEEK_SET, nullptr);
}

int32_t TAudioStream::Stat(TStatStg& Stat) {
    if (!FStream) return Failed;
    int64_t size = -1;
    try {
        size = FStream->Size();
    } catch (...) {
        size = -1;
    }
    if (size < 0) return Failed;
    Stat.cbSize = static_cast<uint64_t>(size);
    Stat.grfLocksSupported = 0;
    return Ok;
}

int32_t TAudioStream::CopyTo(TAudioStream*, uint64_t, uint64_t*, uint64_t*) {
    return Failed;
}

int32_t TAudioStream::Commit(uint32_t) {
    return Failed;
}

int32_t TAudioStream::Revert() {
    return Failed;
}

int32_t TAudioStream::LockRegion(uint64_t, uint64_t, uint32_t) {
    return Failed;
}

int32_t TAudioStream::UnlockRegion(uint64_t, uint64_t, uint32_t) {
    return Failed;
}

int32_t TAudioStream::Clone(TAudioStream** Clone) {
    if (Clone) *Clone = nullptr;
    return Failed;
}

} // namespace tarvio
