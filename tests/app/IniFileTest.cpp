#include "app/TIniFile.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include <unistd.h>

using tarvio::TIniFile;

namespace {

const char* const Sample = "\xEF\xBB\xBF; comment line\r\n"
                           "[Skin]\r\n"
                           "  Name = night \r\n"
                           "BgCnt=5\r"
                           "quoted=\"  spaced  \"\n"
                           "empty=\n"
                           "noequals\n"
                           "name=second\n"
                           "[buttons]\n"
                           "ColLeft=$FF00\n"
                           "[skin]\n"
                           "BgStart=3\n";

TEST(IniFile, SectionsAndKeysIgnoreCaseAndFirstMatchWins) {
    TIniFile ini = TIniFile::FromText(Sample);
    EXPECT_EQ(ini.ReadString("skin", "name", "default"), "night");
    EXPECT_EQ(ini.ReadString("SKIN", "NAME", "default"), "night");
    EXPECT_EQ(ini.ReadInteger("skin", "bgcnt", 0), 5); // lone CR ends a line too
    EXPECT_EQ(ini.ReadString("skin", "quoted", ""), "  spaced  ");
    EXPECT_EQ(ini.ReadString("skin", "empty", "x"), ""); // present but empty
    EXPECT_EQ(ini.ReadInteger("skin", "empty", 7), 7);
    EXPECT_EQ(ini.ReadInteger("BUTTONS", "colleft", 0), 65280);
    // Only the first section of a name is searched.
    EXPECT_EQ(ini.ReadInteger("skin", "BgStart", 1), 1);
}

TEST(IniFile, MissingFileSectionOrKeyGivesDefault) {
    TIniFile missing("/nonexistent/dir/config.ini");
    EXPECT_EQ(missing.ReadString("skin", "name", "default"), "default");
    EXPECT_EQ(missing.ReadInteger("skin", "BgStart", 1), 1);
    TIniFile ini = TIniFile::FromText(Sample);
    EXPECT_EQ(ini.ReadString("images", "play", "play.png"), "play.png");
    EXPECT_EQ(ini.ReadString("skin", "noequals", "d"), "d");
    EXPECT_EQ(ini.ReadString("skin", "; comment line", "d"), "d");
}

TEST(IniFile, ReadsFromDisk) {
    auto path =
        std::filesystem::temp_directory_path() / ("tarvio_ini_test_" + std::to_string(getpid()) + ".ini");
    {
        std::ofstream out(path, std::ios::binary);
        out << "[skin]\nBgCnt=0x10\n";
    }
    TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadInteger("skin", "BgCnt", 0), 16);
    std::filesystem::remove(path);
}

struct IntCase {
    const char* Text;
    bool Ok;
    int32_t Value;
};

class IniInteger : public testing::TestWithParam<IntCase> {};

TEST_P(IniInteger, Parses) {
    const IntCase& c = GetParam();
    int32_t v = 12345;
    EXPECT_EQ(TIniFile::ParseInteger(c.Text, v), c.Ok) << c.Text;
    if (c.Ok) {
        EXPECT_EQ(v, c.Value) << c.Text;
    }
    // Through the file: a bad value gives the default.
    TIniFile ini = TIniFile::FromText(std::string("[s]\nk=") + c.Text + "\n");
    EXPECT_EQ(ini.ReadInteger("s", "k", -77), c.Ok ? c.Value : -77) << c.Text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, IniInteger,
    testing::Values(IntCase{"65280", true, 65280}, IntCase{"$FF00", true, 65280},
                    IntCase{"0xFF00", true, 65280}, IntCase{"0XfF00", true, 65280},
                    IntCase{"$ff00", true, 65280}, IntCase{"-12", true, -12}, IntCase{"+12", true, 12},
                    IntCase{"2147483647", true, 2147483647}, IntCase{"2147483648", false, 0},
                    IntCase{"-2147483648", true, INT32_MIN}, IntCase{"$FFFFFFFF", true, -1},
                    IntCase{"$100000000", false, 0}, IntCase{"0x", false, 0}, IntCase{"$", false, 0},
                    IntCase{"", false, 0}, IntCase{"12abc", false, 0}, IntCase{"abc", false, 0},
                    IntCase{"1 2", false, 0}, IntCase{"$FG", false, 0},
                    IntCase{"99999999999999999999999", false, 0}));

} // namespace
