#include "tools/TJsonObject.h"

#include <cstdio>

#include "tags/TCodePage.h"

namespace tarvio {

std::string TJsonObject::Quote(std::string_view Utf8) {
    // The round trip through UTF-16 replaces malformed bytes with U+FFFD.
    const std::string text = TCodePage::WideToUtf8(TCodePage::Utf8ToWide(Utf8));
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

void TJsonObject::AddRaw(std::string_view Key, const std::string& Json) {
    if (!FMembers.empty()) FMembers += ", ";
    FMembers += Quote(Key);
    FMembers += ": ";
    FMembers += Json;
}

void TJsonObject::Add(std::string_view Key, std::string_view Utf8Value) {
    AddRaw(Key, Quote(Utf8Value));
}

void TJsonObject::Add(std::string_view Key, int64_t Value) {
    AddRaw(Key, std::to_string(Value));
}

void TJsonObject::Add(std::string_view Key, bool Value) {
    AddRaw(Key, Value ? "true" : "false");
}

void TJsonObject::Add(std::string_view Key, const TJsonObject& Value) {
    AddRaw(Key, Value.Text());
}

void TJsonObject::Add(std::string_view Key, const std::vector<std::string>& Utf8Values) {
    std::string array = "[";
    for (const std::string& v : Utf8Values)
        array += (array.size() > 1 ? ", " : "") + Quote(v);
    AddRaw(Key, array + "]");
}

void TJsonObject::AddNull(std::string_view Key) {
    AddRaw(Key, "null");
}

} // namespace tarvio
