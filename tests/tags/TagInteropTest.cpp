// Tags written here are read by independent tools (mutagen, ffprobe), and tags written by
// those tools (mutagen, lame, ffmpeg) are read here. Tests skip when a tool is missing.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "TagTestFiles.h"
#include "tags/TCodePage.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"

using namespace tarvio;
using test::TBytes;

namespace {

const char* const kPython = "/usr/bin/python3";

// Prints every ID3v2 text frame as "ID<TAB>text" (UTF-8), or writes frames given as
// "ID=text" arguments with the version and encoding given first.
const char* const kScript = R"PY(
import sys
from mutagen.id3 import ID3, Frames
if sys.argv[1] == "dump":
    tags = ID3(sys.argv[2], translate=False)
    print("version\t%d.%d" % tags.version[:2])
    for f in tags.values():
        if hasattr(f, "text"):
            print("%s\t%s" % (f.FrameID, "/".join(str(t) for t in f.text)))
else:
    path, version, encoding, v1 = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    tags = ID3()
    for arg in sys.argv[6:]:
        fid, text = arg.split("=", 1)
        tags.add(Frames[fid](encoding=encoding, text=[text]))
    tags.save(path, v2_version=version, v1=v1)
)PY";

class TInterop : public testing::Test {
protected:
    void SetUp() override {
        std::string out;
        if (!test::RunCommand(std::string(kPython) + " -c 'import mutagen' 2>/dev/null", out))
            FHaveMutagen = false;
        test::WriteBytes(FDir / "tool.py", TBytes(kScript, kScript + std::strlen(kScript)));
    }

    bool Have(const std::string& Tool) {
        std::string out;
        return test::RunCommand("command -v " + Tool + " >/dev/null 2>&1", out);
    }

    // A short MP3 without tags, made by lame from a generated tone.
    bool MakeMp3(const std::string& Path, const std::string& LameTagArgs = "") {
        std::string out;
        return test::RunCommand("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=0.2 -ac 2 '" +
                                    (FDir / "tone.wav") + "' && LC_ALL=C.UTF-8 lame --quiet " + LameTagArgs +
                                    " '" + (FDir / "tone.wav") + "' '" + Path + "'",
                                out);
    }

    std::map<std::string, std::string> MutagenDump(const std::string& Path) {
        std::string out;
        EXPECT_TRUE(test::RunCommand(
            std::string(kPython) + " '" + (FDir / "tool.py") + "' dump '" + Path + "'", out));
        std::map<std::string, std::string> frames;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            size_t tab = line.find('\t');
            if (tab != std::string::npos) frames[line.substr(0, tab)] = line.substr(tab + 1);
        }
        return frames;
    }

    void ReadId3v2(const std::string& Path, TId3v2Tags& Tags) {
        test::TFd fd(Path, O_RDONLY);
        ASSERT_TRUE(TId3v2Tags::Presents(fd.Get()));
        ASSERT_TRUE(Tags.ReadFromFile(fd.Get()));
    }

    static std::string Utf8(const std::u16string& S) { return TCodePage::WideToUtf8(S); }

    test::TTempDir FDir;
    bool FHaveMutagen = true;
};

} // namespace

