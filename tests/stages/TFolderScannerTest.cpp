#include "stages/TFolderScanner.h"
#include "stages/TTrackNumberReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tarvio;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kExtensions = {".flac", ".mp3", ".ogg", ".opus", ".m4a", ".wv", ".wav"};

fs::path TempRoot(const std::string& Name) {
    fs::path p = fs::path(testing::TempDir()) / ("scan_" + std::to_string(getpid()) + "_" + Name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// A short tone of the file's format made by a real encoder, with track and disc number
// tags when Track > 0 (and Disc > 0). False when the encoder failed.
bool MakeTrack(const fs::path& Path, int Track, int Disc = 0) {
    static const fs::path wav = [] {
        fs::path p = TempRoot("source") / "tone.wav";
        std::system(("sox -n -r 44100 -c 2 -b 16 '" + p.string() + "' synth 0.05 sine 440").c_str());
        return p;
    }();
    const std::string in = "'" + wav.string() + "'", out = "'" + Path.string() + "'";
    const std::string ext = Path.extension().string(), t = std::to_string(Track), d = std::to_string(Disc);
    const bool tags = Track > 0, disc = Disc > 0;
    std::string cmd;
    if (ext == ".flac")
        cmd = "flac -s -f " + (tags ? "--tag=TRACKNUMBER=" + t + " " : "") +
              (disc ? "--tag=DISCNUMBER=" + d + " " : "") + "-o " + out + " " + in;
    else if (ext == ".mp3")
        cmd = "lame --quiet " + (tags ? "--id3v2-only --tn " + t + "/20 " : "") +
              (disc ? "--tv TPOS=" + d + " " : "") + in + " " + out;
    else if (ext == ".ogg")
        cmd = "oggenc -Q " + (tags ? "-N " + t + " " : "") + (disc ? "-c DISCNUMBER=" + d + " " : "") +
              "-o " + out + " " + in;
    else if (ext == ".wv")
        cmd = "wavpack -q -y " + (tags ? "-w Track=" + t + " " : "") + (disc ? "-w Disc=" + d + " " : "") +
              in + " -o " + out;
    else // .m4a, .opus
        cmd = "ffmpeg -v error -y -i " + in + (tags ? " -metadata track=" + t : "") +
              (disc ? " -metadata disc=" + d : "") + (ext == ".opus" ? " -c:a libopus " : " -c:a aac ") + out;
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0 && fs::exists(Path);
}

std::optional<TTrackNumber> ReadNumber(const fs::path& Path) {
    const int fd = open(Path.c_str(), O_RDONLY);
    if (fd < 0) return std::nullopt;
    auto n = TTrackNumberReader::Read(fd);
    close(fd);
    return n;
}

std::vector<std::string> Relative(const std::vector<std::string>& Paths, const fs::path& Root) {
    std::vector<std::string> out;
    for (const auto& p : Paths)
        out.push_back(fs::path(p).lexically_relative(Root).string());
    return out;
}

} // namespace

// ---- Natural order ----

struct TNaturalCase {
    const char* Before;
    const char* After;
};

class NaturalOrder : public testing::TestWithParam<TNaturalCase> {};

TEST_P(NaturalOrder, FirstSortsBeforeSecond) {
    EXPECT_TRUE(TFolderScanner::NaturalLess(GetParam().Before, GetParam().After));
    EXPECT_FALSE(TFolderScanner::NaturalLess(GetParam().After, GetParam().Before));
}

INSTANTIATE_TEST_SUITE_P(Names, NaturalOrder,
                         testing::Values(TNaturalCase{"2", "10"}, TNaturalCase{"track 9.mp3", "Track 10.mp3"},
                                         TNaturalCase{"a2b", "a2c"}, TNaturalCase{"apple", "Banana"},
                                         TNaturalCase{"Zebra", "арбуз"}, TNaturalCase{"Ель", "ёлка"},
                                         TNaturalCase{"Ёлка", "Жук"}, TNaturalCase{"ежи", "Ёж"},
                                         TNaturalCase{"99999999999999999999", "100000000000000000000"},
                                         // equal but for leading zeros or case: byte order decides
                                         TNaturalCase{"01", "1"}, TNaturalCase{"A", "a"},
                                         // CP1251 bytes (not UTF-8): "Ая" before "Бе" before UTF-8 "Вы"
                                         TNaturalCase{"\xC0\xFF", "\xC1\xE5"},
                                         TNaturalCase{"\xC1\xE5", "Вы"}));

TEST(FolderScannerNames, NonUtf8NamesShowInTheLegacyCodePage) {
    EXPECT_EQ(TFolderScanner::DisplayName("\xCF\xE5\xF1\xED\xFF.mp3"), "Песня.mp3");
    EXPECT_EQ(TFolderScanner::DisplayName("Песня.mp3"), "Песня.mp3");
}

// ---- Track numbers from tags ----

struct TTagCase {
    const char* Name;
    int Track, Disc;
};

class TrackNumbers : public testing::TestWithParam<TTagCase> {};

TEST_P(TrackNumbers, ComeFromTheFormatsTags) {
    const fs::path dir = TempRoot("tags");
    const fs::path tagged = dir / GetParam().Name;
    const fs::path plain = dir / ("plain_" + std::string(GetParam().Name));
    if (!MakeTrack(tagged, GetParam().Track, GetParam().Disc) || !MakeTrack(plain, 0))
        GTEST_SKIP() << "no encoder for " << GetParam().Name;
    const auto n = ReadNumber(tagged);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->Track, GetParam().Track);
    EXPECT_EQ(n->Disc, GetParam().Disc);
    EXPECT_FALSE(ReadNumber(plain).has_value());
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Formats, TrackNumbers,
                         testing::Values(TTagCase{"a.flac", 7, 2}, TTagCase{"a.mp3", 12, 3},
                                         TTagCase{"a.ogg", 5, 1}, TTagCase{"a.m4a", 9, 2},
                                         TTagCase{"a.wv", 4, 0}, TTagCase{"a.opus", 3, 2}),
                         [](const auto& Info) { return std::string(Info.param.Name).substr(2); });

