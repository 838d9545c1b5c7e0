#include <gtest/gtest.h>

#include <cstring>

#include "TagTestFiles.h"
#include "tags/TId3v1Tags.h"

using namespace tarvio;
using test::TBytes;

namespace {

// A 128-byte block with the given fields copied in raw.
TBytes Block(const std::string& Title, const std::string& Artist, const std::string& Year,
             const TBytes& CommentArea, uint8_t Genre, const char* Magic = "TAG") {
    TBytes b(128, 0);
    std::memcpy(b.data(), Magic, 3);
    std::memcpy(b.data() + 3, Title.data(), std::min<size_t>(Title.size(), 30));
    std::memcpy(b.data() + 33, Artist.data(), std::min<size_t>(Artist.size(), 30));
    std::memcpy(b.data() + 93, Year.data(), std::min<size_t>(Year.size(), 4));
    std::copy(CommentArea.begin(), CommentArea.end(), b.begin() + 97);
    b[127] = Genre;
    return b;
}

TBytes CommentArea(const std::string& Text, uint8_t B125, uint8_t B126) {
    TBytes c(30, 0);
    std::memcpy(c.data(), Text.data(), std::min<size_t>(Text.size(), 30));
    c[28] = B125;
    c[29] = B126;
    return c;
}

class TId3v1File : public testing::Test {
protected:
    // Writes audio-like bytes followed by Tail and opens the file for reading and writing.
    int Open(const TBytes& Tail, size_t Leading = 50) {
        TBytes data(Leading, 0xAA);
        test::Append(data, Tail);
        test::WriteBytes(Path(), data);
        FFd = std::make_unique<test::TFd>(Path(), O_RDWR);
        return FFd->Get();
    }
    std::string Path() const { return FDir / "a.mp3"; }
    test::TTempDir FDir;
    std::unique_ptr<test::TFd> FFd;
};

} // namespace

TEST(TId3v1TagsTest, NewContainerAndGenreRules) {
    TId3v1Tags t;
    EXPECT_EQ(t.GenreId(), 12);
    EXPECT_EQ(t.Genre(), "Other");
    EXPECT_TRUE(t.Empty());
    EXPECT_FALSE(t.Changed());

    t.SetGenre("  rock \t");
    EXPECT_EQ(t.GenreId(), 17);
    t.SetGenre("No Such Genre");
    EXPECT_EQ(t.GenreId(), 17);
    t.SetGenre("death METAL");
    EXPECT_EQ(t.Genre(), "Death metal");
    t.SetGenreId(200); // stored without a range check, read as 12
    EXPECT_EQ(t.AsInteger("genre"), 200);
    EXPECT_EQ(t.GenreId(), 12);
    t.SetValue("genre", int32_t(-1));
    EXPECT_EQ(t.GenreId(), 12);

    t.Clear();
    EXPECT_EQ(t.GenreId(), 0);
    EXPECT_EQ(t.Genre(), "Blues");
}

TEST(TId3v1TagsTest, GenreTableSpelling) {
    EXPECT_STREQ(Id3v1Genres[0], "Blues");
    EXPECT_STREQ(Id3v1Genres[22], "Death metal");
    EXPECT_STREQ(Id3v1Genres[40], "Alt. Rock");
    EXPECT_STREQ(Id3v1Genres[85], "Bebob");
    EXPECT_STREQ(Id3v1Genres[118], "Rhythmic soul");
    EXPECT_STREQ(Id3v1Genres[136], "Christian Gangsta Rap");
    EXPECT_STREQ(Id3v1Genres[147], "Synthpop");
}

TEST(TId3v1TagsTest, ArtistReadsTextKindsOnly) {
    TId3v1Tags t;
    t.SetValue("artist", int32_t(5));
    EXPECT_EQ(t.Artist(), "");
    t.SetValue("artist", u"Бах");
    EXPECT_EQ(t.Artist(), "\xC1\xE0\xF5");
}

struct TCommentCase {
    const char* Name;
    uint8_t B125, B126;
    uint8_t Track;
    size_t CommentLength;
};

class TId3v1LayoutTest : public TId3v1File, public testing::WithParamInterface<TCommentCase> {};

