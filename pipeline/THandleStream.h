#pragma once
// A stream over a POSIX file descriptor. The descriptor is owned only when the
// subclass says so (TAuFileStream closes what it opened).

#include "pipeline/TStream.h"

namespace tarvio {

class THandleStream : public TStream {
public:
    // Does not take ownership of Handle.
    explicit THandleStream(int Handle) : FHandle(Handle) {}
    int Handle() const { return FHandle; }

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    void SetSize(int64_t NewSize) override;

protected:
    int FHandle;
};

} // namespace tarvio
