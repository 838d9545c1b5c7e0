#include "tags/TFlacMetadata.h"

#include <cstring>

namespace tarvio {

namespace {

constexpr uint8_t VorbisCommentType = 4;

struct TBlock {
    uint8_t Type;
    size_t Offset; // of the block's data
    size_t Size;
};

std::optional<std::vector<TBlock>> Blocks(const std::vector<uint8_t>& M) {
    if (M.size() < 4 || std::memcmp(M.data(), "fLaC", 4) != 0) return std::nullopt;
    std::vector<TBlock> blocks;
    for (size_t pos = 4;;) {
        if (M.size() - pos < 4) return std::nullopt;
        const size_t size = (size_t{M[pos + 1]} << 16) | (size_t{M[pos + 2]} << 8) | M[pos + 3];
        if (M.size() - pos - 4 < size) return std::nullopt;
        blocks.push_back({static_cast<uint8_t>(M[pos] & 0x7F), pos + 4, size});
        pos += 4 + size;
        if (M[pos - 4 - size] & 0x80) return pos == M.size() ? std::optional(blocks) : std::nullopt;
    }
}

uint32_t Le32(const uint8_t* P) {
    return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}

// A comment block's vendor string and comments (each without its length); false when damaged.
bool Parse(const uint8_t* Data, size_t Size, std::string& Vendor, std::vector<std::string>& Comments) {
    size_t pos = 0;
    auto text = [&](std::string& Out) {
        if (Size - pos < 4) return false;
        const uint32_t n = Le32(Data + pos);
        pos += 4;
        if (Size - pos < n) return false;
        Out.assign(reinterpret_cast<const char*>(Data + pos), n);
        pos += n;
        return true;
    };
    if (!text(Vendor) || Size - pos < 4) return false;
    const uint32_t count = Le32(Data + pos);
    pos += 4;
    // Each comment takes at least its 4-byte length: a larger count is damage.
    if (count > (Size - pos) / 4) return false;
    for (uint32_t i = 0; i < count; ++i) {
        Comments.emplace_back();
        if (!text(Comments.back())) return false;
    }
    return true;
}

void PutLe32(std::vector<uint8_t>& Out, uint32_t V) {
    for (int i = 0; i < 4; ++i)
        Out.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

} // namespace

std::vector<std::vector<std::string>> TFlacMetadata::Comments(const std::vector<uint8_t>& Metadata) {
    std::vector<std::vector<std::string>> all;
    const auto blocks = Blocks(Metadata);
    if (!blocks) return all;
    for (const TBlock& b : *blocks) {
        if (b.Type != VorbisCommentType) continue;
        std::string vendor;
        all.emplace_back();
        if (!Parse(Metadata.data() + b.Offset, b.Size, vendor, all.back())) return {};
    }
    return all;
}

std::optional<std::vector<uint8_t>> TFlacMetadata::MergeComments(const std::vector<uint8_t>& Metadata) {
    const auto blocks = Blocks(Metadata);
    if (!blocks) return std::nullopt;
    std::string vendor;
    std::vector<std::string> comments;
    int found = 0;
    for (const TBlock& b : *blocks) {
        if (b.Type != VorbisCommentType) continue;
        std::string v;
        if (!Parse(Metadata.data() + b.Offset, b.Size, found == 0 ? vendor : v, comments))
            return std::nullopt;
        ++found;
    }
    if (found < 2) return std::nullopt;

    std::vector<uint8_t> merged;
    PutLe32(merged, static_cast<uint32_t>(vendor.size()));
    merged.insert(merged.end(), vendor.begin(), vendor.end());
    PutLe32(merged, static_cast<uint32_t>(comments.size()));
    for (const std::string& c : comments) {
        PutLe32(merged, static_cast<uint32_t>(c.size()));
        merged.insert(merged.end(), c.begin(), c.end());
    }
    if (merged.size() >= (size_t{1} << 24)) return std::nullopt;

    std::vector<uint8_t> out(Metadata.begin(), Metadata.begin() + 4);
    bool first = true;
    for (size_t i = 0; i < blocks->size(); ++i) {
        const TBlock& b = (*blocks)[i];
        const bool comment = b.Type == VorbisCommentType;
        if (comment && !first) continue;
        const size_t size = comment ? merged.size() : b.Size;
        out.insert(out.end(), {b.Type, static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
                               static_cast<uint8_t>(size)});
        const uint8_t* data = comment ? merged.data() : Metadata.data() + b.Offset;
        out.insert(out.end(), data, data + size);
        first = first && !comment;
    }
    // The last block kept carries the flag that ends the metadata.
    size_t last = 4;
    for (size_t pos = 4; pos < out.size();) {
        last = pos;
        pos += 4 + ((size_t{out[pos + 1]} << 16) | (size_t{out[pos + 2]} << 8) | out[pos + 3]);
    }
    out[last] |= 0x80;
    return out;
}

} // namespace tarvio
