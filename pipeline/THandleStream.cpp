#include "pipeline/THandleStream.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "pipeline/EAuException.h"

namespace tarvio {

int32_t THandleStream::Read(void* Buffer, int32_t Count) {
    if (FHandle < 0 || Count <= 0) return 0;
    int32_t done = 0;
    auto* p = static_cast<char*>(Buffer);
    while (done < Count) {
        ssize_t n = ::read(FHandle, p + done, static_cast<size_t>(Count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t THandleStream::Write(const void* Buffer, int32_t Count) {
    if (FHandle < 0 || Count <= 0) return 0;
    int32_t done = 0;
    auto* p = static_cast<const char*>(Buffer);
    while (done < Count) {
        ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(Count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int64_t THandleStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t r = ::lseek(FHandle, static_cast<off_t>(Offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

void THandleStream::SetSize(int64_t NewSize) {
    if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0) throw EAuException(std::strerror(errno));
    if (Position() > NewSize) Seek(NewSize, TSeekOrigin::soBeginning);
}

} // namespace tarvio
