#include "app/TIniFile.h"

#include <fstream>
#include <iterator>
#include <limits>

namespace tarvio {

namespace {

bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\v' || C == '\f';
}

std::string_view Trim(std::string_view S) {
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

char LowerAscii(char C) {
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool SameText(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (LowerAscii(A[i]) != LowerAscii(B[i])) return false;
    return true;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    C = LowerAscii(C);
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

} // namespace

TIniFile::TIniFile(const std::string& FileName) : FFileName(FileName) {
    std::ifstream in(FileName, std::ios::binary);
    if (!in) return; // missing file: every read gives its default
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return;
    Parse(text);
}

TIniFile TIniFile::FromText(std::string_view Text) {
    TIniFile ini;
    ini.Parse(Text);
    return ini;
}

void TIniFile::Parse(std::string_view Text) {
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
    TSection* current = nullptr;
    size_t pos = 0;
    while (pos < Text.size()) {
        size_t end = Text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = Text.size();
        std::string_view line = Trim(Text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            FSections.push_back(TSection{std::string(name), {}});
            current = &FSections.back();
            continue;
        }
        size_t eq = line.find('=');
        if (current == nullptr || eq == std::string_view::npos) continue; // not a key line
        std::string_view key = Trim(line.substr(0, eq));
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        current->Keys.emplace_back(std::string(key), std::string(value));
    }
}

const std::string* TIniFile::Find(std::string_view Section, std::string_view Key) const {
    for (const TSection& s : FSections) {
        if (!SameText(s.Name, Trim(Section))) continue;
        // Only the first section of that name is searched, as the profile functions do.
        for (const auto& kv : s.Keys)
            if (SameText(kv.first, Trim(Key))) return &kv.second;
        return nullptr;
    }
    return nullptr;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 const std::string& Default) const {
    const std::string* value = Find(Section, Key);
    return value ? *value : Default;
}

int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const {
    const std::string* value = Find(Section, Key);
    int32_t result;
    if (value && ParseInteger(*value, result)) return result;
    return Default;
}

bool TIniFile::ParseInteger(std::string_view Text, int32_t& Value) {
    std::string_view s = Trim(Text);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    bool hex = false;
    if (!s.empty() && s.front() == '$') {
        hex = true;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    uint64_t magnitude = 0;
    for (char c : s) {
        int digit = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return false;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFull) return false;
    }
    int64_t result;
    if (hex) {
        // Hexadecimal is a 32-bit pattern: $FFFFFFFF is -1.
        result = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
        if (negative) result = -result;
    } else {
        result = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    }
    if (result < std::numeric_limits<int32_t>::min() || result > std::numeric_limits<int32_t>::max())
        return false;
    Value = static_cast<int32_t>(result);
    return true;
}

} // namespace tarvio
