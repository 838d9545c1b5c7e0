#pragma once
// tarvio-cli tags: prints the common tags, length and bit rate of files through the tag
// editor (TagLib), or writes new values into one file and reads it back to confirm. A write
// is checked against this build's decoders: it must leave the decoded audio as it was.
// Messages go to standard error as one line each; texts are UTF-8.

#include <string>
#include <utility>
#include <vector>

namespace tarvio {

class TCliTags {
public:
    // Takes one "--set" value, KEY=VALUE: KEY one of title, artist, album, genre, year,
    // track (any letter case); year and track a decimal number below 2^32, or empty, which
    // like 0 removes the field. The last value of a key counts. False with the reason in
    // Error for anything else.
    bool AddSet(const std::string& KeyValue, std::string& Error);
    // True when values were given: the command writes.
    bool Writing() const { return !FSets.empty(); }
    // Lets a file that a copy cannot replace be saved in place (see TTagEditor).
    void SetInPlace(bool Value) { FInPlace = Value; }

    // Without values: prints each file's tags, as text blocks or one JSON object per line.
    // With values: writes them into Files[0] (the only file), then prints the tags read back.
    // Returns 0, or 1 when a file cannot be read, cannot be written, or reads back other
    // values than were written (the other files are still handled).
    int Run(const std::vector<std::string>& Files, bool Json) const;

private:
    int Write(const std::string& File, bool Json) const;

    std::vector<std::pair<std::string, std::string>> FSets; // key (lower case), value
    bool FInPlace = false;
};

} // namespace tarvio
