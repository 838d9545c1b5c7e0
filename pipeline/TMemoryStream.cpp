#include "pipeline/TMemoryStream.h"

#include <algorithm>
#include <cstring>

namespace tarvio {

int32_t TMemoryStream::Read(void* Buffer, int32_t Count) {
    if (Count <= 0 || FPos >= Size()) return 0;
    int32_t n = static_cast<int32_t>(std::min<int64_t>(Count, Size() - FPos));
    std::memcpy(Buffer, FData.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
}

int32_t TMemoryStream::Write(const void* Buffer, int32_t Count) {
    if (Count <= 0) return 0;
    if (FPos + Count > Size()) FData.resize(static_cast<size_t>(FPos + Count));
    std::memcpy(FData.data() + FPos, Buffer, static_cast<size_t>(Count));
    FPos += Count;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = Origin == TSeekOrigin::soBeginning ? 0 : Origin == TSeekOrigin::soCurrent ? FPos : Size();
    int64_t pos = base + Offset;
    if (pos < 0) return -1;
    FPos = pos;
    return FPos;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    FData.resize(static_cast<size_t>(std::max<int64_t>(NewSize, 0)));
    FPos = std::min(FPos, Size());
}

} // namespace tarvio
