#include "app/TTextFile.h"

#include "app/EFOpenError.h"
#include "tags/TCodePage.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tarvio {

namespace {

std::string Utf16ToUtf8(std::string_view Bytes, bool BigEndian) {
    std::u16string wide;
    wide.reserve(Bytes.size() / 2);
    for (size_t i = 0; i + 1 < Bytes.size(); i += 2) {
        auto a = static_cast<unsigned char>(Bytes[i]), b = static_cast<unsigned char>(Bytes[i + 1]);
        wide.push_back(static_cast<char16_t>(BigEndian ? (a << 8) | b : (b << 8) | a));
    }
    return TCodePage::WideToUtf8(wide);
}

} // namespace

bool TTextFile::IsValidUtf8(std::string_view Bytes) {
    size_t i = 0;
    while (i < Bytes.size()) {
        auto c = static_cast<unsigned char>(Bytes[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= Bytes.size()) return false;
            auto t = static_cast<unsigned char>(Bytes[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

std::vector<std::string> TTextFile::SplitLines(std::string_view Bytes) {
    std::string text;
    if (Bytes.substr(0, 3) == "\xEF\xBB\xBF")
        text = Bytes.substr(3);
    else if (Bytes.substr(0, 2) == "\xFF\xFE")
        text = Utf16ToUtf8(Bytes.substr(2), false);
    else if (Bytes.substr(0, 2) == "\xFE\xFF")
        text = Utf16ToUtf8(Bytes.substr(2), true);
    else if (IsValidUtf8(Bytes))
        text = Bytes;
    else
        text = TCodePage::WideToUtf8(TCodePage::ToWide(Bytes));

    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }
    return lines;
}

std::vector<std::string> TTextFile::ReadLines(const std::string& FileName) {
    std::ifstream in(FileName, std::ios::binary);
    if (!in) throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(errno));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw EFOpenError("Cannot read file \"" + FileName + "\". " + std::strerror(errno));
    return SplitLines(bytes);
}

} // namespace tarvio
