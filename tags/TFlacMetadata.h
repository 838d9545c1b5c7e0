#pragma once
// The metadata blocks of a FLAC file ("fLaC" and the blocks up to the audio) as bytes: where
// they end, and their Vorbis comment blocks merged into one. A file with two comment blocks
// reads differently by reader (TagLib takes the first and drops the second on a save, this
// project's reader lets the last value win); merged, every reader sees every comment, and a
// save replaces all comments of a name with the one written.
//
// Pure functions over bytes; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvio {

class TFlacMetadata {
public:
    // The bytes "fLaC" and the metadata blocks take, read from the file's start through Read
    // (which fills Count bytes at Offset and returns how many it filled); 0 when the file is
    // not FLAC or its blocks run past the end.
    template <typename TRead> static uint64_t Size(TRead&& Read) {
        uint8_t head[4];
        if (Read(head, 4, 0) != 4 || head[0] != 'f' || head[1] != 'L' || head[2] != 'a' || head[3] != 'C')
            return 0;
        for (uint64_t pos = 4;;) {
            if (Read(head, 4, pos) != 4) return 0;
            pos += 4 + ((uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3]);
            if (head[0] & 0x80) return pos;
        }
    }

    // The comments (NAME=value, as stored) of every Vorbis comment block, in file order, each
    // block's list apart; empty when there is none or the blocks are damaged.
    static std::vector<std::vector<std::string>> Comments(const std::vector<uint8_t>& Metadata);

    // Metadata with its Vorbis comment blocks merged into the first (its vendor string, then
    // the comments of all in file order); nullopt when there are fewer than two, or the blocks
    // are damaged or too large to merge.
    static std::optional<std::vector<uint8_t>> MergeComments(const std::vector<uint8_t>& Metadata);
};

} // namespace tarvio
