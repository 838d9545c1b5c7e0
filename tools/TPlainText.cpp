#include "tools/TPlainText.h"

#include "tags/TCodePage.h"

namespace tarvio {

std::string TPlainText::Printable(std::string_view Utf8) {
    static const char Replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    // The round trip through UTF-16 replaces malformed bytes with U+FFFD.
    const std::string text = TCodePage::WideToUtf8(TCodePage::Utf8ToWide(Utf8));
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t' || c == '\n' || c == '\r') {
            out += ' ';
        } else if (c < 0x20 || c == 0x7F) {
            out += Replacement;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += Replacement; // U+0080 to U+009F: C1 controls, CSI among them
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace tarvio
