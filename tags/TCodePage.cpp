#include "tags/TCodePage.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <iconv.h>
#include <memory>

namespace tarvio {

namespace {

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

struct TIconvCloser {
    void operator()(void* Cd) const { iconv_close(static_cast<iconv_t>(Cd)); }
};
using TIconvHandle = std::unique_ptr<void, TIconvCloser>;

TIconvHandle OpenIconv(const char* To, const char* From) {
    iconv_t cd = iconv_open(To, From);
    if (cd == reinterpret_cast<iconv_t>(-1)) return TIconvHandle();
    return TIconvHandle(cd);
}

bool IsAscii(std::string_view S) {
    for (char c : S)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool IsAscii(std::u16string_view S) {
    for (char16_t c : S)
        if (c >= 0x80) return false;
    return true;
}

// Runs iconv over the whole input. On a sequence it can't convert it appends Replacement
// and skips SkipBytes(input position) bytes of input.
template <typename TSkip>
std::string RunIconv(iconv_t Cd, const char* In, size_t InBytes, std::string_view Replacement,
                     TSkip SkipBytes) {
    std::string out;
    out.resize(InBytes * 2 + 16);
    size_t used = 0;
    char* inPtr = const_cast<char*>(In);
    size_t inLeft = InBytes;
    while (inLeft > 0) {
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t r = iconv(Cd, &inPtr, &inLeft, &outPtr, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else { // EILSEQ or EINVAL: replace and step over the bad input
            iconv(Cd, nullptr, nullptr, nullptr, nullptr);
            if (out.size() - used < Replacement.size()) out.resize(out.size() * 2 + Replacement.size());
            out.replace(used, Replacement.size(), Replacement);
            used += Replacement.size();
            size_t skip = std::min(inLeft, SkipBytes(inPtr, inLeft));
            inPtr += skip;
            inLeft -= skip;
        }
    }
    out.resize(used);
    return out;
}

} // namespace

const std::string& TCodePage::Name() {
    static const std::string name = [] {
        const char* env = std::getenv("TARVIO_CODEPAGE");
        return std::string(env && *env ? env : "CP1251");
    }();
    return name;
}

std::u16string TCodePage::ToWide(std::string_view Narrow) {
    return ToWide(Narrow, Name());
}

std::u16string TCodePage::ToWide(std::string_view Narrow, const std::string& CodePage) {
    if (IsAscii(Narrow)) return std::u16string(Narrow.begin(), Narrow.end());
    TIconvHandle cd = OpenIconv(kUtf16, CodePage.c_str());
    if (!cd) {
        std::u16string latin;
        for (char c : Narrow)
            latin.push_back(static_cast<unsigned char>(c));
        return latin;
    }
    const char16_t replacement = 0xFFFD;
    std::string bytes = RunIconv(static_cast<iconv_t>(cd.get()), Narrow.data(), Narrow.size(),
                                 std::string_view(reinterpret_cast<const char*>(&replacement), 2),
                                 [](const char*, size_t) { return size_t(1); });
    std::u16string wide(bytes.size() / 2, u'\0');
    std::copy_n(bytes.data(), wide.size() * 2, reinterpret_cast<char*>(wide.data()));
    return wide;
}

std::string TCodePage::ToNarrow(std::u16string_view Wide) {
    return ToNarrow(Wide, Name());
}

std::string TCodePage::ToNarrow(std::u16string_view Wide, const std::string& CodePage) {
    if (IsAscii(Wide)) return std::string(Wide.begin(), Wide.end());
    TIconvHandle cd = OpenIconv(CodePage.c_str(), kUtf16);
    if (!cd) {
        std::string latin;
        for (char16_t c : Wide)
            latin.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
        return latin;
    }
    // A character that can't be converted is one unit, or two when it is a surrogate pair.
    auto skip = [](const char* In, size_t Left) -> size_t {
        if (Left >= 4) {
            char16_t hi, lo;
            std::copy_n(In, 2, reinterpret_cast<char*>(&hi));
            std::copy_n(In + 2, 2, reinterpret_cast<char*>(&lo));
            if (hi >= 0xD800 && hi < 0xDC00 && lo >= 0xDC00 && lo < 0xE000) return 4;
        }
        return 2;
    };
    return RunIconv(static_cast<iconv_t>(cd.get()), reinterpret_cast<const char*>(Wide.data()),
                    Wide.size() * 2, "?", skip);
}

std::u16string TCodePage::Utf8ToWide(std::string_view Utf8) {
    std::u16string out;
    out.reserve(Utf8.size());
    size_t i = 0;
    const size_t n = Utf8.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(Utf8[k]); };
    while (i < n) {
        unsigned char c = byte(i);
        char32_t cp;
        size_t len;
        char32_t min;
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, len = 2, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, len = 3, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, len = 4, min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string TCodePage::WideToUtf8(std::u16string_view Wide) {
    std::string out;
    out.reserve(Wide.size());
    for (size_t i = 0; i < Wide.size(); ++i) {
        char32_t cp = Wide[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < Wide.size() && Wide[i + 1] >= 0xDC00 &&
            Wide[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (Wide[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace tarvio
