#include "tools/TFileCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tarvio {

std::string TFileCheck::InputProblem(const std::string& Path) {
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0) return errno == ENOENT ? "no such file" : std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (S_ISFIFO(st.st_mode)) return "not a regular file but a named pipe";
    if (S_ISSOCK(st.st_mode)) return "not a regular file but a socket";
    if (S_ISCHR(st.st_mode)) return "not a regular file but a character device";
    if (S_ISBLK(st.st_mode)) return "not a regular file but a block device";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_size == 0) return "empty file";
    return {};
}

bool TFileCheck::SameFile(const std::string& A, const std::string& B) {
    std::error_code ec;
    return std::filesystem::equivalent(A, B, ec) && !ec;
}

std::string TFileCheck::CreateProblem(const std::string& Path) {
    struct stat st {};
    if (::stat(Path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
        return ::access(Path.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
    }
    if (errno != ENOENT) return std::strerror(errno);
    std::filesystem::path folder = std::filesystem::path(Path).parent_path();
    if (folder.empty()) folder = ".";
    if (::stat(folder.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

} // namespace tarvio
