// Where the player finds config.ini and its skin: beside the executable first, then the XDG
// configuration folders, skins also in the data folders.

#include "app/TConfigPaths.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

#include <unistd.h>

using tarvio::TConfigPaths;
namespace fs = std::filesystem;

namespace {

class ConfigPaths : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvio-paths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Root = pattern;
        Old = fs::current_path();
        fs::create_directories(Root / "cwd");
        fs::current_path(Root / "cwd");
        Env["HOME"] = (Root / "home").string();
    }
    void TearDown() override {
        fs::current_path(Old);
        fs::remove_all(Root);
    }
    void Touch(const fs::path& File) {
        fs::create_directories(File.parent_path());
        std::ofstream(File) << "[skin]\n";
    }
    TConfigPaths Paths() {
        return TConfigPaths(Dir("exe"), Dir("data"), [this](const char* Name) -> const char* {
            const auto it = Env.find(Name);
            return it == Env.end() ? nullptr : it->second.c_str();
        });
    }
    std::string Dir(const std::string& Name) const { return (Root / Name).string() + "/"; }

    fs::path Root, Old;
    std::map<std::string, std::string> Env;
};

TEST_F(ConfigPaths, ConfigFileBesideTheExecutableThenUserThenSystem) {
    Env["XDG_CONFIG_DIRS"] = Dir("sys1") + ":relative/ignored:" + Dir("sys2");
    EXPECT_EQ(Paths().ConfigFile(), Dir("exe") + "config.ini"); // none anywhere: the old place

    Touch(Root / "sys2/tarvio/config.ini");
    EXPECT_EQ(Paths().ConfigFile(), Dir("sys2") + "tarvio/config.ini");
    Touch(Root / "sys1/tarvio/config.ini");
    EXPECT_EQ(Paths().ConfigFile(), Dir("sys1") + "tarvio/config.ini");
    Touch(Root / "home/.config/tarvio/config.ini"); // XDG_CONFIG_HOME unset: ~/.config
    EXPECT_EQ(Paths().ConfigFile(), Dir("home") + ".config/tarvio/config.ini");
    Env["XDG_CONFIG_HOME"] = Dir("cfg");
    Touch(Root / "cfg/tarvio/config.ini");
    EXPECT_EQ(Paths().ConfigFile(), Dir("cfg") + "tarvio/config.ini");
    Touch(Root / "exe/config.ini");
    EXPECT_EQ(Paths().ConfigFile(), Dir("exe") + "config.ini");
}

TEST_F(ConfigPaths, DefaultSystemFoldersAndRelativeVariablesIgnored) {
    Env["XDG_CONFIG_HOME"] = "relative";
    Env["XDG_DATA_DIRS"] = "";
    const TConfigPaths paths = Paths();
    const std::vector<std::string> config = {Dir("home") + ".config/tarvio/", "/etc/xdg/tarvio/"};
    EXPECT_EQ(paths.ConfigDirs(), config);
    const std::vector<std::string> skins = {
        Dir("home") + ".config/tarvio/", "/etc/xdg/tarvio/",   Dir("home") + ".local/share/tarvio/",
        "/usr/local/share/tarvio/",      "/usr/share/tarvio/", Dir("data")};
    EXPECT_EQ(paths.SkinDirs(), skins);
}

TEST_F(ConfigPaths, SkinBesideTheExecutableKeepsItsPicturesInTheCurrentDirectory) {
    Touch(Root / "data/Skins/night/skin.ini");
    Touch(Root / "exe/Skins/night/skin.ini");
    const auto place = Paths().Skin("night");
    EXPECT_EQ(place.IniFile, Dir("exe") + "Skins/night/skin.ini");
    EXPECT_EQ(place.PictureDir, "Skins/night/");
}

TEST_F(ConfigPaths, SkinFolderInTheCurrentDirectoryKeepsTheOldLayout) {
    Touch(Root / "data/Skins/night/skin.ini");
    fs::create_directories(Root / "cwd/Skins/night");
    const auto place = Paths().Skin("night");
    EXPECT_EQ(place.IniFile, Dir("exe") + "Skins/night/skin.ini");
    EXPECT_EQ(place.PictureDir, "Skins/night/");
}

TEST_F(ConfigPaths, InstalledSkinHasItsPicturesBesideItsIni) {
    Touch(Root / "data/Skins/night/skin.ini");
    auto place = Paths().Skin("night");
    EXPECT_EQ(place.IniFile, Dir("data") + "Skins/night/skin.ini");
    EXPECT_EQ(place.PictureDir, Dir("data") + "Skins/night/");

    Touch(Root / "home/.config/tarvio/Skins/night/skin.ini"); // the user's copy comes first
    place = Paths().Skin("night");
    EXPECT_EQ(place.PictureDir, Dir("home") + ".config/tarvio/Skins/night/");

    place = Paths().Skin("day"); // nowhere: the old place, so its absence gives the defaults
    EXPECT_EQ(place.IniFile, Dir("exe") + "Skins/day/skin.ini");
    EXPECT_EQ(place.PictureDir, "Skins/day/");
}

TEST_F(ConfigPaths, SkinNameThatLeavesTheSkinsFolderIsNotSearched) {
    Touch(Root / "data/Skins/skin.ini");
    Touch(Root / "data/skin.ini");
    for (const std::string name : {"..", ".", "", "../Skins"}) {
        const auto place = Paths().Skin(name);
        EXPECT_EQ(place.PictureDir, "Skins/" + name + "/") << name;
    }
}

} // namespace
