#include <gtest/gtest.h>

#include <random>
#include <sys/mman.h>

#include "TagTestFiles.h"
#include "tags/TId3v2Tags.h"

using namespace tarvio;
using test::TBytes;

namespace {

TBytes Text(uint8_t Encoding, const TBytes& Bytes) {
    TBytes d{Encoding};
    test::Append(d, Bytes);
    return d;
}
TBytes Text(uint8_t Encoding, const std::string& S) {
    return Text(Encoding, TBytes(S.begin(), S.end()));
}

TBytes Utf16Le(const std::u16string& S) {
    TBytes b;
    for (char16_t c : S) {
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}

// A version 3/4 frame with a plain 32-bit size (the same bytes as synchsafe below 128).
TBytes Frame(const std::string& Id, const TBytes& Data, uint8_t FormatFlags = 0) {
    TBytes f(Id.begin(), Id.end());
    uint32_t n = static_cast<uint32_t>(Data.size());
    for (int s = 24; s >= 0; s -= 8)
        f.push_back(static_cast<uint8_t>(n >> s));
    f.push_back(0);
    f.push_back(FormatFlags);
    test::Append(f, Data);
    return f;
}

TBytes Frame2(const std::string& Id, const TBytes& Data) {
    TBytes f(Id.begin(), Id.end());
    uint32_t n = static_cast<uint32_t>(Data.size());
    for (int s = 16; s >= 0; s -= 8)
        f.push_back(static_cast<uint8_t>(n >> s));
    test::Append(f, Data);
    return f;
}

TBytes Synchsafe(uint32_t V) {
    return {uint8_t((V >> 21) & 0x7F), uint8_t((V >> 14) & 0x7F), uint8_t((V >> 7) & 0x7F),
            uint8_t(V & 0x7F)};
}

TBytes Tag(uint8_t Major, const TBytes& Body, uint8_t Flags = 0, uint8_t Revision = 0) {
    TBytes t{'I', 'D', '3', Major, Revision, Flags};
    test::Append(t, Synchsafe(static_cast<uint32_t>(Body.size())));
    test::Append(t, Body);
    return t;
}

class TId3v2File : public testing::Test {
protected:
    int Open(const TBytes& Contents) {
        test::WriteBytes(Path(), Contents);
        FFd = std::make_unique<test::TFd>(Path(), O_RDWR);
        return FFd->Get();
    }
    std::string Path() const { return FDir / "a.mp3"; }
    int64_t Pos() const { return lseek(FFd->Get(), 0, SEEK_CUR); }
    test::TTempDir FDir;
    std::unique_ptr<test::TFd> FFd;
};

} // namespace

struct THeaderCase {
    const char* Name;
    TBytes Header;
    bool Accepted;
    int64_t WholeLength;
};

class TId3v2HeaderTest : public testing::TestWithParam<THeaderCase> {};

TEST_P(TId3v2HeaderTest, CheckHeader) {
    const auto& c = GetParam();
    int64_t whole = -1;
    EXPECT_EQ(TId3v2Tags::CheckHeader(c.Header.data(), c.Header.size(), whole), c.Accepted);
    if (c.Accepted) {
        EXPECT_EQ(whole, c.WholeLength);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TId3v2HeaderTest,
    testing::Values(THeaderCase{"V2", {'I', 'D', '3', 2, 0, 0x80, 0, 0, 1, 1}, true, 129 + 10},
                    THeaderCase{"V2LowFlag", {'I', 'D', '3', 2, 0, 0x20, 0, 0, 0, 1}, false, 0},
                    THeaderCase{"V3", {'I', 'D', '3', 3, 0, 0xE0, 0, 0, 0, 5}, true, 15},
                    THeaderCase{"V3Bit4", {'I', 'D', '3', 3, 0, 0x10, 0, 0, 0, 5}, false, 0},
                    THeaderCase{"V4Footer", {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0, 5}, true, 25},
                    THeaderCase{"V4Bit3", {'I', 'D', '3', 4, 0, 0x08, 0, 0, 0, 5}, false, 0},
                    THeaderCase{"V5", {'I', 'D', '3', 5, 0, 0, 0, 0, 0, 5}, false, 0},
                    THeaderCase{"Revision255", {'I', 'D', '3', 3, 255, 0, 0, 0, 0, 5}, false, 0},
                    THeaderCase{"SizeByte128", {'I', 'D', '3', 3, 0, 0, 0, 0, 128, 5}, false, 0},
                    THeaderCase{
                        "MaxSize", {'I', 'D', '3', 4, 0, 0, 127, 127, 127, 127}, true, (1 << 28) - 1 + 10},
                    THeaderCase{"LowerCase", {'i', 'd', '3', 3, 0, 0, 0, 0, 0, 5}, false, 0},
                    THeaderCase{"Short", {'I', 'D', '3', 3, 0, 0, 0, 0, 0}, false, 0}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(TId3v2File, PresentsKeepsPositionAndRejectsBadHeaders) {
    TBytes file(7, 0x55);
    test::Append(file, Tag(3, Frame("TIT2", Text(0, "x"))));
    int fd = Open(file);
    lseek(fd, 7, SEEK_SET);
    EXPECT_TRUE(TId3v2Tags::Presents(fd));
    EXPECT_EQ(Pos(), 7);
    lseek(fd, 0, SEEK_SET);
    EXPECT_FALSE(TId3v2Tags::Presents(fd));
    EXPECT_EQ(Pos(), 0);
    TId3v2Tags t;
    EXPECT_FALSE(t.ReadFromFile(fd));
    EXPECT_FALSE(TId3v2Tags::Presents(INVALID_HANDLE_VALUE));
}

TEST_F(TId3v2File, ReadsVersion2ThreeLetterFrames) {
    TBytes body = Frame2("TT2", Text(0, "Two")); // Title
    test::Append(body, Frame2("TP1", Text(1, Utf16Le(u"\uFEFFАрт"))));
    test::Append(body, Frame2("TYE", Text(0, "1990")));
    test::Append(body, Frame2("TIT2", Text(0, "no"))); // a four-letter id is not a version 2 frame
    TBytes file = Tag(2, body);
    file.push_back(0x42);
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(file)));
    EXPECT_FALSE(t.IsNew());
    EXPECT_EQ(t.Title(), u"Two");
    EXPECT_EQ(t.Artist(), u"Арт");
    EXPECT_EQ(t.Year(), "1990");
    EXPECT_TRUE(t.GetValue("TIT2").IsNull());
    EXPECT_EQ(Pos(), static_cast<int64_t>(file.size()) - 1);
}

// A version 2 tag is written back as version 4: its values, kept under three-letter keys,
// go out under the four-letter ids, and a value set after reading replaces its own. Before,
// such a write returned true for a tag with no frames.
TEST_F(TId3v2File, Version2TagIsWrittenBackWithItsValues) {
    TBytes body = Frame2("TT2", Text(0, "Old"));
    test::Append(body, Frame2("TP1", Text(1, Utf16Le(u"\uFEFFАрт"))));
    test::Append(body, Frame2("TYE", Text(0, "1990")));
    TBytes file = Tag(2, body);
    test::Append(file, TBytes{1, 2, 3});
    int fd = Open(file);
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(fd));
    t.SetTitle(u"Новое");

    TBytes frames = Frame("TPE1", Text(3, "Арт"));
    test::Append(frames, Frame("TIT2", Text(3, "Новое")));
    test::Append(frames, Frame("TYER", Text(0, "1990")));
    TBytes tag = Tag(4, frames);
    tag.resize(tag.size() + 16 - tag.size() % 16, 0);
    tag[9] = static_cast<uint8_t>(tag.size() - 10);
    EXPECT_EQ(t.RenderTag(true), tag);
    TId3v2Tags copy; // four-letter properties, but the values came under three-letter keys
    copy.Assign(t);
    EXPECT_EQ(copy.RenderTag(true), tag);

    ASSERT_TRUE(t.WriteToFile(fd, true));
    TBytes expected = tag;
    test::Append(expected, file);
    EXPECT_EQ(test::ReadBytes(Path()), expected);
    lseek(fd, 0, SEEK_SET);
    TId3v2Tags back;
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_TRUE(back.IsNew());
    EXPECT_EQ(back.Title(), u"Новое");
    EXPECT_EQ(back.Artist(), u"Арт");
    EXPECT_EQ(back.Year(), "1990");
}

TEST_F(TId3v2File, ReadsEncodingsAndIgnoresCommentAndOtherYearFrames) {
    TBytes body = Frame("TIT2", Text(1, Utf16Le(u"\uFEFFMarked")));
    test::Append(body, Frame("TPE1", Text(1, Utf16Le(u"Unmarked"))));
    TBytes be = {0xFE, 0xFF, 0x04, 0x10}; // big-endian mark, "А"
    test::Append(body, Frame("TALB", Text(1, be)));
    test::Append(body, Frame("TCON", Text(3, "Рок")));
    test::Append(body, Frame("TCOM", Text(2, Utf16Le(u"skip")))); // encoding 2 is not read
    test::Append(body, Frame("TENC", Text(0, "\xCF\xF0\xE8")));   // legacy code page
    test::Append(body, Frame("COMM", Text(0, "engcomment")));
    test::Append(body, Frame("TDRC", Text(0, "2004")));
    test::Append(body, Frame("TRCK", Text(0, TBytes{'5', 0, 'x'}))); // ends at the first zero
    test::Append(body, TBytes(20, 0));                               // padding
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(4, body))));
    EXPECT_TRUE(t.IsNew());
    EXPECT_EQ(t.Title(), u"Marked");
    EXPECT_EQ(t.Artist(), u"Unmarked");
    EXPECT_EQ(t.Album(), u"А");
    EXPECT_EQ(t.Genre(), u"Рок");
    EXPECT_EQ(t.Composer(), u"");
    EXPECT_EQ(t.Encoder(), u"При");
    EXPECT_TRUE(t.GetValue("TENC").IsNarrow());
    EXPECT_EQ(t.Comment(), u"");
    EXPECT_EQ(t.Year(), "");
    EXPECT_EQ(t.Track(), "5");
}

