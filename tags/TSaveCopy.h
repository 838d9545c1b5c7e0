#pragma once
// The file a tag save writes to.
//
// TagLib rewrites a file in place and does not check its writes: on a full disk a save cuts
// the file short and still reports success. So a save works on a copy of the file in the
// same folder, with space reserved past its end for the growth of the save, and Commit
// renames the copy over the original, which stays untouched until then. Where a copy cannot
// stand in for the original (the folder is not writable, the file has other hard links, its
// owner or mode cannot be given to the copy) the save works on the original itself, with the
// same reserve.
//
// Writes that stay within the reserve need no new space and cannot fail for lack of it;
// WithinReserve tells afterwards whether the save stayed there. Sizes are in bytes.
//
// In place a save is not crash-safe (a killed save leaves a half-written file), so it is
// taken only when the caller allows it; otherwise such a file is refused.
//
// The copy is named TFileReplacement::HiddenPrefix(file) and six characters. While the object
// lives it holds an exclusive flock lock on the original, so no two saves of one file run at
// once; copies of the file left behind by a killed save are removed under that lock.
//
// One thread uses an object. Whoever writes the work file closes it before Commit.

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tarvio {

class TSaveCopy {
public:
    // Raised when the file could only be saved in place and that was not allowed; what()
    // says why ("the file has other hard links", ...).
    class ENeedsInPlace : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Prepares a save of Path (symbolic links are followed to the file itself) that may grow
    // it by up to Reserve bytes. Throws std::system_error when the file cannot be written
    // (missing, read-only, not a regular file), another save of it holds the lock (EBUSY),
    // or there is no room for the copy or the reserve (also beyond the process's file size
    // limit); ENeedsInPlace when only an in-place save is possible and AllowInPlace is
    // false. Nothing is changed then, except that stale copies are gone.
    TSaveCopy(const std::string& Path, uint64_t Reserve, bool AllowInPlace = false);
    // Without a Commit the copy is removed and the original is as it was. In place, the
    // unused reserve is released.
    ~TSaveCopy();
    TSaveCopy(const TSaveCopy&) = delete;
    TSaveCopy& operator=(const TSaveCopy&) = delete;

    // True when the save works on the original itself.
    bool InPlace() const { return FInPlace; }
    // The file to write: the copy (named with Path's extension), or Path itself in place.
    const std::string& WorkPath() const { return FWorkPath; }
    // The file that Commit replaces (Path with symbolic links resolved).
    const std::string& TargetPath() const { return FTargetPath; }
    // The size of the original in bytes.
    int64_t OriginalSize() const { return FSize; }
    // How much the work file grew since construction (negative when it shrank).
    int64_t Growth() const;
    // The work file grew by less than the reserve: every write landed in reserved space.
    bool WithinReserve() const { return Growth() < static_cast<int64_t>(FReserve); }

    // Releases the unused reserve, flushes the work file to the disk and, for a copy, renames
    // it over the original and flushes the folder. Throws std::system_error; the original is
    // then as it was (a copy is removed by the destructor).
    void Commit();

private:
    // Empty when the copy was made; else why only an in-place save is possible.
    std::string MakeCopy(int Original, const struct ::stat& Status);
    void ReserveSpace();
    void ReleaseReserve() const;

    std::string FTargetPath;
    std::string FWorkPath;
    int FWorkFd = -1; // owned
    int FLockFd = -1; // owned: the original, locked; -1 in place (FWorkFd holds the lock)
    int64_t FSize = 0;
    uint64_t FReserve = 0;
    bool FInPlace = false;
    bool FDone = false; // committed, or the copy is gone
};

} // namespace tarvio
