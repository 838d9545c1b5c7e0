// The table of run-time libraries: every loader names its file through it, and each entry
// names the Debian package that ships the file (the .deb's Depends are read from it).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pipeline/TRuntimeLibrary.h"

using namespace tarvio;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The packages (without their architecture) that dpkg names as the owners of files of the
// system's library folders, by file name; one dpkg-query for all of them.
std::map<std::string, std::string> OwnersOf(const std::vector<std::string>& FileNames) {
    std::string command = "dpkg-query -S";
    for (const std::string& name : FileNames)
        command += " '*/" + name + "'";
    command += " 2>/dev/null";
    std::map<std::string, std::string> owners;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return owners;
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get())) {
        const std::string text(line, strcspn(line, "\n"));
        // Some packages (libdbus-1-3) still list their files under /lib.
        const size_t colon = text.find(':');
        const bool library =
            text.find(": /usr/lib/") != std::string::npos || text.find(": /lib/") != std::string::npos;
        if (colon == std::string::npos || !library) continue;
        owners[text.substr(text.rfind('/') + 1)] = text.substr(0, colon);
    }
    return owners;
}

TEST(TRuntimeLibrary, EveryLineOfTheTableIsInAllAndEachLibraryComesFromItsPackage) {
    const std::string header = ReadFile(fs::path(TARVIO_SOURCE_DIR) / "pipeline/TRuntimeLibrary.h");
    const std::regex line(R"re(inline constexpr TRuntimeLibrary \w+ *\{"([^"]+)")re");
    size_t lines = 0;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), line); it != std::sregex_iterator();
         ++it) {
        ++lines;
        bool listed = false;
        for (const TRuntimeLibrary& lib : RuntimeLibrary::All)
            listed = listed || (*it)[1] == lib.FileName;
        EXPECT_TRUE(listed) << (*it)[1] << " is missing from RuntimeLibrary::All";
    }
    EXPECT_EQ(lines, std::size(RuntimeLibrary::All));

    if (std::system("command -v dpkg-query >/dev/null") != 0) GTEST_SKIP() << "no dpkg on this machine";
    std::vector<std::string> system;
    for (const TRuntimeLibrary& lib : RuntimeLibrary::All)
        if (lib.Relation == rlBuilt)
            EXPECT_TRUE(fs::exists(fs::path(TARVIO_BINARY_DIR) / "lib" / lib.FileName)) << lib.FileName;
        else
            system.push_back(lib.FileName);
    const std::map<std::string, std::string> owners = OwnersOf(system);
    for (const TRuntimeLibrary& lib : RuntimeLibrary::All)
        if (lib.Relation != rlBuilt) {
            const auto it = owners.find(lib.FileName);
            EXPECT_EQ(it == owners.end() ? "(no package)" : it->second, lib.Package) << lib.FileName;
        }
}

TEST(TRuntimeLibrary, NoLoaderNamesItsFileOutsideTheTable) {
    const std::regex literal(R"(TLibraryLoader\s+\w+\s*[({]\s*")");
    for (const char* folder : {"pipeline", "stages", "output", "decoders", "tags", "cd", "app", "tools"}) {
        const fs::path root = fs::path(TARVIO_SOURCE_DIR) / folder;
        if (!fs::exists(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") continue;
            const std::string text = ReadFile(entry.path());
            if (text.find("TLibraryLoader") == std::string::npos) continue;
            EXPECT_FALSE(std::regex_search(text, literal))
                << entry.path()
                << " loads a library by a name of its own; add it to pipeline/TRuntimeLibrary.h";
        }
    }
}

} // namespace
