#pragma once
// Read-only INI file with the semantics of the private-profile functions: "[section]"
// headers and "key=value" lines, sections and keys compared without regard to ASCII
// case, the first matching section and key win, values trimmed of blanks and of one
// pair of enclosing quotes, lines starting with ';' ignored. A missing or unreadable
// file, section or key gives the caller's default. The file is read once, in the
// constructor; text is kept as bytes (UTF-8 expected, a UTF-8 byte-order mark is skipped).

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvio {

class TIniFile {
public:
    explicit TIniFile(const std::string& FileName);

    // Parses the text of an INI file (for files already in memory).
    static TIniFile FromText(std::string_view Text);

    const std::string& FileName() const { return FFileName; }
    // The value of Key in Section; Default when either is absent. A present key with an
    // empty value gives "".
    std::string ReadString(std::string_view Section, std::string_view Key, const std::string& Default) const;
    // The value as a 32-bit integer: decimal, "$hex" or "0xhex", optionally signed; hex
    // values up to FFFFFFFF wrap to negative. Anything that does not parse gives Default.
    int32_t ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const;

    // The integer rule of ReadInteger on its own; false when Text does not parse.
    static bool ParseInteger(std::string_view Text, int32_t& Value);

private:
    TIniFile() = default;
    void Parse(std::string_view Text);
    const std::string* Find(std::string_view Section, std::string_view Key) const;

    struct TSection {
        std::string Name;
        std::vector<std::pair<std::string, std::string>> Keys; // in file order
    };
    std::string FFileName;
    std::vector<TSection> FSections; // in file order
};

} // namespace tarvio
