// tarvio-cli tags: printing tags, writing them (read back by this project's decoders through
// `info`), and every way a run can fail.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "JsonValue.h"
#include "tags/TCodePage.h"

namespace tarvio::test {
namespace {

using CliTags = CliTest;

std::vector<TJson> JsonLines(const std::string& Out) {
    std::vector<TJson> objects;
    for (size_t start = 0, end; (end = Out.find('\n', start)) != std::string::npos; start = end + 1) {
        objects.emplace_back();
        EXPECT_TRUE(TJson::Parse(Out.substr(start, end - start), objects.back())) << Out;
    }
    return objects;
}

TEST_F(CliTags, PrintsTextAndJson) {
    const std::string flac = Media("tags/tagged.flac");
    TCliResult r = RunCli({"tags", flac});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, flac + "\n"
                            "  title:           Группа крови\n"
                            "  artist:          Кино\n"
                            "  album:           Звезда по имени Солнце\n"
                            "  genre:           Rock\n"
                            "  year:            1988\n"
                            "  track:           7\n"
                            "  duration:        0:01\n"
                            "  bit rate:        368 kbit/s\n");

    // A file that cannot be read keeps its place as an error object; the others follow.
    r = RunCli({"tags", "--json", Media("tags/no_year.mp3"), Path("missing.ogg"), Media("tags/tagged.wma")});
    EXPECT_EQ(r.Status, 1);
    EXPECT_TRUE(OneLine(r.Err)) << r.Err;
    const std::vector<TJson> o = JsonLines(r.Out);
    ASSERT_EQ(o.size(), 3u) << r.Out;
    EXPECT_TRUE(o[0]["valid"].Bool);
    EXPECT_EQ(o[0]["tags"]["title"].String, "Группа крови");
    EXPECT_EQ(o[0]["tags"]["album"].String, "");
    EXPECT_EQ(o[0]["tags"]["year"].String, "0");
    EXPECT_EQ(o[0]["seconds"].Number, 1);
    EXPECT_GT(o[0]["bit_rate"].Number, 100000);
    EXPECT_FALSE(o[1]["valid"].Bool);
    EXPECT_EQ(o[1]["error"].String, "no such file");
    EXPECT_EQ(o[2]["tags"]["year"].String, "1988");
}

// Values written are printed as read back, and this project's own readers (the decoders
// behind `info`) read them; values not given stay as they were.
TEST_F(CliTags, WritesAndReadsBack) {
    for (const char* name : {"id3v24.mp3", "tagged.flac", "tagged.ogg", "tagged.wv", "tagged.m4a"}) {
        SCOPED_TRACE(name);
        const std::string file = CopyMedia(std::string("tags/") + name, name);
        const TCliResult r =
            RunCli({"tags", "--json", file, "--set", "title=Перемен", "--set", "Artist=Виктор Цой",
                    "--set=year=1989", "--set", "track=", "--set", "genre=Рок"});
        ASSERT_EQ(r.Status, 0) << r.Err;
        const std::vector<TJson> o = JsonLines(r.Out);
        ASSERT_EQ(o.size(), 1u);
        const TJson& tags = o[0]["tags"];
        EXPECT_EQ(tags["title"].String, "Перемен");
        EXPECT_EQ(tags["artist"].String, "Виктор Цой");
        EXPECT_EQ(tags["album"].String, "Звезда по имени Солнце");
        EXPECT_EQ(tags["genre"].String, "Рок");
        EXPECT_EQ(tags["year"].String, "1989");
        EXPECT_EQ(tags["track"].String, "0");

        if (TDecoderTable::ByExtension(file).empty()) continue; // no decoder of this format yet
        const TCliResult info = RunCli({"info", "--json", file});
        ASSERT_EQ(info.Status, 0) << info.Err;
        const std::vector<TJson> i = JsonLines(info.Out);
        ASSERT_EQ(i.size(), 1u);
        EXPECT_EQ(i[0]["tags"]["title"].String, "Перемен");
        EXPECT_EQ(i[0]["tags"]["artist"].String, "Виктор Цой");
        EXPECT_EQ(i[0]["tags"]["album"].String, "Звезда по имени Солнце");
        EXPECT_EQ(i[0]["tags"]["genre"].String, "Рок");
        // This project's ID3v2 reader knows the year only as TYER, which version 2.4 (as TagLib
        // writes it) replaced by TDRC.
        if (std::string(name) != "id3v24.mp3") {
            EXPECT_EQ(i[0]["tags"]["year"].String, "1989");
        }
    }
}

std::string Bytes(const TBytes& B) {
    return std::string(B.begin(), B.end());
}

// A save that could change the audio is not made, the file byte for byte as it was: here an
// MP3 whose ID3v2 size points past the end of the file, which TagLib's save would cut to its
// tag, and whose frames libmpg123 (as the mpg123 tool) does not reach behind that tag.
TEST_F(CliTags, SaveThatWouldChangeTheAudioIsAbandoned) {
    if (TDecoderTable::ByExtension("a.mp3").empty()) GTEST_SKIP() << "no MP3 decoder in this build";
    std::string bytes = Bytes(ReadAll(Media("tags/id3v24.mp3")));
    const uint32_t size = static_cast<uint32_t>(bytes.size()) * 2;
    for (int i = 0; i < 4; ++i)
        bytes[6 + i] = static_cast<char>((size >> (21 - 7 * i)) & 0x7F);
    const std::string file = Write("past.mp3", bytes);

    const TCliResult r = RunCli({"tags", file, "--set", "title=Проверка"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err,
              "tarvio-cli: " + file +
                  ": Failed to save tags: the audio no longer decodes after the save; the file is left as "
                  "it was\n");
    EXPECT_EQ(Bytes(ReadAll(file)), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1) << "no copy is left";
}

// A file of a type this build decodes that no decoder takes is not saved: its audio could
// not be checked.
TEST_F(CliTags, FileThatDoesNotDecodeIsNotSaved) {
    if (TDecoderTable::ByExtension("a.mp3").empty()) GTEST_SKIP() << "no MP3 decoder in this build";
    const std::string bytes = "ID3\x04" + std::string(6, '\0') + std::string(4000, 'x');
    const std::string file = Write("noise.mp3", bytes);
    const TCliResult r = RunCli({"tags", file, "--set", "title=Проверка"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err,
              "tarvio-cli: " + file +
                  ": Failed to save tags: the audio does not decode, so the save could not be checked; the "
                  "file is left as it was\n");
    EXPECT_EQ(Bytes(ReadAll(file)), bytes);
}

// A file with a second name is saved only with --in-place (then both names see the save).
TEST_F(CliTags, HardLinkedFileOnlyInPlace) {
    const std::string file = CopyMedia("tags/tagged.flac", "song.flac");
    fs::create_hard_link(file, Path("other.flac"));
    const TBytes before = ReadAll(file);
    TCliResult r = RunCli({"tags", file, "--set", "title=Проверка"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("the file has other hard links"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("(--in-place)"), std::string::npos) << r.Err;
    EXPECT_EQ(ReadAll(file), before);

    r = RunCli({"tags", "--json", file, "--in-place", "--set", "title=Проверка"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    r = RunCli({"tags", "--json", Path("other.flac")});
    EXPECT_EQ(JsonLines(r.Out).at(0)["tags"]["title"].String, "Проверка");
}

// A copy that a killed save left beside the file is mentioned, and the next save removes it.
TEST_F(CliTags, StaleCopyShownAndRemovedByTheNextSave) {
    const std::string file = CopyMedia("tags/tagged.ogg", "song.ogg");
    Write(".song.ogg.tarvio-Ab12Cd", "half a copy");
    TCliResult r = RunCli({"tags", file});
    EXPECT_NE(r.Out.find("  stale copy:      .song.ogg.tarvio-Ab12Cd (left by an interrupted save; the next "
                         "save removes it)\n"),
              std::string::npos)
        << r.Out;
    r = RunCli({"tags", "--json", file});
    ASSERT_EQ(JsonLines(r.Out).at(0)["stale_copies"].Array.size(), 1u) << r.Out;
    EXPECT_EQ(JsonLines(r.Out).at(0)["stale_copies"].Array[0].String, ".song.ogg.tarvio-Ab12Cd");
    r = RunCli({"tags", "--json", file, "--set", "album=Проверка"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_FALSE(fs::exists(Path(".song.ogg.tarvio-Ab12Cd")));
    EXPECT_EQ(JsonLines(r.Out).at(0).Find("stale_copies"), nullptr) << r.Out;
}

// An ID3v1 block in the legacy code page (CP1251 here) keeps its place at the end of the file
// and gets the new values from this project's writer, in CP1251, cut to its 30-byte fields;
// a file without one gets none.
TEST_F(CliTags, Id3v1KeptInTheCodePageAndNeverAdded) {
    auto field = [](const std::u16string& Text) {
        std::string f = TCodePage::ToNarrow(Text, "CP1251");
        f.resize(30, '\0');
        return f;
    };
    // TAG, title, artist, album, year, comment (28 bytes), 0, track, genre.
    const std::string block = "TAG" + field(u"Группа крови") + field(u"Кино") +
                              field(u"Звезда по имени Солнце") + "1988" + std::string(28, '\0') + '\0' +
                              '\7' + '\x11';
    ASSERT_EQ(block.size(), 128u);
    const std::string title = "Проверка очень длинного названия песни";
    for (const char* media : {"tags/id3v23.mp3", "tags/tagged.wv"}) {
        for (bool withId3v1 : {false, true}) {
            SCOPED_TRACE(std::string(media) + (withId3v1 ? " with ID3v1" : " without"));
            const std::string name = fs::path(media).filename().string();
            const std::string file = Write(name, Bytes(ReadAll(Media(media))) + (withId3v1 ? block : ""));
            const TCliResult r = RunCli({"tags", file, "--set", "title=" + title, "--set", "artist=Тест"});
            ASSERT_EQ(r.Status, 0) << r.Err;
            const std::string after = Bytes(ReadAll(file));
            const std::string tail = after.substr(after.size() - 128);
            if (!withId3v1) {
                EXPECT_NE(tail.substr(0, 3), "TAG");
                continue;
            }
            EXPECT_EQ(tail.substr(0, 3), "TAG");
            EXPECT_EQ(tail.substr(3, 30), field(TCodePage::Utf8ToWide(title)).substr(0, 30));
            EXPECT_EQ(tail.substr(33, 30), field(u"Тест"));
            EXPECT_EQ(tail.substr(63, 34), block.substr(63, 34)) << "album and year as they were";
            EXPECT_EQ(tail.substr(125), block.substr(125)) << "track and genre as they were";
            EXPECT_NE(after.substr(after.size() - 256, 3), "TAG") << "one block only";
            EXPECT_EQ(r.Out.find("conflicts"), std::string::npos) << "the cut title is no conflict\n"
                                                                  << r.Out;
        }
    }
}

// Values a file holds twice that differ are listed, in text and JSON; a save of the field
// leaves one value, and no conflict.
TEST_F(CliTags, ConflictsListedUntilASave) {
    const struct {
        const char* Media;
        std::vector<std::string> Conflicts;
    } cases[] = {
        {"tags/duplicate_tpe1.mp3", {"artist: \"Кино\" (ID3v2), \"jzig\" (ID3v2)"}},
        {"tags/two_comment_blocks.flac",
         {"artist: \"Кино\" (Vorbis comment block 1), \"jzig\" (Vorbis comment block 2), \"piman\" (Vorbis "
          "comment block 2)"}},
        {"tags/id3v23.mp3", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Media);
        const std::string file = CopyMedia(c.Media, fs::path(c.Media).filename().string());
        TCliResult r = RunCli({"tags", "--json", file});
        ASSERT_EQ(r.Status, 0) << r.Err;
        std::vector<std::string> listed;
        const std::vector<TJson> o = JsonLines(r.Out);
        for (const TJson& j : o.at(0)["conflicts"].Array)
            listed.push_back(j.String);
        EXPECT_EQ(listed, c.Conflicts);
        r = RunCli({"tags", file});
        EXPECT_EQ(r.Out.find("  conflicts:       ") != std::string::npos, !c.Conflicts.empty()) << r.Out;

        r = RunCli({"tags", "--json", file, "--set", "artist=Тест"});
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(JsonLines(r.Out).at(0).Find("conflicts"), nullptr) << r.Out;
    }
}

struct TFailure {
    const char* Name;
    std::vector<std::string> Args; // "FILE" stands for a copy of tags/id3v24.mp3
    int Status;
    const char* Error; // a part of the one line on standard error
};
void PrintTo(const TFailure& C, std::ostream* Out) {
    *Out << C.Name;
}

class CliTagsFailure : public CliTest, public testing::WithParamInterface<TFailure> {};

// Each failure is one line on standard error with the tool's exit status, and the file is
// left as it was.
TEST_P(CliTagsFailure, OneLineAndTheFileAsItWas) {
    const TFailure& c = GetParam();
    const std::string file = CopyMedia("tags/id3v24.mp3", "song.mp3");
    CopyMedia("tags/tagged.wma", "song.wma");
    Write("song.wav", "RIFF");
    Write("empty.flac", "");
    const TBytes before = ReadAll(file);
    std::vector<std::string> args;
    for (const std::string& a : c.Args)
        args.push_back(a == "FILE" ? file : a.find("song.") == 0 || a == "empty.flac" ? Path(a) : a);
    const TBytes wma = ReadAll(Path("song.wma"));

    TCliResult r;
    if (std::string(c.Name) == "FileSizeLimit") {
        // The tool inherits a limit that lets it copy the file but not reserve room to grow.
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit limit{static_cast<rlim_t>(before.size() + 4096), old.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        TCliProcess tool(args);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
        r = tool.Wait();
    } else {
        r = RunCli(args);
    }
    EXPECT_EQ(r.Status, c.Status) << r.Err;
    EXPECT_TRUE(OneLine(r.Err)) << r.Err;
    EXPECT_NE(r.Err.find(c.Error), std::string::npos) << r.Err;
    if (c.Status == 2) {
        EXPECT_EQ(r.Out, "");
    }
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_EQ(ReadAll(Path("song.wma")), wma);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliTagsFailure,
    testing::Values(
        TFailure{"NoFile", {"tags"}, 2, "tags needs a FILE"},
        TFailure{
            "SetOnTwoFiles", {"tags", "FILE", "song.wma", "--set", "title=x"}, 2, "--set writes one FILE"},
        TFailure{"UnknownKey", {"tags", "FILE", "--set", "comment=x"}, 2, "KEY one of title"},
        TFailure{"NoEquals", {"tags", "FILE", "--set", "title"}, 2, "KEY one of title"},
        TFailure{"YearNotANumber", {"tags", "FILE", "--set", "year=19x7"}, 2, "year must be a number"},
        TFailure{"TrackTooLarge", {"tags", "FILE", "--set", "track=4294967296"}, 2, "track must be a number"},
        TFailure{"WindowsMedia",
                 {"tags", "song.wma", "--set", "title=x"},
                 1,
                 "song.wma: Windows Media files are read but never written"},
        TFailure{"NotRead", {"tags", "song.wav"}, 1, "song.wav: no tags for \".wav\" files"},
        TFailure{"NotValid",
                 {"tags", "empty.flac", "--set", "title=x"},
                 1,
                 "empty.flac: not a file TagLib can read"},
        TFailure{"Missing", {"tags", "song.ogg", "--set", "title=x"}, 1, "song.ogg: no such file"},
        TFailure{"FileSizeLimit",
                 {"tags", "FILE", "--set", "title=x"},
                 1,
                 "song.mp3: Failed to save tags: File too large"},
        TFailure{"GenreNumberReadsBackAsName",
                 {"tags", "FILE", "--set", "genre=17"},
                 1,
                 "song.mp3: Failed to save tags: genre reads back as \"Rock\", not \"17\""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace tarvio::test
