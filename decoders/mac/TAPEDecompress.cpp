#include "decoders/mac/TAPEDecompress.h"

#include <climits>

#include "decoders/mac/EAPEException.h"
#include "tags/TCodePage.h"

namespace tarvio {

TAPEDecompress::TAPEDecompress(const TMACDll& Lib, const std::string& Filename)
    : FLib(Lib), FFilename(Filename) {
    int error = 0;
    FHandle = FLib.CreateW(TCodePage::Utf8ToWide(Filename).c_str(), &error);
    ErrorCode = error;
    Created();
}

TAPEDecompress::TAPEDecompress(const TMACDll& Lib, TStream& Stream) : FLib(Lib) {
    int error = ERROR_INVALID_FUNCTION_PARAMETER;
    FHandle = FLib.CreateIO ? FLib.CreateIO(&TMACDll::StreamCallbacks, &Stream, &error) : 0;
    ErrorCode = error;
    Created();
}

void TAPEDecompress::Created() {
    if (ErrorCode == 0) return;
    if (FHandle != 0) FLib.Destroy(FHandle);
    FHandle = 0;
    throw EAPEException(ErrorCode);
}

TAPEDecompress::~TAPEDecompress() {
    if (FHandle != 0) FLib.Destroy(FHandle);
}

int32_t TAPEDecompress::GetData(uint8_t* pBuffer, int32_t nBlocks, int32_t& pBlocksRetrieved) {
    return FLib.GetData(FHandle, reinterpret_cast<char*>(pBuffer), nBlocks, &pBlocksRetrieved);
}

int32_t TAPEDecompress::Seek(int64_t nBlockOffset) {
    return FLib.Seek(FHandle, nBlockOffset);
}

intptr_t TAPEDecompress::GetInfo(int Field, intptr_t nParam1, intptr_t nParam2) {
    return FLib.GetInfo(FHandle, Field, nParam1, nParam2);
}

} // namespace tarvio
