#include "app/TResumeState.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace tarvio;
namespace fs = std::filesystem;

namespace {

const std::string Good =
    "[resume]\nVersion=1\nSource=list:/a/PlayList.txt\nLabel=\nEntry=/a/1.flac\nFrame=44100\n"
    "Playing=1\nEnd=1\n";

struct TTextCase {
    const char* Name;
    std::string Text;
    bool Valid;
};

class ResumeText : public testing::TestWithParam<TTextCase> {};

TEST_P(ResumeText, OnlyACompleteStateParses) {
    const TTextCase& c = GetParam();
    std::string error;
    const std::optional<TResumePlace> place = TResumeState::Parse(c.Text, error);
    EXPECT_EQ(place.has_value(), c.Valid) << error;
    if (!c.Valid) {
        EXPECT_FALSE(error.empty());
    }
}

std::string Replace(std::string Text, const std::string& From, const std::string& To) {
    Text.replace(Text.find(From), From.size(), To);
    return Text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ResumeText,
    testing::Values(
        TTextCase{"complete", Good, true},
        TTextCase{"crlf_and_unknown_keys", Replace(Good, "Label=\n", "Label=\r\nLater=x\r\n"), true},
        TTextCase{"empty", "", false},
        // A state cut anywhere lacks its end mark at least.
        TTextCase{"cut_in_the_frame", Good.substr(0, Good.find("Frame=") + 8), false},
        TTextCase{"cut_before_the_end_mark", Good.substr(0, Good.find("End=")), false},
        TTextCase{"another_programs_ini", "[player]\nAutoNext=1\n", false},
        TTextCase{"later_version", Replace(Good, "Version=1", "Version=2"), false},
        TTextCase{"negative_frame", Replace(Good, "Frame=44100", "Frame=-5"), false},
        TTextCase{"frame_too_long", Replace(Good, "Frame=44100", "Frame=1234567890123456789"), false},
        TTextCase{"index_not_a_number", Replace(Good, "Frame=", "Index=x\nFrame="), false},
        TTextCase{"playing_not_a_flag", Replace(Good, "Playing=1", "Playing=yes"), false},
        TTextCase{"no_entry", Replace(Good, "Entry=/a/1.flac\n", ""), false},
        TTextCase{"bad_escape", Replace(Good, "/a/1.flac", "/a/\\x.flac"), false},
        TTextCase{"binary", std::string("\0\xff[resume]", 11), false}),
    [](const testing::TestParamInfo<TTextCase>& i) { return std::string(i.param.Name); });

class ResumeFile : public testing::Test {
protected:
    fs::path Dir = fs::temp_directory_path() / ("tarvio_resume_" + std::to_string(getpid()));
    std::string Path = (Dir / "state" / "tarvio" / "resume.ini").string();
    void TearDown() override { fs::remove_all(Dir); }
};

TEST_F(ResumeFile, SavesOverTheOldStateAndReadsItBack) {
    TResumePlace place{.Source = "list:/x/PlayList.txt",
                       .Label = "Флешка",
                       .Entry = "/x/A \\ b\nc.flac",
                       .Index = 3,
                       .Frame = 123456789,
                       .Playing = false};
    std::string error;
    ASSERT_TRUE(TResumeState::Save(Path, place, error)) << error; // creates the folders
    place.Frame = 5;
    ASSERT_TRUE(TResumeState::Save(Path, place, error)) << error;
    const std::optional<TResumePlace> back = TResumeState::Load(Path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Source, place.Source);
    EXPECT_EQ(back->Label, place.Label);
    EXPECT_EQ(back->Entry, place.Entry);
    EXPECT_EQ(back->Index, 3);
    EXPECT_EQ(back->Frame, 5);
    EXPECT_FALSE(back->Playing);
    EXPECT_FALSE(fs::exists(Path + ".new"));
    EXPECT_TRUE(TResumeState::Find(Path, place.Source));
    EXPECT_FALSE(TResumeState::Find(Path, "list:/y/PlayList.txt"));
}

TEST_F(ResumeFile, AFailedSaveLeavesTheOldState) {
    std::string error;
    ASSERT_TRUE(TResumeState::Save(
        Path,
        {.Source = "list:/a", .Label = "", .Entry = "/a/1.flac", .Index = -1, .Frame = 7, .Playing = true},
        error));
    fs::create_directory(Path + ".new"); // the new file cannot be made, not even by root
    EXPECT_FALSE(TResumeState::Save(
        Path,
        {.Source = "list:/a", .Label = "", .Entry = "/a/2.flac", .Index = -1, .Frame = 9, .Playing = true},
        error));
    EXPECT_NE(error.find("resume.ini.new"), std::string::npos) << error;
    ASSERT_TRUE(TResumeState::Load(Path));
    EXPECT_EQ(TResumeState::Load(Path)->Entry, "/a/1.flac");
}

TEST_F(ResumeFile, ABrokenFileIsIgnoredWithAWarning) {
    fs::create_directories(fs::path(Path).parent_path());
    std::ofstream(Path) << Good.substr(0, 30);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(TResumeState::Load(Path));
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find(Path), std::string::npos) << warning;
    EXPECT_NE(warning.find("ignored"), std::string::npos) << warning;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(TResumeState::Load((Dir / "absent.ini").string()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "an absent file is no fault";
}

TEST(ResumeSources, ListAndFolderSources) {
    EXPECT_EQ(TResumeState::ListSource("/a/b/../PlayList.txt"), "list:/a/PlayList.txt");
    const std::string here = TResumeState::FolderSource(fs::temp_directory_path().string());
    EXPECT_EQ(here.rfind("fs:", 0), 0u) << here;
    EXPECT_EQ(TResumeState::FolderSource(fs::temp_directory_path().string()), here) << "stable";
    EXPECT_EQ(TResumeState::FolderSource("/no/such/folder"), "");
}

} // namespace
