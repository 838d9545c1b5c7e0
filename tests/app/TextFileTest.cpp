#include "app/EFOpenError.h"
#include "app/TTextFile.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using tarvio::TTextFile;
using Lines = std::vector<std::string>;

namespace {

TEST(TextFile, LineBreaksAndEmptyLines) {
    EXPECT_EQ(TTextFile::SplitLines(""), Lines{});
    EXPECT_EQ(TTextFile::SplitLines("a"), Lines{"a"});
    EXPECT_EQ(TTextFile::SplitLines("a\n"), Lines{"a"}) << "a break at the end adds no line";
    EXPECT_EQ(TTextFile::SplitLines("a\r\nb\rc\nd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(TTextFile::SplitLines("a\n\nb\r\n\r\n"), (Lines{"a", "", "b", ""}));
    EXPECT_EQ(TTextFile::SplitLines("\n"), Lines{""});
}

TEST(TextFile, EncodingFollowsTheByteOrderMarkOrTheBytes) {
    const std::string song = "/музыка/песня.flac"; // UTF-8
    // UTF-8 with and without a mark.
    EXPECT_EQ(TTextFile::SplitLines("\xEF\xBB\xBF" + song + "\r\n"), Lines{song});
    EXPECT_EQ(TTextFile::SplitLines(song + "\n"), Lines{song});
    // UTF-16 in both byte orders: "я\nb".
    EXPECT_EQ(TTextFile::SplitLines(std::string("\xFF\xFE\x4F\x04\x0A\x00\x62\x00", 8)), (Lines{"я", "b"}));
    EXPECT_EQ(TTextFile::SplitLines(std::string("\xFE\xFF\x04\x4F\x00\x0A\x00\x62", 8)), (Lines{"я", "b"}));
    // Not valid UTF-8: the legacy code page (CP1251 by default): "\xEF\xE5\xF1\xED\xFF" is "песня".
    EXPECT_EQ(TTextFile::SplitLines("\xEF\xE5\xF1\xED\xFF.mp3"), Lines{"песня.mp3"});
}

TEST(TextFile, Utf8Validation) {
    EXPECT_TRUE(TTextFile::IsValidUtf8("plain ascii"));
    EXPECT_TRUE(TTextFile::IsValidUtf8("\xF0\x9F\x8E\xB5"));  // a four-byte character
    EXPECT_FALSE(TTextFile::IsValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(TTextFile::IsValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(TTextFile::IsValidUtf8("abc\xD0"));          // cut short
    EXPECT_FALSE(TTextFile::IsValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
}

TEST(TextFile, MissingFileIsAnError) {
    EXPECT_THROW(TTextFile::ReadLines("/nonexistent/PlayList.txt"), tarvio::EFOpenError);
}

} // namespace