TEST_P(TId3v1LayoutTest, DetectsVersion11ByBytes125And126) {
    const auto& c = GetParam();
    const std::string comment = "abcdefghijklmnopqrstuvwxyz0123"; // 30 letters
    TId3v1Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Block("T", "A", "1999", CommentArea(comment, c.B125, c.B126), 5))));
    EXPECT_EQ(t.Track(), c.Track);
    std::string expected = comment.substr(0, 28);
    if (c.CommentLength == 30) {
        expected.push_back(static_cast<char>(c.B125));
        expected.push_back(static_cast<char>(c.B126));
        while (!expected.empty() && static_cast<unsigned char>(expected.back()) <= ' ')
            expected.pop_back();
    }
    EXPECT_EQ(t.Comment(), expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, TId3v1LayoutTest,
                         testing::Values(TCommentCase{"ZeroThenTrack", 0, 7, 7, 28},
                                         TCommentCase{"BothZero", 0, 0, 0, 30},
                                         TCommentCase{"SpaceThenTrack", ' ', 7, 7, 28},
                                         TCommentCase{"SpaceThenSpace", ' ', ' ', 0, 30},
                                         TCommentCase{"TextInBoth", 'x', 'y', 0, 30}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(TId3v1File, ReadsFieldsTrimmedAndPositionsAtEnd) {
    int fd = Open(Block("  Title  ", "Artist", "2001", CommentArea("c", 0, 3), 200));
    TId3v1Tags t;
    ASSERT_TRUE(t.ReadFromFile(fd));
    EXPECT_EQ(t.Title(), "Title");
    EXPECT_EQ(t.Artist(), "Artist");
    EXPECT_EQ(t.Album(), "");
    EXPECT_EQ(t.Year(), 2001);
    EXPECT_EQ(t.Track(), 3);
    EXPECT_EQ(t.GenreId(), 12); // 200 is out of the table
    EXPECT_EQ(t.Genre(), "Other");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 50 + 128);
}

TEST_F(TId3v1File, ReadsCyrillicWrittenInCodePage1251) {
    int fd = Open(Block("\xCF\xF0\xE8\xE2\xE5\xF2", "\xC0\xF0\xF2\xE8\xF1\xF2", "2010", {}, 17));
    TId3v1Tags t;
    ASSERT_TRUE(t.ReadFromFile(fd));
    EXPECT_EQ(t.AsWideString("title"), u"Привет");
    EXPECT_EQ(t.AsWideString("artist"), u"Артист");
}

TEST_F(TId3v1File, YearThatIsNotANumberReadsZero) {
    TId3v1Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Block("T", "", "    ", {}, 1))));
    EXPECT_EQ(t.Year(), 0);
    ASSERT_TRUE(t.ReadFromFile(Open(Block("T", "", "19a9", {}, 1))));
    EXPECT_EQ(t.Year(), 0);
}

TEST_F(TId3v1File, MissingBlock) {
    TId3v1Tags t;
    t.SetTitle("old");
    int fd = Open(Block("T", "", "", {}, 1, "tag"));
    EXPECT_FALSE(TId3v1Tags::Presents(fd));
    EXPECT_FALSE(t.ReadFromFile(fd));
    EXPECT_EQ(t.Title(), ""); // cleared
    EXPECT_EQ(t.GenreId(), 0);

    fd = Open(TBytes(100, 'T'), 0); // shorter than a block
    EXPECT_FALSE(TId3v1Tags::Presents(fd));
    EXPECT_FALSE(t.ReadFromFile(fd));
    EXPECT_FALSE(TId3v1Tags::Presents(INVALID_HANDLE_VALUE));
}

TEST_F(TId3v1File, PresentsKeepsThePosition) {
    int fd = Open(Block("T", "", "", {}, 1));
    lseek(fd, 17, SEEK_SET);
    EXPECT_TRUE(TId3v1Tags::Presents(fd));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 17);
    fd = Open(TBytes(300, 1));
    lseek(fd, 9, SEEK_SET);
    EXPECT_FALSE(TId3v1Tags::Presents(fd));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 9);
}

TEST_F(TId3v1File, WriteAppendsBlockByteForByte) {
    TId3v1Tags t;
    t.SetTitle(std::string(40, 'x')); // cut to 30
    t.SetArtist("Me");
    t.SetComment(std::string(30, 'c')); // Track 0: all 30 bytes kept
    t.SetYear(0);
    t.SetGenre("Rock");
    int fd = Open({});
    ASSERT_TRUE(t.WriteToFile(fd, true));

    TBytes expected(50, 0xAA);
    TBytes block = Block(std::string(30, 'x'), "Me", "0", CommentArea(std::string(30, 'c'), 'c', 'c'), 17);
    test::Append(expected, block);
    EXPECT_EQ(test::ReadBytes(Path()), expected);

    t.SetTrack(9); // now the comment is cut to 28 bytes
    t.SetYear(1987);
    ASSERT_TRUE(t.WriteToFile(fd, false));
    test::Append(expected,
                 Block(std::string(30, 'x'), "Me", "1987", CommentArea(std::string(28, 'c'), 0, 9), 17));
    EXPECT_EQ(test::ReadBytes(Path()), expected);

    TId3v1Tags back;
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_EQ(back.Title(), std::string(30, 'x'));
    EXPECT_EQ(back.Track(), 9);
    EXPECT_EQ(back.Year(), 1987);
    EXPECT_EQ(back.Genre(), "Rock");
}

TEST_F(TId3v1File, ShortYearRoundTrips) {
    TId3v1Tags t;
    t.SetYear(99);
    int fd = Open({});
    ASSERT_TRUE(t.WriteToFile(fd, false));
    TId3v1Tags back;
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_EQ(back.Year(), 99);
}

TEST_F(TId3v1File, WriteFailsOnReadOnlyDescriptor) {
    Open({});
    test::TFd ro(Path(), O_RDONLY);
    TId3v1Tags t;
    EXPECT_FALSE(t.WriteToFile(ro.Get(), false));
    EXPECT_FALSE(t.WriteToFile(INVALID_HANDLE_VALUE, false));
    EXPECT_EQ(test::ReadBytes(Path()).size(), 50u);
}
