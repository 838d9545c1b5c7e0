#pragma once
// Text conversions at the file boundary. "Narrow" text is in the process's legacy code page
// (TARVIO_CODEPAGE, "CP1251" when unset); "wide" text is UTF-16. All functions are pure and
// may be called from any thread.

#include <string>
#include <string_view>

namespace tarvio {

class TCodePage {
public:
    // The process-wide legacy code page, read from TARVIO_CODEPAGE once, on first use.
    static const std::string& Name();

    // Legacy code page bytes to UTF-16. Bytes the code page does not define become U+FFFD.
    // When the code page is unknown to iconv, bytes are taken as ISO-8859-1.
    static std::u16string ToWide(std::string_view Narrow);
    static std::u16string ToWide(std::string_view Narrow, const std::string& CodePage);

    // UTF-16 to legacy code page bytes. Characters the code page lacks, and unpaired
    // surrogates, become '?'.
    static std::string ToNarrow(std::u16string_view Wide);
    static std::string ToNarrow(std::u16string_view Wide, const std::string& CodePage);

    // UTF-8 to UTF-16; each malformed byte sequence becomes one U+FFFD.
    static std::u16string Utf8ToWide(std::string_view Utf8);
    // UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
    static std::string WideToUtf8(std::u16string_view Wide);
};

} // namespace tarvio
