#pragma once
// The tag store: a fixed set of keys (narrow names, compared without letter case and kept in
// case-insensitive sorted order) with one variant value each. Format classes add their keys
// in their constructors and offer typed properties over them. A container has no lock: it is
// filled while its input opens a file and read afterwards; callers order the two.

#include <string>
#include <string_view>
#include <vector>

#include "tags/TFileHandle.h"
#include "tags/TPersistent.h"
#include "tags/TTagValue.h"

namespace tarvio {

// The record each key owns.
struct TTagValueInfo {
    TTagValue Value;
};

class TAuTags : public TPersistent {
public:
    TAuTags();
    ~TAuTags() override = default;

    // Copies every key of Source that this container has (after a Clear). A source that is
    // not a TAuTags raises EConvertError. Assigning a container to itself changes nothing.
    void Assign(const TPersistent& Source) override;
    // Clears Dest and copies every key of this container that Dest has. A destination that
    // is not a TAuTags raises EConvertError.
    void AssignTo(TPersistent& Dest) const override;
    std::string ClassName() const override { return "TAuTags"; }

    // Class-level: true when InFile is a valid handle.
    static bool Presents(TFileHandle& InFile) { return InFile.Valid(); }
    static bool Presents(THandle InFile);

    // False for an invalid handle; otherwise clears the store and returns true. Format
    // classes read their tag after that. The caller owns and positions the handle.
    virtual bool ReadFromFile(TFileHandle& InFile);
    bool ReadFromFile(THandle InFile);
    // True when OutFile is valid; the base writes nothing. Unicode lets a format write wide
    // values as UTF-8.
    virtual bool WriteToFile(TFileHandle& OutFile, bool Unicode);
    bool WriteToFile(THandle OutFile, bool Unicode);

    // Every value becomes Null; the keys stay. Empty and Changed both become true.
    void Clear();

    int IdCount() const { return static_cast<int>(FValues.size()); }
    // True when no value was set since construction or the last Clear.
    bool Empty() const { return FEmpty; }
    // True once any value changed or the store was cleared.
    bool Changed() const { return FChanged; }

    // Key access, also used by decoders that fill a container key by key.
    // The key at Index in sorted order; empty when Index is out of range.
    std::string IdName(int Index) const;
    // The value under Name; Null for an unknown key.
    TTagValue GetValue(std::string_view Name) const;
    // Stores Value under Name when the key exists and the value differs from the stored
    // one (see TTagValue::operator==); then Empty becomes false and Changed true.
    void SetValue(std::string_view Name, const TTagValue& Value);
    // Integer kinds as their number, texts holding a whole decimal integer as that number
    // (cut to 32 bits); anything else, and unknown keys, 0.
    int32_t AsInteger(std::string_view Name) const;
    // The value as narrow / wide text: integers in decimal, Null and unknown keys empty.
    std::string AsString(std::string_view Name) const;
    std::u16string AsWideString(std::string_view Name) const;
    // Adds Name with Value; an empty name or an existing key (in any letter case) is ignored.
    // Empty and Changed are not touched.
    void AddId(std::string_view Name, const TTagValue& Value);

protected:
    // Index of Name in FValues, or -1.
    int Find(std::string_view Name) const;

private:
    std::vector<std::pair<std::string, TTagValueInfo>> FValues; // sorted, case-insensitive
    bool FEmpty = true;
    bool FChanged = false;
};

} // namespace tarvio
