#include <gtest/gtest.h>

#include <set>

#include "TagTestFiles.h"
#include "tags/EConvertError.h"
#include "tags/TAPEv2Tags.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"
#include "tags/TVorbisTags.h"

using namespace tarvio;

namespace {

std::vector<std::string> Keys(const TAuTags& T) {
    std::vector<std::string> keys;
    for (int i = 0; i < T.IdCount(); ++i)
        keys.push_back(T.IdName(i));
    return keys;
}

} // namespace

TEST(TCommonTagsTest, NewContainerIsEmptyAndUnchanged) {
    TCommonTags t;
    EXPECT_TRUE(t.Empty());
    EXPECT_FALSE(t.Changed());
    EXPECT_EQ(t.Title(), u"");
    EXPECT_EQ(t.Album(), u"");
    EXPECT_EQ(t.Artist(), u"");
    EXPECT_EQ(t.Genre(), u"");
    EXPECT_EQ(t.Year(), "");
    EXPECT_EQ(t.Track(), "");
    EXPECT_TRUE(t.GetValue("Title").IsWide()); // initial value is an empty wide string, not Null
}

TEST(TCommonTagsTest, KeysEnumerateInCaseInsensitiveSortedOrder) {
    TCommonTags t;
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"Album", "Artist", "Genre", "Title", "Track", "Year"}));
    EXPECT_EQ(t.IdName(-1), "");
    EXPECT_EQ(t.IdName(t.IdCount()), "");
}

TEST(TCommonTagsTest, EmptyAndChangedTransitions) {
    TCommonTags t;
    t.SetTitle(u""); // same as stored
    EXPECT_TRUE(t.Empty());
    EXPECT_FALSE(t.Changed());
    t.SetValue("NoSuchKey", u"x");
    EXPECT_FALSE(t.Changed());

    t.SetTitle(u"Song");
    EXPECT_FALSE(t.Empty());
    EXPECT_TRUE(t.Changed());
    EXPECT_EQ(t.Title(), u"Song");
    EXPECT_EQ(t.GetValue("title").Wide(), u"Song"); // key lookup ignores case

    t.Clear();
    EXPECT_TRUE(t.Empty());
    EXPECT_TRUE(t.Changed());
    EXPECT_EQ(t.Title(), u"");
    EXPECT_TRUE(t.GetValue("Title").IsNull());
    EXPECT_EQ(t.AsInteger("Title"), 0);
}

TEST(TAuTagsTest, AddIdIgnoresEmptyAndCaseVariantNames) {
    TCommonTags t;
    t.AddId("TITLE", u"x");
    t.AddId("", u"x");
    EXPECT_EQ(t.IdCount(), 6);
    EXPECT_EQ(t.Title(), u"");
    t.AddId("Extra", 5);
    EXPECT_EQ(t.IdCount(), 7);
    EXPECT_EQ(t.AsInteger("extra"), 5);
    EXPECT_TRUE(t.Empty()); // AddId touches neither flag
    EXPECT_FALSE(t.Changed());
}

struct TEqualityCase {
    const char* Name;
    TTagValue A, B;
    bool Equal;
};

class TTagValueEqualityTest : public testing::TestWithParam<TEqualityCase> {};

