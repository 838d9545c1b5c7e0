#pragma once
// The byte-stream adapter the media reader reads a file through: the storage-stream calls
// (Read, Write, Seek, SetSize, Stat) over one of the pipeline's streams; every other call
// fails. Results are 0 for success and -1 (all bits set) for failure, never exceptions.
// Offsets and counts are bytes. Used on the thread that drives the reader.

#include <cstdint>

#include "pipeline/TStream.h"

namespace tarvio {

// Seek origins of the storage-stream interface.
enum TStreamSeekOrigin : uint32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

// The part of a storage-stream description that Stat fills (cbSize, grfLocksSupported);
// the other members are left as the caller set them.
struct TStatStg {
    uint32_t type = 0;
    uint64_t cbSize = 0;
    uint32_t grfMode = 0;
    uint32_t grfLocksSupported = 0;
};

class TAudioStream {
public:
    static constexpr int32_t Ok = 0;
    static constexpr int32_t Failed = -1;

    // The stream to work on; not owned, must outlive every call.
    void AssignStream(TStream* Stream) { FStream = Stream; }
    TStream* Stream() const { return FStream; }

    // Up to Count bytes; 0 when at least one byte was read. Read (optional) gets the count.
    int32_t Read(void* Buffer, uint32_t Count, uint32_t* Read);
    // 0 when at least one byte was written. Written (optional) gets the count.
    int32_t Write(const void* Buffer, uint32_t Count, uint32_t* Written);
    // Moves by the full 64-bit offset from Origin; NewPosition (optional) gets the position.
    // -1, with the position unchanged, when the stream refuses the move.
    int32_t Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition);
    // Moves the position to NewSize bytes from the start; the stream's length is not changed.
    int32_t SetSize(uint64_t NewSize);
    // Fills cbSize with the stream's size and grfLocksSupported with 0.
    int32_t Stat(TStatStg& Stat);

    int32_t CopyTo(TAudioStream* Target, uint64_t Count, uint64_t* Read, uint64_t* Written);
    int32_t Commit(uint32_t Flags);
    int32_t Revert();
    int32_t LockRegion(uint64_t Offset, uint64_t Count, uint32_t LockType);
    int32_t UnlockRegion(uint64_t Offset, uint64_t Count, uint32_t LockType);
    // Clears *Clone when given.
    int32_t Clone(TAudioStream** Clone);

private:
    TStream* FStream = nullptr;
};

} // namespace tarvio
