#pragma once
// Watches a folder (such as /media or /run/media/USER) for file systems mounted on folders
// below it and unmounted again: inotify on the folder and a poll on /proc/self/mountinfo,
// which the kernel marks (POLLPRI) at every change of the mount table. Only the topmost
// mount points below the folder count (a mount inside a stick is part of that stick).
//
// The watcher thread is owned by this object; the destructor stops and joins it.

#include "stages/TUniqueFd.h"

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarvio {

class TMountWatcher {
public:
    // Folder: the watched folder; it need not exist yet.
    explicit TMountWatcher(std::string Folder);
    ~TMountWatcher();
    TMountWatcher(const TMountWatcher&) = delete;
    TMountWatcher& operator=(const TMountWatcher&) = delete;

    // Called on the watcher thread with the mount point's path, each time the mount table
    // changed. Set before Start.
    std::function<void(const std::string& MountPoint)> OnAppeared;
    std::function<void(const std::string& MountPoint)> OnVanished;

    // Takes the mount points below the folder now as present (no callback for them) and
    // starts watching. False, with nothing started, when /proc/self/mountinfo cannot be
    // opened.
    bool Start();
    // The mount points present at Start, sorted; any thread.
    std::vector<std::string> Present() const;

    // The topmost mount points strictly below Folder in a mountinfo text (as the kernel
    // writes /proc/self/mountinfo: octal escapes in the mount point), sorted.
    static std::vector<std::string> MountsBelow(const std::string& Folder, std::string_view MountInfo);

private:
    void Run();
    std::vector<std::string> ReadMounts() const;

    std::string FFolder; // as given, then resolved to its real path where it exists
    TUniqueFd FMountInfo;
    TUniqueFd FInotify;
    TUniqueFd FStop; // eventfd that wakes the thread to end
    mutable std::mutex FLock;
    std::vector<std::string> FPresent; // guarded by FLock
    std::thread FThread;
};

} // namespace tarvio
