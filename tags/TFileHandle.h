#pragma once
// File operations over a POSIX descriptor that the caller opened and keeps owning: the
// position, seeks, reads and writes that report the byte count transferred, the size,
// truncation, and inserting bytes at the start of a file. Not thread-safe; one thread uses
// a descriptor at a time. The primitives that touch the device are virtual so tests can make
// them fail.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
    // Flushes the file's data to the device (fsync).
    virtual bool Sync();
    // Gives the file named From the name To, replacing it (rename(2); same file system).
    virtual bool RenameFile(const std::string& From, const std::string& To);
    // A handle over another descriptor (not owned) that works the way this one does; used
    // for the new file of a replacement.
    virtual std::unique_ptr<TFileHandle> MakeHandle(THandle Fd) const;

    // Puts Count bytes of Data in front of the file's contents. The descriptor must be open
    // for reading and writing and not append-only. On failure the result is false and the
    // file keeps its bytes; on success the position is at the end of the file.
    //
    // The new contents are written to a new file beside the old one, synced and renamed over
    // it (TFileReplacement), so the old file is only read until the rename and survives any
    // failure, also one that persists. The descriptor is then made to refer to the new file.
    // A file that can't be replaced that way (more than one name, an owner, lock or attribute
    // that can't be carried over, no name or no room for a new file in its folder) is changed
    // in place instead: space is claimed first by writing the new tail, the contents are
    // moved up, and a failed step is undone. That undo needs the device to work again, so in
    // place only a fault that doesn't persist is guaranteed to leave the file as it was.
    bool InsertAtStart(const void* Data, size_t Count);

    // Bytes moved or copied per step while inserting.
    static constexpr size_t MoveChunkBytes = 1 << 20;

private:
    bool InsertInPlace(const void* Data, size_t Count, int64_t OldSize);
    bool CopyBehind(TFileHandle& To, const void* Data, size_t Count, int64_t OldSize);
    bool MoveDown(int64_t From, int64_t Length, int64_t Distance, unsigned char* Buffer);

    THandle FFd;
};

} // namespace tarvio
