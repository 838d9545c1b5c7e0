#pragma once
// Where playback was: the play list's source, the entry that played, the frame it had
// reached and whether it was playing. Kept in one small INI file (resume.ini) that is
// replaced whole on every save: the new text goes to a file of its own, is synced, renamed
// over the old one and the folder synced, so a power cut at any instant leaves the old
// state or the new one, never a mix. No Qt; any one thread at a time.

#include <cstdint>
#include <optional>
#include <string>

namespace tarvio {

struct TResumePlace {
    // What the play list came from: "list:" + the absolute path of a play list file, or
    // "fs:" + a file system's id for a folder (see FolderSource).
    std::string Source;
    std::string Label;    // a name for people (a volume label, a file name); may be empty
    std::string Entry;    // the entry's path as the play list holds it
    int64_t Index = -1;   // its place in the list (0-based; -1 unknown): tells repeats apart
    int64_t Frame = 0;    // frames from the start of the entry
    bool Playing = false; // false: it was paused
};

class TResumeState {
public:
    // $XDG_STATE_HOME/tarvio/resume.ini, with ~/.local/state when the variable is unset,
    // empty or relative. Empty when neither it nor $HOME is usable.
    static std::string DefaultPath();

    // The source string of a play list file: "list:" + its absolute, normalised path.
    static std::string ListSource(const std::string& ListPath);
    // The source string of a folder: "fs:" + the UUID of the file system holding it (from
    // /dev/disk/by-uuid) or, without one, its statfs id; Label gets the volume label from
    // /dev/disk/by-label when one names the same device. Empty when the folder cannot be
    // examined.
    static std::string FolderSource(const std::string& Dir, std::string* Label = nullptr);

    // Reads Path. Nothing when the file is absent (quietly) or is not a complete state of
    // this program (a warning naming the file and the fault goes to standard error).
    static std::optional<TResumePlace> Load(const std::string& Path);
    // As Load, and only when the saved place belongs to Source: what a newly found play
    // list calls to learn where to start.
    static std::optional<TResumePlace> Find(const std::string& Path, const std::string& Source);
    // Parses the text of a state file; Error says why when the result is empty.
    static std::optional<TResumePlace> Parse(const std::string& Text, std::string& Error);
    // The file text for Place. Backslashes and line breaks in values are escaped.
    static std::string Format(const TResumePlace& Place);
    // Writes Place to Path as described above, creating missing folders. False, with the
    // reason in Error, when any step fails; the old file is then untouched.
    static bool Save(const std::string& Path, const TResumePlace& Place, std::string& Error);
};

} // namespace tarvio
