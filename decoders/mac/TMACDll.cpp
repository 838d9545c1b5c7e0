#include "decoders/mac/TMACDll.h"

#include <mutex>

#include "pipeline/TEventHandler.h"
#include "pipeline/TStream.h"

namespace tarvio {

namespace {

int32_t StreamRead(void* User, void* Buffer, int32_t Bytes) {
    try {
        return static_cast<TStream*>(User)->Read(Buffer, Bytes);
    } catch (...) {
        return -1;
    }
}

int64_t StreamSeek(void* User, int64_t Offset) {
    try {
        return static_cast<TStream*>(User)->Seek(Offset, TSeekOrigin::soBeginning);
    } catch (...) {
        return -1;
    }
}

int64_t StreamSize(void* User) {
    try {
        return static_cast<TStream*>(User)->Size();
    } catch (...) {
        return -1;
    }
}

} // namespace

const APE_IO_CALLBACKS TMACDll::StreamCallbacks{&StreamRead, &StreamSeek, &StreamSize};

const char* const TMACDll::EntryNames[EntryCount] = {
    "ProgressCallback",
    "RemoveTag",
    "CompressFile",
    "ConvertFile",
    "DecompressFile",
    "FillWaveFormatEx",
    "FillWaveHeader",
    "GetID3Tag",
    "GetInterfaceCompatibility",
    "GetVersionNumber",
    "ShowFileInfoDialog",
    "TagFileSimple",
    "VerifyFile",
    "c_APECompress_AddData",
    "c_APECompress_Create",
    "c_APECompress_Destroy",
    "c_APECompress_Finish",
    "c_APECompress_GetBufferBytesAvailable",
    "c_APECompress_Kill",
    "c_APECompress_LockBuffer",
    "c_APECompress_Start",
    "c_APECompress_UnlockBuffer",
    "c_APEDecompress_CreateW",
    "c_APEDecompress_Destroy",
    "c_APEDecompress_GetData",
    "c_APEDecompress_GetInfo",
    "c_APEDecompress_Seek",
};

TLibraryLoader& TMACDll::Library() {
    static TLibraryLoader loader(RuntimeLibrary::MACDll);
    return loader;
}

bool TMACDll::Load() {
    // Looked up once; again only when the loader was pointed at another file since.
    if (FResolved && Library().Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = Library();
    FResolved = false;
    if (!loader.Load()) return false;
    for (int i = 0; i < EntryCount; ++i)
        Entries[i] = loader.Resolve(EntryNames[i]);
    loader.Resolve("GetID3Tag", GetID3Tag_);
    loader.Resolve("c_APEDecompress_CreateW", CreateW);
    loader.Resolve("c_APEDecompress_Destroy", Destroy);
    loader.Resolve("c_APEDecompress_GetData", GetData);
    loader.Resolve("c_APEDecompress_GetInfo", GetInfo);
    loader.Resolve("c_APEDecompress_Seek", Seek);
    loader.Resolve("c_APEDecompress_CreateIO", CreateIO);
    loader.Resolve("GetID3TagIO", GetID3TagIO_);
    FResolved = true;
    return true;
}

bool TMACDll::CanDecode() const {
    return GetID3Tag_ && CreateW && Destroy && GetData && GetInfo && Seek;
}

} // namespace tarvio
