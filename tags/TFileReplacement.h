#pragma once
// A new version of an open file, written beside it in the same folder and put in its place
// by a rename once it is complete and on the device. Until the rename the old file is only
// read, so a failure at any step, also one that persists, leaves it as it was; after the
// rename its name holds the complete new file. Not thread-safe: the thread that uses the
// original descriptor uses this.

#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tags/TFileHandle.h"

namespace tarvio {

class TFileReplacement {
public:
    // Prepares an empty new file beside Original's file, with its owner, mode, extended
    // attributes (ACLs among them) and the flock lock its descriptor holds. Not Ready(), and
    // nothing left behind, when the file can't be replaced without others seeing a
    // difference other than the contents: not a regular file, more than one name (hard
    // links), no name (deleted, or no /proc), a record lock held through the descriptor, no
    // room or permission for a new file in the folder, or an owner or attribute this process
    // may not set.
    explicit TFileReplacement(TFileHandle& Original);
    // Removes the new file unless it was committed.
    ~TFileReplacement();
    TFileReplacement(const TFileReplacement&) = delete;
    TFileReplacement& operator=(const TFileReplacement&) = delete;

    bool Ready() const { return FNew != nullptr; }
    // The new file, empty at first: write its whole contents here. Only while Ready().
    TFileHandle& NewFile() { return *FNew; }

    // Syncs the new file and renames it over the old name, as long as that name still
    // refers to Original's file; false, with the old file untouched and the new one
    // removed, when either fails. After the rename the folder is synced (best effort) and
    // Original's descriptor number is made to refer to the new file, keeping its status and
    // close-on-exec flags, positioned at the end. Other descriptors of the old file, such as
    // a decoder's, keep reading the old contents until they are closed.
    bool Commit();

    // The name of a new file for Path, before mkstemp's six characters: Path's folder, a dot,
    // Path's file name (its first 200 bytes) and ".tarvio-". Savers of tags (this class and
    // TSaveCopy) all name their copies so.
    static std::string HiddenPrefix(const std::string& Path);
    // The file names (without folder) of copies of Path left behind by a save that was
    // killed: regular files named HiddenPrefix(Path) and six characters. Empty when there
    // are none or the folder cannot be read.
    static std::vector<std::string> StaleCopies(const std::string& Path);

private:
    bool Prepare();
    void Discard();

    TFileHandle& FOriginal;
    struct stat FStat {};
    std::string FPath;    // the original's name
    std::string FNewPath; // the new file's name until the rename
    THandle FNewFd = -1;  // owned
    std::unique_ptr<TFileHandle> FNew;
};

} // namespace tarvio