TEST(TrackNumberBytes, BrokenOrHostileHeadersGiveNothing) {
    const fs::path dir = TempRoot("hostile");
    const std::string cases[] = {
        std::string("ID3\x03\x00\x00\x7F\x7F\x7F\x7F", 10) +
            "TRCK\xFF\xFF\xFF\xFF",             // tag and frame past the end
        std::string("fLaC\x04\xFF\xFF\xFF", 8), // comment block past the end
        std::string("\x00\x00\x00\x01"
                    "ftyp\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
                    16),                                        // 64-bit size past the end
        std::string("OggS\x00\x02", 6) + std::string(21, '\0'), // cut page
        std::string(""),
    };
    for (const std::string& bytes : cases) {
        std::ofstream(dir / "x", std::ios::binary) << bytes;
        EXPECT_FALSE(ReadNumber(dir / "x").has_value()) << testing::PrintToString(bytes);
    }
    fs::remove_all(dir);
}

// ---- The walk ----

TEST(FolderScanner, OrdersAGeneratedTree) {
    const fs::path root = TempRoot("tree");
    struct TFile {
        const char* Path;
        int Track, Disc;
    };
    // Listed in the expected order.
    const TFile files[] = {
        {"root.mp3", 0, 0},
        // every file numbered: disc, then track decide, whatever the names and formats
        {"2 Ранние/z.m4a", 1, 1},
        {"2 Ранние/y.ogg", 2, 1},
        {"2 Ранние/a.flac", 1, 2},
        {"2 Ранние/b.mp3", 2, 2},
        // one file without a number: names decide, "2" before "10"
        {"10 Поздние/Track 2.flac", 9, 0},
        {"10 Поздние/track 3.mp3", 0, 0},
        {"10 Поздние/Track 10.ogg", 1, 0},
        {"10 Поздние/CD 1/01.wv", 0, 0},
        {"10 Поздние/CD 2/01.wv", 0, 0},
        {"abc/b.flac", 0, 0},
        {"Ель/a.flac", 0, 0},
        {"Ёлка/a.flac", 0, 0},
        {"Жук/a.flac", 0, 0},
    };
    for (const TFile& f : files) {
        fs::create_directories((root / f.Path).parent_path());
        if (!MakeTrack(root / f.Path, f.Track, f.Disc)) GTEST_SKIP() << "no encoder for " << f.Path;
    }
    std::ofstream(root / "abc" / "notes.txt") << "not audio";
    std::ofstream(root / "abc" / "cover.jpg") << "not audio";
    fs::create_directories(root / "empty");

    TFolderScanner scanner(kExtensions);
    std::vector<std::string> expected;
    for (const TFile& f : files)
        expected.push_back(f.Path);
    EXPECT_EQ(Relative(scanner.Scan({root.string()}), root), expected);
    EXPECT_TRUE(scanner.Warnings().empty());
    fs::remove_all(root);
}

