#pragma once
// The run-time binding of the Monkey's Audio library (libMACDll.so, built by this project
// in decoders/mac/dll): the process-wide loader and one set of entry points. Every entry
// point is looked up by name; one the library lacks stays null, which is no error by
// itself (this binding calls only the decompressor and tag entries).

#include <atomic>

#include "decoders/mac/dll/MACDll.h"
#include "pipeline/TLibraryLoader.h"

namespace tarvio {

struct TMACDll {
    // The names in the order they are looked up.
    static constexpr int EntryCount = 27;
    static const char* const EntryNames[EntryCount];

    // The process-wide loader; the library is loaded on the first open and never unloaded.
    static TLibraryLoader& Library();
    // Loads the library (under LibraryLoadLock, once per process) and looks up every entry
    // point into this object. False when the library cannot be loaded.
    bool Load();
    // The entry points a decoder calls are all there.
    bool CanDecode() const;
    // The library's byte source over a TStream, for CreateIO and GetID3TagIO: their User
    // pointer is the TStream*. No exception reaches the library; a failed call returns -1.
    static const APE_IO_CALLBACKS StreamCallbacks;

    void* Entries[EntryCount] = {};
    decltype(&GetID3Tag) GetID3Tag_ = nullptr;
    decltype(&c_APEDecompress_CreateW) CreateW = nullptr;
    decltype(&c_APEDecompress_Destroy) Destroy = nullptr;
    decltype(&c_APEDecompress_GetData) GetData = nullptr;
    decltype(&c_APEDecompress_GetInfo) GetInfo = nullptr;
    decltype(&c_APEDecompress_Seek) Seek = nullptr;
    // This project's additions for a caller's stream (no file name).
    decltype(&c_APEDecompress_CreateIO) CreateIO = nullptr;
    decltype(&GetID3TagIO) GetID3TagIO_ = nullptr;

private:
    std::atomic<bool> FResolved{false};
};

} // namespace tarvio
