#pragma once
// A strict reader of one JSON value, enough to check the tool's output: objects, arrays,
// strings (every escape, surrogate pairs), integers, true, false, null. Anything that is
// not valid JSON (a raw control character in a string, a bad escape, trailing text) makes
// Parse return false.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarvio::test {

struct TJson {
    enum TKind { jNull, jBool, jNumber, jString, jArray, jObject } Kind = jNull;
    bool Bool = false;
    int64_t Number = 0;
    std::string String; // UTF-8
    std::vector<TJson> Array;
    std::vector<std::pair<std::string, TJson>> Members; // in order

    const TJson* Find(const std::string& Key) const {
        for (const auto& [k, v] : Members)
            if (k == Key) return &v;
        return nullptr;
    }
    const TJson& operator[](const std::string& Key) const {
        static const TJson missing;
        const TJson* v = Find(Key);
        return v ? *v : missing;
    }

    static bool Parse(const std::string& Text, TJson& Out) {
        size_t pos = 0;
        if (!Value(Text, pos, Out)) return false;
        Space(Text, pos);
        return pos == Text.size();
    }

private:
    static void Space(const std::string& s, size_t& p) {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r'))
            ++p;
    }
    static bool Literal(const std::string& s, size_t& p, const char* word) {
        const std::string w = word;
        if (s.compare(p, w.size(), w) != 0) return false;
        p += w.size();
        return true;
    }
    static void Utf8(std::string& out, uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    static bool Hex4(const std::string& s, size_t& p, uint32_t& v) {
        if (p + 4 > s.size()) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s[p++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= c - '0';
            else if (c >= 'a' && c <= 'f')
                v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                v |= c - 'A' + 10;
            else
                return false;
        }
        return true;
    }
    static bool Str(const std::string& s, size_t& p, std::string& out) {
        if (p >= s.size() || s[p] != '"') return false;
        ++p;
        while (p < s.size()) {
            const auto c = static_cast<unsigned char>(s[p++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (p >= s.size()) return false;
            const char e = s[p++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t v = 0;
                if (!Hex4(s, p, v)) return false;
                if (v >= 0xD800 && v < 0xDC00) {
                    uint32_t low = 0;
                    if (!Literal(s, p, "\\u") || !Hex4(s, p, low) || low < 0xDC00 || low >= 0xE000)
                        return false;
                    v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
                } else if (v >= 0xDC00 && v < 0xE000) {
                    return false;
                }
                Utf8(out, v);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    static bool Value(const std::string& s, size_t& p, TJson& v) {
        Space(s, p);
        if (p >= s.size()) return false;
        const char c = s[p];
        if (c == '{') {
            v.Kind = jObject;
            ++p;
            Space(s, p);
            if (p < s.size() && s[p] == '}') return ++p, true;
            for (;;) {
                std::string key;
                Space(s, p);
                if (!Str(s, p, key)) return false;
                Space(s, p);
                if (p >= s.size() || s[p++] != ':') return false;
                TJson member;
                if (!Value(s, p, member)) return false;
                v.Members.emplace_back(std::move(key), std::move(member));
                Space(s, p);
                if (p >= s.size()) return false;
                if (s[p] == ',') {
                    ++p;
                    continue;
                }
                return s[p++] == '}';
            }
        }
        if (c == '[') {
            v.Kind = jArray;
            ++p;
            Space(s, p);
            if (p < s.size() && s[p] == ']') return ++p, true;
            for (;;) {
                TJson item;
                if (!Value(s, p, item)) return false;
                v.Array.push_back(std::move(item));
                Space(s, p);
                if (p >= s.size()) return false;
                if (s[p] == ',') {
                    ++p;
                    continue;
                }
                return s[p++] == ']';
            }
        }
        if (c == '"') {
            v.Kind = jString;
            return Str(s, p, v.String);
        }
        if (Literal(s, p, "true")) return v.Kind = jBool, v.Bool = true, true;
        if (Literal(s, p, "false")) return v.Kind = jBool, v.Bool = false, true;
        if (Literal(s, p, "null")) return v.Kind = jNull, true;
        // Integers only: the tool prints no fractions.
        size_t start = p;
        if (s[p] == '-') ++p;
        if (p >= s.size() || s[p] < '0' || s[p] > '9') return false;
        if (s[p] == '0' && p + 1 < s.size() && s[p + 1] >= '0' && s[p + 1] <= '9') return false;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9')
            ++p;
        v.Kind = jNumber;
        v.Number = std::stoll(s.substr(start, p - start));
        return true;
    }
};

} // namespace tarvio::test
