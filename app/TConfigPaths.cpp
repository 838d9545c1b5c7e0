#include "app/TConfigPaths.h"

#include <cstdlib>
#include <sys/stat.h>

#ifndef TARVIO_DATA_DIR
#define TARVIO_DATA_DIR "/usr/share/tarvio"
#endif

namespace tarvio {

namespace {

bool IsFile(const std::string& Path) {
    struct stat st {};
    return stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDir(const std::string& Path) {
    struct stat st {};
    return stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSlash(std::string Dir) {
    if (!Dir.empty() && Dir.back() != '/') Dir += '/';
    return Dir;
}

// An XDG base folder: the variable when it holds an absolute path (the XDG rules ignore
// relative ones), else $HOME + Fallback; empty when neither is known.
std::string HomeBase(const TConfigPaths::TGetEnv& GetEnv, const char* Name, const char* Fallback) {
    const char* value = GetEnv(Name);
    if (value && value[0] == '/') return WithSlash(value);
    const char* home = GetEnv("HOME");
    if (home && home[0] == '/') return WithSlash(home) + Fallback;
    return {};
}

// The absolute folders of a colon-separated XDG list, or of Default when it is unset or empty.
std::vector<std::string> BaseList(const TConfigPaths::TGetEnv& GetEnv, const char* Name,
                                  const char* Default) {
    const char* value = GetEnv(Name);
    const std::string text = value && value[0] ? value : Default;
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(':', start);
        if (end == std::string::npos) end = text.size();
        const std::string dir = text.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') dirs.push_back(WithSlash(dir));
        start = end + 1;
    }
    return dirs;
}

void AddUnique(std::vector<std::string>& Dirs, const std::string& Dir) {
    if (Dir.empty()) return;
    for (const std::string& d : Dirs)
        if (d == Dir) return;
    Dirs.push_back(Dir);
}

} // namespace

TConfigPaths::TConfigPaths(std::string ExeDir, std::string DataDir, const TGetEnv& GetEnv)
    : FExeDir(std::move(ExeDir)) {
    const std::string configHome = HomeBase(GetEnv, "XDG_CONFIG_HOME", ".config/");
    if (!configHome.empty()) AddUnique(FConfigDirs, configHome + "tarvio/");
    for (const std::string& dir : BaseList(GetEnv, "XDG_CONFIG_DIRS", "/etc/xdg"))
        AddUnique(FConfigDirs, dir + "tarvio/");

    FSkinDirs = FConfigDirs;
    const std::string dataHome = HomeBase(GetEnv, "XDG_DATA_HOME", ".local/share/");
    if (!dataHome.empty()) AddUnique(FSkinDirs, dataHome + "tarvio/");
    for (const std::string& dir : BaseList(GetEnv, "XDG_DATA_DIRS", "/usr/local/share/:/usr/share/"))
        AddUnique(FSkinDirs, dir + "tarvio/");
    // The package's own folder, also when a session's XDG_DATA_DIRS leaves it out.
    if (!DataDir.empty()) AddUnique(FSkinDirs, WithSlash(std::move(DataDir)));
}

TConfigPaths::TConfigPaths(std::string ExeDir)
    : TConfigPaths(std::move(ExeDir), TARVIO_DATA_DIR, [](const char* Name) { return std::getenv(Name); }) {}

std::string TConfigPaths::ConfigFile() const {
    const std::string beside = FExeDir + "config.ini";
    if (IsFile(beside)) return beside;
    for (const std::string& dir : FConfigDirs)
        if (IsFile(dir + "config.ini")) return dir + "config.ini";
    return beside;
}

TConfigPaths::TSkinPlace TConfigPaths::Skin(const std::string& SkinName) const {
    const std::string relative = "Skins/" + SkinName + "/";
    const TSkinPlace beside{FExeDir + relative + "skin.ini", relative};
    // A name that climbs out of the skins' folder is left to the layout beside the program.
    const bool plainName =
        !SkinName.empty() && SkinName.find('/') == std::string::npos && SkinName != "." && SkinName != "..";
    if (!plainName || IsFile(beside.IniFile) || IsDir(relative)) return beside;
    for (const std::string& dir : FSkinDirs)
        if (IsFile(dir + relative + "skin.ini")) return {dir + relative + "skin.ini", dir + relative};
    return beside;
}

} // namespace tarvio