TEST_P(TTagValueEqualityTest, FollowsStoreRules) {
    const auto& c = GetParam();
    EXPECT_EQ(c.A == c.B, c.Equal);
    EXPECT_EQ(c.B == c.A, c.Equal);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TTagValueEqualityTest,
    testing::Values(TEqualityCase{"NullNull", TTagValue(), TTagValue(), true},
                    TEqualityCase{"NullEmptyText", TTagValue(), TTagValue(u""), false},
                    TEqualityCase{"NullZero", TTagValue(), TTagValue(int32_t(0)), false},
                    TEqualityCase{"DigitTextNumber", TTagValue("7"), TTagValue(int32_t(7)), true},
                    TEqualityCase{"WideDigitByte", TTagValue(u"7"), TTagValue(uint8_t(7)), true},
                    TEqualityCase{"NonNumberText", TTagValue("Rock"), TTagValue(uint8_t(12)), false},
                    TEqualityCase{"NarrowWide", TTagValue("abc"), TTagValue(u"abc"), true},
                    TEqualityCase{"TextsAreNotNumbers", TTagValue("007"), TTagValue("7"), false},
                    TEqualityCase{"CaseMatters", TTagValue("Abc"), TTagValue("abc"), false},
                    TEqualityCase{"IntegerWidths", TTagValue(int16_t(7)), TTagValue(uint32_t(7)), true},
                    TEqualityCase{"NegativeVsUnsigned", TTagValue(int8_t(-1)), TTagValue(uint8_t(255)),
                                  false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(TAuTagsTest, SetValueStoresTextThatDiffersFromStoredNumber) {
    TId3v1Tags t; // "genre" holds the integer 12
    t.SetValue("genre", "12");
    EXPECT_FALSE(t.Changed()); // the same value as text
    EXPECT_EQ(t.GetValue("genre").Kind(), TTagValueKind::tvkUInt8);
    t.SetValue("genre", "Rock");
    EXPECT_TRUE(t.Changed());
    EXPECT_EQ(t.GetValue("genre").Narrow(), "Rock");
    EXPECT_EQ(t.GenreId(), 0); // a non-numeric genre reads as id 0
}

TEST(TAuTagsTest, IntegerAndTextConversions) {
    TCommonTags t;
    struct {
        TTagValue Value;
        int32_t Integer;
        std::string Narrow;
    } cases[] = {
        {TTagValue("12"), 12, "12"},
        {TTagValue("12a"), 0, "12a"},
        {TTagValue(u"-5"), -5, "-5"},
        {TTagValue(" 12"), 0, " 12"},
        {TTagValue(""), 0, ""},
        {TTagValue("99999999999"), 0, "99999999999"},
        {TTagValue(uint32_t(0xFFFFFFFF)), -1, "4294967295"},
        {TTagValue(int8_t(-3)), -3, "-3"},
        {TTagValue(uint16_t(1998)), 1998, "1998"},
        {TTagValue(), 0, ""},
    };
    for (const auto& c : cases) {
        t.SetValue("Year", c.Value);
        SCOPED_TRACE(c.Narrow);
        EXPECT_EQ(t.AsInteger("Year"), c.Integer);
        EXPECT_EQ(t.AsString("Year"), c.Narrow);
        EXPECT_EQ(t.AsWideString("Year"), std::u16string(c.Narrow.begin(), c.Narrow.end()));
    }
    EXPECT_EQ(t.AsInteger("Missing"), 0);
    EXPECT_EQ(t.AsString("Missing"), "");
    EXPECT_TRUE(t.GetValue("Missing").IsNull());
}

TEST(TAuTagsTest, NarrowAndWideTextConvertThroughLegacyCodePage) {
    TCommonTags t;
    t.SetTitle(u"Привет");
    EXPECT_EQ(t.AsString("Title"), "\xCF\xF0\xE8\xE2\xE5\xF2"); // CP1251
    t.SetValue("Title", "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_TRUE(t.GetValue("Title").IsWide()); // the same text: nothing stored
    t.Clear();
    t.SetValue("Title", "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_TRUE(t.GetValue("Title").IsNarrow()); // the kind is kept
    EXPECT_EQ(t.Title(), u"Привет");
}

// Fills every key of Source with a distinct text, assigns, and reports which keys of Dest
// received a value.
template <typename TSource, typename TDest> std::set<std::string> CarriedKeys() {
    TSource src;
    for (int i = 0; i < src.IdCount(); ++i) {
        std::string k = src.IdName(i);
        src.SetValue(k, std::u16string(k.begin(), k.end()) + u"!");
    }
    TDest dst;
    dst.Assign(src);
    std::set<std::string> carried;
    for (int i = 0; i < dst.IdCount(); ++i) {
        TTagValue v = dst.GetValue(dst.IdName(i));
        if (!v.IsNull()) {
            carried.insert(dst.IdName(i));
            EXPECT_TRUE(v.IsWide()); // the kind carries over unchanged
        }
    }
    return carried;
}

TEST(TAuTagsTest, AssignBetweenFormatsMapsKeysBySpelling) {
    using S = std::set<std::string>;
    EXPECT_EQ((CarriedKeys<TId3v1Tags, TCommonTags>()),
              (S{"Album", "Artist", "Genre", "Title", "Track", "Year"}));
    EXPECT_EQ((CarriedKeys<TAPEv2Tags, TCommonTags>()),
              (S{"Album", "Artist", "Genre", "Title", "Track", "Year"}));
    EXPECT_EQ((CarriedKeys<TAPEv2Tags, TId3v1Tags>()),
              (S{"album", "artist", "comment", "genre", "title", "track", "year"}));
    EXPECT_EQ((CarriedKeys<TVorbisTags, TCommonTags>()), (S{"Album", "Artist", "Genre", "Title"}));
    EXPECT_EQ((CarriedKeys<TId3v2Tags, TCommonTags>()), S{});
    EXPECT_EQ((CarriedKeys<TId3v2Tags, TId3v1Tags>()), S{});
}

TEST(TAuTagsTest, AssignFromId3v1CarriesTitleAndLeavesComment) {
    TId3v1Tags v1;
    v1.SetTitle("Song");
    v1.SetComment("note");
    TCommonTags common;
    common.SetArtist(u"stale");
    common.Assign(v1);
    EXPECT_EQ(common.Title(), u"Song");
    EXPECT_EQ(common.Artist(), u"");  // cleared, then Null from the source
    EXPECT_EQ(common.Genre(), u"12"); // the integer genre id carried over as a number
    EXPECT_EQ(common.GetValue("Genre").Kind(), TTagValueKind::tvkUInt8);

    TCommonTags viaAssignTo;
    v1.AssignTo(viaAssignTo);
    EXPECT_EQ(viaAssignTo.Title(), u"Song");
}

TEST(TAuTagsTest, AssignToItselfKeepsValues) {
    TCommonTags t;
    t.SetTitle(u"Keep");
    t.Assign(t);
    EXPECT_EQ(t.Title(), u"Keep");
}

TEST(TAuTagsTest, AssignWithForeignClassRaisesAssignmentError) {
    TCommonTags t;
    TPersistent other;
    try {
        t.Assign(other);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TPersistent to a TCommonTags");
    }
    try {
        t.AssignTo(other);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TCommonTags to a TPersistent");
    }
}

TEST(TAuTagsTest, BaseFileOperations) {
    test::TTempDir dir;
    test::WriteBytes(dir / "f", {1, 2, 3});
    test::TFd fd(dir / "f", O_RDWR);
    TAPEv2Tags t;
    t.SetTitle(u"x");
    EXPECT_FALSE(TAuTags::Presents(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(t.ReadFromFile(INVALID_HANDLE_VALUE));
    EXPECT_EQ(t.Title(), u"x");
    EXPECT_TRUE(TAuTags::Presents(fd.Get()));
    EXPECT_TRUE(t.ReadFromFile(fd.Get())); // clears, reads nothing
    EXPECT_EQ(t.Title(), u"");
    EXPECT_TRUE(t.Empty());
    EXPECT_TRUE(t.WriteToFile(fd.Get(), true));
    EXPECT_FALSE(t.WriteToFile(INVALID_HANDLE_VALUE, true));
    EXPECT_EQ(test::ReadBytes(dir / "f"), (test::TBytes{1, 2, 3}));
}

TEST(TAPEv2TagsTest, KeysAndProperties) {
    TAPEv2Tags t;
    EXPECT_EQ(Keys(t), (std::vector<std::string>{
                           "Abstract", "Album",    "Artist",    "Bibliography", "Catalog",
                           "Comment",  "Composer", "Conductor", "Copyright",    "Debut album",
                           "EAN/UPC",  "File",     "Genre",     "ISBN",         "ISRC",
                           "Language", "LC",       "Publisher", "Record Date",  "Record Location",
                           "Related",  "Subtitle", "Title",     "Track",        "Year"}));
    EXPECT_EQ(t.Title(), u"");
    EXPECT_EQ(t.Year(), "");
    t.SetTitle(u"Заголовок");
    t.SetYear("1998");
    t.SetBarCode("0123");
    t.SetDebutAlbum(u"First");
    EXPECT_EQ(t.Title(), u"Заголовок");
    EXPECT_EQ(t.Year(), "1998");
    EXPECT_EQ(t.AsString("EAN/UPC"), "0123");
    EXPECT_EQ(t.AsWideString("debut ALBUM"), u"First");
}

TEST(TVorbisTagsTest, KeysAndUnparsedValues) {
    TVorbisTags t;
    EXPECT_EQ(Keys(t), (std::vector<std::string>{"album", "artist", "date", "discnumber", "genre",
                                                 "replaygain_album_gain", "replaygain_album_peak",
                                                 "replaygain_reference_loudness", "replaygain_track_gain",
                                                 "replaygain_track_peak", "title", "tracknumber"}));
    EXPECT_EQ(t.TrackGain(), u"");
    t.SetTrackGain(u"-6.5 dB");
    t.SetTrack(u"3");
    EXPECT_EQ(t.TrackGain(), u"-6.5 dB");
    EXPECT_EQ(t.AsWideString(VorbisTrack), u"3");
}
