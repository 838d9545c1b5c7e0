#pragma once
// Reading a text file as a list of lines (the play list). A byte-order mark selects
// UTF-8, UTF-16LE or UTF-16BE. Without one the bytes are taken as UTF-8 when they are
// valid UTF-8, else as text in the legacy code page (TCodePage). Lines end in CR, LF or
// CR LF; empty lines are lines too; a line break at the very end adds none.

#include <string>
#include <string_view>
#include <vector>

namespace tarvio {

class TTextFile {
public:
    // Lines of FileName as UTF-8. Throws EFOpenError when the file cannot be read.
    static std::vector<std::string> ReadLines(const std::string& FileName);
    // The same rules over bytes already in memory.
    static std::vector<std::string> SplitLines(std::string_view Bytes);
    static bool IsValidUtf8(std::string_view Bytes);
};

} // namespace tarvio
