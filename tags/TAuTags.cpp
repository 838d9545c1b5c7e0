#include "tags/TAuTags.h"

#include <algorithm>

namespace tarvio {

namespace {

char Lower(char C) {
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

// Case-insensitive ordering of keys (ASCII letters folded to lower case).
int CompareText(std::string_view A, std::string_view B) {
    size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(Lower(A[i]));
        unsigned char b = static_cast<unsigned char>(Lower(B[i]));
        if (a != b) return a < b ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : A.size() > B.size() ? 1 : 0;
}

} // namespace

TAuTags::TAuTags() = default;

void TAuTags::Assign(const TPersistent& Source) {
    const TAuTags* src = dynamic_cast<const TAuTags*>(&Source);
    if (!src) {
        TPersistent::Assign(Source);
        return;
    }
    if (src == this) return;
    Clear();
    for (const auto& [key, info] : src->FValues)
        SetValue(key, info.Value);
}

void TAuTags::AssignTo(TPersistent& Dest) const {
    TAuTags* dst = dynamic_cast<TAuTags*>(&Dest);
    if (!dst) {
        TPersistent::AssignTo(Dest);
        return;
    }
    if (dst == this) return;
    dst->Clear();
    for (const auto& [key, info] : FValues)
        dst->SetValue(key, info.Value);
}

bool TAuTags::Presents(THandle InFile) {
    TFileHandle f(InFile);
    return Presents(f);
}

bool TAuTags::ReadFromFile(TFileHandle& InFile) {
    if (!InFile.Valid()) return false;
    Clear();
    return true;
}

bool TAuTags::ReadFromFile(THandle InFile) {
    TFileHandle f(InFile);
    return ReadFromFile(f);
}

bool TAuTags::WriteToFile(TFileHandle& OutFile, bool) {
    return OutFile.Valid();
}

bool TAuTags::WriteToFile(THandle OutFile, bool Unicode) {
    TFileHandle f(OutFile);
    return WriteToFile(f, Unicode);
}

void TAuTags::Clear() {
    for (auto& entry : FValues)
        entry.second.Value = TTagValue();
    FEmpty = true;
    FChanged = true;
}

int TAuTags::Find(std::string_view Name) const {
    auto it =
        std::lower_bound(FValues.begin(), FValues.end(), Name, [](const auto& Entry, std::string_view N) {
            return CompareText(Entry.first, N) < 0;
        });
    if (it == FValues.end() || CompareText(it->first, Name) != 0) return -1;
    return static_cast<int>(it - FValues.begin());
}

std::string TAuTags::IdName(int Index) const {
    if (Index < 0 || Index >= IdCount()) return std::string();
    return FValues[static_cast<size_t>(Index)].first;
}

TTagValue TAuTags::GetValue(std::string_view Name) const {
    int i = Find(Name);
    return i < 0 ? TTagValue() : FValues[static_cast<size_t>(i)].second.Value;
}

void TAuTags::SetValue(std::string_view Name, const TTagValue& Value) {
    int i = Find(Name);
    if (i < 0) return;
    TTagValue& stored = FValues[static_cast<size_t>(i)].second.Value;
    if (stored == Value) return;
    stored = Value;
    FEmpty = false;
    FChanged = true;
}

int32_t TAuTags::AsInteger(std::string_view Name) const {
    int i = Find(Name);
    if (i < 0) return 0;
    int64_t n;
    if (!FValues[static_cast<size_t>(i)].second.Value.TryToInteger(n)) return 0;
    const TTagValue& v = FValues[static_cast<size_t>(i)].second.Value;
    // Texts must fit 32 bits; stored integers wrap like a 32-bit cast.
    if (v.IsText() && (n < INT32_MIN || n > INT32_MAX)) return 0;
    return static_cast<int32_t>(n);
}

std::string TAuTags::AsString(std::string_view Name) const {
    int i = Find(Name);
    return i < 0 ? std::string() : FValues[static_cast<size_t>(i)].second.Value.ToNarrow();
}

std::u16string TAuTags::AsWideString(std::string_view Name) const {
    int i = Find(Name);
    return i < 0 ? std::u16string() : FValues[static_cast<size_t>(i)].second.Value.ToWide();
}

void TAuTags::AddId(std::string_view Name, const TTagValue& Value) {
    if (Name.empty()) return;
    auto it =
        std::lower_bound(FValues.begin(), FValues.end(), Name, [](const auto& Entry, std::string_view N) {
            return CompareText(Entry.first, N) < 0;
        });
    if (it != FValues.end() && CompareText(it->first, Name) == 0) return;
    FValues.insert(it, {std::string(Name), TTagValueInfo{Value}});
}

} // namespace tarvio
