#pragma once
// tarvio-cli playlist: writes the scanner's order of folders as a play list the player
// reads: UTF-8 with a byte-order mark, one path per line (CR LF), relative to the list's
// folder when the file lies below it, else absolute. Names are written as the file
// system's bytes.

#include <optional>
#include <string>
#include <vector>

namespace tarvio {

class TCliPlaylist {
public:
    // Scans Dirs and writes the list to Out (replacing it only once the whole list is
    // written and synced), or to standard output with paths relative to the current
    // directory. Warnings and errors go to standard error. Exit status: 0, or 1 when a DIR
    // is no folder, nothing playable was found or the list cannot be written (Out is then
    // left as it was).
    static int Run(const std::vector<std::string>& Dirs, const std::optional<std::string>& Out);

    // The extensions the scan keeps (lower case, dot included): those of the decoder table.
    static std::vector<std::string> Extensions();
};

} // namespace tarvio
