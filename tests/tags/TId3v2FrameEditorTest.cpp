// The ID3v2 frame editor: small tags laid out byte by byte, since keeping the bytes of what is
// not changed is the point.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tags/TId3v2FrameEditor.h"

using namespace tarvio;

namespace {

using TBytes = std::vector<uint8_t>;
using TChanges = TId3v2FrameEditor::TChanges;

TBytes Bytes(const std::string& S) {
    return TBytes(S.begin(), S.end());
}

// A frame of version Version: ID, size, flags (2.3 and 2.4) and Body.
TBytes Frame(int Version, const std::string& Id, const TBytes& Body, uint16_t Flags = 0) {
    TBytes f = Bytes(Id);
    const uint32_t n = static_cast<uint32_t>(Body.size());
    if (Version == 2) {
        f.insert(f.end(), {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    } else if (Version == 3) {
        f.insert(f.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    } else {
        f.insert(f.end(), {uint8_t((n >> 21) & 0x7F), uint8_t((n >> 14) & 0x7F), uint8_t((n >> 7) & 0x7F),
                           uint8_t(n & 0x7F)});
    }
    if (Version != 2) f.insert(f.end(), {uint8_t(Flags >> 8), uint8_t(Flags)});
    f.insert(f.end(), Body.begin(), Body.end());
    return f;
}

// A Latin-1 text frame body.
TBytes Latin1(const std::string& Text) {
    TBytes b(Text.size() + 1, 0);
    std::copy(Text.begin(), Text.end(), b.begin() + 1);
    return b;
}

// UTF-16 with a byte-order mark, as the editor writes it.
TBytes Utf16(const std::u16string& Text) {
    TBytes b = {1, 0xFF, 0xFE};
    for (char16_t c : Text)
        b.insert(b.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
    return b;
}

// A tag of Version holding Frames and Padding zero bytes; Flags in its header.
TBytes Tag(int Version, const std::vector<TBytes>& Frames, size_t Padding, uint8_t Flags = 0) {
    TBytes body;
    for (const TBytes& f : Frames)
        body.insert(body.end(), f.begin(), f.end());
    body.resize(body.size() + Padding, 0);
    const uint32_t n = static_cast<uint32_t>(body.size());
    TBytes t = {'I',
                'D',
                '3',
                uint8_t(Version),
                0,
                Flags,
                uint8_t((n >> 21) & 0x7F),
                uint8_t((n >> 14) & 0x7F),
                uint8_t((n >> 7) & 0x7F),
                uint8_t(n & 0x7F)};
    t.resize(10 + body.size());
    std::copy(body.begin(), body.end(), t.begin() + 10);
    return t;
}

struct TRewriteCase {
    const char* Name;
    TBytes Old;
    TChanges Changes;
    int Version;                // of the new tag
    std::vector<TBytes> Frames; // of the new tag
    bool Grows;                 // the new tag has 1024 bytes of padding, else the old size
};
void PrintTo(const TRewriteCase& C, std::ostream* Out) {
    *Out << C.Name;
}

class TId3v2FrameEditorRewrite : public testing::TestWithParam<TRewriteCase> {};

// The changed field's first frame takes the new value in place, its duplicates go, and every
// other frame keeps its bytes, flags and place; the tag keeps its version and, when the new
// frames fit, its size.
TEST_P(TId3v2FrameEditorRewrite, ChangesOnlyWhatItIsAskedTo) {
    const TRewriteCase& c = GetParam();
    const auto r = TId3v2FrameEditor::Rewrite(c.Old, c.Old.size() + 1000, c.Changes);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->OldSize, c.Old.size());
    const size_t bare = Tag(c.Version, c.Frames, 0).size();
    ASSERT_TRUE(c.Grows || bare <= c.Old.size());
    EXPECT_EQ(r->Tag, Tag(c.Version, c.Frames, c.Grows ? 1024 : c.Old.size() - bare));
}

const TBytes Priv = Frame(3, "PRIV", {'o', 'w', 'n', 0, 0xFF, 0x00, 0x81}, 0x0040);
const TBytes Track = Frame(3, "TRCK", Latin1("02/10"));
const TBytes Year = Frame(3, "TYER", Latin1("0000"));

INSTANTIATE_TEST_SUITE_P(
    Cases, TId3v2FrameEditorRewrite,
    testing::Values(
        TRewriteCase{
            "DuplicateTitle23",
            Tag(3, {Frame(3, "TIT2", Latin1("first")), Priv, Track, Frame(3, "TIT2", Latin1("second")), Year},
                64),
            {u"Тест", {}, {}, {}, {}, {}},
            3,
            {Frame(3, "TIT2", Utf16(u"Тест")), Priv, Track, Year},
            false},
        TRewriteCase{
            "ArtistAddedTo22",
            Tag(2, {Frame(2, "TT2", Latin1("t")), Frame(2, "TYE", Latin1("2010"))}, 40),
            {{}, u"Кино", {}, {}, {}, {}},
            2,
            {Frame(2, "TT2", Latin1("t")), Frame(2, "TYE", Latin1("2010")), Frame(2, "TP1", Utf16(u"Кино"))},
            false},
        TRewriteCase{
            "YearIn24ReplacesBothForms",
            Tag(4, {Frame(4, "TYER", Latin1("1987")), Priv, Frame(4, "TDRC", Latin1("1988-04-03"))}, 30),
            {{}, {}, {}, {}, 1990u, {}},
            4,
            {Frame(4, "TDRC", Latin1("1990")), Priv},
            false},
        TRewriteCase{"EmptyRemovesEveryDuplicate",
                     Tag(4, {Frame(4, "TPE1", Latin1("a")), Priv, Frame(4, "TPE1", Latin1("b"))}, 0),
                     {{}, u"", {}, {}, {}, 0u},
                     4,
                     {Priv},
                     false},
        TRewriteCase{"GrowsWithPadding",
                     Tag(3, {Track}, 0),
                     {u"Длинное название", {}, {}, {}, {}, {}},
                     3,
                     {Track, Frame(3, "TIT2", Utf16(u"Длинное название"))},
                     true},
        TRewriteCase{"NoTagGetsTheChangedValuesOnly",
                     {},
                     {u"Т", {}, {}, {}, {}, 7u},
                     4,
                     {Frame(4, "TIT2", Utf16(u"Т")), Frame(4, "TRCK", Latin1("7"))},
                     true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// Tags of kinds it leaves to TagLib.
TEST(TId3v2FrameEditor, RefusesWhatItCannotKeep) {
    const TChanges title{u"x", {}, {}, {}, {}, {}};
    const TBytes good = Tag(3, {Track}, 10);
    TBytes frameTooLong = good;
    frameTooLong[10 + 7] = 200; // TRCK's size past the tag
    TBytes badId = good;
    badId[10] = 't';
    TBytes badSize = good;
    badSize[9] = 0x80;
    const struct {
        const char* Name;
        TBytes Tag;
        uint64_t FileSize;
    } cases[] = {
        {"unsynchronised", Tag(3, {Track}, 10, 0x80), 1000},
        {"extended header", Tag(4, {Track}, 10, 0x40), 1000},
        {"footer", Tag(4, {Track}, 10, 0x10), 1000},
        {"compressed 2.2", Tag(2, {Frame(2, "TT2", Latin1("t"))}, 10, 0x40), 1000},
        {"version 5", Tag(5, {Track}, 10), 1000},
        {"frame past the tag", frameTooLong, 1000},
        {"frame ID not upper case", badId, 1000},
        {"size not synchsafe", badSize, 1000},
        {"tag longer than the file", good, good.size() - 1},
        {"cut short", TBytes(good.begin(), good.begin() + 20), 1000},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(TId3v2FrameEditor::Rewrite(c.Tag, c.FileSize, title)) << c.Name;
    EXPECT_TRUE(TId3v2FrameEditor::Rewrite(good, good.size(), title));
    EXPECT_TRUE(TId3v2FrameEditor::Rewrite(Tag(3, {Track}, 10, 0x20), 1000, title)) << "experimental flag";
}

TEST(TId3v2FrameEditor, TagSize) {
    const TBytes tag = Tag(4, {Track}, 5);
    EXPECT_EQ(TId3v2FrameEditor::TagSize(tag.data(), tag.size()), tag.size());
    TBytes footer = tag;
    footer[5] = 0x10;
    EXPECT_EQ(TId3v2FrameEditor::TagSize(footer.data(), footer.size()), tag.size() + 10);
    EXPECT_EQ(TId3v2FrameEditor::TagSize(tag.data(), 9), 0u);
    EXPECT_EQ(TId3v2FrameEditor::TagSize(Bytes("RIFF0123456789").data(), 14), 0u);
}

} // namespace
