#include "tags/TCommonTags.h"

namespace tarvio {

TCommonTags::TCommonTags() {
    for (const char* key : {"Title", "Album", "Artist", "Genre", "Year", "Track"})
        AddId(key, std::u16string());
}

} // namespace tarvio
