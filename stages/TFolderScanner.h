#pragma once
// Builds a play order from folders: walks them (depth first; a folder's files, then its
// subfolders), keeps the files whose extension is in a given list and orders them. Folders
// and, where tags do not decide, files go in natural order (digit runs compared as numbers,
// letters without case, Cyrillic by its alphabet with Ё after Е, Latin before Cyrillic).
// Inside a folder whose every kept file has a track number in its tags, files go by disc,
// then track number.
//
// Paths are kept as the file system's bytes, so a name that is not UTF-8 (a stick written
// by another system) still opens; DisplayName turns it into UTF-8 for the screen.
// Only regular files are opened (non-blocking, so a FIFO or device never blocks), and only
// for their tags; a folder reached twice (a symbolic link back into the walk, a bind mount)
// is walked once; a folder that cannot be read gives one warning and is skipped.
//
// Start runs the walk on a worker thread owned by this object; the destructor cancels and
// joins it. Scan does the same walk on the calling thread.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarvio {

class TFolderScanner {
public:
    // Extensions: the kept files' extensions, lower case, dot included (".flac").
    explicit TFolderScanner(std::vector<std::string> Extensions);
    ~TFolderScanner();
    TFolderScanner(const TFolderScanner&) = delete;
    TFolderScanner& operator=(const TFolderScanner&) = delete;

    // Callbacks, called on the thread that walks (the worker after Start). Set them before
    // Start; they must not call Start, Cancel or Wait of this object.
    // A folder is done: its kept files in order (not called for a folder with none).
    // Folders come in the final order, so appending them builds the whole list.
    std::function<void(const std::string& Folder, const std::vector<std::string>& Files)> OnFolderDone;
    // Files kept so far; after each folder.
    std::function<void(size_t FilesFound)> OnProgress;
    // One line per folder that could not be read (and per root that is no folder).
    std::function<void(const std::string& Message)> OnWarning;
    // The walk ended (Cancelled: stopped early); the last call of a walk.
    std::function<void(bool Cancelled)> OnDone;

    // Starts walking Roots (paths, in the given order) on the worker thread. A walk still
    // running is cancelled and joined first.
    void Start(std::vector<std::string> Roots);
    // Asks the worker to stop soon (between two directory entries); does not wait.
    void Cancel();
    // Waits for the worker to end; at once when none runs.
    void Wait();
    bool Running() const { return FRunning.load(); }

    // The same walk on the calling thread; returns the ordered paths.
    std::vector<std::string> Scan(const std::vector<std::string>& Roots);

    // The paths kept so far by the current or last walk, in order; any thread.
    std::vector<std::string> Files() const;
    size_t FilesFound() const;
    std::vector<std::string> Warnings() const;

    // Natural order of two names (bytes; UTF-8 or, when not valid UTF-8, the legacy code
    // page). Equal-looking names ("02" and "2", "A" and "a") fall back to byte order, so the
    // order is total.
    static bool NaturalLess(std::string_view A, std::string_view B);
    // Name as UTF-8 for showing: the bytes when they are valid UTF-8, else decoded with the
    // legacy code page (TCodePage).
    static std::string DisplayName(std::string_view Bytes);

private:
    struct TWalk;
    void Run(const std::vector<std::string>& Roots);

    const std::vector<std::string> FExtensions;
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FRunning{false};
    mutable std::mutex FLock;
    std::vector<std::string> FFiles;    // guarded by FLock
    std::vector<std::string> FWarnings; // guarded by FLock
    std::thread FWorker;
};

} // namespace tarvio
