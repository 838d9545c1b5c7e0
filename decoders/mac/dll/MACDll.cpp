// The exported C interface (MACDll.h) over TAPEDecoder and TAPETagReader. No exception
// leaves a C call: every failure becomes an error code.

#include "decoders/mac/dll/MACDll.h"

#include <new>
#include <string>

#include "decoders/mac/dll/TAPEDecoder.h"
#include "decoders/mac/dll/TAPETagReader.h"
#include "tags/TCodePage.h"

#define MACDLL_EXPORT extern "C" __attribute__((visibility("default")))

using tarvio::TCodePage;
using tarvio::mac::TAPEDecoder;
using tarvio::mac::TAPESource;
using tarvio::mac::TAPETagReader;

namespace {

TAPEDecoder* Decoder(APE_DECOMPRESS_HANDLE Handle) {
    return reinterpret_cast<TAPEDecoder*>(Handle);
}

APE_DECOMPRESS_HANDLE Create(std::unique_ptr<TAPESource> Source, int* pErrorCode) {
    int error = ERROR_SUCCESS;
    APE_DECOMPRESS_HANDLE handle = 0;
    try {
        std::unique_ptr<TAPEDecoder> decoder = TAPEDecoder::Open(std::move(Source), error);
        handle = reinterpret_cast<APE_DECOMPRESS_HANDLE>(decoder.release());
    } catch (const std::bad_alloc&) {
        error = ERROR_INSUFFICIENT_MEMORY;
    } catch (...) {
        error = ERROR_UNSUPPORTED_FILE_TYPE;
    }
    if (pErrorCode) *pErrorCode = error;
    return handle;
}

int ReadTag(std::unique_ptr<TAPESource> Source, ID3_TAG* pID3Tag) {
    if (!pID3Tag) return -1;
    try {
        if (Source && TAPETagReader::Read(*Source, *pID3Tag)) return 0;
    } catch (...) {
    }
    *pID3Tag = ID3_TAG{};
    return -1;
}

} // namespace

MACDLL_EXPORT APE_DECOMPRESS_HANDLE c_APEDecompress_CreateW(const char16_t* pFilename, int* pErrorCode) {
    try {
        std::u16string name = pFilename ? std::u16string(pFilename) : std::u16string();
        return Create(TAPESource::OpenFile(TCodePage::WideToUtf8(name)), pErrorCode);
    } catch (...) {
        if (pErrorCode) *pErrorCode = ERROR_INSUFFICIENT_MEMORY;
        return 0;
    }
}

MACDLL_EXPORT APE_DECOMPRESS_HANDLE c_APEDecompress_CreateIO(const APE_IO_CALLBACKS* Callbacks, void* User,
                                                             int* pErrorCode) {
    if (!Callbacks || !Callbacks->Read || !Callbacks->Seek || !Callbacks->Size) {
        if (pErrorCode) *pErrorCode = ERROR_INVALID_FUNCTION_PARAMETER;
        return 0;
    }
    try {
        return Create(TAPESource::FromCallbacks(*Callbacks, User), pErrorCode);
    } catch (...) {
        if (pErrorCode) *pErrorCode = ERROR_INSUFFICIENT_MEMORY;
        return 0;
    }
}

MACDLL_EXPORT void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE hAPEDecompress) {
    delete Decoder(hAPEDecompress);
}

MACDLL_EXPORT int c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE hAPEDecompress, char* pBuffer,
                                          int32_t nBlocks, int32_t* pBlocksRetrieved) {
    int32_t retrieved = 0;
    int result = ERROR_INVALID_FUNCTION_PARAMETER;
    if (TAPEDecoder* d = Decoder(hAPEDecompress)) {
        try {
            result = d->GetData(reinterpret_cast<uint8_t*>(pBuffer), nBlocks, retrieved);
        } catch (const std::bad_alloc&) {
            result = ERROR_INSUFFICIENT_MEMORY;
        } catch (...) {
            result = ERROR_DECOMPRESSING_FRAME;
        }
    }
    if (pBlocksRetrieved) *pBlocksRetrieved = retrieved;
    return result;
}

MACDLL_EXPORT int c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE hAPEDecompress, int64_t nBlockOffset) {
    TAPEDecoder* d = Decoder(hAPEDecompress);
    if (!d) return ERROR_INVALID_FUNCTION_PARAMETER;
    try {
        return d->Seek(nBlockOffset);
    } catch (const std::bad_alloc&) {
        return ERROR_INSUFFICIENT_MEMORY;
    } catch (...) {
        return ERROR_DECOMPRESSING_FRAME;
    }
}

MACDLL_EXPORT intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE hAPEDecompress, int Field,
                                               intptr_t nParam1, intptr_t nParam2) {
    TAPEDecoder* d = Decoder(hAPEDecompress);
    if (!d) return 0;
    try {
        return d->GetInfo(Field, nParam1, nParam2);
    } catch (...) {
        return 0;
    }
}

MACDLL_EXPORT int GetID3Tag(const char* pFilename, ID3_TAG* pID3Tag) {
    try {
        // The name comes in the legacy code page; the file system takes UTF-8.
        const std::string path =
            pFilename ? TCodePage::WideToUtf8(TCodePage::ToWide(pFilename)) : std::string();
        return ReadTag(TAPESource::OpenFile(path), pID3Tag);
    } catch (...) {
        if (pID3Tag) *pID3Tag = ID3_TAG{};
        return -1;
    }
}

MACDLL_EXPORT int GetID3TagIO(const APE_IO_CALLBACKS* Callbacks, void* User, ID3_TAG* pID3Tag) {
    if (!Callbacks || !Callbacks->Read || !Callbacks->Seek || !Callbacks->Size) {
        if (pID3Tag) *pID3Tag = ID3_TAG{};
        return -1;
    }
    try {
        return ReadTag(TAPESource::FromCallbacks(*Callbacks, User), pID3Tag);
    } catch (...) {
        if (pID3Tag) *pID3Tag = ID3_TAG{};
        return -1;
    }
}