TEST_F(TInterop, WrittenTagReadByMutagenAndFfprobeWithAudioUnchanged) {
    if (!FHaveMutagen || !Have("lame") || !Have("ffmpeg") || !Have("ffprobe"))
        GTEST_SKIP() << "tools missing";
    const std::string path = FDir / "ours.mp3";
    ASSERT_TRUE(MakeMp3(path));
    const TBytes audio = test::ReadBytes(path);

    TId3v2Tags t;
    const std::u16string longTitle =
        u"Очень длинное название песни, которое не помещается в сто двадцать семь байт";
    t.SetTitle(longTitle); // over 127 bytes of UTF-8: the frame size needs all four bytes
    t.SetArtist(u"Артист");
    t.SetAlbum(u"Album");
    t.SetGenre(u"Рок");
    t.SetTrack("3/12");
    t.SetYear("1999");
    t.SetComposer(u"Composer");
    t.SetValue("TCOP", "\xA9 2000"); // narrow: legacy code page text, encoding 0
    {
        test::TFd fd(path, O_RDWR);
        ASSERT_TRUE(t.WriteToFile(fd.Get(), true));
    }
    const TBytes file = test::ReadBytes(path);
    const size_t tagSize = t.RenderTag(true).size();
    ASSERT_EQ(file.size(), tagSize + audio.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), file.begin() + static_cast<std::ptrdiff_t>(tagSize)));

    auto frames = MutagenDump(path);
    EXPECT_EQ(frames["version"], "2.4");
    EXPECT_EQ(frames["TIT2"], Utf8(longTitle));
    EXPECT_EQ(frames["TPE1"], "Артист");
    EXPECT_EQ(frames["TALB"], "Album");
    EXPECT_EQ(frames["TCON"], "Рок");
    EXPECT_EQ(frames["TRCK"], "3/12");
    EXPECT_EQ(frames["TYER"], "1999");
    EXPECT_EQ(frames["TCOM"], "Composer");
    EXPECT_EQ(frames["TCOP"], "\xC2\xA9 2000"); // 0xA9 is the same sign in CP1251 and Latin-1

    std::string probe;
    ASSERT_TRUE(test::RunCommand(
        "ffprobe -v error -show_entries format_tags=title,artist -of default=nw=1 '" + path + "'", probe));
    EXPECT_NE(probe.find("TAG:title=" + Utf8(longTitle)), std::string::npos) << probe;
    EXPECT_NE(probe.find("TAG:artist=Артист"), std::string::npos) << probe;
}

struct TMutagenCase {
    const char* Name;
    int Version;
    int Encoding;
    std::u16string Title;
};

class TMutagenWritten : public TInterop, public testing::WithParamInterface<TMutagenCase> {};

TEST_P(TMutagenWritten, ReadHere) {
    const auto& c = GetParam();
    if (!FHaveMutagen || !Have("lame") || !Have("ffmpeg")) GTEST_SKIP() << "tools missing";
    const std::string path = FDir / "m.mp3";
    ASSERT_TRUE(MakeMp3(path));
    std::string out;
    std::string cmd = std::string(kPython) + " '" + (FDir / "tool.py") + "' write '" + path + "' " +
                      std::to_string(c.Version) + " " + std::to_string(c.Encoding) +
                      " 1 'TIT2=" + Utf8(c.Title) + "' 'TPE1=" + Utf8(c.Title) +
                      " 2' TALB=Album TRCK=4 TYER=2001";
    ASSERT_TRUE(test::RunCommand(cmd, out)) << cmd;
    TId3v2Tags t;
    ReadId3v2(path, t);
    EXPECT_EQ(t.Title(), c.Title);
    EXPECT_EQ(t.Artist(), c.Title + u" 2");
    EXPECT_EQ(t.Album(), u"Album");
    EXPECT_EQ(t.Track(), "4");
    EXPECT_EQ(t.Year(), "2001"); // mutagen writes a TYER frame given to it as it stands
}

