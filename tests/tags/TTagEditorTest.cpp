// The tag editor: reading and saving through Debian's TagLib on media made by the encoders
// (make-fixtures.sh), checked with ffprobe, ffmpeg's decode and this project's ID3v2 reader;
// its use of the library, through a recording stand-in; and saves that cannot complete (a
// full or read-only file system, a file size limit), which leave the file as it was.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "TagTestFiles.h"
#include "pipeline/EAuException.h"
#include "tags/TCodePage.h"
#include "tags/TFlacMetadata.h"
#include "tags/TId3v2Tags.h"
#include "tags/TTagEditor.h"
#include "tags/TTagLib.h"

using namespace tarvio;
using test::TBytes;
namespace fs = std::filesystem;

namespace {

std::string Fixture(const std::string& Name) {
    const char* dir = std::getenv("TARVIO_FIXTURES");
    return std::string(dir && *dir ? dir : TARVIO_BINARY_DIR "/fixtures") + "/tags/" + Name;
}

std::string Utf8(const std::u16string& Text) {
    return TCodePage::WideToUtf8(Text);
}
std::u16string Wide(const std::string& Utf8Text) {
    return TCodePage::Utf8ToWide(Utf8Text);
}

struct TTags {
    std::string Title, Artist, Album, Genre, Year, Track;
    bool operator==(const TTags&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const TTags& T) {
    return Out << "{" << T.Title << " | " << T.Artist << " | " << T.Album << " | " << T.Genre << " | "
               << T.Year << " | " << T.Track << "}";
}

TTags Of(const TTagEditor& E) {
    return {Utf8(E.Title()), Utf8(E.Artist()), Utf8(E.Album()),
            Utf8(E.Genre()), Utf8(E.Year()),   Utf8(E.Track())};
}

void Put(TTagEditor& E, const TTags& T) {
    E.SetTitle(Wide(T.Title));
    E.SetArtist(Wide(T.Artist));
    E.SetAlbum(Wide(T.Album));
    E.SetGenre(Wide(T.Genre));
    E.SetYear(Wide(T.Year));
    E.SetTrack(Wide(T.Track));
}

TTags ReadTags(const std::string& Path) {
    TTagEditor e;
    e.SetFileName(Path);
    EXPECT_TRUE(e.Valid()) << Path;
    return Of(e);
}

const TTags Made = {"Группа крови", "Кино", "Звезда по имени Солнце", "Rock", "1988", "7"};
const TTags Changed = {
    "Перемен! «Последний герой» — ёЁ", "Виктор Цой", "Последний герой", "Рок-н-ролл", "1989", "12"};

bool Have(const std::string& Tool) {
    std::string out;
    return test::RunCommand("command -v " + Tool + " >/dev/null 2>&1", out);
}

// ffmpeg's decode of the first audio stream, as 32-bit float samples.
std::string DecodedPcm(const std::string& Path) {
    std::string pcm;
    EXPECT_TRUE(test::RunCommand("ffmpeg -v error -i '" + Path + "' -map 0:a:0 -f f32le -", pcm)) << Path;
    EXPECT_FALSE(pcm.empty()) << Path;
    return pcm;
}

// ffprobe's tags of the container and its streams: keys in lower case, the year as "date".
std::map<std::string, std::string> ProbeTags(const std::string& Path) {
    std::string out;
    EXPECT_TRUE(test::RunCommand(
        "ffprobe -v error -show_entries format_tags:stream_tags -of default=nw=1 '" + Path + "'", out));
    std::map<std::string, std::string> tags;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (line.rfind("TAG:", 0) != 0 || eq == std::string::npos) continue;
        std::string key = line.substr(4, eq - 4);
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        if (key == "year") key = "date";
        tags.emplace(key, line.substr(eq + 1));
    }
    return tags;
}

// The text encoding byte of the first frame Id in the ID3v2 tag at the start of File; -1
// when there is none.
int FrameEncoding(const TBytes& File, const std::string& Id) {
    if (File.size() < 10 || std::string(File.begin(), File.begin() + 3) != "ID3") return -1;
    const size_t end = 10 + ((File[6] << 21) | (File[7] << 14) | (File[8] << 7) | File[9]);
    const auto at =
        std::search(File.begin(), File.begin() + static_cast<ptrdiff_t>(std::min(end, File.size())),
                    Id.begin(), Id.end());
    const size_t pos = static_cast<size_t>(at - File.begin()) + 10;
    return pos < std::min(end, File.size()) ? File[pos] : -1;
}

std::vector<std::string> Names(const fs::path& Dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// --- Reading -------------------------------------------------------------------------

struct TReadCase {
    const char* File;
    TTags Tags;
};
void PrintTo(const TReadCase& C, std::ostream* Out) {
    *Out << C.File;
}

class TTagEditorRead : public testing::TestWithParam<TReadCase> {};

TEST_P(TTagEditorRead, ReadsTagsLengthAndBitRate) {
    const TReadCase& c = GetParam();
    TTagEditor e;
    e.SetFileName(Fixture(c.File));
    ASSERT_TRUE(e.Valid());
    EXPECT_EQ(Of(e), c.Tags);
    EXPECT_EQ(e.Duration(), 1u) << "the files last one second";
    EXPECT_GT(e.Bitrate(), 0u);
}

const TTags NoYear = {"Группа крови", "Кино", "", "", "0", "0"}; // absent numbers read as 0

INSTANTIATE_TEST_SUITE_P(Formats, TTagEditorRead,
                         testing::Values(TReadCase{"id3v23.mp3", Made}, TReadCase{"id3v24.mp3", Made},
                                         TReadCase{"no_year.mp3", NoYear}, TReadCase{"tagged.flac", Made},
                                         TReadCase{"tagged.ogg", Made}, TReadCase{"tagged.wv", Made},
                                         TReadCase{"tagged.m4a", Made}, TReadCase{"tagged.wma", Made}),
                         [](const auto& Info) {
                             std::string name = Info.param.File;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// The extension decides, compared in lower case; nothing else is opened, nor anything that
// is not a regular file (TagLib takes a folder for a valid MP3 file and waits forever on a
// pipe). Every property is empty for a file that is not read, and a save leaves it alone.
TEST(TTagEditor, ChoosesFilesByExtension) {
    test::TTempDir dir;
    fs::create_directory(dir / "dir.mp3");
    ASSERT_EQ(::mkfifo((dir / "pipe.ogg").c_str(), 0644), 0);
    fs::copy_file(Fixture("id3v24.mp3"), dir / "UPPER.MP3");
    fs::copy_file(Fixture("tagged.flac"), dir / "Mixed.Flac");
    fs::copy_file(Fixture("id3v24.mp3"), dir / "dir.mp3/no_extension");
    fs::copy_file(Fixture("id3v24.mp3"), dir / "song.mp3.wav");
    const struct {
        std::string Name;
        bool Valid;
    } cases[] = {{"UPPER.MP3", true},     {"Mixed.Flac", true},   {"dir.mp3/no_extension", false},
                 {"song.mp3.wav", false}, {"missing.ogg", false}, {"dir.mp3", false},
                 {"pipe.ogg", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTagEditor e;
        e.SetFileName(dir / c.Name);
        EXPECT_EQ(e.Valid(), c.Valid);
        if (c.Valid) {
            EXPECT_EQ(Utf8(e.Title()), Made.Title);
        } else {
            EXPECT_EQ(Of(e), TTags{});
            EXPECT_EQ(e.Duration(), 0u);
            EXPECT_EQ(e.Bitrate(), 0u);
            e.SetTitle(u"Новое название");
            e.Save();
        }
    }
    EXPECT_FALSE(fs::exists(dir / "missing.ogg"));
}

// An empty name clears every property and leaves Valid as the last file left it.
TEST(TTagEditor, EmptyFileNameClearsAndKeepsValid) {
    TTagEditor e;
    e.SetFileName(Fixture("tagged.ogg"));
    ASSERT_TRUE(e.Valid());
    e.SetFileName("");
    EXPECT_TRUE(e.Valid());
    EXPECT_EQ(Of(e), TTags{});
    EXPECT_EQ(e.Duration(), 0u);
    EXPECT_EQ(e.Bitrate(), 0u);
    e.SetFileName("song.wav");
    EXPECT_FALSE(e.Valid());
    e.SetFileName("");
    EXPECT_FALSE(e.Valid());
    e.Save(); // no file: nothing to do
}

// Damaged files, and files that are not what their extension says, are read without a crash;
// when TagLib refuses them every property is empty, and a save leaves them as they are or
// fails with the file intact.
TEST(TTagEditor, DamagedAndMislabelledFiles) {
    test::TTempDir dir;
    std::vector<std::pair<std::string, TBytes>> files;
    const char* fixtures[] = {"id3v24.mp3", "tagged.flac", "tagged.ogg",
                              "tagged.wv",  "tagged.m4a",  "tagged.wma"};
    std::srand(7);
    for (const char* f : fixtures) {
        const TBytes whole = test::ReadBytes(Fixture(f));
        const std::string ext = fs::path(f).extension().string();
        for (size_t cut : {size_t{0}, size_t{5}, size_t{40}, size_t{300}, whole.size() / 2, whole.size() - 1})
            files.emplace_back("cut" + std::to_string(cut) + ext, TBytes(whole.begin(), whole.begin() + cut));
        TBytes noise(5000);
        for (uint8_t& b : noise)
            b = static_cast<uint8_t>(std::rand());
        files.emplace_back("noise" + ext, noise);
        TBytes flipped = whole; // damage in the headers and tags
        for (size_t i = 4; i < std::min<size_t>(flipped.size(), 4000); i += 37)
            flipped[i] ^= 0x5A;
        files.emplace_back("flipped" + ext, flipped);
    }
    files.emplace_back("ogg_named.flac", test::ReadBytes(Fixture("tagged.ogg")));
    files.emplace_back("flac_named.m4a", test::ReadBytes(Fixture("tagged.flac")));
    files.emplace_back("m4a_named.mp3", test::ReadBytes(Fixture("tagged.m4a")));
    files.emplace_back("wma_named.ogg", test::ReadBytes(Fixture("tagged.wma")));

    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        test::WriteBytes(path, bytes);
        TTagEditor e;
        e.SetFileName(path);
        if (!e.Valid()) {
            EXPECT_EQ(Of(e), TTags{});
            EXPECT_EQ(e.Duration(), 0u);
        }
        e.SetTitle(u"Новое название");
        try {
            e.Save();
            if (!e.Valid()) {
                EXPECT_EQ(test::ReadBytes(path), bytes) << "a file TagLib cannot read is left alone";
            }
        } catch (const EAuException& x) {
            EXPECT_EQ(std::string(x.what()).rfind("Failed to save tags", 0), 0u) << x.what();
            EXPECT_EQ(test::ReadBytes(path), bytes);
        }
    }
    EXPECT_EQ(Names(dir.Path()).size(), files.size()) << "no copy is left behind";
}

// --- Saving --------------------------------------------------------------------------

class TTagEditorSave : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!Have("ffmpeg") || !Have("ffprobe")) GTEST_SKIP() << "needs ffmpeg and ffprobe";
    }
    test::TTempDir FDir;
};

// A save without changes keeps every value; a save of new values is read back by the editor
// and by ffprobe, leaves the audio as it was, keeps the file's mode and leaves nothing else
// in the folder.
TEST_P(TTagEditorSave, RoundTrip) {
    const std::string name = GetParam();
    const std::string path = FDir / name;
    fs::copy_file(Fixture(name), path);
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    const std::string pcm = DecodedPcm(path);

    TTagEditor e;
    e.SetFileName(path);
    e.Save();
    EXPECT_EQ(ReadTags(path), Made) << "a save without changes";

    Put(e, Changed);
    e.Save();
    EXPECT_EQ(ReadTags(path), Changed);
    auto probed = ProbeTags(path);
    EXPECT_EQ(probed["title"], Changed.Title);
    EXPECT_EQ(probed["artist"], Changed.Artist);
    EXPECT_EQ(probed["album"], Changed.Album);
    EXPECT_EQ(probed["genre"], Changed.Genre);
    EXPECT_EQ(probed["date"], Changed.Year);
    EXPECT_EQ(probed["track"], Changed.Track);
    EXPECT_EQ(DecodedPcm(path), pcm) << "the audio is not touched";

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(Names(FDir.Path()), std::vector<std::string>{name});
}

INSTANTIATE_TEST_SUITE_P(Formats, TTagEditorSave,
                         testing::Values("id3v23.mp3", "id3v24.mp3", "tagged.flac", "tagged.ogg", "tagged.wv",
                                         "tagged.m4a"),
                         [](const auto& Info) {
                             std::string name = Info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// ID3v2 frames written are UTF-16, and this project's ID3v2 reader reads them.
TEST(TTagEditor, WritesId3v2FramesAsUtf16) {
    test::TTempDir dir;
    for (const char* name : {"id3v23.mp3", "id3v24.mp3"}) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        fs::copy_file(Fixture(name), path);
        TTagEditor e;
        e.SetFileName(path);
        Put(e, Changed);
        e.Save();

        const TBytes file = test::ReadBytes(path);
        for (const char* id : {"TIT2", "TPE1", "TALB", "TCON"})
            EXPECT_EQ(FrameEncoding(file, id), 1) << id;
        test::TFd fd(path, O_RDONLY);
        TId3v2Tags tags;
        ASSERT_TRUE(tags.ReadFromFile(fd.Get()));
        EXPECT_EQ(Utf8(tags.Title()), Changed.Title);
        EXPECT_EQ(Utf8(tags.Artist()), Changed.Artist);
        EXPECT_EQ(Utf8(tags.Album()), Changed.Album);
        EXPECT_EQ(Utf8(tags.Genre()), Changed.Genre);
        EXPECT_EQ(tags.Track(), Changed.Track);
    }
}

// Where the file holds a field twice (two TPE1 frames, two Vorbis comment blocks), readers
// disagree; after a save of that field there is one value, the written one, and the file's
// other values are still there.
TEST(TTagEditor, DuplicatesLeaveTheWrittenValueOnly) {
    test::TTempDir dir;
    for (const char* name : {"duplicate_tpe1.mp3", "two_comment_blocks.flac"}) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        fs::copy_file(Fixture(name), path);
        TTagEditor e;
        e.SetFileName(path);
        e.SetArtist(u"Тест");
        e.Save();
        TTags expected = Made;
        expected.Artist = "Тест";
        EXPECT_EQ(ReadTags(path), expected);
        if (Have("ffprobe")) {
            EXPECT_EQ(ProbeTags(path)["artist"], "Тест");
        }
        const TBytes file = test::ReadBytes(path);
        if (fs::path(name).extension() == ".mp3") {
            test::TFd fd(path, O_RDONLY);
            TId3v2Tags tags; // the last of several frames wins here
            ASSERT_TRUE(tags.ReadFromFile(fd.Get()));
            EXPECT_EQ(Utf8(tags.Artist()), "Тест");
            EXPECT_EQ(std::search(file.begin(), file.end(), std::begin("jzig"), std::end("jzig") - 1),
                      file.end());
        } else {
            const uint64_t size = TFlacMetadata::Size([&](uint8_t* B, size_t N, uint64_t At) -> size_t {
                const size_t n = At < file.size() ? std::min<size_t>(N, file.size() - At) : 0;
                std::copy_n(file.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(At, file.size())), n, B);
                return n;
            });
            const auto blocks =
                TFlacMetadata::Comments(TBytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(size)));
            ASSERT_EQ(blocks.size(), 1u);
            EXPECT_EQ(std::count(blocks[0].begin(), blocks[0].end(), "ARTIST=Тест"), 1);
            EXPECT_EQ(std::count_if(blocks[0].begin(), blocks[0].end(),
                                    [](const std::string& C) { return C.rfind("ARTIST=", 0) == 0; }),
                      1);
        }
    }
}

