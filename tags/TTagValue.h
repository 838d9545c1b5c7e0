#pragma once
// The variant value of a tag key: Null, one of the integer kinds, narrow text (legacy code
// page bytes, see TCodePage) or wide text (UTF-16). The kind is kept as stored: narrow and
// wide text are never merged, and each integer width stays distinct.

#include <cstdint>
#include <string>
#include <variant>

namespace tarvio {

enum class TTagValueKind {
    tvkNull,
    tvkInt8,
    tvkUInt8,
    tvkInt16,
    tvkUInt16,
    tvkInt32,
    tvkUInt32,
    tvkNarrow,
    tvkWide
};

class TTagValue {
public:
    TTagValue() = default; // Null
    TTagValue(int8_t V) : FValue(V) {}
    TTagValue(uint8_t V) : FValue(V) {}
    TTagValue(int16_t V) : FValue(V) {}
    TTagValue(uint16_t V) : FValue(V) {}
    TTagValue(int32_t V) : FValue(V) {}
    TTagValue(uint32_t V) : FValue(V) {}
    TTagValue(std::string V) : FValue(std::move(V)) {}
    TTagValue(const char* V) : FValue(std::string(V)) {}
    TTagValue(std::u16string V) : FValue(std::move(V)) {}
    TTagValue(const char16_t* V) : FValue(std::u16string(V)) {}

    TTagValueKind Kind() const { return static_cast<TTagValueKind>(FValue.index()); }
    bool IsNull() const { return Kind() == TTagValueKind::tvkNull; }
    bool IsInteger() const;
    bool IsNarrow() const { return Kind() == TTagValueKind::tvkNarrow; }
    bool IsWide() const { return Kind() == TTagValueKind::tvkWide; }
    bool IsText() const { return IsNarrow() || IsWide(); }

    // The stored text; empty for any other kind.
    const std::string& Narrow() const;
    const std::u16string& Wide() const;

    // An integer kind gives its number; a text gives its number when the whole text is an
    // optionally signed decimal integer. Anything else (Null, non-numeric text): false.
    bool TryToInteger(int64_t& Result) const;
    // Integers as decimal text, texts converted to the requested width, Null as empty text.
    std::string ToNarrow() const;
    std::u16string ToWide() const;

    // The store's equality: Null equals only Null; two texts compare as text (narrow and
    // wide alike, case-sensitive); two numbers as numbers; a number and a text compare as
    // numbers when the text is one, otherwise they differ.
    bool operator==(const TTagValue& Other) const;

    // Parses an optionally signed decimal integer that fills the whole text.
    static bool ParseInteger(std::u16string_view Text, int64_t& Result);

private:
    std::variant<std::monostate, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, std::string,
                 std::u16string>
        FValue;
};

} // namespace tarvio