TEST_F(TId3v2File, RepeatedFrameKeepsLaterValueAndEmptyFramesAreStepped) {
    TBytes body = Frame("TIT2", Text(0, "first"));
    test::Append(body, Frame("TXXX", {})); // size 0
    test::Append(body, Frame("TIT2", Text(0, "second")));
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(3, body))));
    EXPECT_EQ(t.Title(), u"second");
}

TEST_F(TId3v2File, FrameRunningPastTheTagIsSkipped) {
    TBytes body = Frame("TIT2", Text(0, "ok"));
    TBytes bad = Frame("TPE1", Text(0, "abc"));
    bad[7] = 100; // claims 100 bytes; the tag ends after 4
    test::Append(body, bad);
    TBytes file = Tag(3, body);
    test::Append(file, TBytes(200, 'A')); // audio after the tag must not be read as the frame
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(file)));
    EXPECT_EQ(t.Title(), u"ok");
    EXPECT_EQ(t.Artist(), u"");
}

TEST_F(TId3v2File, TagLongerThanFileCountsAsReadWithoutValues) {
    TBytes file = Tag(3, Frame("TIT2", Text(0, "lost")));
    file[9] += 50; // the tag now claims 50 more bytes than the file holds
    TId3v2Tags t;
    t.SetTitle(u"old");
    ASSERT_TRUE(t.ReadFromFile(Open(file)));
    EXPECT_EQ(t.Title(), u"");
    EXPECT_EQ(Pos(), static_cast<int64_t>(file.size()) + 50);
}

