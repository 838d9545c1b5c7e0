#pragma once
// File operations over a POSIX descriptor that the caller opened and keeps owning: the
// position, seeks, reads and writes that report the byte count transferred, the size,
// truncation, and inserting bytes at the start of a file. Not thread-safe; one thread uses
// a descriptor at a time. The read/write primitives are virtual so tests can make them fail.

#include <cstddef>
#include <cstdint>

#include "pipeline/TSeekOrigin.h"

namespace tarvio {

// A platform file handle: a POSIX descriptor. Any negative value is invalid.
using THandle = int;
inline constexpr THandle INVALID_HANDLE_VALUE = -1;

class TFileHandle {
public:
    explicit TFileHandle(THandle Fd) : FFd(Fd) {}
    virtual ~TFileHandle() = default;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    THandle Handle() const { return FFd; }
    bool Valid() const { return FFd >= 0; }

    // Current position in bytes, or -1 when the descriptor can't be positioned.
    int64_t Position() const;
    // Moves the position; the new position in bytes, or -1 on failure (e.g. before the start).
    int64_t Seek(int64_t Offset, TSeekOrigin Origin);
    // Size of the file in bytes, or -1.
    int64_t Size() const;

    // Read/write at the current position and advance it. The result is the byte count
    // transferred; less than Count means end of file (read) or an error.
    virtual size_t Read(void* Buffer, size_t Count);
    virtual size_t Write(const void* Buffer, size_t Count);
    // The same at an absolute byte offset, leaving the position alone.
    virtual size_t ReadAt(void* Buffer, size_t Count, int64_t Offset);
    virtual size_t WriteAt(const void* Buffer, size_t Count, int64_t Offset);
    // Sets the file's size in bytes (cutting or extending with a hole).
    virtual bool Resize(int64_t NewSize);
    // Cuts (or extends) the file at the current position.
    bool Truncate();

    // Puts Count bytes of Data in front of the file's contents. On any failure the file is
    // returned to its former size and bytes (as far as the file system lets writes through)
    // and the result is false. Space is claimed first by writing the new tail, so a full file
    // system fails before any original byte moves. An append-only descriptor is refused.
    // The position ends at the end of the file.
    bool InsertAtStart(const void* Data, size_t Count);

    // Bytes moved per step while inserting.
    static constexpr size_t MoveChunkBytes = 1 << 20;

private:
    bool MoveDown(int64_t From, int64_t Length, int64_t Distance, unsigned char* Buffer);

    THandle FFd;
};

} // namespace tarvio
