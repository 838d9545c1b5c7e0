#pragma once
// Fault injection for the tag writers. A TFaultPlan numbers every operation that reaches the
// device (reads, writes, syncs and renames) of a TFaultyFile and of the files it makes beside
// itself, and fails the N-th, once or from then on. A failed write goes half way, as on a
// full disk; a failed read returns nothing. Also: a small tmpfs filled up, and a child
// process under a file-size limit, for running out of room for real.

#include <csignal>
#include <functional>
#include <memory>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "TagTestFiles.h"
#include "tags/TFileHandle.h"

namespace tarvio::test {

struct TFaultPlan {
    int FailAt = 0; // 1-based; 0 never fails
    bool Persistent = false;
    int Calls = 0;
    bool Fails() {
        ++Calls;
        return FailAt > 0 && (Calls == FailAt || (Persistent && Calls > FailAt));
    }
};

class TFaultyFile : public TFileHandle {
public:
    TFaultyFile(THandle Fd, std::shared_ptr<TFaultPlan> Plan) : TFileHandle(Fd), FPlan(std::move(Plan)) {}

    size_t Read(void* Buffer, size_t Count) override {
        return FPlan->Fails() ? 0 : TFileHandle::Read(Buffer, Count);
    }
    size_t Write(const void* Buffer, size_t Count) override {
        return TFileHandle::Write(Buffer, FPlan->Fails() ? Count / 2 : Count);
    }
    size_t ReadAt(void* Buffer, size_t Count, int64_t Offset) override {
        return FPlan->Fails() ? 0 : TFileHandle::ReadAt(Buffer, Count, Offset);
    }
    size_t WriteAt(const void* Buffer, size_t Count, int64_t Offset) override {
        return TFileHandle::WriteAt(Buffer, FPlan->Fails() ? Count / 2 : Count, Offset);
    }
    bool Sync() override { return !FPlan->Fails() && TFileHandle::Sync(); }
    bool RenameFile(const std::string& From, const std::string& To) override {
        return !FPlan->Fails() && TFileHandle::RenameFile(From, To);
    }
    std::unique_ptr<TFileHandle> MakeHandle(THandle Fd) const override {
        return std::make_unique<TFaultyFile>(Fd, FPlan);
    }

private:
    std::shared_ptr<TFaultPlan> FPlan;
};

// A 256 KiB tmpfs mounted in a folder of Dir; not Mounted() where mounting isn't allowed.
class TSmallTmpfs {
public:
    explicit TSmallTmpfs(const TTempDir& Dir) : FPath(Dir / "mnt") {
        std::filesystem::create_directory(FPath);
        FMounted = ::mount("tarvio-test", FPath.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~TSmallTmpfs() {
        if (FMounted) ::umount2(FPath.c_str(), MNT_DETACH);
    }
    TSmallTmpfs(const TSmallTmpfs&) = delete;
    TSmallTmpfs& operator=(const TSmallTmpfs&) = delete;
    bool Mounted() const { return FMounted; }
    std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }
    // Takes every free page.
    void Fill() const {
        TFd filler(FPath + "/filler", O_WRONLY | O_CREAT);
        TBytes page(4096, 0xEE);
        while (::write(filler.Get(), page.data(), page.size()) > 0) {
        }
    }

private:
    std::string FPath;
    bool FMounted;
};

// Runs Body in a child process whose files may not grow beyond MaxFileBytes (writes past it
// fail with EFBIG); the child's exit status: 1 when Body returned true, 0 when false, -1 when
// it didn't finish.
inline int RunWithFileSizeLimit(rlim_t MaxFileBytes, const std::function<bool()>& Body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = MaxFileBytes;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
        ::_exit(Body() ? 1 : 0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return -1;
    return WEXITSTATUS(status);
}

// The names in a folder, sorted: a writer must leave no file of its own behind.
inline std::vector<std::string> Names(const std::string& Folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace tarvio::test
