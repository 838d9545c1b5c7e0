// The real player program killed (SIGKILL) at random moments while it plays, and started
// again each time: resume.ini always parses, it is never more than 5 s behind the playback,
// and every start goes on from the saved entry and frame. TARVIO_RESUME_KILLS sets the
// number of kills (default 20; scripts/resume-kill-test runs 200).

#include "PlayerFixture.h"

#include "app/TResumeState.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace {

constexpr int Rate = 8000;
constexpr int TrackFrames = 4 * Rate; // each entry lasts 4 s

struct TStateFile {
    std::string Text;
    struct timespec Mtime {};
    ino_t Inode = 0;
    bool operator==(const TStateFile& O) const {
        return Text == O.Text && Inode == O.Inode && Mtime.tv_sec == O.Mtime.tv_sec &&
               Mtime.tv_nsec == O.Mtime.tv_nsec;
    }
};

class PlayerKilled : public Player {
protected:
    void SetUp() override {
        Player::SetUp();
        if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
        fs::copy_file(TARVIO_PLAYER_EXE, Exe / "tarvio");
        Config("[player]\nResume=1\nAutoNext=1\n");
        std::vector<std::string> entries;
        for (int i = 1; i <= 3; ++i) {
            const fs::path wav = Root / ("k" + std::to_string(i) + ".wav");
            WriteNoiseWav(wav, TrackFrames);
            const fs::path flac = Root / ("k" + std::to_string(i) + ".flac");
            ASSERT_EQ(
                std::system(
                    ("flac --silent --force -o '" + flac.string() + "' '" + wav.string() + "'").c_str()),
                0);
            entries.push_back(flac.string());
        }
        PlayList(entries);
        StatePath = (Root / "state" / "tarvio" / "resume.ini").string();
        TResumePlace first{.Source = TResumeState::ListSource((Work / "PlayList.txt").string()),
                           .Label = "",
                           .Entry = entries[0],
                           .Index = 0,
                           .Frame = 0,
                           .Playing = true};
        std::string error;
        ASSERT_TRUE(TResumeState::Save(StatePath, first, error)) << error;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("XDG_STATE_HOME=", 0) && v.rfind("QT_QPA_PLATFORM=", 0) &&
                v.rfind("TARVIO_AUDIO_DEVICE=", 0))
                Env.push_back(v);
        }
        Env.push_back("XDG_STATE_HOME=" + (Root / "state").string());
        Env.push_back("QT_QPA_PLATFORM=offscreen");
        Env.push_back("TARVIO_AUDIO_DEVICE=null");
    }
    void TearDown() override {
        if (Child > 0) {
            ::kill(Child, SIGKILL);
            ::waitpid(Child, nullptr, 0);
        }
        Player::TearDown();
    }

    // Starts the program in the play list's folder, its output in child.log.
    void Spawn() {
        std::vector<char*> env;
        for (std::string& v : Env)
            env.push_back(v.data());
        env.push_back(nullptr);
        const std::string exe = (Exe / "tarvio").string(), log = (Root / "child.log").string();
        Child = ::fork();
        ASSERT_GE(Child, 0);
        if (Child == 0) {
            // Only calls safe between fork and exec in a process with threads.
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
            ::execve(exe.c_str(), argv, env.data());
            ::_exit(127);
        }
    }
    void Kill() {
        ::kill(Child, SIGKILL);
        int status = 0;
        ::waitpid(Child, &status, 0);
        Child = -1;
        EXPECT_TRUE(WIFSIGNALED(status)) << "the player ended by itself: " << Log();
    }
    TStateFile Read() const {
        TStateFile f;
        struct stat st {};
        if (::stat(StatePath.c_str(), &st) != 0) return f;
        f.Mtime = st.st_mtim;
        f.Inode = st.st_ino;
        std::ifstream in(StatePath, std::ios::binary);
        f.Text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return f;
    }
    // The parsed state; a failure to parse fails the test.
    static TResumePlace Parse(const TStateFile& F) {
        std::string error;
        std::optional<TResumePlace> place = TResumeState::Parse(F.Text, error);
        EXPECT_TRUE(place) << "torn state file (" << error << "):\n" << F.Text;
        return place.value_or(TResumePlace{});
    }
    std::string Log() const {
        std::ifstream in(Root / "child.log");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string StatePath;
    std::vector<std::string> Env;
    pid_t Child = -1;
};

double Seconds(const struct timespec& T) {
    return double(T.tv_sec) + double(T.tv_nsec) / 1e9;
}

double Now() {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return Seconds(t);
}

TEST_F(PlayerKilled, EveryRestartGoesOnFromTheSavedPlace) {
    int kills = 20;
    if (const char* n = std::getenv("TARVIO_RESUME_KILLS")) kills = std::max(1, std::atoi(n));
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(200, 5500);
    TStateFile saved = Read();
    TResumePlace before = Parse(saved);
    for (int i = 0; i < kills && !HasFailure(); ++i) {
        SCOPED_TRACE("kill " + std::to_string(i) + ", seed " + std::to_string(seed));
        Spawn();
        // The first save of the new run is the place it resumed at.
        TStateFile now = saved;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (now == saved && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            now = Read();
        }
        ASSERT_FALSE(now == saved) << "the restarted player saved nothing: " << Log();
        const TResumePlace resumed = Parse(now);
        EXPECT_EQ(resumed.Index, before.Index);
        EXPECT_EQ(resumed.Entry, before.Entry);
        EXPECT_TRUE(resumed.Playing);
        if (before.Frame < TrackFrames) { // a place at the very end starts the entry again
            EXPECT_NEAR(static_cast<double>(resumed.Frame), static_cast<double>(before.Frame), Rate / 2.0);
        }
        // Play on for a while, reading the file as a power cut would find it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs(random));
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Parse(Read());
        }
        const double killedAt = Now();
        Kill();
        saved = Read();
        before = Parse(saved);
        EXPECT_TRUE(before.Playing);
        // Where it was when killed is at most 5 s past the saved frame.
        EXPECT_LE(killedAt - Seconds(saved.Mtime), 5.0) << saved.Text;
    }
}

} // namespace
