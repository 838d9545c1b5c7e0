// The file a tag save works on: a copy that replaces the original on Commit, or the original
// itself where a copy cannot stand in for it and the caller allows that; the reserve that
// tells whether the save's writes stayed in space set aside for them; and the copies a killed
// save left behind.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "TagTestFiles.h"
#include "tags/TFileReplacement.h"
#include "tags/TSaveCopy.h"

using namespace tarvio;
using test::TBytes;
namespace fs = std::filesystem;

namespace {

const TBytes Original = {'I', 'D', '3', 1, 2, 3, 4, 5, 6, 7, 8, 9};
const TBytes Saved = {'I', 'D', '3', 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9};

std::vector<std::string> Names(const test::TTempDir& Dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir.Path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t Mode(const std::string& Path) {
    struct stat st {};
    EXPECT_EQ(::stat(Path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// How the saved file is reached: its own name, a symbolic link, or one of two hard links.
enum class TKind { Plain, Symlink, HardLink };

struct TKindCase {
    const char* Name;
    TKind Kind;
    bool InPlace;
};
void PrintTo(const TKindCase& C, std::ostream* Out) {
    *Out << C.Name;
}

class TReplacement : public testing::TestWithParam<TKindCase> {
protected:
    test::TTempDir FDir;
};

// The writer's work reaches the file through every kind of name, with its mode kept, and no
// stray file is left in the folder; a link stays a link.
TEST_P(TReplacement, CommitPutsTheSaveInPlaceOfTheFile) {
    const TKindCase& c = GetParam();
    const std::string target = FDir / "song.mp3";
    test::WriteBytes(target, Original);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    std::string path = target;
    if (c.Kind == TKind::Symlink) {
        fs::rename(target, FDir / "blob");
        fs::create_symlink("blob", FDir / "link.mp3");
        path = FDir / "link.mp3";
    } else if (c.Kind == TKind::HardLink) {
        fs::create_hard_link(target, FDir / "other.mp3");
    }
    const std::vector<std::string> before = Names(FDir);
    if (c.InPlace) {
        EXPECT_THROW(TSaveCopy(path, 4096), TSaveCopy::ENeedsInPlace) << "in place only when allowed";
        EXPECT_EQ(Names(FDir), before);
    }

    {
        TSaveCopy work(path, 4096, c.InPlace);
        EXPECT_EQ(work.InPlace(), c.InPlace);
        if (c.InPlace) {
            EXPECT_EQ(work.WorkPath(), path);
        } else {
            EXPECT_EQ(fs::path(work.WorkPath()).parent_path(), FDir.Path());
            const std::string prefix = "." + fs::path(work.TargetPath()).filename().string() + ".tarvio-";
            EXPECT_EQ(fs::path(work.WorkPath()).filename().string().rfind(prefix, 0), 0u) << work.WorkPath();
            EXPECT_EQ(test::ReadBytes(work.WorkPath()), Original);
            EXPECT_EQ(test::ReadBytes(path), Original);
        }
        test::WriteBytes(work.WorkPath(), Saved);
        EXPECT_EQ(work.Growth(), static_cast<int64_t>(Saved.size() - Original.size()));
        EXPECT_TRUE(work.WithinReserve());
        work.Commit();
    }
    EXPECT_EQ(test::ReadBytes(path), Saved);
    EXPECT_EQ(Mode(path), 0640u);
    EXPECT_EQ(Names(FDir), before);
    if (c.Kind == TKind::Symlink) {
        EXPECT_TRUE(fs::is_symlink(FDir / "link.mp3"));
        EXPECT_EQ(test::ReadBytes(FDir / "blob"), Saved);
    }
    if (c.Kind == TKind::HardLink) {
        EXPECT_EQ(test::ReadBytes(FDir / "other.mp3"), Saved);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TReplacement,
                         testing::Values(TKindCase{"Plain", TKind::Plain, false},
                                         TKindCase{"Symlink", TKind::Symlink, false},
                                         TKindCase{"HardLink", TKind::HardLink, true}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(TSaveCopy, WithoutCommitTheCopyGoesAndTheFileStays) {
    test::TTempDir dir;
    const std::string path = dir / "a.flac";
    test::WriteBytes(path, Original);
    {
        TSaveCopy work(path, 4096);
        test::WriteBytes(work.WorkPath(), Saved);
    }
    EXPECT_EQ(test::ReadBytes(path), Original);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"a.flac"});
}

// Growth up to the reserve is covered; a byte more is not.
TEST(TSaveCopy, WithinReserveOnlyBelowTheReserve) {
    test::TTempDir dir;
    const std::string path = dir / "a.ogg";
    test::WriteBytes(path, Original);
    TSaveCopy work(path, 12);
    TBytes grown = Original;
    grown.resize(Original.size() + 11);
    test::WriteBytes(work.WorkPath(), grown);
    EXPECT_TRUE(work.WithinReserve());
    grown.resize(Original.size() + 12);
    test::WriteBytes(work.WorkPath(), grown);
    EXPECT_FALSE(work.WithinReserve());
    EXPECT_EQ(work.Growth(), 12);
}

TEST(TSaveCopy, KeepsTheOwnerWhereItCan) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    test::TTempDir dir;
    const std::string path = dir / "a.wv";
    test::WriteBytes(path, Original);
    ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
    {
        TSaveCopy work(path, 0);
        EXPECT_FALSE(work.InPlace());
        test::WriteBytes(work.WorkPath(), Saved);
        work.Commit();
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
}

// A writable file in a folder the user may not write to is saved in place when that is
// allowed, and refused otherwise. (Root may write anywhere, so as root the check runs in a
// child that has become nobody.)
TEST(TSaveCopy, FolderNotWritableSavesInPlace) {
    test::TTempDir dir;
    const std::string folder = dir / "ro";
    fs::create_directory(folder);
    const std::string path = folder + "/a.mp3";
    test::WriteBytes(path, Original);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        try {
            TSaveCopy refused(path, 4096);
            ::_exit(5);
        } catch (const TSaveCopy::ENeedsInPlace&) {
        }
        try {
            TSaveCopy work(path, 4096, true);
            if (!work.InPlace() || work.WorkPath() != path) ::_exit(3);
            test::WriteBytes(work.WorkPath(), Saved);
            work.Commit();
        } catch (...) {
            ::_exit(4);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "2: cannot become nobody, 3: not in place, 4: failed, 5: not refused";
    EXPECT_EQ(test::ReadBytes(path), Saved);
    ::chmod(folder.c_str(), 0755);
}

TEST(TSaveCopy, RefusesWhatCannotBeWritten) {
    test::TTempDir dir;
    auto error = [](const std::string& Path) {
        try {
            TSaveCopy work(Path, 0);
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    };
    EXPECT_EQ(error(dir / "missing.mp3"), ENOENT);
    EXPECT_EQ(error(dir.Path().string()), EISDIR);
    if (::geteuid() != 0) {
        test::WriteBytes(dir / "ro.mp3", Original);
        ASSERT_EQ(::chmod((dir / "ro.mp3").c_str(), 0444), 0);
        EXPECT_EQ(error(dir / "ro.mp3"), EACCES);
    }
    for (const std::string& name : Names(dir))
        EXPECT_EQ(name.find(".tarvio-"), std::string::npos) << "a copy was left behind";
}

// Copies of the file that a killed save left are found and removed by the next save; those
// of other files, and names that only look alike, stay.
TEST(TSaveCopy, StaleCopiesGoWithTheNextSave) {
    test::TTempDir dir;
    const std::string path = dir / "song.mp3";
    test::WriteBytes(path, Original);
    for (const char* name :
         {".song.mp3.tarvio-Ab12Cd", ".song.mp3.tarvio-Zz99zz", ".song.mp3.tarvio-Ab12C",
          ".song.mp3.tarvio-Ab12Cd7", ".song.mp3.tarvio-Ab.2Cd", ".other.mp3.tarvio-Ab12Cd"})
        test::WriteBytes(dir / name, Saved);
    fs::create_directory(dir / ".song.mp3.tarvio-folder");
    EXPECT_EQ(TFileReplacement::StaleCopies(path),
              (std::vector<std::string>{".song.mp3.tarvio-Ab12Cd", ".song.mp3.tarvio-Zz99zz"}));
    {
        TSaveCopy work(path, 0);
        EXPECT_EQ(TFileReplacement::StaleCopies(path),
                  std::vector<std::string>{fs::path(work.WorkPath()).filename().string()});
    }
    EXPECT_EQ(Names(dir), (std::vector<std::string>{".other.mp3.tarvio-Ab12Cd", ".song.mp3.tarvio-Ab.2Cd",
                                                    ".song.mp3.tarvio-Ab12C", ".song.mp3.tarvio-Ab12Cd7",
                                                    ".song.mp3.tarvio-folder", "song.mp3"}));
    EXPECT_EQ(test::ReadBytes(path), Original);
}

// Two saves of one file do not run at once: the second is refused while the first holds it.
TEST(TSaveCopy, OneSaveOfAFileAtATime) {
    test::TTempDir dir;
    const std::string path = dir / "song.mp3";
    test::WriteBytes(path, Original);
    TSaveCopy first(path, 0);
    try {
        TSaveCopy second(path, 0);
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EBUSY);
    }
    EXPECT_EQ(Names(dir).size(), 2u) << "the first save's copy stays";
}

} // namespace
