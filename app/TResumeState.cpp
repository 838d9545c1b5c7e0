#include "app/TResumeState.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace tarvio {

namespace {

namespace fs = std::filesystem;

constexpr const char* Section = "[resume]";
constexpr int64_t MaxFileBytes = 64 * 1024; // a state file is a few hundred bytes

// Closes a POSIX descriptor when it goes out of scope.
struct TFd {
    int Fd;
    explicit TFd(int F) : Fd(F) {}
    ~TFd() {
        if (Fd >= 0) ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    // Closes now and reports whether close succeeded (a deferred write error shows here).
    bool Close() {
        const int f = Fd;
        Fd = -1;
        return ::close(f) == 0;
    }
};

std::string Escape(const std::string& Value) {
    std::string out;
    for (char c : Value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

bool Unescape(const std::string& Value, std::string& Out) {
    Out.clear();
    for (size_t i = 0; i < Value.size(); ++i) {
        if (Value[i] != '\\') {
            Out += Value[i];
            continue;
        }
        if (++i == Value.size()) return false;
        switch (Value[i]) {
        case '\\':
            Out += '\\';
            break;
        case 'n':
            Out += '\n';
            break;
        case 'r':
            Out += '\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

// The entry of /dev/disk/<Kind> whose device node is Device; empty when none is.
std::string DiskName(const char* Kind, dev_t Device) {
    std::error_code ec;
    for (fs::directory_iterator it(fs::path("/dev/disk") / Kind, ec), end; !ec && it != end;
         it.increment(ec)) {
        struct stat st {};
        if (::stat(it->path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == Device)
            return it->path().filename().string();
    }
    return {};
}

std::string Hex(uint64_t Value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(Value));
    return text;
}

} // namespace

std::string TResumeState::DefaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/tarvio/resume.ini";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/state/tarvio/resume.ini";
    return {};
}

std::string TResumeState::ListSource(const std::string& ListPath) {
    std::error_code ec;
    fs::path path = fs::absolute(ListPath, ec);
    if (ec) path = ListPath;
    return "list:" + path.lexically_normal().string();
}

std::string TResumeState::FolderSource(const std::string& Dir, std::string* Label) {
    struct stat st {};
    if (::stat(Dir.c_str(), &st) != 0) return {};
    if (Label) *Label = DiskName("by-label", st.st_dev);
    const std::string uuid = DiskName("by-uuid", st.st_dev);
    if (!uuid.empty()) return "fs:uuid=" + uuid;
    struct statfs sf {};
    if (::statfs(Dir.c_str(), &sf) != 0) return {};
    uint64_t id = 0;
    std::memcpy(&id, &sf.f_fsid, std::min(sizeof id, sizeof sf.f_fsid));
    // Some file systems (tmpfs, overlays) report no id: their device number stands in.
    if (id == 0) return "fs:dev=" + Hex(static_cast<uint64_t>(st.st_dev));
    return "fs:id=" + Hex(id);
}

std::optional<TResumePlace> TResumeState::Parse(const std::string& Text, std::string& Error) {
    std::istringstream in(Text);
    std::string line;
    bool inSection = false, sawVersion = false, sawFrame = false, sawPlaying = false, ended = false;
    TResumePlace place;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (ended) {
            Error = "text after the end mark";
            return std::nullopt;
        }
        if (!inSection) {
            if (line != Section) {
                Error = "no [resume] section at the start";
                return std::nullopt;
            }
            inSection = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            Error = "a line without '='";
            return std::nullopt;
        }
        const std::string key = line.substr(0, eq);
        std::string value;
        if (!Unescape(line.substr(eq + 1), value)) {
            Error = "a bad escape in " + key;
            return std::nullopt;
        }
        if (key == "Version") {
            if (value != "1") {
                Error = "version " + value + " is not known";
                return std::nullopt;
            }
            sawVersion = true;
        } else if (key == "Source") {
            place.Source = value;
        } else if (key == "Label") {
            place.Label = value;
        } else if (key == "Entry") {
            place.Entry = value;
        } else if (key == "Index") {
            if (value.empty() || value.size() > 9 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                Error = "Index is not a list index";
                return std::nullopt;
            }
            place.Index = std::stoll(value);
        } else if (key == "Frame") {
            if (value.empty() || value.size() > 18 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                Error = "Frame is not a frame number";
                return std::nullopt;
            }
            place.Frame = std::stoll(value);
            sawFrame = true;
        } else if (key == "Playing") {
            if (value != "0" && value != "1") {
                Error = "Playing is neither 0 nor 1";
                return std::nullopt;
            }
            place.Playing = value == "1";
            sawPlaying = true;
        } else if (key == "End") {
            ended = true;
        }
        // Other keys are left to later versions of the file.
    }
    if (!inSection) {
        Error = "the file is empty";
        return std::nullopt;
    }
    if (!sawVersion || place.Source.empty() || place.Entry.empty() || !sawFrame || !sawPlaying || !ended) {
        Error = "the state is incomplete";
        return std::nullopt;
    }
    return place;
}

std::string TResumeState::Format(const TResumePlace& Place) {
    return std::string(Section) + "\nVersion=1\nSource=" + Escape(Place.Source) +
           "\nLabel=" + Escape(Place.Label) + "\nEntry=" + Escape(Place.Entry) +
           (Place.Index >= 0 ? "\nIndex=" + std::to_string(Place.Index) : std::string()) +
           "\nFrame=" + std::to_string(std::max<int64_t>(Place.Frame, 0)) +
           "\nPlaying=" + (Place.Playing ? "1" : "0") + "\nEnd=1\n";
}

std::optional<TResumePlace> TResumeState::Load(const std::string& Path) {
    std::error_code ec;
    if (Path.empty() || !fs::exists(Path, ec)) return std::nullopt;
    std::string error;
    std::optional<TResumePlace> place;
    const auto size = fs::file_size(Path, ec);
    if (ec) {
        error = ec.message();
    } else if (static_cast<int64_t>(size) > MaxFileBytes) {
        error = "the file is too large";
    } else {
        std::ifstream in(Path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in && !in.eof())
            error = "the file cannot be read";
        else
            place = Parse(text.str(), error);
    }
    if (!place) std::fprintf(stderr, "tarvio: %s ignored: %s\n", Path.c_str(), error.c_str());
    return place;
}

std::optional<TResumePlace> TResumeState::Find(const std::string& Path, const std::string& Source) {
    std::optional<TResumePlace> place = Load(Path);
    if (place && place->Source != Source) return std::nullopt;
    return place;
}

bool TResumeState::Save(const std::string& Path, const TResumePlace& Place, std::string& Error) {
    auto fail = [&](const std::string& What) {
        Error = What + ": " + std::strerror(errno);
        return false;
    };
    if (Path.empty()) {
        Error = "no place for the state file";
        return false;
    }
    const fs::path path(Path);
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        Error = dir.string() + ": " + ec.message();
        return false;
    }
    const std::string temp = Path + ".new";
    const std::string text = Format(Place);
    {
        TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.Fd < 0) return fail(temp);
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd.Fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const bool ok = fail(temp);
                ::unlink(temp.c_str());
                return ok;
            }
            done += static_cast<size_t>(n);
        }
        if (::fsync(fd.Fd) != 0 || !fd.Close()) {
            const bool ok = fail(temp);
            ::unlink(temp.c_str());
            return ok;
        }
    }
    if (::rename(temp.c_str(), Path.c_str()) != 0) {
        const bool ok = fail(Path);
        ::unlink(temp.c_str());
        return ok;
    }
    // The rename itself lives in the folder: sync it so the new name survives a power cut.
    TFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Fd < 0 || ::fsync(folder.Fd) != 0) return fail(dir.string());
    return true;
}

} // namespace tarvio
