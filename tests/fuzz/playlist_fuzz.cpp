// The play list's text: byte-order marks, UTF-16 of either byte order, UTF-8 and the legacy
// code page, and the three kinds of line ends. Every line comes out without a line end and,
// unless the file said it is UTF-8 with a byte-order mark, as valid UTF-8.

#include <string_view>

#include "app/TTextFile.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
    const bool utf8Mark = bytes.substr(0, 3) == "\xEF\xBB\xBF";
    for (const std::string& line : TTextFile::SplitLines(bytes)) {
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(utf8Mark || TTextFile::IsValidUtf8(line));
        fuzz::Touch(line);
    }
    return 0;
}
