#pragma once
// Where the player finds config.ini and its skin. Beside the executable first, as a
// program copied into a folder with its files expects; then, for an installed player,
// the user's and the system's XDG configuration folders (tarvio/ under $XDG_CONFIG_HOME,
// default ~/.config, and under each folder of $XDG_CONFIG_DIRS, default /etc/xdg), and
// for skins also the XDG data folders and the package's own data folder
// (/usr/share/tarvio/Skins/). The first place that holds the file wins; nothing is merged.
// The play list and the backgrounds are not looked up here: they stay relative to the
// current directory.

#include <functional>
#include <string>
#include <vector>

namespace tarvio {

class TConfigPaths {
public:
    // Reads a variable of the environment; null when unset.
    using TGetEnv = std::function<const char*(const char*)>;

    // ExeDir: the executable's folder ending in '/'. DataDir: the package's data folder
    // (the build's install prefix + share/tarvio). The environment is read here, once, on
    // the calling (GUI) thread.
    TConfigPaths(std::string ExeDir, std::string DataDir, const TGetEnv& GetEnv);
    // The process's environment and the data folder of this build.
    explicit TConfigPaths(std::string ExeDir);

    // The config.ini to read: the first of the folders that exists; ExeDir + "config.ini"
    // when none does (its absence then gives the defaults).
    std::string ConfigFile() const;

    struct TSkinPlace {
        std::string IniFile;    // the skin's skin.ini (may not exist: defaults)
        std::string PictureDir; // prefix of its pictures' names, ending in '/'
    };
    // The skin SkinName. Beside the executable (or without a skin.ini anywhere, or with a
    // Skins/SkinName folder in the current directory) its pictures are relative to the
    // current directory, "Skins/SkinName/"; a skin found in a configuration or data folder
    // has its pictures in that folder.
    TSkinPlace Skin(const std::string& SkinName) const;

    // The folders searched, in order, each ending in "tarvio/" (for tests and messages).
    const std::vector<std::string>& ConfigDirs() const { return FConfigDirs; }
    const std::vector<std::string>& SkinDirs() const { return FSkinDirs; }

private:
    std::string FExeDir;
    std::vector<std::string> FConfigDirs; // after ExeDir
    std::vector<std::string> FSkinDirs;   // after ExeDir
};

} // namespace tarvio
