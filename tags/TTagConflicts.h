#pragma once
// The values a file holds more than once for a common field, where they differ: duplicate
// ID3v2 frames, an ID3v1 tag that says otherwise than the ID3v2 tag (beyond what its 30-byte
// fields cut off), a Vorbis comment name repeated within or across a FLAC file's comment
// blocks. Readers choose differently among such values (this project's readers take the last,
// TagLib, ffprobe and mutagen mostly the first), so these are why players disagree.
//
// Reads the file itself, not through TagLib. Any thread.

#include <string>
#include <vector>

namespace tarvio {

class TTagConflicts {
public:
    // One UTF-8 line per field in conflict, the field's name and its values with where each
    // is: `artist: "Кино" (ID3v2), "jzig" (ID3v2)`. Empty when there are none, and for a file
    // that cannot be read.
    static std::vector<std::string> Find(const std::string& Path);
};

} // namespace tarvio