TEST_F(TId3v2File, Version4FrameSizesSynchsafeOrPlain) {
    const std::string longText(200, 'L');
    // Synchsafe sizes, as the format defines them.
    TBytes data = Text(0, longText);
    TBytes f{'T', 'I', 'T', '2'};
    test::Append(f, Synchsafe(static_cast<uint32_t>(data.size())));
    test::Append(f, TBytes{0, 0});
    test::Append(f, data);
    test::Append(f, Frame("TPE1", Text(0, "after")));
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(4, f))));
    EXPECT_EQ(t.Title(), std::u16string(longText.begin(), longText.end()));
    EXPECT_EQ(t.Artist(), u"after");

    // Plain sizes, as some writers store them.
    TBytes plain = Frame("TIT2", Text(0, longText));
    test::Append(plain, Frame("TPE1", Text(0, "after")));
    test::Append(plain, TBytes(10, 0));
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(4, plain))));
    EXPECT_EQ(t.Title(), std::u16string(longText.begin(), longText.end()));
    EXPECT_EQ(t.Artist(), u"after");
}

TEST_F(TId3v2File, ExtendedHeaderUnsynchronisationAndFrameFlags) {
    // Version 3: an extended header (size 6, plus the size field) and a whole-tag
    // unsynchronisation, which turns every FF into FF 00 after the frames were built.
    TBytes body = {0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
    test::Append(body, Frame("TIT2", Text(0, TBytes{'a', 0xFF, 0xE0, 'b'})));
    test::Append(body, Frame("TPE1", Text(0, "zipped"), 0x80));      // compressed: not read
    test::Append(body, Frame("TALB", TBytes{7, 0, 'A', 'l'}, 0x20)); // group id byte first
    TBytes unsync;
    for (uint8_t b : body) {
        unsync.push_back(b);
        if (b == 0xFF) unsync.push_back(0);
    }
    TId3v2Tags t;
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(3, unsync, 0xC0))));
    EXPECT_EQ(t.AsString("TIT2"), "a\xFF\xE0"
                                  "b");
    EXPECT_EQ(t.Artist(), u"");
    EXPECT_EQ(t.Album(), u"Al");

    // Version 4: a frame with a data length indicator and its own unsynchronisation.
    TBytes v4 = Frame("TIT2", TBytes{0, 0, 0, 4, 0, 'x', 0xFF, 0x00, 0xFE}, 0x03);
    ASSERT_TRUE(t.ReadFromFile(Open(Tag(4, v4))));
    EXPECT_EQ(t.AsString("TIT2"), "x\xFF\xFE");
}

