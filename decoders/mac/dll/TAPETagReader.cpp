#include "decoders/mac/dll/TAPETagReader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tags/TCodePage.h"
#include "tags/TId3v1Tags.h"

namespace tarvio::mac {

namespace {

static_assert(sizeof(ID3_TAG) == 128, "the ID3v1 layout");

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// An APEv2 tag larger than this is damage, not a tag.
constexpr uint32_t MaxTagBytes = 16u << 20;

bool SameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char a, char b) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(a) == lower(b);
           });
}

// UTF-8 text into a fixed field in the legacy code page, cut to its width.
void Put(char* Field, size_t Width, std::string_view Utf8) {
    const std::string narrow = TCodePage::ToNarrow(TCodePage::Utf8ToWide(Utf8));
    std::memcpy(Field, narrow.data(), std::min(Width, narrow.size()));
}

} // namespace

bool TAPETagReader::Read(TAPESource& Source, ID3_TAG& Tag) {
    std::memset(&Tag, 0, sizeof Tag);
    const int64_t size = Source.Size();
    if (size < 32) return false;
    if (ReadId3v1(Source, size, Tag)) return true;
    std::memset(&Tag, 0, sizeof Tag);
    return ReadApev2(Source, size, Tag);
}

bool TAPETagReader::ReadId3v1(TAPESource& Source, int64_t Size, ID3_TAG& Tag) {
    if (Size < 128) return false;
    uint8_t block[128];
    if (!Source.ReadAt(Size - 128, block, 128) || std::memcmp(block, "TAG", 3) != 0) return false;
    std::memcpy(&Tag, block, 128);
    return true;
}

bool TAPETagReader::ReadApev2(TAPESource& Source, int64_t Size, ID3_TAG& Tag) {
    uint8_t footer[32];
    if (!Source.ReadAt(Size - 32, footer, 32) || std::memcmp(footer, "APETAGEX", 8) != 0) return false;
    const uint32_t tagBytes = U32(footer + 12), count = U32(footer + 16);
    if (tagBytes < 32 || tagBytes > MaxTagBytes || tagBytes > Size) return false;
    std::vector<uint8_t> items(tagBytes - 32);
    if (!items.empty() && !Source.ReadAt(Size - tagBytes, items.data(), static_cast<int32_t>(items.size())))
        return false;

    std::memcpy(Tag.Header, "TAG", 3);
    Tag.Genre = 255;
    size_t pos = 0;
    for (uint32_t i = 0; i < count && pos + 8 < items.size(); ++i) {
        const uint32_t valueBytes = U32(&items[pos]), flags = U32(&items[pos + 4]);
        const size_t keyStart = pos + 8;
        const auto keyEnd = std::find(items.begin() + static_cast<std::ptrdiff_t>(keyStart), items.end(), 0);
        if (keyEnd == items.end()) break;
        const size_t valueStart = static_cast<size_t>(keyEnd - items.begin()) + 1;
        if (valueBytes > items.size() - valueStart) break;
        pos = valueStart + valueBytes;
        if (((flags >> 1) & 3) != 0) continue; // binary or a link: not text
        const std::string_view key(reinterpret_cast<const char*>(&items[keyStart]),
                                   valueStart - 1 - keyStart);
        std::string_view value(reinterpret_cast<const char*>(&items[valueStart]), valueBytes);
        value = value.substr(0, value.find('\0')); // the first of a list of values
        if (SameText(key, "Title")) {
            Put(Tag.Title, sizeof Tag.Title, value);
        } else if (SameText(key, "Artist")) {
            Put(Tag.Artist, sizeof Tag.Artist, value);
        } else if (SameText(key, "Album")) {
            Put(Tag.Album, sizeof Tag.Album, value);
        } else if (SameText(key, "Year")) {
            Put(Tag.Year, sizeof Tag.Year, value);
        } else if (SameText(key, "Comment")) {
            Put(Tag.Comment, sizeof Tag.Comment, value);
        } else if (SameText(key, "Track")) {
            // "7" or "7/12"; a number the byte cannot hold is left out.
            unsigned track = 0;
            size_t digits = 0;
            while (digits < value.size() && digits < 4 && value[digits] >= '0' && value[digits] <= '9')
                track = track * 10 + static_cast<unsigned>(value[digits++] - '0');
            Tag.Track = track <= 255 ? static_cast<unsigned char>(track) : 0;
        } else if (SameText(key, "Genre")) {
            for (int g = 0; g < Id3v1GenreCount; ++g)
                if (SameText(value, Id3v1Genres[g])) {
                    Tag.Genre = static_cast<unsigned char>(g);
                    break;
                }
        }
    }
    return true;
}

} // namespace tarvio::mac
