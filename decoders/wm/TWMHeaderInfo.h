#pragma once
// The header attributes of an opened file, by name ("Duration", "Bitrate", "IsVBR",
// "Author", "Title", "WM/AlbumTitle", "WM/Genre", "WM/Track", "WM/Year", "Copyright").
// Filled by the media reader when it opens a file; owned by the reader.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "decoders/wm/TWMAttribute.h"

namespace tarvio {

class TWMHeaderInfo {
public:
    // File-level attributes have stream number 0. Returns 0 and the value, or
    // ASF_E_NOTFOUND (0xC00D07F0) when the file has no such attribute.
    uint32_t GetAttributeByName(uint16_t StreamNum, std::string_view Name, TWMAttribute& Value) const;

    // For the reader.
    void Set(const std::string& Name, TWMAttribute Value) { FAttributes[Name] = std::move(Value); }
    void Clear() { FAttributes.clear(); }

private:
    std::map<std::string, TWMAttribute, std::less<>> FAttributes;
};

} // namespace tarvio
