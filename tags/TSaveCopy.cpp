#include "tags/TSaveCopy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <vector>

#include "tags/TFileReplacement.h"

namespace tarvio {

namespace {

[[noreturn]] void Fail(int Error, const char* What) {
    throw std::system_error(Error, std::generic_category(), What);
}

// Closes a descriptor unless it was handed on.
class TFd {
public:
    explicit TFd(int Fd) : FFd(Fd) {}
    ~TFd() {
        if (FFd >= 0) ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }

private:
    int FFd;
};

// Copies all of From into To (both at offset 0); errno on failure, 0 when done.
int CopyData(int From, int To) {
    off_t in = 0, out = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(From, &in, To, &out, size_t{1} << 30, 0);
        if (n == 0) return 0;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return errno;
    }
    // The kernel cannot copy between these files: through a buffer, from where it stopped.
    std::vector<char> buffer(size_t{1} << 20);
    for (;;) {
        const ssize_t n = ::pread(From, buffer.data(), buffer.size(), in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        in += n;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(To, buffer.data() + done, static_cast<size_t>(n - done), out);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno;
            done += w;
            out += w;
        }
    }
}

} // namespace

TSaveCopy::TSaveCopy(const std::string& Path, uint64_t Reserve, bool AllowInPlace) : FReserve(Reserve) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(Path.c_str(), nullptr), &std::free);
    if (!real) Fail(errno, "realpath");
    FTargetPath = real.get();

    // Opening for writing is the test that the file may be written at all.
    TFd original(::open(FTargetPath.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (original.Get() < 0) Fail(errno, "open");
    struct ::stat st {};
    if (::fstat(original.Get(), &st) != 0) Fail(errno, "fstat");
    if (!S_ISREG(st.st_mode)) Fail(EINVAL, "not a regular file");
    if (::flock(original.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) Fail(EBUSY, "another save of this file is in progress");
        if (errno != ENOLCK && errno != EOPNOTSUPP) Fail(errno, "flock");
    }
    FSize = st.st_size;
    // No other save of this file runs now: any copy of it is left over from a killed one.
    const std::string folder = FTargetPath.substr(0, FTargetPath.rfind('/') + 1);
    for (const std::string& stale : TFileReplacement::StaleCopies(FTargetPath))
        ::unlink((folder + stale).c_str());

    // The other names of a hard-linked file would keep the old contents after a rename.
    const std::string inPlaceReason =
        st.st_nlink > 1 ? "the file has other hard links" : MakeCopy(original.Get(), st);
    if (!inPlaceReason.empty()) {
        if (!AllowInPlace) throw ENeedsInPlace(inPlaceReason);
        FInPlace = true;
        FWorkPath = Path;
        FWorkFd = original.Release();
    } else {
        FLockFd = original.Release();
    }
    try {
        ReserveSpace();
    } catch (...) {
        if (!FInPlace) ::unlink(FWorkPath.c_str());
        ::close(FWorkFd);
        if (FLockFd >= 0) ::close(FLockFd);
        throw;
    }
}

TSaveCopy::~TSaveCopy() {
    if (!FDone) {
        if (FInPlace)
            ReleaseReserve();
        else
            ::unlink(FWorkPath.c_str());
    }
    ::close(FWorkFd);
    if (FLockFd >= 0) ::close(FLockFd);
}

std::string TSaveCopy::MakeCopy(int Original, const struct ::stat& Status) {
    // No extension at the end: whoever opens the copy chooses its type by the original's.
    std::string name = TFileReplacement::HiddenPrefix(FTargetPath) + "XXXXXX";
    TFd copy(::mkostemp(name.data(), O_CLOEXEC));
    if (copy.Get() < 0) {
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return "no copy can be made in its folder (" +
                   std::error_code(errno, std::generic_category()).message() + ")";
        Fail(errno, "mkostemp");
    }
    auto discard = [&] { ::unlink(name.c_str()); };

    // Owner first: a change of owner clears the set-user-ID bits that the mode then restores.
    struct ::stat cs {};
    if (::fstat(copy.Get(), &cs) != 0 ||
        ((cs.st_uid != Status.st_uid || cs.st_gid != Status.st_gid) &&
         ::fchown(copy.Get(), Status.st_uid, Status.st_gid) != 0) ||
        ::fchmod(copy.Get(), Status.st_mode & 07777) != 0) {
        discard();
        return "a copy cannot take the file's owner or mode";
    }
    if (const int error = CopyData(Original, copy.Get())) {
        discard();
        Fail(error, "copy");
    }
    FWorkPath = std::move(name);
    FWorkFd = copy.Release();
    return "";
}

void TSaveCopy::ReserveSpace() {
    if (FReserve == 0) return;
    const uint64_t end = static_cast<uint64_t>(FSize) + FReserve;
    // Reserved space does not lift the file size limit: writes beyond it would still fail.
    struct ::rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && end > limit.rlim_cur)
        Fail(EFBIG, "file size limit");
    if (::fallocate(FWorkFd, FALLOC_FL_KEEP_SIZE, FSize, static_cast<off_t>(FReserve)) == 0) return;
    if (errno != EOPNOTSUPP && errno != ENOSYS) Fail(errno, "fallocate");
    // A file system that cannot reserve: at least the free space must be there now.
    struct ::statvfs fs {};
    if (::fstatvfs(FWorkFd, &fs) == 0 && static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < FReserve)
        Fail(ENOSPC, "free space");
}

void TSaveCopy::ReleaseReserve() const {
    // Truncating to the current size drops the blocks reserved past the end.
    struct ::stat st {};
    if (::fstat(FWorkFd, &st) == 0) (void)!::ftruncate(FWorkFd, st.st_size);
}

int64_t TSaveCopy::Growth() const {
    struct ::stat st {};
    if (::fstat(FWorkFd, &st) != 0) Fail(errno, "fstat");
    return static_cast<int64_t>(st.st_size) - FSize;
}

void TSaveCopy::Commit() {
    ReleaseReserve();
    if (::fsync(FWorkFd) != 0) Fail(errno, "fsync");
    if (!FInPlace) {
        if (::rename(FWorkPath.c_str(), FTargetPath.c_str()) != 0) Fail(errno, "rename");
        const std::string folder = FTargetPath.substr(0, FTargetPath.rfind('/') + 1);
        TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.Get() >= 0) (void)::fsync(dir.Get()); // the rename survives a power cut
    }
    FDone = true;
}

} // namespace tarvio
