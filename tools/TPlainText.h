#pragma once
// Text that tarvio-cli shows on a terminal comes from files: their names and their tags. A
// title holding ESC [2J must be shown, not obeyed, so every line of text output passes
// through Printable.

#include <string>
#include <string_view>

namespace tarvio {

class TPlainText {
public:
    // Utf8 as UTF-8 with each control character (C0, DEL and the C1 range U+0080 to
    // U+009F) and each byte that is no UTF-8 replaced by U+FFFD; tabs and line ends become
    // blanks, so that a value stays on its line.
    static std::string Printable(std::string_view Utf8);
};

} // namespace tarvio
