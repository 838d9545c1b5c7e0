#pragma once
// Changes some text frames of the ID3v2 tag at the start of a file and keeps every other byte
// of it: the version (2.2, 2.3 or 2.4), the other frames with their flags, their order and
// their encodings. A field's first frame is replaced by the new value (text encoding 1,
// UTF-16 with a byte-order mark) and its later duplicates are dropped, so every reader finds
// one value; an empty value (0 for year and track) drops them all. A file without a tag gets
// a version 2.4 tag of the new values only.
//
// The tags it leaves to others (nullopt): unsynchronised, compressed (2.2) or with an
// extended header or a footer, a tag that does not fit in the file, a frame whose size
// runs past the tag, or one too large to read here.
//
// Pure functions over bytes; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvio {

class TId3v2FrameEditor {
public:
    // The new values; a field without one is not touched.
    struct TChanges {
        std::optional<std::u16string> Title, Artist, Album, Genre;
        std::optional<unsigned> Year, Track;
    };

    // What Rewrite makes: the new tag, and the bytes of the file it replaces (from 0).
    struct TResult {
        std::vector<uint8_t> Tag;
        uint64_t OldSize = 0;
    };

    // The bytes the tag at the start of a file takes, from its first 10 bytes (Head):
    // 0 when there is none.
    static uint64_t TagSize(const uint8_t* Head, size_t Bytes);

    // Tag: the file's first TagSize bytes (empty for a file without a tag); FileSize in
    // bytes. The new tag is padded to the old one's size when it fits in it, so the audio
    // keeps its offset; else it gets 1024 bytes of padding.
    static std::optional<TResult> Rewrite(const std::vector<uint8_t>& Tag, uint64_t FileSize,
                                          const TChanges& Changes);

    // The texts of the frames of the six fields (0 title, 1 artist, 2 album, 3 genre, 4 year,
    // 5 track) in the tag at the start of Tag, in frame order, duplicates included; Latin-1
    // frames are read in the legacy code page, as this project's ID3v2 reader does. Empty
    // for a tag of a kind Rewrite leaves alone.
    static std::vector<std::pair<int, std::u16string>> FieldTexts(const std::vector<uint8_t>& Tag);

    // Largest tag rewritten here, in bytes.
    static constexpr uint64_t MaxTagSize = uint64_t{64} << 20;
};

} // namespace tarvio