INSTANTIATE_TEST_SUITE_P(Encodings, TMutagenWritten,
                         testing::Values(TMutagenCase{"V3Latin1", 3, 0, u"Plain title"},
                                         TMutagenCase{"V3Utf16", 3, 1, u"Заголовок"},
                                         TMutagenCase{"V4Latin1", 4, 0, u"Plain title"},
                                         TMutagenCase{"V4Utf16", 4, 1, u"Заголовок"},
                                         TMutagenCase{"V4Utf8", 4, 3, u"Заголовок ё"}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(TInterop, MutagenId3v1ReadHere) {
    if (!FHaveMutagen || !Have("lame") || !Have("ffmpeg")) GTEST_SKIP() << "tools missing";
    const std::string path = FDir / "v1.mp3";
    ASSERT_TRUE(MakeMp3(path));
    std::string out;
    ASSERT_TRUE(test::RunCommand(std::string(kPython) + " '" + (FDir / "tool.py") + "' write '" + path +
                                     "' 3 0 2 TIT2=Title TPE1=Artist TALB=Album TRCK=5 TDRC=1997 TCON=Jazz",
                                 out));
    test::TFd fd(path, O_RDONLY);
    TId3v1Tags t;
    ASSERT_TRUE(TId3v1Tags::Presents(fd.Get()));
    ASSERT_TRUE(t.ReadFromFile(fd.Get()));
    EXPECT_EQ(t.Title(), "Title");
    EXPECT_EQ(t.Artist(), "Artist");
    EXPECT_EQ(t.Album(), "Album");
    EXPECT_EQ(t.Track(), 5);
    EXPECT_EQ(t.Year(), 1997);
    EXPECT_EQ(t.Genre(), "Jazz");
}

TEST_F(TInterop, LameTagsReadHere) {
    if (!Have("lame") || !Have("ffmpeg")) GTEST_SKIP() << "tools missing";
    const std::string v2 = FDir / "lame2.mp3";
    ASSERT_TRUE(
        MakeMp3(v2, "--id3v2-only --tt 'Заголовок' --ta Artist --tl Album --ty 1999 --tn 7 --tg Rock"));
    TId3v2Tags t;
    ReadId3v2(v2, t);
    EXPECT_EQ(t.Title(), u"Заголовок");
    EXPECT_EQ(t.Artist(), u"Artist");
    EXPECT_EQ(t.Album(), u"Album");
    EXPECT_EQ(t.Year(), "1999");
    EXPECT_EQ(t.Track(), "7");

    const std::string v1 = FDir / "lame1.mp3";
    ASSERT_TRUE(MakeMp3(v1, "--id3v1-only --tt Title --ta Artist --ty 2001 --tn 3 --tg Rock"));
    test::TFd fd(v1, O_RDONLY);
    TId3v1Tags t1;
    ASSERT_TRUE(t1.ReadFromFile(fd.Get()));
    EXPECT_EQ(t1.Title(), "Title");
    EXPECT_EQ(t1.Artist(), "Artist");
    EXPECT_EQ(t1.Year(), 2001);
    EXPECT_EQ(t1.Track(), 3);
    EXPECT_EQ(t1.Genre(), "Rock");
}

TEST_F(TInterop, FfmpegTagsReadHere) {
    if (!Have("ffmpeg")) GTEST_SKIP() << "tools missing";
    std::string out;
    ASSERT_TRUE(test::RunCommand("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=0.2 -ac 2 '" +
                                     (FDir / "tone.wav") + "'",
                                 out));
    for (int version : {3, 4}) {
        SCOPED_TRACE(version);
        const std::string path = FDir / ("ff" + std::to_string(version) + ".mp3");
        ASSERT_TRUE(
            test::RunCommand("ffmpeg -v error -y -i '" + (FDir / "tone.wav") +
                                 "' -metadata title='Привет' -metadata artist=Bob -metadata album=Album "
                                 "-metadata date=2004 -metadata track=2 -id3v2_version " +
                                 std::to_string(version) + " -write_id3v1 1 '" + path + "'",
                             out));
        TId3v2Tags t;
        ReadId3v2(path, t);
        EXPECT_EQ(t.Title(), u"Привет");
        EXPECT_EQ(t.Artist(), u"Bob");
        EXPECT_EQ(t.Album(), u"Album");
        EXPECT_EQ(t.Track(), "2");
        EXPECT_EQ(t.Year(), version == 3 ? "2004" : ""); // version 4 carries the date in TDRC

        test::TFd fd(path, O_RDONLY);
        TId3v1Tags t1;
        ASSERT_TRUE(t1.ReadFromFile(fd.Get()));
        EXPECT_EQ(t1.Artist(), "Bob");
        EXPECT_EQ(t1.Album(), "Album");
        EXPECT_EQ(t1.Year(), 2004);
        EXPECT_EQ(t1.Track(), 2);
    }
}
