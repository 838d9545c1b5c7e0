// FLAC metadata: where it ends, and Vorbis comment blocks merged, on small blocks laid out
// byte by byte.

#include <gtest/gtest.h>

#include <algorithm>

#include "tags/TFlacMetadata.h"

using namespace tarvio;

namespace {

using TBytes = std::vector<uint8_t>;

void Le32(TBytes& Out, uint32_t V) {
    for (int i = 0; i < 4; ++i)
        Out.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

TBytes CommentBlock(const std::string& Vendor, const std::vector<std::string>& Comments) {
    TBytes b;
    Le32(b, static_cast<uint32_t>(Vendor.size()));
    b.insert(b.end(), Vendor.begin(), Vendor.end());
    Le32(b, static_cast<uint32_t>(Comments.size()));
    for (const std::string& c : Comments) {
        Le32(b, static_cast<uint32_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

// "fLaC" and blocks of (type, data), the last flagged.
TBytes Metadata(const std::vector<std::pair<uint8_t, TBytes>>& Blocks) {
    TBytes m = {'f', 'L', 'a', 'C'};
    for (size_t i = 0; i < Blocks.size(); ++i) {
        const TBytes& d = Blocks[i].second;
        m.push_back(static_cast<uint8_t>(Blocks[i].first | (i + 1 == Blocks.size() ? 0x80 : 0)));
        m.push_back(static_cast<uint8_t>(d.size() >> 16));
        m.push_back(static_cast<uint8_t>(d.size() >> 8));
        m.push_back(static_cast<uint8_t>(d.size()));
        m.insert(m.end(), d.begin(), d.end());
    }
    return m;
}

const TBytes StreamInfo(34, 0x11);
const TBytes Picture(9, 0x66);

// The second block's comments join the first's, after them; the vendor is the first block's;
// every other block keeps its place and bytes, and the last block kept ends the metadata.
TEST(TFlacMetadata, MergesCommentBlocksIntoTheFirst) {
    const TBytes m = Metadata({{0, StreamInfo},
                               {4, CommentBlock("one", {"TITLE=a", "ARTIST=x"})},
                               {6, Picture},
                               {4, CommentBlock("two", {"ARTIST=y"})}});
    EXPECT_EQ(TFlacMetadata::Comments(m),
              (std::vector<std::vector<std::string>>{{"TITLE=a", "ARTIST=x"}, {"ARTIST=y"}}));
    const auto merged = TFlacMetadata::MergeComments(m);
    ASSERT_TRUE(merged);
    EXPECT_EQ(*merged, Metadata({{0, StreamInfo},
                                 {4, CommentBlock("one", {"TITLE=a", "ARTIST=x", "ARTIST=y"})},
                                 {6, Picture}}));
    const auto size = TFlacMetadata::Size([&](uint8_t* B, size_t N, uint64_t At) -> size_t {
        if (At >= m.size()) return 0;
        const size_t n = std::min<size_t>(N, m.size() - At);
        std::copy_n(m.begin() + static_cast<ptrdiff_t>(At), n, B);
        return n;
    });
    EXPECT_EQ(size, m.size());
}

// Nothing to merge, or damage: nothing is made.
TEST(TFlacMetadata, LeavesOneBlockAndDamageAlone) {
    TBytes countTooLarge = CommentBlock("v", {"A=b"});
    countTooLarge[5] = 0xFF;
    const TBytes two = CommentBlock("v", {"A=b"});
    TBytes cut = Metadata({{4, two}, {4, two}});
    cut.pop_back();
    const struct {
        const char* Name;
        TBytes Metadata;
    } cases[] = {
        {"one block", Metadata({{0, StreamInfo}, {4, two}})},
        {"none", Metadata({{0, StreamInfo}})},
        {"comment count past the block", Metadata({{4, two}, {4, countTooLarge}})},
        {"not FLAC", TBytes{'O', 'g', 'g', 'S', 0, 0, 0, 0}},
        {"cut short", cut},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(TFlacMetadata::MergeComments(c.Metadata)) << c.Name;
    EXPECT_TRUE(TFlacMetadata::Comments(Metadata({{4, two}, {4, countTooLarge}})).empty());
}

} // namespace
