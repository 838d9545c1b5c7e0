#pragma once
// Byte streams: position, size, seek, read and write. Counts and offsets are bytes.

#include <cstdint>
#include <string>

#include "pipeline/TSeekOrigin.h"

namespace tarvio {

class TStream {
public:
    TStream() = default;
    virtual ~TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to Count bytes into Buffer; returns the bytes read (0 at the end, or on error).
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    // Writes up to Count bytes; returns the bytes written (short on error).
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Moves the position; returns the new position, or -1 when the move is impossible
    // (the position is then unchanged). Seeking past the end is allowed.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    virtual int64_t Size();
    // Truncates or extends; raises EAuException when the platform refuses.
    virtual void SetSize(int64_t NewSize) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
    // Exactly Count bytes or EAuException ("Stream read error" / "Stream write error").
    void ReadBuffer(void* Buffer, int32_t Count);
    void WriteBuffer(const void* Buffer, int32_t Count);
    // Copies Count bytes from Source (all of it from its start when Count is 0); returns bytes copied.
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

} // namespace tarvio
