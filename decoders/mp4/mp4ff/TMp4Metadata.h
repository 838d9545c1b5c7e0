#pragma once
// The items of a movie's iTunes-style metadata ('meta' / 'ilst'), as named texts in file
// order. Numbers become decimal text; a track or disc number and its total are two items.

#include <cstdint>
#include <string>
#include <vector>

#include "decoders/mp4/mp4ff/TMp4Reader.h"

namespace tarvio::mp4ff {

struct TMp4MetaItem {
    std::string Name;  // "title", "track", "iTunSMPB", ...
    std::string Value; // UTF-8 text, or the raw bytes of a binary item ("cover")
};

class TMp4Metadata {
public:
    // Parses the body of a 'meta' box; anything malformed is skipped.
    void Parse(const TMp4Box& Meta);

    const std::vector<TMp4MetaItem>& Items() const { return FItems; }
    // The first item named Name, or null.
    const TMp4MetaItem* Find(const std::string& Name) const;

private:
    void ParseItem(const TMp4Box& Item);
    void Add(std::string Name, std::string Value);

    std::vector<TMp4MetaItem> FItems;
};

} // namespace tarvio::mp4ff
