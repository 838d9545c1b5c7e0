#include "stages/TMountWatcher.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tarvio {

namespace {

// Undoes the kernel's octal escapes ("\040" for a blank) in a mountinfo field.
std::string Unescape(std::string_view Field) {
    std::string out;
    for (size_t i = 0; i < Field.size(); ++i) {
        if (Field[i] == '\\' && Field.size() - i >= 4 && Field[i + 1] >= '0' && Field[i + 1] <= '3' &&
            Field[i + 2] >= '0' && Field[i + 2] <= '7' && Field[i + 3] >= '0' && Field[i + 3] <= '7') {
            out += static_cast<char>((Field[i + 1] - '0') * 64 + (Field[i + 2] - '0') * 8 +
                                     (Field[i + 3] - '0'));
            i += 3;
        } else {
            out += Field[i];
        }
    }
    return out;
}

bool Below(const std::string& Path, const std::string& Folder) {
    const std::string prefix = Folder == "/" ? Folder : Folder + "/";
    return Path.size() > prefix.size() && Path.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TMountWatcher::TMountWatcher(std::string Folder) : FFolder(std::move(Folder)) {
    while (FFolder.size() > 1 && FFolder.back() == '/')
        FFolder.pop_back();
}

TMountWatcher::~TMountWatcher() {
    if (FThread.joinable()) {
        const uint64_t one = 1;
        (void)!write(FStop.Get(), &one, sizeof one);
        FThread.join();
    }
}

std::vector<std::string> TMountWatcher::MountsBelow(const std::string& Folder, std::string_view MountInfo) {
    std::string folder = Folder;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::vector<std::string> all;
    size_t pos = 0;
    while (pos < MountInfo.size()) {
        size_t end = MountInfo.find('\n', pos);
        if (end == std::string_view::npos) end = MountInfo.size();
        const std::string_view line = MountInfo.substr(pos, end - pos);
        pos = end + 1;
        // id parent major:minor root MOUNT-POINT options ...
        size_t field = 0, at = 0;
        for (; field < 4 && at != std::string_view::npos; ++field) {
            at = line.find(' ', at);
            if (at != std::string_view::npos) ++at;
        }
        if (at == std::string_view::npos || at >= line.size()) continue;
        const std::string mount = Unescape(line.substr(at, line.find(' ', at) - at));
        if (Below(mount, folder)) all.push_back(mount);
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    std::vector<std::string> top;
    for (const std::string& m : all)
        if (top.empty() || !Below(m, top.back())) top.push_back(m);
    return top;
}

std::vector<std::string> TMountWatcher::ReadMounts() const {
    std::string text;
    char buf[16384];
    if (lseek(FMountInfo.Get(), 0, SEEK_SET) != 0) return {};
    for (ssize_t n; (n = read(FMountInfo.Get(), buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        text.append(buf, static_cast<size_t>(n));
    }
    return MountsBelow(FFolder, text);
}

bool TMountWatcher::Start() {
    if (FThread.joinable()) return true;
    // The mount table names real paths.
    char real[PATH_MAX];
    if (realpath(FFolder.c_str(), real)) FFolder = real;
    FMountInfo = TUniqueFd(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    FStop = TUniqueFd(eventfd(0, EFD_CLOEXEC));
    if (!FMountInfo.Valid() || !FStop.Valid()) return false;
    FInotify = TUniqueFd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    // A folder that does not exist yet is seen through the mount table alone.
    if (FInotify.Valid())
        inotify_add_watch(FInotify.Get(), FFolder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR);
    {
        std::lock_guard<std::mutex> lock(FLock);
        FPresent = ReadMounts();
    }
    FThread = std::thread([this] { Run(); });
    return true;
}

std::vector<std::string> TMountWatcher::Present() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FPresent;
}

void TMountWatcher::Run() {
    std::vector<std::string> known = Present();
    for (;;) {
        pollfd fds[3] = {
            {FStop.Get(), POLLIN, 0}, {FMountInfo.Get(), POLLPRI, 0}, {FInotify.Get(), POLLIN, 0}};
        const int n = poll(fds, FInotify.Valid() ? 3 : 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        if (fds[2].revents & POLLIN) {
            char events[4096];
            while (read(FInotify.Get(), events, sizeof events) > 0) {
            }
        }
        const std::vector<std::string> now = ReadMounts();
        for (const std::string& m : known)
            if (!std::binary_search(now.begin(), now.end(), m) && OnVanished) OnVanished(m);
        for (const std::string& m : now)
            if (!std::binary_search(known.begin(), known.end(), m) && OnAppeared) OnAppeared(m);
        known = now;
    }
}

} // namespace tarvio
