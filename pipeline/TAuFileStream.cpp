#include "pipeline/TAuFileStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

int OpenHandle(const std::string& FileName, uint16_t Mode) {
    int fd;
    int lockOp = 0;
    if (Mode == fmCreate) {
        // Emptied only once the lock is held: a file that another stream holds stays as it is.
        fd = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        lockOp = LOCK_EX;
    } else {
        int access = Mode & 3;
        int flags = access == 1 ? O_WRONLY : access == 2 ? O_RDWR : O_RDONLY;
        // A named pipe with no writer would block a read open for ever: open without
        // waiting, then read and write as usual (with no writer a pipe reads as empty).
        if (access == 0) flags |= O_NONBLOCK;
        fd = ::open(FileName.c_str(), flags | O_CLOEXEC);
        if (fd >= 0 && access == 0) {
            const int now = ::fcntl(fd, F_GETFL);
            if (now != -1) ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
        }
        switch ((Mode >> 4) & 0xF) {
        case 2:
            lockOp = LOCK_SH;
            break; // others may read
        case 3:
        case 4:
            lockOp = 0;
            break; // others may write
        default:
            lockOp = LOCK_EX;
            break; // none
        }
    }
    if (fd < 0) throw EAuException(std::strerror(errno));
    if ((lockOp != 0 && ::flock(fd, lockOp | LOCK_NB) != 0) ||
        (Mode == fmCreate && ::ftruncate(fd, 0) != 0)) {
        int err = errno;
        ::close(fd);
        throw EAuException(std::strerror(err));
    }
    return fd;
}

} // namespace

TAuFileStream::TAuFileStream(const std::string& FileName, uint16_t Mode, uint32_t)
    : THandleStream(OpenHandle(FileName, Mode)) {}

TAuFileStream::~TAuFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

} // namespace tarvio