TEST(FolderScanner, LoopsFifosDeepTreesAndOddNamesDoNotStopTheWalk) {
    const fs::path root = TempRoot("odd");
    fs::create_directories(root / "a" / "b");
    std::ofstream(root / "a" / "b" / "x.mp3") << "x";
    fs::create_directory_symlink(root, root / "a" / "b" / "back"); // a loop to the top
    fs::create_directory_symlink(root / "a", root / "same");       // a second way into a/
    fs::create_symlink(root / "a" / "b" / "x.mp3", root / "link.mp3");
    fs::create_symlink(root / "missing.mp3", root / "dangling.mp3");
    ASSERT_EQ(mkfifo((root / "pipe.mp3").c_str(), 0644), 0);
    const std::string cp1251 = "\xCF\xE5\xF1\xED\xFF.flac"; // "Песня.flac" in CP1251
    std::ofstream(root / cp1251) << "x";

    fs::path deep = "deep";
    for (int level = 0; level < 200; ++level)
        deep /= "d";
    fs::create_directories(root / deep);
    std::ofstream(root / deep / "x.ogg") << "x";

    TFolderScanner scanner(kExtensions);
    EXPECT_EQ(Relative(scanner.Scan({root.string()}), root),
              (std::vector<std::string>{"link.mp3", cp1251, "a/b/x.mp3", (deep / "x.ogg").string()}));
    EXPECT_TRUE(scanner.Warnings().empty());
    fs::remove_all(root);
}

TEST(FolderScanner, UnreadableFolderGivesOneWarningAndTheRestIsScanned) {
    const fs::path root = TempRoot("unreadable");
    fs::permissions(root.parent_path(), fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(root, fs::perms::all);
    fs::create_directories(root / "closed" / "inner");
    fs::create_directories(root / "open");
    std::ofstream(root / "closed" / "inner" / "x.mp3") << "x";
    std::ofstream(root / "open" / "y.mp3") << "y";
    fs::permissions(root / "open", fs::perms::all);
    fs::permissions(root / "open" / "y.mp3", fs::perms::all);
    fs::permissions(root / "closed", fs::perms::none);
    // Root reads any folder: the walk runs as nobody in a child process.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        TFolderScanner scanner(kExtensions);
        std::string report;
        for (const auto& f : Relative(scanner.Scan({root.string()}), root))
            report += "file " + f + "\n";
        for (const auto& w : scanner.Warnings())
            report += "warning " + w + "\n";
        (void)!write(out[1], report.data(), report.size());
        _exit(0);
    }
    close(out[1]);
    std::string report;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    fs::permissions(root / "closed", fs::perms::all);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(report, "file open/y.mp3\nwarning cannot read folder " + (root / "closed").string() +
                          ": Permission denied\n");
    fs::remove_all(root);
}

TEST(FolderScanner, WorkerReportsFoldersInOrderAndCanBeCancelled) {
    const fs::path root = TempRoot("worker");
    for (int d = 1; d <= 30; ++d)
        for (int f = 1; f <= 20; ++f) {
            fs::create_directories(root / std::to_string(d));
            std::ofstream(root / std::to_string(d) / (std::to_string(f) + ".ogg")) << "x";
        }
    std::vector<std::string> reported;
    std::vector<size_t> progress;
    std::atomic<int> done{0};
    {
        TFolderScanner scanner(kExtensions);
        scanner.OnFolderDone = [&](const std::string&, const std::vector<std::string>& Files) {
            reported.insert(reported.end(), Files.begin(), Files.end());
        };
        scanner.OnProgress = [&](size_t N) { progress.push_back(N); };
        scanner.OnDone = [&](bool Cancelled) {
            EXPECT_FALSE(Cancelled);
            ++done;
        };
        scanner.Start({root.string()});
        scanner.Wait();
        EXPECT_EQ(done.load(), 1);
        EXPECT_EQ(reported, scanner.Files());
        ASSERT_EQ(reported.size(), 600u);
        EXPECT_EQ(Relative({reported[0], reported[19], reported[20]}, root),
                  (std::vector<std::string>{"1/1.ogg", "1/20.ogg", "2/1.ogg"}));
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        EXPECT_EQ(progress.back(), 600u);
    }
    // Destroying a running scanner stops and joins its worker.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        TFolderScanner scanner(kExtensions);
        scanner.OnDone = [&](bool) { ++done; };
        scanner.Start({root.string()});
    }
    EXPECT_EQ(done.load(), 6);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    fs::remove_all(root);
}
