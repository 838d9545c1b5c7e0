#include "tags/TFileHandle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tags/TFileReplacement.h"

namespace tarvio {

int64_t TFileHandle::Position() const {
    if (!Valid()) return -1;
    off_t p = lseek(FFd, 0, SEEK_CUR);
    return p < 0 ? -1 : p;
}

int64_t TFileHandle::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (!Valid()) return -1;
    int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : Origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t p = lseek(FFd, static_cast<off_t>(Offset), whence);
    return p < 0 ? -1 : p;
}

int64_t TFileHandle::Size() const {
    struct stat st;
    if (!Valid() || fstat(FFd, &st) != 0) return -1;
    return st.st_size;
}

size_t TFileHandle::Read(void* Buffer, size_t Count) {
    size_t done = 0;
    while (Valid() && done < Count) {
        ssize_t r = ::read(FFd, static_cast<char*>(Buffer) + done, Count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

size_t TFileHandle::Write(const void* Buffer, size_t Count) {
    size_t done = 0;
    while (Valid() && done < Count) {
        ssize_t r = ::write(FFd, static_cast<const char*>(Buffer) + done, Count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

size_t TFileHandle::ReadAt(void* Buffer, size_t Count, int64_t Offset) {
    size_t done = 0;
    while (Valid() && done < Count) {
        ssize_t r =
            ::pread(FFd, static_cast<char*>(Buffer) + done, Count - done, static_cast<off_t>(Offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

size_t TFileHandle::WriteAt(const void* Buffer, size_t Count, int64_t Offset) {
    size_t done = 0;
    while (Valid() && done < Count) {
        ssize_t r = ::pwrite(FFd, static_cast<const char*>(Buffer) + done, Count - done,
                             static_cast<off_t>(Offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

bool TFileHandle::Resize(int64_t NewSize) {
    if (!Valid() || NewSize < 0) return false;
    while (::ftruncate(FFd, static_cast<off_t>(NewSize)) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool TFileHandle::Truncate() {
    int64_t p = Position();
    return p >= 0 && Resize(p);
}

bool TFileHandle::Sync() {
    if (!Valid()) return false;
    while (::fsync(FFd) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool TFileHandle::RenameFile(const std::string& From, const std::string& To) {
    return std::rename(From.c_str(), To.c_str()) == 0;
}

std::unique_ptr<TFileHandle> TFileHandle::MakeHandle(THandle Fd) const {
    return std::make_unique<TFileHandle>(Fd);
}

// Copies [From, From + Length) to From - Distance, front to back (safe for a downward move).
bool TFileHandle::MoveDown(int64_t From, int64_t Length, int64_t Distance, unsigned char* Buffer) {
    for (int64_t done = 0; done < Length;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(MoveChunkBytes, Length - done));
        if (ReadAt(Buffer, n, From + done) != n || WriteAt(Buffer, n, From + done - Distance) != n)
            return false;
        done += static_cast<int64_t>(n);
    }
    return true;
}

bool TFileHandle::InsertAtStart(const void* Data, size_t Count) {
    const int64_t oldSize = Size();
    if (oldSize < 0) return false;
    // Reading is needed to move the contents, and the replacement must not give a
    // read-only descriptor a way to change the file. Positioned writes on an append-only
    // descriptor would land at the end.
    int flags = ::fcntl(FFd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR || (flags & O_APPEND)) return false;
    if (Count == 0) return Seek(0, TSeekOrigin::soEnd) >= 0;

    TFileReplacement replacement(*this);
    if (replacement.Ready())
        return CopyBehind(replacement.NewFile(), Data, Count, oldSize) && replacement.Commit();
    return InsertInPlace(Data, Count, oldSize);
}

// Writes Data and then the whole file to To.
bool TFileHandle::CopyBehind(TFileHandle& To, const void* Data, size_t Count, int64_t OldSize) {
    if (To.WriteAt(Data, Count, 0) != Count) return false;
    std::vector<unsigned char> buffer(static_cast<size_t>(std::min<int64_t>(MoveChunkBytes, OldSize)));
    for (int64_t done = 0; done < OldSize;) {
        size_t k = static_cast<size_t>(std::min<int64_t>(MoveChunkBytes, OldSize - done));
        if (ReadAt(buffer.data(), k, done) != k ||
            To.WriteAt(buffer.data(), k, static_cast<int64_t>(Count) + done) != k)
            return false;
        done += static_cast<int64_t>(k);
    }
    // Bytes written behind our back since the size was taken would be lost by the rename.
    return Size() == OldSize;
}

bool TFileHandle::InsertInPlace(const void* Data, size_t Count, int64_t OldSize) {
    const int64_t n = static_cast<int64_t>(Count);
    // Room for one chunk in flight plus one more for the undo's own moves.
    std::vector<unsigned char> buffer(
        2 * static_cast<size_t>(std::min<int64_t>(MoveChunkBytes, std::max(OldSize, n))));

    // Claim the new tail with real writes: on a full file system this fails here, before
    // any original byte is touched.
    {
        std::vector<unsigned char> zeros(std::min<size_t>(Count, MoveChunkBytes), 0);
        for (int64_t done = 0; done < n;) {
            size_t k = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(zeros.size()), n - done));
            if (WriteAt(zeros.data(), k, OldSize + done) != k) {
                Resize(OldSize);
                return false;
            }
            done += static_cast<int64_t>(k);
        }
    }

    // Move the contents up by n bytes, back to front. After each step the bytes from
    // `moved` on are at moved + n, and everything below `moved` is still original.
    // A chunk longer than n overlaps bytes not moved yet; when its write fails part way,
    // the chunk in the buffer restores them.
    int64_t moved = OldSize;
    size_t chunk = 0; // bytes of [moved - chunk, moved) held in the buffer after a failed write
    bool ok = true;
    while (moved > 0) {
        size_t k = static_cast<size_t>(std::min<int64_t>(MoveChunkBytes, moved));
        int64_t from = moved - static_cast<int64_t>(k);
        if (ReadAt(buffer.data(), k, from) != k) {
            ok = false;
            break;
        }
        if (WriteAt(buffer.data(), k, from + n) != k) {
            chunk = k;
            ok = false;
            break;
        }
        moved = from;
    }
    if (ok) ok = WriteAt(Data, Count, 0) == Count;
    if (!ok) {
        // Undo: bring the moved part back down, restore the chunk that was in flight and
        // cut the claimed tail.
        MoveDown(moved + n, OldSize - moved, n, buffer.data() + chunk);
        if (chunk > 0) WriteAt(buffer.data(), chunk, moved - static_cast<int64_t>(chunk));
        Resize(OldSize);
        return false;
    }
    return Seek(0, TSeekOrigin::soEnd) >= 0;
}

} // namespace tarvio