// A year or track that is not a number is left as the file has it; the rest is written.
TEST(TTagEditor, YearOrTrackThatIsNoNumberIsSkipped) {
    test::TTempDir dir;
    const std::string path = dir / "song.flac";
    fs::copy_file(Fixture("tagged.flac"), path);
    TTagEditor e;
    e.SetFileName(path);
    Put(e, Changed);
    for (const std::u16string bad : {u"19x7", u"-5", u" 1989", u"4294967296", u""}) {
        e.SetYear(bad);
        e.SetTrack(bad);
        e.Save();
        const TTags read = ReadTags(path);
        EXPECT_EQ(read.Year, "1988") << Utf8(bad);
        EXPECT_EQ(read.Track, "7") << Utf8(bad);
        EXPECT_EQ(read.Title, Changed.Title);
        EXPECT_EQ(read.Genre, Changed.Genre);
    }
    e.SetYear(u"2001");
    e.SetTrack(u"0");
    e.Save();
    EXPECT_EQ(ReadTags(path).Year, "2001");
    EXPECT_EQ(ReadTags(path).Track, "0") << "0 removes the track number";
}

// A file without a year reads 0 and saving that back writes no year.
TEST(TTagEditor, MissingYearReadsZeroAndStaysAbsent) {
    test::TTempDir dir;
    const std::string path = dir / "no_year.mp3";
    fs::copy_file(Fixture("no_year.mp3"), path);
    TTagEditor e;
    e.SetFileName(path);
    ASSERT_EQ(e.Year(), u"0");
    e.SetAlbum(u"Альбом");
    e.Save();
    EXPECT_EQ(ReadTags(path).Year, "0");
    EXPECT_EQ(ReadTags(path).Album, "Альбом");
    if (Have("ffprobe")) {
        EXPECT_EQ(ProbeTags(path).count("date"), 0u);
    }
}