TEST_F(TId3v2File, WritesHeaderFramesAndPaddingByteForByte) {
    TId3v2Tags t;
    t.SetArtist(u"Artist"); // TPE1: 10 + 1 + 6 = 17 bytes
    t.SetYear("1");         // TYER: 10 + 1 + 1 = 12 bytes
    t.SetComment(u"never"); // the comment is not written
    TBytes frames = Frame("TPE1", Text(0, "Artist"));
    test::Append(frames, Frame("TYER", Text(0, "1")));
    ASSERT_EQ(frames.size(), 29u);
    TBytes expected = Tag(4, frames);
    expected.resize(expected.size() + 16 - (29 + 10) % 16, 0); // 9 bytes of padding
    expected[9] = static_cast<uint8_t>(frames.size() + 9);
    EXPECT_EQ(t.RenderTag(false), expected);
}

struct TPaddingCase {
    size_t TextBytes;
    size_t FrameBytes;
    size_t Padding;
};

class TId3v2PaddingTest : public testing::TestWithParam<TPaddingCase> {};

TEST_P(TId3v2PaddingTest, PadsToMultipleOf16) {
    const auto& c = GetParam();
    TId3v2Tags t;
    t.SetTitle(std::u16string(c.TextBytes, u'x'));
    std::vector<uint8_t> tag = t.RenderTag(false);
    ASSERT_EQ(tag.size(), 10 + c.FrameBytes + c.Padding);
    EXPECT_EQ(tag.size() % 16, 0u);
    EXPECT_EQ(TBytes(tag.begin() + 6, tag.begin() + 10),
              Synchsafe(static_cast<uint32_t>(c.FrameBytes + c.Padding)));
    for (size_t i = 10 + c.FrameBytes; i < tag.size(); ++i)
        EXPECT_EQ(tag[i], 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TId3v2PaddingTest,
                         testing::Values(TPaddingCase{11, 22, 16}, TPaddingCase{12, 23, 15},
                                         TPaddingCase{0, 0, 6}, TPaddingCase{5, 16, 6},
                                         TPaddingCase{200, 211, 3}));

TEST_F(TId3v2File, WriteEncodingFollowsUnicodeFlagAndKind) {
    TId3v2Tags t;
    t.SetTitle(u"Привет");
    t.SetTrack("7");
    std::vector<uint8_t> utf8 = t.RenderTag(true);
    TBytes f = Frame("TIT2", Text(3, "Привет"));
    test::Append(f, Frame("TRCK", Text(0, "7"))); // a narrow value stays legacy text
    EXPECT_EQ(TBytes(utf8.begin() + 10, utf8.begin() + 10 + f.size()), f);

    std::vector<uint8_t> legacy = t.RenderTag(false);
    TBytes g = Frame("TIT2", Text(0, "\xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(TBytes(legacy.begin() + 10, legacy.begin() + 10 + g.size()), g);
}

TEST_F(TId3v2File, WriteSkipsEmptyValues) {
    TId3v2Tags t;
    t.SetArtist(u"A");
    t.SetAlbum(u"");
    std::vector<uint8_t> tag = t.RenderTag(true);
    TBytes f = Frame("TPE1", Text(3, "A"));
    EXPECT_EQ(TBytes(tag.begin() + 10, tag.begin() + 10 + f.size()), f);
    EXPECT_EQ(tag.size(), 32u); // 10 + 12 + 10 of padding
}

TEST_F(TId3v2File, InsertsInFrontOfContentsAndReadsBack) {
    int fd = Open({1, 2, 3});
    TId3v2Tags t;
    t.SetTitle(u"Заголовок");
    t.SetArtist(u"Artist");
    t.SetYear("2020");
    ASSERT_TRUE(t.WriteToFile(fd, true));
    TBytes file = test::ReadBytes(Path());
    std::vector<uint8_t> tag = t.RenderTag(true);
    ASSERT_EQ(file.size(), tag.size() + 3);
    EXPECT_TRUE(std::equal(tag.begin(), tag.end(), file.begin()));
    EXPECT_EQ(TBytes(file.end() - 3, file.end()), (TBytes{1, 2, 3}));

    lseek(fd, 0, SEEK_SET);
    TId3v2Tags back;
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_EQ(back.Title(), u"Заголовок");
    EXPECT_EQ(back.Artist(), u"Artist");
    EXPECT_EQ(back.Year(), "2020");
    EXPECT_EQ(Pos(), static_cast<int64_t>(tag.size()));

    // A second insert leaves the first tag directly behind the new one.
    t.SetTitle(u"Second");
    ASSERT_TRUE(t.WriteToFile(fd, false));
    lseek(fd, 0, SEEK_SET);
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_EQ(back.Title(), u"Second");
    ASSERT_TRUE(back.ReadFromFile(fd));
    EXPECT_EQ(back.Title(), u"Заголовок");
}

TEST_F(TId3v2File, WriteFailsOnReadOnlyOrAppendDescriptorAndLeavesFile) {
    Open({9, 8, 7});
    test::TFd ro(Path(), O_RDONLY);
    TId3v2Tags t;
    t.SetTitle(u"x");
    EXPECT_FALSE(t.WriteToFile(ro.Get(), false));
    EXPECT_FALSE(t.WriteToFile(INVALID_HANDLE_VALUE, false));
    test::TFd append(Path(), O_RDWR | O_APPEND);
    EXPECT_FALSE(t.WriteToFile(append.Get(), false));
    EXPECT_EQ(test::ReadBytes(Path()), (TBytes{9, 8, 7}));
}

// Random and damaged tags must never crash or read out of bounds (run under ASan).
TEST(TId3v2FuzzTest, RandomAndTruncatedTagsAreHandled) {
    std::mt19937 rng(12345);
    auto byte = [&] { return static_cast<uint8_t>(rng()); };
    test::TFd fd(memfd_create("id3fuzz", MFD_CLOEXEC));
    ASSERT_GE(fd.Get(), 0);

    std::vector<TBytes> seeds;
    {
        TBytes b = Frame("TIT2", Text(1, Utf16Le(u"\uFEFFabc")));
        test::Append(b, Frame("TPE1", Text(3, "Привет")));
        test::Append(b, Frame("TALB", Text(0, "x")));
        for (uint8_t major : {2, 3, 4})
            seeds.push_back(Tag(major, b, 0));
        seeds.push_back(Tag(4, b, 0xD0));
        TBytes v2 = Frame2("TT2", Text(1, Utf16Le(u"ab")));
        test::Append(v2, Frame2("TP1", Text(0, "c")));
        seeds.push_back(Tag(2, v2, 0x80));
    }
    TId3v2Tags t;
    for (int iter = 0; iter < 20000; ++iter) {
        TBytes data = seeds[rng() % seeds.size()];
        switch (rng() % 4) {
        case 0: // flip bytes
            for (int k = rng() % 8; k >= 0; --k)
                data[rng() % data.size()] = byte();
            break;
        case 1: // truncate
            data.resize(rng() % data.size());
            break;
        case 2: // random body under a valid header
            data.resize(10 + rng() % 64);
            for (size_t i = 10; i < data.size(); ++i)
                data[i] = rng() % 3 ? byte() : static_cast<uint8_t>('A' + rng() % 26);
            break;
        default: // damage frame sizes
            for (size_t i = 14; i + 3 < data.size(); i += 1 + rng() % 12)
                data[i] = byte();
            break;
        }
        ASSERT_EQ(ftruncate(fd.Get(), 0), 0);
        ASSERT_EQ(pwrite(fd.Get(), data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
        lseek(fd.Get(), 0, SEEK_SET);
        TId3v2Tags::Presents(fd.Get());
        if (t.ReadFromFile(fd.Get())) {
            (void)t.Title();
            (void)t.Artist();
            (void)t.Year();
        }
    }
}
