#pragma once
// A JSON object written on one line, members in the order they are added. Strings are
// taken as UTF-8; malformed sequences become U+FFFD so the output is always valid JSON.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvio {

class TJsonObject {
public:
    void Add(std::string_view Key, std::string_view Utf8Value);
    void Add(std::string_view Key, const char* Utf8Value) { Add(Key, std::string_view(Utf8Value)); }
    void Add(std::string_view Key, int64_t Value);
    void Add(std::string_view Key, bool Value);
    void Add(std::string_view Key, const TJsonObject& Value);
    // An array of strings.
    void Add(std::string_view Key, const std::vector<std::string>& Utf8Values);
    void AddNull(std::string_view Key);

    // "{...}" without a line end.
    std::string Text() const { return "{" + FMembers + "}"; }

    // Value as a JSON string literal, quotes included.
    static std::string Quote(std::string_view Utf8);

private:
    void AddRaw(std::string_view Key, const std::string& Json);

    std::string FMembers;
};

} // namespace tarvio
