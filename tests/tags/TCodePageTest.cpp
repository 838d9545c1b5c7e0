#include <gtest/gtest.h>

#include "tags/TCodePage.h"

using namespace tarvio;

TEST(TCodePageTest, LegacyCodePageRoundTrip) {
    EXPECT_EQ(TCodePage::Name(), "CP1251"); // tests run without TARVIO_CODEPAGE
    const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2 \xB8\xA8";
    EXPECT_EQ(TCodePage::ToWide(cp1251), u"Привет ёЁ");
    EXPECT_EQ(TCodePage::ToNarrow(u"Привет ёЁ"), cp1251);
    EXPECT_EQ(TCodePage::ToWide("\xE9", "ISO-8859-1"), u"é");
}

TEST(TCodePageTest, UnconvertibleTextIsReplacedNotDropped) {
    EXPECT_EQ(TCodePage::ToNarrow(u"a漢b"), "a?b");
    EXPECT_EQ(TCodePage::ToNarrow(u"a\U0001F600b"), "a?b"); // a surrogate pair is one character
    EXPECT_EQ(TCodePage::ToNarrow(std::u16string(u"a") + char16_t(0xD800) + u"я"), "a?\xFF");
    EXPECT_EQ(TCodePage::ToWide("a\x98z"), u"a\uFFFDz"); // 0x98 is undefined in CP1251
    EXPECT_EQ(TCodePage::ToWide("\xC0", "NO-SUCH-CODEPAGE"), u"\u00C0");
}

TEST(TCodePageTest, Utf8Conversions) {
    const std::u16string text = u"Añ Привет \U0001F600";
    EXPECT_EQ(TCodePage::Utf8ToWide(TCodePage::WideToUtf8(text)), text);
    EXPECT_EQ(TCodePage::WideToUtf8(u"я"), "\xD1\x8F");
    // Malformed input: a lone continuation byte, a truncated sequence, an overlong form, an
    // encoded surrogate.
    EXPECT_EQ(TCodePage::Utf8ToWide("a\x80"
                                    "b"),
              u"a\uFFFDb");
    EXPECT_EQ(TCodePage::Utf8ToWide("a\xD1"), u"a\uFFFD");
    EXPECT_EQ(TCodePage::Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(TCodePage::Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(TCodePage::WideToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}
