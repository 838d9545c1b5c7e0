#include "decoders/mac/dll/TAPESource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarvio::mac {

namespace {

class TFileSource : public TAPESource {
public:
    explicit TFileSource(int Fd) : FFd(Fd) {}
    ~TFileSource() override { ::close(FFd); }
    TFileSource(const TFileSource&) = delete;
    TFileSource& operator=(const TFileSource&) = delete;

    int64_t Size() override {
        struct stat st {};
        return ::fstat(FFd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }

protected:
    int32_t ReadRaw(void* Buffer, int32_t Bytes) override {
        for (;;) {
            const ssize_t n = ::read(FFd, Buffer, static_cast<size_t>(Bytes));
            if (n >= 0) return static_cast<int32_t>(n);
            if (errno != EINTR) return -1;
        }
    }
    int64_t SeekRaw(int64_t Offset) override {
        const off_t p = ::lseek(FFd, static_cast<off_t>(Offset), SEEK_SET);
        return p < 0 ? -1 : static_cast<int64_t>(p);
    }

private:
    int FFd;
};

class TCallbackSource : public TAPESource {
public:
    TCallbackSource(const APE_IO_CALLBACKS& Callbacks, void* User) : FCallbacks(Callbacks), FUser(User) {}

    int64_t Size() override { return FCallbacks.Size ? FCallbacks.Size(FUser) : -1; }

protected:
    int32_t ReadRaw(void* Buffer, int32_t Bytes) override {
        return FCallbacks.Read ? FCallbacks.Read(FUser, Buffer, Bytes) : -1;
    }
    int64_t SeekRaw(int64_t Offset) override { return FCallbacks.Seek ? FCallbacks.Seek(FUser, Offset) : -1; }

private:
    APE_IO_CALLBACKS FCallbacks;
    void* FUser;
};

} // namespace

std::unique_ptr<TAPESource> TAPESource::OpenFile(const std::string& Utf8Path) {
    if (Utf8Path.empty()) return nullptr;
    const int fd = ::open(Utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TFileSource>(fd);
}

std::unique_ptr<TAPESource> TAPESource::FromCallbacks(const APE_IO_CALLBACKS& Callbacks, void* User) {
    return std::make_unique<TCallbackSource>(Callbacks, User);
}

int32_t TAPESource::Read(void* Buffer, int32_t Bytes) {
    if (Bytes <= 0) return 0;
    const int32_t n = ReadRaw(Buffer, Bytes);
    if (n < 0 || n > Bytes) return -1;
    FPosition += n;
    return n;
}

int64_t TAPESource::Seek(int64_t Offset) {
    if (Offset < 0) return -1;
    const int64_t p = SeekRaw(Offset);
    if (p != Offset) {
        // Put the position back where we believe it is; a source that moved elsewhere is
        // read from there from now on.
        if (p >= 0) FPosition = p;
        return -1;
    }
    FPosition = p;
    return p;
}

bool TAPESource::ReadAt(int64_t Offset, void* Buffer, int32_t Bytes) {
    if (Seek(Offset) < 0) return false;
    auto* out = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    while (done < Bytes) {
        const int32_t n = Read(out + done, Bytes - done);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace tarvio::mac
