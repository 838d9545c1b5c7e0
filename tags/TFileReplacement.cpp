#include "tags/TFileReplacement.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace tarvio {

namespace {

bool SameFile(const std::string& Path, const struct stat& St) {
    struct stat now;
    return ::lstat(Path.c_str(), &now) == 0 && now.st_dev == St.st_dev && now.st_ino == St.st_ino;
}

// The name the descriptor's file has now (the kernel's own record of it), when that name
// still leads to the same file.
bool NameOf(THandle Fd, const struct stat& St, std::string& Path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(Fd)).c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf || buf[0] != '/') return false;
    Path.assign(buf, static_cast<size_t>(n));
    return SameFile(Path, St);
}

// The flock lock the descriptor's open file holds: LOCK_SH, LOCK_EX or 0. -1 for locks
// that belong to the file rather than to the descriptor (record locks, leases), which a
// new file can't take over, or when the kernel's list can't be read.
int HeldFlock(THandle Fd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(Fd));
    if (!in) return -1;
    int lock = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("lock:", 0) != 0) continue;
        if (line.find(" FLOCK ") == std::string::npos) return -1;
        lock = line.find(" WRITE ") != std::string::npos ? LOCK_EX : LOCK_SH;
    }
    return lock;
}

bool CopyExtendedAttributes(THandle From, THandle To) {
    ssize_t n = ::flistxattr(From, nullptr, 0);
    if (n < 0) return errno == ENOTSUP; // a file system without them
    if (n == 0) return true;
    std::vector<char> names(static_cast<size_t>(n));
    n = ::flistxattr(From, names.data(), names.size());
    if (n < 0) return false;
    for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
        ssize_t size = ::fgetxattr(From, name, nullptr, 0);
        if (size < 0) return false;
        std::vector<char> value(static_cast<size_t>(size) + 1);
        size = ::fgetxattr(From, name, value.data(), value.size());
        if (size < 0 || ::fsetxattr(To, name, value.data(), static_cast<size_t>(size), 0) != 0) return false;
    }
    return true;
}

void SyncFolder(const std::string& Path) {
    const std::string folder = Path.substr(0, Path.rfind('/') + 1);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

TFileReplacement::TFileReplacement(TFileHandle& Original) : FOriginal(Original) {
    if (!Prepare()) Discard();
}

TFileReplacement::~TFileReplacement() {
    Discard();
}

bool TFileReplacement::Prepare() {
    const THandle fd = FOriginal.Handle();
    if (!FOriginal.Valid() || ::fstat(fd, &FStat) != 0 || !S_ISREG(FStat.st_mode) || FStat.st_nlink != 1 ||
        !NameOf(fd, FStat, FPath))
        return false;
    const int lock = HeldFlock(fd);
    if (lock < 0) return false;

    std::string name = HiddenPrefix(FPath) + "XXXXXX";
    FNewFd = ::mkostemp(name.data(), O_CLOEXEC);
    if (FNewFd < 0) return false;
    FNewPath = name;
    // The owner first: changing it clears set-id bits, which the mode then restores.
    if (::fchown(FNewFd, FStat.st_uid, FStat.st_gid) != 0 || ::fchmod(FNewFd, FStat.st_mode & 07777) != 0 ||
        !CopyExtendedAttributes(fd, FNewFd) || (lock != 0 && ::flock(FNewFd, lock | LOCK_NB) != 0))
        return false;
    FNew = FOriginal.MakeHandle(FNewFd);
    return true;
}

void TFileReplacement::Discard() {
    FNew.reset();
    if (FNewFd >= 0) ::close(FNewFd);
    FNewFd = -1;
    if (!FNewPath.empty()) ::unlink(FNewPath.c_str());
    FNewPath.clear();
}

std::string TFileReplacement::HiddenPrefix(const std::string& Path) {
    // A long name is cut so the new one stays a valid name.
    const size_t slash = Path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return Path.substr(0, start) + "." + Path.substr(start, 200) + ".tarvio-";
}

std::vector<std::string> TFileReplacement::StaleCopies(const std::string& Path) {
    std::vector<std::string> found;
    const std::string prefix = HiddenPrefix(Path);
    const size_t slash = prefix.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : prefix.substr(0, slash + 1);
    const std::string stem = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return found;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
        // mkstemp's characters: letters and digits.
        bool random = true;
        for (size_t i = stem.size(); i < name.size(); ++i)
            random = random && std::isalnum(static_cast<unsigned char>(name[i]));
        struct stat st;
        if (random && ::lstat((folder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(name);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool TFileReplacement::Commit() {
    if (!Ready()) return false;
    if (!FNew->Sync() || !SameFile(FPath, FStat) || !FNew->RenameFile(FNewPath, FPath)) {
        Discard();
        return false;
    }
    FNewPath.clear(); // the name is the original's now
    SyncFolder(FPath);

    // The caller's descriptor number takes over the new file. Should dup3 fail (it can only
    // when another thread opens files at this very moment) the file is still replaced; the
    // descriptor then keeps the old contents.
    const THandle fd = FOriginal.Handle();
    const int fdFlags = ::fcntl(fd, F_GETFD);
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0) ::fcntl(FNewFd, F_SETFL, statusFlags);
    ::dup3(FNewFd, fd, fdFlags >= 0 && (fdFlags & FD_CLOEXEC) ? O_CLOEXEC : 0);
    Discard();
    FOriginal.Seek(0, TSeekOrigin::soEnd);
    return true;
}

} // namespace tarvio
