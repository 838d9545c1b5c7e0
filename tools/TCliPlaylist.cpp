#include "tools/TCliPlaylist.h"

#include "stages/TFolderScanner.h"
#include "tools/CliError.h"
#include "tools/TDecoderTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tarvio {

namespace fs = std::filesystem;

namespace {

// A temporary file beside the target that is removed unless Commit renamed it over it.
class TPendingFile {
public:
    explicit TPendingFile(const std::string& Target) : FTarget(Target) {
        FPath = Target + ".tarvio-XXXXXX";
        FFd = mkstemp(FPath.data());
        FCreated = FFd >= 0;
    }
    ~TPendingFile() {
        if (FFd >= 0) close(FFd);
        if (FCreated && !FCommitted) unlink(FPath.c_str());
    }
    TPendingFile(const TPendingFile&) = delete;
    TPendingFile& operator=(const TPendingFile&) = delete;
    bool Valid() const { return FFd >= 0; }
    bool Write(const std::string& Bytes) {
        for (size_t done = 0; done < Bytes.size();) {
            const ssize_t n = write(FFd, Bytes.data() + done, Bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Syncs, gives the file the usual permissions of a new file and renames it over the
    // target.
    bool Commit() {
        const mode_t mask = umask(0);
        umask(mask);
        if (fchmod(FFd, 0666 & ~mask) != 0 || fsync(FFd) != 0) return false;
        const int fd = std::exchange(FFd, -1);
        if (close(fd) != 0 || rename(FPath.c_str(), FTarget.c_str()) != 0) return false;
        FCommitted = true;
        return true;
    }

private:
    std::string FTarget, FPath;
    int FFd = -1;
    bool FCreated = false;
    bool FCommitted = false;
};

fs::path Absolute(const std::string& Path) {
    std::error_code ec;
    fs::path p = fs::absolute(Path, ec).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

} // namespace

std::vector<std::string> TCliPlaylist::Extensions() {
    std::vector<std::string> all;
    for (const TDecoderEntry& e : TDecoderTable::Entries())
        for (const std::string& x : e.Extensions)
            if (std::find(all.begin(), all.end(), x) == all.end()) all.push_back(x);
    return all;
}

int TCliPlaylist::Run(const std::vector<std::string>& Dirs, const std::optional<std::string>& Out) {
    std::vector<std::string> roots;
    for (const std::string& d : Dirs) {
        struct stat st {};
        if (stat(d.c_str(), &st) != 0) {
            PrintError(TFolderScanner::DisplayName(d), std::strerror(errno));
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            PrintError(TFolderScanner::DisplayName(d), "not a folder");
            return 1;
        }
        roots.push_back(Absolute(d).string());
    }
    TFolderScanner scanner(Extensions());
    scanner.OnWarning = [](const std::string& Message) { PrintError("", Message); };
    const std::vector<std::string> files = scanner.Scan(roots);

    const std::string base = (Out ? Absolute(*Out).parent_path() : Absolute(".")).string();
    const std::string prefix = base == "/" ? base : base + "/";
    std::string text = "\xEF\xBB\xBF";
    size_t written = 0;
    for (const std::string& f : files) {
        // A line break inside a name would split the entry in two.
        if (f.find_first_of("\r\n") != std::string::npos) {
            PrintError(TFolderScanner::DisplayName(f), "a line break in the name; left out of the list");
            continue;
        }
        text += f.compare(0, prefix.size(), prefix) == 0 ? f.substr(prefix.size()) : f;
        text += "\r\n";
        ++written;
    }
    if (written == 0) {
        PrintError("", "no playable files found");
        return 1;
    }
    if (!Out) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
            PrintError("", std::string("cannot write the list: ") + std::strerror(errno));
            return 1;
        }
        return 0;
    }
    TPendingFile pending(*Out);
    if (!pending.Valid() || !pending.Write(text) || !pending.Commit()) {
        PrintError(TFolderScanner::DisplayName(*Out), std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace tarvio
