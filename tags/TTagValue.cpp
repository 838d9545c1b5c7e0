#include "tags/TTagValue.h"

#include "tags/TCodePage.h"

namespace tarvio {

bool TTagValue::IsInteger() const {
    switch (Kind()) {
    case TTagValueKind::tvkInt8:
    case TTagValueKind::tvkUInt8:
    case TTagValueKind::tvkInt16:
    case TTagValueKind::tvkUInt16:
    case TTagValueKind::tvkInt32:
    case TTagValueKind::tvkUInt32:
        return true;
    default:
        return false;
    }
}

const std::string& TTagValue::Narrow() const {
    static const std::string empty;
    const std::string* s = std::get_if<std::string>(&FValue);
    return s ? *s : empty;
}

const std::u16string& TTagValue::Wide() const {
    static const std::u16string empty;
    const std::u16string* s = std::get_if<std::u16string>(&FValue);
    return s ? *s : empty;
}

bool TTagValue::ParseInteger(std::u16string_view Text, int64_t& Result) {
    size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == u'-' || Text[i] == u'+')) negative = Text[i++] == u'-';
    if (i == Text.size()) return false;
    int64_t value = 0;
    for (; i < Text.size(); ++i) {
        if (Text[i] < u'0' || Text[i] > u'9') return false;
        value = value * 10 + (Text[i] - u'0');
        if (value > (int64_t(1) << 40)) return false; // far beyond any 32-bit value
    }
    Result = negative ? -value : value;
    return true;
}

bool TTagValue::TryToInteger(int64_t& Result) const {
    return std::visit(
        [&](const auto& V) -> bool {
            using T = std::decay_t<decltype(V)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return false;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return ParseInteger(std::u16string(V.begin(), V.end()), Result);
            } else if constexpr (std::is_same_v<T, std::u16string>) {
                return ParseInteger(V, Result);
            } else {
                Result = V;
                return true;
            }
        },
        FValue);
}

std::string TTagValue::ToNarrow() const {
    if (IsNarrow()) return Narrow();
    if (IsWide()) return TCodePage::ToNarrow(Wide());
    int64_t n;
    if (IsInteger() && TryToInteger(n)) return std::to_string(n);
    return std::string();
}

std::u16string TTagValue::ToWide() const {
    if (IsWide()) return Wide();
    if (IsNarrow()) return TCodePage::ToWide(Narrow());
    std::string s = ToNarrow();
    return std::u16string(s.begin(), s.end());
}

bool TTagValue::operator==(const TTagValue& Other) const {
    if (IsNull() || Other.IsNull()) return IsNull() && Other.IsNull();
    if (IsText() && Other.IsText()) {
        if (IsNarrow() && Other.IsNarrow()) return Narrow() == Other.Narrow();
        return ToWide() == Other.ToWide();
    }
    int64_t a, b;
    return TryToInteger(a) && Other.TryToInteger(b) && a == b;
}

} // namespace tarvio
