// Files of every type the tag editor reads, made of the fuzzer's bytes: the first byte picks
// the extension, the rest is the file. The editor reads it, its conflicts are listed, the
// editor writes new values into it (a copy replaces it; TagLib's save runs in a child process)
// and reads it again. TagLib opens files by name only, so the bytes go to a scratch file in a
// folder of this process's own (in /dev/shm where there is one) rather than through a memory
// stream.
//
// EAuException is the editor's answer to a file it cannot save; anything else is a crash.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pipeline/EAuException.h"
#include "tags/TTagConflicts.h"
#include "tags/TTagEditor.h"

using namespace tarvio;

namespace {

volatile uint32_t Sink;

std::string ScratchFolder() {
    std::string pattern =
        (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/tageditor-fuzz-XXXXXX");
    if (!mkdtemp(pattern.data())) std::abort();
    // Gone with the process when it ends normally (a crash leaves it, with its input).
    static std::string folder = pattern;
    std::atexit([] { std::filesystem::remove_all(folder); });
    return pattern;
}

void Touch(const TTagEditor& E) {
    Sink = Sink +
           static_cast<uint32_t>(E.Title().size() + E.Artist().size() + E.Album().size() + E.Genre().size() +
                                 E.Year().size() + E.Track().size()) +
           E.Duration() + E.Bitrate();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    static const std::string folder = ScratchFolder();
    static const char* const extensions[] = {".mp3", ".wma", ".m4a", ".flac", ".wv", ".ogg"};
    const std::string path = folder + "/input" + extensions[Data[0] % 6];
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(Data + 1), static_cast<std::streamsize>(Size - 1));
    }
    TTagEditor editor;
    editor.SetFileName(path);
    Touch(editor);
    Sink = Sink + static_cast<uint32_t>(TTagConflicts::Find(path).size());
    if (editor.Valid()) {
        editor.SetTitle(u"Группа крови");
        editor.SetArtist(u"");
        editor.SetYear(u"1988");
        editor.SetTrack(u"7");
        editor.SetTimeLimit(2000); // a save TagLib never ends costs the run no more
        try {
            editor.Save();
        } catch (const EAuException&) {
        }
        editor.SetFileName(path);
        Touch(editor);
    }
    unlink(path.c_str());
    return 0;
}