// Windows Media files are never written, whatever the properties say.
TEST(TTagEditor, WindowsMediaIsNeverWritten) {
    test::TTempDir dir;
    const std::string path = dir / "song.WMA";
    fs::copy_file(Fixture("tagged.wma"), path);
    const TBytes before = test::ReadBytes(path);
    struct stat st0 {};
    ASSERT_EQ(::stat(path.c_str(), &st0), 0);
    TTagEditor e;
    e.SetFileName(path);
    ASSERT_TRUE(e.Valid());
    Put(e, Changed);
    e.Save();
    struct stat st1 {};
    ASSERT_EQ(::stat(path.c_str(), &st1), 0);
    EXPECT_EQ(test::ReadBytes(path), before);
    EXPECT_EQ(st1.st_ino, st0.st_ino);
    EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"song.WMA"});
}

// --- The library itself, through a stand-in that records the calls -------------------

class TFakeTagLib : public testing::Test {
protected:
    void SetUp() override { Use(TARVIO_FAKE_TAGLIB); }
    void TearDown() override {
        TTagLib::Library().OverrideFileName("libtag_c.so.0");
        if (FHandle) ::dlclose(FHandle);
    }

    void Use(const char* Library) {
        TTagLib::Library().OverrideFileName(Library);
        FHandle = ::dlopen(Library, RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(FHandle) << ::dlerror();
        Reset(1, 1, 0);
    }
    void Reset(int Valid, int SaveResult, int NullFile) {
        reinterpret_cast<void (*)(int, int, int)>(::dlsym(FHandle, "fake_taglib_reset"))(Valid, SaveResult,
                                                                                         NullFile);
    }
    std::string Calls() const {
        return reinterpret_cast<const char* (*)()>(::dlsym(FHandle, "fake_taglib_calls"))();
    }
    int StringsHeld() const {
        return reinterpret_cast<int (*)()>(::dlsym(FHandle, "fake_taglib_strings_held"))();
    }
    // The calls of a save's child process too, from the log file.
    void Log(const std::string& Path) {
        reinterpret_cast<void (*)(const char*)>(::dlsym(FHandle, "fake_taglib_log"))(Path.c_str());
    }
    std::string Logged(const std::string& Path) const {
        std::ifstream in(Path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    void* FHandle = nullptr;
    test::TTempDir FDir;
};

// A name whose extension is not read makes no call into the library at all.
TEST_F(TFakeTagLib, UnreadExtensionsMakeNoCall) {
    TTagEditor e;
    for (const char* name : {"song.wav", "song", "dir.mp3/song", "song.mp3.", "song.mp4"}) {
        Reset(1, 1, 0);
        e.SetFileName(name);
        EXPECT_FALSE(e.Valid()) << name;
        EXPECT_EQ(Calls(), "") << name;
    }
}

// Each open sets the ID3v2 encoding to UTF-16 first; every text is released and the file
// freed, whether TagLib found it valid or not; a null file is never handed back to TagLib.
TEST_F(TFakeTagLib, ReadReleasesWhatTheLibraryHandsOut) {
    TTagEditor e;
    e.SetFileName("song.mp3");
    ASSERT_TRUE(e.Valid());
    EXPECT_EQ(Of(e), Made);
    EXPECT_EQ(e.Duration(), 215u);
    EXPECT_EQ(e.Bitrate(), 128u);
    const std::string calls = Calls();
    EXPECT_EQ(calls.rfind("taglib_id3v2_set_default_text_encoding(1);taglib_file_new;", 0), 0u) << calls;
    EXPECT_NE(calls.find("taglib_tag_free_strings;taglib_file_free;"), std::string::npos) << calls;
    EXPECT_EQ(StringsHeld(), 0);

    Reset(0, 1, 0);
    e.SetFileName("song.ogg");
    EXPECT_FALSE(e.Valid());
    EXPECT_EQ(Of(e), TTags{});
    EXPECT_EQ(Calls(), "taglib_id3v2_set_default_text_encoding(1);taglib_file_new;taglib_file_is_valid;"
                       "taglib_file_free;");

    Reset(1, 1, 1);
    e.SetFileName("song.flac");
    EXPECT_FALSE(e.Valid());
    EXPECT_EQ(Calls(), "taglib_id3v2_set_default_text_encoding(1);taglib_file_new;");
}

// A save TagLib refuses raises "Failed to save tags" and leaves the file and its folder as
// they were; one of a file TagLib cannot open does nothing, without an error. Only the
// changed values are set, and a year or track that is no number is not.
TEST_F(TFakeTagLib, SaveFailures) {
    const std::string path = FDir / "song.flac";
    const std::string log = FDir / "calls";
    const TBytes bytes = test::ReadBytes(Fixture("tagged.flac"));
    test::WriteBytes(path, bytes);
    TTagEditor e;
    e.SetFileName(path);
    e.SetYear(u"1990");
    e.SetTrack(u"x");

    Reset(1, 0, 0);
    Log(log);
    try {
        e.Save();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& x) {
        EXPECT_STREQ(x.what(), "Failed to save tags");
    }
    Log("");
    const std::string calls = Logged(log);
    EXPECT_NE(calls.find("taglib_file_tag;taglib_tag_set_year(1990);taglib_file_save;"), std::string::npos)
        << calls;
    EXPECT_EQ(calls.find("taglib_tag_set_track"), std::string::npos) << calls;
    std::filesystem::remove(log);
    EXPECT_EQ(test::ReadBytes(path), bytes);
    EXPECT_EQ(Names(FDir.Path()), std::vector<std::string>{"song.flac"});

    Reset(0, 1, 0);
    e.Save();
    EXPECT_EQ(Calls().find("taglib_file_save"), std::string::npos);
    EXPECT_EQ(test::ReadBytes(path), bytes);
    EXPECT_EQ(Names(FDir.Path()), std::vector<std::string>{"song.flac"});
}

// TagLib that never finishes, or that makes the file grow without end, is stopped: the save
// fails saying so, the file is as it was and no copy is left.
TEST_F(TFakeTagLib, SaveBoundedInTimeAndSize) {
    const std::string path = FDir / "song.flac";
    const TBytes bytes = test::ReadBytes(Fixture("tagged.flac"));
    test::WriteBytes(path, bytes);
    const struct {
        int Mode;
        const char* Error;
    } cases[] = {{2, "Failed to save tags: TagLib did not finish within 0.3 s"},
                 {3, "Failed to save tags: TagLib made the file grow by more than 16 MiB"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mode);
        Reset(1, 1, 0);
        TTagEditor e;
        e.SetFileName(path);
        e.SetTimeLimit(300);
        e.SetTitle(u"Новое");
        Reset(1, c.Mode, 0);
        try {
            e.Save();
            ADD_FAILURE() << "no exception";
        } catch (const EAuException& x) {
            EXPECT_STREQ(x.what(), c.Error);
        }
        EXPECT_EQ(test::ReadBytes(path), bytes);
        EXPECT_EQ(Names(FDir.Path()), std::vector<std::string>{"song.flac"});
    }
}

// Without a usable library (no file, or one that lacks an entry point) reading and saving
// raise, naming the library file; the name is stored all the same.
TEST_F(TFakeTagLib, LibraryMissing) {
    for (std::string library :
         {std::string("libtag_c-missing.so.0"), std::string(TARVIO_FAKE_TAGLIB_INCOMPLETE)}) {
        SCOPED_TRACE(library);
        TTagLib::Library().OverrideFileName(library);
        TTagEditor e;
        for (int pass = 0; pass < 2; ++pass) { // a failed load is tried again, and fails again
            try {
                e.SetFileName("song.mp3");
                ADD_FAILURE() << "no exception";
            } catch (const EAuException& x) {
                EXPECT_EQ(std::string(x.what()), library + " could not be loaded");
            }
        }
        EXPECT_EQ(e.FileName(), "song.mp3");
        EXPECT_THROW(e.Save(), EAuException);
    }
}

// --- Saves that cannot complete -----------------------------------------------------

// Mounts a tmpfs of Bytes on Dir in a mount namespace of this process's own (as root, or
// through a user namespace that maps this user to root). False when the system refuses.
bool MountTmpfs(const std::string& Dir, uint64_t Bytes) {
    if (::unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        auto put = [](const char* File, const std::string& Text) {
            std::ofstream f(File);
            f << Text;
            return static_cast<bool>(f.flush());
        };
        if (!put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    const std::string options = "size=" + std::to_string(Bytes);
    return ::mount("tmpfs", Dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

// Runs Body in a child process and returns its text. With TmpfsBytes the child first mounts
// a tmpfs of that size on Dir, seen by the child alone and gone with it; nullopt when the
// system does not allow that.
std::optional<std::string> InChild(const std::string& Dir, uint64_t TmpfsBytes,
                                   const std::function<std::string()>& Body) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe[0]);
        if (TmpfsBytes && !MountTmpfs(Dir, TmpfsBytes)) ::_exit(77);
        std::string text;
        try {
            text = Body();
        } catch (const std::exception& e) {
            text = std::string("exception in the child: ") + e.what();
        }
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(pipe[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not finish";
    return text;
}

uint64_t FreeBytes(const std::string& Dir) {
    struct statvfs fs {};
    return ::statvfs(Dir.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize : 0;
}

struct TFullCase {
    const char* Name;
    uint64_t Tmpfs;     // size of the file system; 0: none, a file size limit instead
    int64_t Free;       // bytes a filler file leaves free; -1: no filler
    bool HardLink;      // the file has a second name (it can only be saved in place)
    bool InPlace;       // a save in place is allowed
    bool ReadOnly;      // the file system is made read-only before the save
    size_t TitleLength; // characters of the new title
    const char* Error;  // the message of the save; empty when it succeeds
};
void PrintTo(const TFullCase& C, std::ostream* Out) {
    *Out << C.Name;
}

class TTagEditorCannotSave : public testing::TestWithParam<TFullCase> {};

// The save reports why it failed, and the file is byte for byte as it was; a save that fits
// succeeds and gives back the space it set aside.
TEST_P(TTagEditorCannotSave, LeavesTheFileAsItWas) {
    const TFullCase& c = GetParam();
    test::TTempDir dir;
    const std::string root = dir.Path().string();
    const std::string path = root + "/song.mp3";
    const std::string fixture = Fixture("id3v24.mp3");
    std::u16string title(c.TitleLength, u'Ж');

    const auto result = InChild(root, c.Tmpfs, [&]() -> std::string {
        fs::copy_file(fixture, path);
        if (c.HardLink) fs::create_hard_link(path, root + "/link.mp3");
        if (c.Free >= 0) {
            const int64_t fill = static_cast<int64_t>(FreeBytes(root)) - c.Free;
            std::ofstream f(root + "/fill", std::ios::binary);
            const std::string block(4096, '\0');
            for (int64_t done = 0; done < fill; done += 4096)
                f.write(block.data(), static_cast<std::streamsize>(std::min<int64_t>(4096, fill - done)));
        }
        if (c.ReadOnly && ::mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return "cannot remount read-only";
        if (!c.Tmpfs) {
            // The limit lets the copy be made but not the room the save may need.
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fs::file_size(path) + 4096, RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        const TBytes before = test::ReadBytes(path);
        const uint64_t freeBefore = FreeBytes(root);
        std::string error;
        TTagEditor e;
        e.SetFileName(path);
        e.SetTitle(title);
        e.SetAllowInPlace(c.InPlace);
        try {
            e.Save();
        } catch (const EAuException& x) {
            error = x.what();
        }
        const TBytes after = test::ReadBytes(path);
        std::string names;
        for (const std::string& n : Names(root))
            names += n + " ";
        // Space taken beyond the file's own growth would be a reserve never given back.
        const int64_t kept = static_cast<int64_t>(freeBefore - FreeBytes(root)) -
                             (static_cast<int64_t>(after.size()) - static_cast<int64_t>(before.size()));
        return error + "\n" + (after == before ? "unchanged" : "changed") + "\n" + names + "\n" +
               (ReadTags(path).Title == Utf8(title) ? "new title" : "old title") + "\n" +
               (kept <= 8192 ? "released" : "kept " + std::to_string(kept));
    });
    if (!result) GTEST_SKIP() << "this system does not let a test mount a tmpfs";

    std::istringstream lines(*result);
    std::string error, state, names, titleState, released;
    std::getline(lines, error);
    std::getline(lines, state);
    std::getline(lines, names);
    std::getline(lines, titleState);
    std::getline(lines, released);
    EXPECT_EQ(error, c.Error) << *result;
    const std::string expectedNames =
        std::string(c.Free >= 0 ? "fill " : "") + (c.HardLink ? "link.mp3 " : "") + "song.mp3 ";
    EXPECT_EQ(names, expectedNames) << "no copy is left behind";
    if (*c.Error) {
        EXPECT_EQ(state, "unchanged");
        EXPECT_EQ(titleState, "old title");
    } else {
        EXPECT_EQ(state, "changed");
        EXPECT_EQ(titleState, "new title");
        EXPECT_EQ(released, "released");
    }
}

constexpr uint64_t KiB = 1024;

INSTANTIATE_TEST_SUITE_P(
    Cases, TTagEditorCannotSave,
    testing::Values(TFullCase{"NoRoomForTheCopy", 256 * KiB, 0, false, false, false, 100,
                              "Failed to save tags: No space left on device"},
                    TFullCase{"NoRoomForTheGrowth", 1024 * KiB, 96 * KiB, false, false, false, 20000,
                              "Failed to save tags: No space left on device"},
                    TFullCase{"HardLinkedNoRoom", 256 * KiB, 8 * KiB, true, true, false, 20000,
                              "Failed to save tags: No space left on device"},
                    TFullCase{"ReadOnlyFileSystem", 256 * KiB, -1, false, false, true, 100,
                              "Failed to save tags: Read-only file system"},
                    TFullCase{"FileSizeLimit", 0, -1, false, false, false, 100,
                              "Failed to save tags: File too large"},
                    TFullCase{"EnoughRoom", 2048 * KiB, -1, false, false, false, 20000, ""},
                    TFullCase{"HardLinkedEnoughRoom", 2048 * KiB, -1, true, true, false, 20000, ""},
                    TFullCase{"HardLinkedNotInPlace", 2048 * KiB, -1, true, false, false, 100,
                              "Failed to save tags: the file has other hard links, and it "
                              "may be saved only in place, which was not allowed"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
