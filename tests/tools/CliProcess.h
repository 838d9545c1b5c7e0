#pragma once
// Runs tarvio-cli as a child process and collects its exit status, standard output and
// standard error.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
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

// tarvio-cli running as a child process. Standard output and error go to files; standard
// input is /dev/null, or with Terminal the slave side of a pseudo-terminal, so that the
// tool takes keys, which the test types with Type.
class TCliProcess {
public:
    explicit TCliProcess(const std::vector<std::string>& Args, bool Terminal = false)
        : FDir(std::filesystem::temp_directory_path() /
               ("tarvio-cli-run-" + std::to_string(getpid()) + "-" + std::to_string(++Count()))) {
        namespace fs = std::filesystem;
        fs::create_directories(FDir);
        std::string input = "/dev/null";
        if (Terminal) {
            FTerminal = posix_openpt(O_RDWR | O_NOCTTY);
            if (FTerminal < 0 || grantpt(FTerminal) != 0 || unlockpt(FTerminal) != 0) {
                ADD_FAILURE() << "no pseudo-terminal";
                return;
            }
            input = ptsname(FTerminal);
        }
        std::vector<std::string> argv{TARVIO_CLI};
        argv.insert(argv.end(), Args.begin(), Args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (FDir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (FDir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&FPid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) {
            FPid = 0;
            ADD_FAILURE() << "cannot start " << TARVIO_CLI;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TCliProcess() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            Wait();
        }
        if (FTerminal >= 0) close(FTerminal);
        std::filesystem::remove_all(FDir);
    }
    TCliProcess(const TCliProcess&) = delete;
    TCliProcess& operator=(const TCliProcess&) = delete;

    // Types Keys on the tool's terminal.
    void Type(const std::string& Keys) {
        ASSERT_GE(FTerminal, 0) << "started without a terminal";
        ASSERT_EQ(write(FTerminal, Keys.data(), Keys.size()), static_cast<ssize_t>(Keys.size()));
    }

    // Waits for the tool to exit; after TimeoutMs it is killed (Status is then -1).
    TCliResult Wait(int TimeoutMs = 120000) {
        TCliResult r;
        if (FPid <= 0) return r;
        int status = 0;
        for (int waited = 0;; waited += 10) {
            const pid_t done = waitpid(FPid, &status, WNOHANG);
            if (done == FPid || (done < 0 && errno != EINTR)) break;
            if (waited >= TimeoutMs) {
                ADD_FAILURE() << "tarvio-cli did not exit within " << TimeoutMs << " ms";
                kill(FPid, SIGKILL);
                while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(10000);
        }
        FPid = 0;
        if (WIFEXITED(status)) r.Status = WEXITSTATUS(status);
        r.Out = Slurp(FDir / "stdout");
        r.Err = Slurp(FDir / "stderr");
        return r;
    }

private:
    static int& Count() {
        static int n = 0;
        return n;
    }

    std::filesystem::path FDir;
    pid_t FPid = 0;
    int FTerminal = -1;
};

inline TCliResult RunCli(const std::vector<std::string>& Args) {
    return TCliProcess(Args).Wait();
}

// The standard error of a failed run is exactly one line.
inline bool OneLine(const std::string& Text) {
    return !Text.empty() && Text.back() == '\n' && Text.find('\n') == Text.size() - 1;
}

} // namespace tarvio::test
