// INI text as the player reads its "config.ini" and a skin's "skin.ini": sections, keys,
// quotes, comments and the integer forms. An integer that parses prints and parses back to
// the same value.

#include <string>
#include <string_view>

#include "app/TIniFile.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

namespace {

void CheckInteger(std::string_view Text) {
    int32_t value = 0;
    if (!TIniFile::ParseInteger(Text, value)) return;
    int32_t again = 0;
    FUZZ_CHECK(TIniFile::ParseInteger(std::to_string(value), again) && again == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view text(reinterpret_cast<const char*>(Data), Size);
    const TIniFile ini = TIniFile::FromText(text);
    static const char* const strings[][2] = {{"skin", "name"},     {"images", "play"},   {"images", "play1"},
                                             {"images", "pause"},  {"images", "pause1"}, {"images", "left1"},
                                             {"images", "right1"}, {"images", "open1"},  {"buttons", "mask"}};
    for (const auto& key : strings) {
        const std::string value = ini.ReadString(key[0], key[1], "default");
        fuzz::Touch(value);
        CheckInteger(value);
    }
    static const char* const integers[][2] = {
        {"skin", "BgCnt"},       {"skin", "BgStart"},    {"buttons", "ColPlay"}, {"buttons", "ColLeft"},
        {"buttons", "ColRight"}, {"buttons", "ColOpen"}, {"buttons", "ColClose"}};
    for (const auto& key : integers)
        fuzz::Keep(static_cast<uint32_t>(ini.ReadInteger(key[0], key[1], 12345)));
    CheckInteger(text);
    return 0;
}
