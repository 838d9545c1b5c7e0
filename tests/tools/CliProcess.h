#pragma once
// Runs tarvio-cli as a child process with standard input from /dev/null and collects its
// exit status, standard output and standard error.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace tarvio::test {

struct TCliResult {
    int Status = -1; // exit status; -1 when the process did not exit normally
    std::string Out, Err;
};

inline std::string Slurp(const std::filesystem::path& Path) {
    std::ifstream f(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline TCliResult RunCli(const std::vector<std::string>& Args) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tarvio-cli-run-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path out = dir / "stdout", err = dir / "stderr";

    std::vector<std::string> argv{TARVIO_CLI};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    TCliResult r;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << TARVIO_CLI;
        return r;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) r.Status = WEXITSTATUS(status);
    r.Out = Slurp(out);
    r.Err = Slurp(err);
    fs::remove_all(dir);
    return r;
}

// The standard error of a failed run is exactly one line.
inline bool OneLine(const std::string& Text) {
    return !Text.empty() && Text.back() == '\n' && Text.find('\n') == Text.size() - 1;
}

} // namespace tarvio::test
