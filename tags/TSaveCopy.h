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
// One thread uses an object. Whoever writes the work file closes it before Commit.

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace tarvio {

class TSaveCopy {
public:
    // Prepares a save of Path (symbolic links are followed to the file itself) that may grow
    // it by up to Reserve bytes. Throws std::system_error when the file cannot be written
    // (missing, read-only, not a regular file) or there is no room for the copy or the
    // reserve (also beyond the process's file size limit); nothing is changed then.
    TSaveCopy(const std::string& Path, uint64_t Reserve);
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
    // How much the work file grew since construction (negative when it shrank).
    int64_t Growth() const;
    // The work file grew by less than the reserve: every write landed in reserved space.
    bool WithinReserve() const { return Growth() < static_cast<int64_t>(FReserve); }

    // Releases the unused reserve, flushes the work file to the disk and, for a copy, renames
    // it over the original and flushes the folder. Throws std::system_error; the original is
    // then as it was (a copy is removed by the destructor).
    void Commit();

private:
    bool MakeCopy(int Original, const struct ::stat& Status, const std::string& Path);
    void ReserveSpace();
    void ReleaseReserve() const;

    std::string FTargetPath;
    std::string FWorkPath;
    int FWorkFd = -1; // owned
    int64_t FSize = 0;
    uint64_t FReserve = 0;
    bool FInPlace = false;
    bool FDone = false; // committed, or the copy is gone
};

} // namespace tarvio
