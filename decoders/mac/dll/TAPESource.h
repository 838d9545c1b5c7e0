#pragma once
// The bytes of a Monkey's Audio file: a file opened by name, or the caller's callbacks.
// Keeps its own position; one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "decoders/mac/dll/MACDll.h"

namespace tarvio::mac {

class TAPESource {
public:
    virtual ~TAPESource() = default;

    // A file by its UTF-8 path, opened for reading; null when it cannot be opened.
    static std::unique_ptr<TAPESource> OpenFile(const std::string& Utf8Path);
    // The caller's byte source (both pointers must outlive the source).
    static std::unique_ptr<TAPESource> FromCallbacks(const APE_IO_CALLBACKS& Callbacks, void* User);

    // Up to Bytes bytes at the position; the bytes read, 0 at the end, -1 on an error.
    int32_t Read(void* Buffer, int32_t Bytes);
    // Moves to Offset bytes from the start; the new position, or -1 (position unchanged).
    int64_t Seek(int64_t Offset);
    int64_t Position() const { return FPosition; }
    // Bytes in all; -1 when unknown.
    virtual int64_t Size() = 0;
    // Exactly Bytes bytes at Offset; false when fewer are there or the source fails.
    bool ReadAt(int64_t Offset, void* Buffer, int32_t Bytes);

protected:
    virtual int32_t ReadRaw(void* Buffer, int32_t Bytes) = 0;
    virtual int64_t SeekRaw(int64_t Offset) = 0;

private:
    int64_t FPosition = 0;
};

} // namespace tarvio::mac
