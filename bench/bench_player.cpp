// The player's own costs, each printed as a measurement against its target:
// 1. time from process start (fork + exec) to the first painted frame of the window
//    (target under 400 ms; median of several starts);
// 2. time from the play button's release to the first byte at the sound device, seen as the
//    first PCM in the file of the wave-file device (target under Latency + 150 ms);
// 3. resident memory while playing (target under 120 MB);
// 4. CPU time and context switches of the whole process (every thread) while a FLAC track
//    plays to the null device and the spectrum bars move, against mpv playing the same file
//    without video to its null output in the same run (median of three rounds; targets: at
//    most 1.5 times mpv's CPU, fewer than 300 context switches per second), and the
//    underruns of that play.
// 5. time from a press of the close button while a track plays to the end of the process
//    (target under 200 ms; median of five).
// Each measurement runs in a fresh child process (this program again, with --child) on
// Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise; measurement 4 runs on an
// Xvfb screen of its own when Xvfb is installed, as the player runs on a display. The child
// reports through a pipe. Needs sox, flac and ffmpeg to make its track and background, and
// mpv for the comparison. Never fails: a measurement that cannot be made is reported as
// such.
//   bench_player                   all five measurements
//   bench_player --play SECONDS    only a long play of a track SECONDS long (at Latency
//                                  100 ms): CPU, context switches and underruns
//   bench_player --exit            only the time from the close button to the end

#include "app/TApplication.h"
#include "app/TForm1.h"
#include "output/TDXAudioOut.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace tarvio;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double StartTargetMs = 400;
constexpr double LatencyMarginMs = 150;
constexpr double MemoryTargetMb = 120;
constexpr double CpuTargetPercent = 5;
constexpr double CpuRatioTarget = 1.5;          // player / mpv
constexpr double SwitchesTargetPerSecond = 300; // the player's context switches
constexpr int CpuRounds = 3;
constexpr int PlayX = 260, PlayY = 105;   // the play button of the demo skin (demo/make-skin.py)
constexpr int CloseX = 550, CloseY = 105; // its open/close button
constexpr double ExitTargetMs = 200;
constexpr int TrackSeconds = 30;
constexpr double WarmUpSeconds = 2, CpuWindowSeconds = 20;

double MsSince(Clock::time_point T0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - T0).count();
}

bool Run(const std::string& Command) {
    return std::system(Command.c_str()) == 0;
}

// CPU time and context switches of the threads of a process alive now, from /proc: the
// time from each thread's schedstat (nanoseconds; the process's stat counts in clock ticks,
// too coarse for a process that uses about 1 % of a core over a 20 s window).
struct TCost {
    double CpuSeconds = -1;
    double Switches = 0;
};

TCost ProcessCost(pid_t Pid) {
    TCost cost;
    const std::string dir = "/proc/" + std::to_string(Pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (!tasks) return cost;
    double ns = 0;
    bool any = false;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = dir + "/" + entry->d_name;
        double onCpu = -1;
        if (std::ifstream schedstat(task + "/schedstat"); schedstat >> onCpu) {
            ns += onCpu;
            any = true;
        }
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                cost.Switches += std::atof(line.c_str() + line.find(':') + 1);
    }
    closedir(tasks);
    if (any) cost.CpuSeconds = ns / 1e9;
    return cost;
}

// ---- The child: one player window, reporting "key value" lines to a descriptor ----

class TChild {
public:
    // Mode: "start" (report the first painted frame and end), "latency" (also press play
    // and report the first byte at the device), "play" (also measure while playing) or
    // "exit" (play a second, then close the window).
    TChild(int Fd, const std::string& Folder, const std::string& Mode)
        : FFd(Fd), FFolder(Folder), FMode(Mode) {}

    void Report(const std::string& Key, double Value) {
        std::string line = Key + " " + std::to_string(Value) + "\n";
        if (write(FFd, line.data(), line.size()) < 0) std::perror("bench_player: report");
    }

    int Main() {
        int argc = 1;
        char name[] = "tarvio";
        char* argv[] = {name, nullptr};
        TApplication app(argc, argv);
        app.SetTitle("Tarvio");
        app.SetShowExceptionHook([](const std::string& Message) {
            std::fprintf(stderr, "bench_player: error box: %s\n", Message.c_str());
        });
        {
            TForm1 form(nullptr, FFolder + "/");
            QWidget* window = form.Widget();
            TPaintCounter paints;
            window->installEventFilter(&paints);
            QEventLoop firstPaint;
            paints.OnFirst = [&] { QTimer::singleShot(0, &firstPaint, &QEventLoop::quit); };
            QTimer::singleShot(10000, &firstPaint, &QEventLoop::quit); // a window that never paints
            form.Show();
            firstPaint.exec();
            if (paints.Count == 0) return 1;
            Report("painted", 1);
            if (FMode != "start") Play(form, window, paints);
        }
        return 0;
    }

private:
    struct TPaintCounter : QObject {
        std::function<void()> OnFirst;
        std::function<void()> OnPaint; // every paint
        int Count = 0;
        bool eventFilter(QObject*, QEvent* Event) override {
            if (Event->type() != QEvent::Paint) return false;
            if (Count++ == 0 && OnFirst) OnFirst();
            if (OnPaint) OnPaint();
            return false;
        }
    };

    static void Send(QWidget* W, QEvent::Type Type, Qt::MouseButtons Held, int X = PlayX, int Y = PlayY) {
        QPointF local(X, Y);
        QMouseEvent e(Type, local, W->mapToGlobal(local), Qt::LeftButton, Held, Qt::NoModifier);
        QApplication::sendEvent(W, &e);
    }

    static long FileSize(const std::string& Path) {
        struct stat st {};
        return stat(Path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    }

    static double StatusKb(const char* Key) {
        std::ifstream in("/proc/self/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(Key, 0) == 0) return std::atof(line.c_str() + std::strlen(Key));
        return -1;
    }

    void Wait(double Seconds) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(Seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }

    void Play(TForm1& Form, QWidget* Window, TPaintCounter& Paints) {
        auto* out = dynamic_cast<TDXAudioOut*>(Form.DXAudioOut1);
        if (out) Report("latency_setting", out->Latency());
        if (FMode == "latency") {
            FirstByte(Window);
            return;
        }
        if (FMode == "exit") {
            // Plays a moment, then presses the close button; the parent times the rest.
            Send(Window, QEvent::MouseButtonPress, Qt::LeftButton);
            Send(Window, QEvent::MouseButtonRelease, Qt::NoButton);
            Wait(1.0);
            Report("closing", 1);
            Send(Window, QEvent::MouseButtonPress, Qt::LeftButton, CloseX, CloseY);
            Send(Window, QEvent::MouseButtonRelease, Qt::NoButton, CloseX, CloseY);
            return;
        }
        // "play" or "play:SECONDS": the cost of playing with the bars moving.
        const double window = FMode.size() > 5 ? std::atof(FMode.c_str() + 5) : CpuWindowSeconds;
        Send(Window, QEvent::MouseButtonPress, Qt::LeftButton);
        Send(Window, QEvent::MouseButtonRelease, Qt::NoButton);
        Wait(WarmUpSeconds);
        const int paints0 = Paints.Count;
        const int top0 = Form.ImageEk[0]->Top();
        int moves = 0, lastTop = top0;
        // The moves of bar 1 as the paints show them (no timer of its own, which would wake
        // the GUI thread and count against the player).
        Paints.OnPaint = [&] {
            if (Form.ImageEk[0]->Top() != lastTop) ++moves, lastTop = Form.ImageEk[0]->Top();
        };
        const TCost cost0 = ProcessCost(getpid());
        const auto w0 = Clock::now();
        Wait(window);
        const double wall = MsSince(w0) / 1000;
        const TCost cost1 = ProcessCost(getpid());
        Paints.OnPaint = nullptr;
        Report("cpu_percent", 100 * (cost1.CpuSeconds - cost0.CpuSeconds) / wall);
        Report("switches_per_second", (cost1.Switches - cost0.Switches) / wall);
        Report("window_seconds", wall);
        Report("paints_per_second", (Paints.Count - paints0) / wall);
        Report("bar_moves_per_second", moves / wall);
        Report("bars_visible", Form.ImageEk[0]->Visible() ? 1 : 0);
        Report("rss_mb", StatusKb("VmRSS:") / 1024);
        Report("peak_rss_mb", StatusKb("VmHWM:") / 1024);
        Report("underruns", out ? out->Underruns() : -1);
        Report("still_playing", Form.Caption() == "play " ? 1 : 0);
    }

    // Presses play and reports the time from the release to the first byte in the file of
    // the wave-file device.
    void FirstByte(QWidget* Window) {
        const std::string device = FFolder + "/device.wav";
        constexpr long HeaderBytes = 44;
        std::atomic<bool> released{false}, done{false};
        std::atomic<double> firstByteMs{-1};
        Clock::time_point t0;
        // Watches the device's file from another thread so that the GUI thread runs freely.
        std::thread watcher([&] {
            while (!released.load())
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            while (!done.load()) {
                if (FileSize(device) > HeaderBytes) {
                    firstByteMs = MsSince(t0);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        Send(Window, QEvent::MouseButtonPress, Qt::LeftButton);
        t0 = Clock::now();
        released = true;
        Send(Window, QEvent::MouseButtonRelease, Qt::NoButton);
        const auto limit = Clock::now() + std::chrono::seconds(5);
        while (firstByteMs.load() < 0 && Clock::now() < limit)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        done = true;
        watcher.join();
        Report("first_byte_ms", firstByteMs.load());
    }

    int FFd;
    std::string FFolder;
    std::string FMode;
};

// ---- The parent ----

// Where a child runs: its sound device (TARVIO_AUDIO_DEVICE) and, when not empty, the X
// display it shows its window on (else Qt's offscreen platform, or QT_QPA_PLATFORM).
struct TChildSetting {
    std::string Device;
    std::string Display;
};

// Starts this program as a child in Mode and collects its report; StartMs is the time from
// just before fork to the child's report of its first painted frame, ExitMs (when given) the
// time from its report that it closes the window to its end.
std::map<std::string, double> RunChild(const fs::path& Folder, const std::string& Mode,
                                       const TChildSetting& Setting, double& StartMs,
                                       double* ExitMs = nullptr) {
    std::map<std::string, double> report;
    StartMs = -1;
    Clock::time_point closing{};
    if (ExitMs) *ExitMs = -1;
    int fds[2];
    if (pipe(fds) != 0) return report;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string fd = std::to_string(fds[1]);
    const auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (chdir(Folder.c_str()) != 0) _exit(127);
        setenv("TARVIO_AUDIO_DEVICE", Setting.Device.c_str(), 1);
        if (!Setting.Display.empty()) {
            setenv("DISPLAY", Setting.Display.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
        }
        execl(self.c_str(), self.c_str(), "--child", Mode.c_str(), Folder.c_str(), fd.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return report;
    }
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        if (StartMs < 0 && text.find("painted") != std::string::npos) StartMs = MsSince(t0);
        if (closing == Clock::time_point{} && text.find("closing") != std::string::npos)
            closing = Clock::now();
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (ExitMs && closing != Clock::time_point{} && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        *ExitMs = MsSince(closing);
    std::istringstream lines(text);
    std::string key;
    double value;
    while (lines >> key >> value)
        report[key] = value;
    return report;
}

const char* Verdict(double Value, double Target) {
    return Value < 0 ? "not measured" : Value < Target ? "ok" : "OVER";
}

double Get(const std::map<std::string, double>& Report, const std::string& Key) {
    auto it = Report.find(Key);
    return it == Report.end() ? -1 : it->second;
}

double Median(std::vector<double> Values) {
    if (Values.empty()) return -1;
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

bool Installed(const std::string& Tool) {
    return Run("command -v " + Tool + " >/dev/null 2>&1");
}

// An Xvfb screen of its own for as long as the object lives; Display() is empty when none
// could be started.
class TXvfb {
public:
    TXvfb() {
        if (!Installed("Xvfb")) return;
        int fds[2];
        if (pipe(fds) != 0) return;
        FPid = fork();
        if (FPid == 0) {
            close(fds[0]);
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 1), dup2(devnull, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
                   nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (FPid > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty()) FDisplay = ":" + number;
    }
    ~TXvfb() {
        if (FPid <= 0) return;
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    TXvfb(const TXvfb&) = delete;
    TXvfb& operator=(const TXvfb&) = delete;
    const std::string& Display() const { return FDisplay; }

private:
    pid_t FPid = -1;
    std::string FDisplay;
};

// mpv playing Track without video to its null output: CPU percent and context switches per
// second over CpuWindowSeconds after the same warm-up as the player's; {-1, -1} without mpv.
std::pair<double, double> MpvCost(const fs::path& Track) {
    pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) dup2(devnull, 0), dup2(devnull, 1), dup2(devnull, 2);
        execlp("mpv", "mpv", "--no-config", "--no-video", "--ao=null", "--really-quiet", "--no-terminal",
               Track.c_str(), nullptr);
        _exit(127);
    }
    if (pid < 0) return {-1, -1};
    std::this_thread::sleep_for(std::chrono::duration<double>(WarmUpSeconds));
    const TCost cost0 = ProcessCost(pid);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(CpuWindowSeconds));
    const TCost cost1 = ProcessCost(pid);
    const double wall = MsSince(w0) / 1000;
    const bool alive = waitpid(pid, nullptr, WNOHANG) == 0;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (!alive || cost0.CpuSeconds < 0 || cost1.CpuSeconds < 0) return {-1, -1};
    return {100 * (cost1.CpuSeconds - cost0.CpuSeconds) / wall, (cost1.Switches - cost0.Switches) / wall};
}

// The player's folder: configuration and skin as in the demo, one 640 x 480 background and
// a play list of one FLAC track of Seconds seconds.
bool MakeFolder(const fs::path& Folder, int Seconds) {
    const fs::path skin = fs::path(TARVIO_SOURCE_DIR) / "demo" / "Skins" / "default";
    fs::create_directories(Folder / "Skins" / "default");
    fs::create_directories(Folder / "BackGround");
    for (const auto& entry : fs::directory_iterator(skin))
        fs::copy_file(entry.path(), Folder / "Skins" / "default" / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    std::ofstream(Folder / "config.ini") << "[skin]\nname=default\nBgCnt=1\nBgStart=1\n";
    const std::string dir = "'" + Folder.string() + "'";
    const bool made =
        Run("ffmpeg -loglevel error -y -f lavfi -i 'gradients=s=640x480:seed=3' -frames:v 1 -q:v 3 " + dir +
            "/BackGround/1.jpg") &&
        Run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/track.wav synth " + std::to_string(Seconds) +
            " sine 110-3520 pinknoise tremolo 3 60 vol 0.5 2>/dev/null") &&
        Run("flac --silent --force -T 'TITLE=Бенчмарк' -T 'ARTIST=Tarvio' -o " + dir + "/track.flac " + dir +
            "/track.wav");
    fs::remove(Folder / "track.wav");
    std::ofstream(Folder / "PlayList.txt") << (Folder / "track.flac").string() << "\n";
    return made;
}

// A play of Seconds seconds (the track lasts a little longer) on the Xvfb screen when there
// is one: CPU, context switches and underruns at the player's Latency.
void LongPlay(const fs::path& Folder, int Seconds, const std::string& Display) {
    double ms;
    auto report = RunChild(Folder, "play:" + std::to_string(Seconds), {"null", Display}, ms);
    if (Get(report, "cpu_percent") < 0) {
        std::printf("bench_player: long play: not measured\n");
        return;
    }
    std::printf("bench_player: long play of %.0f s at Latency %.0f ms on %s: %.0f underruns (target 0): %s; "
                "CPU %.2f %%, %.0f context switches/s, bar 1 moved %.1f times/s%s\n",
                Get(report, "window_seconds"), Get(report, "latency_setting"),
                Display.empty() ? "the offscreen platform" : "Xvfb", Get(report, "underruns"),
                Get(report, "underruns") == 0 ? "ok" : "OVER", Get(report, "cpu_percent"),
                Get(report, "switches_per_second"), Get(report, "bar_moves_per_second"),
                Get(report, "still_playing") == 1 ? "" : ", NOT playing to the end");
}

// 5. Close button to the end of the process, while a track plays.
void ExitTime(const fs::path& Folder, const std::string& Display) {
    std::vector<double> exits;
    for (int i = 0; i < 5; ++i) {
        double ms, exitMs;
        RunChild(Folder, "exit", {"null", Display}, ms, &exitMs);
        if (exitMs >= 0) exits.push_back(exitMs);
    }
    if (exits.empty()) {
        std::printf("bench_player: close button to the end of the process: not measured\n");
    } else {
        const double median = Median(exits);
        std::printf(
            "bench_player: close button to the end of the process while playing: median %.1f ms of %zu "
            "(worst %.1f ms), ratio to 200 ms %.3f (target < 1): %s\n",
            median, exits.size(), *std::max_element(exits.begin(), exits.end()), median / ExitTargetMs,
            Verdict(median, ExitTargetMs));
    }
}

int Parent(int LongPlaySeconds, bool OnlyExit = false) {
    const fs::path folder = fs::temp_directory_path() / ("bench_player-" + std::to_string(getpid()));
    fs::remove_all(folder);
    const int trackSeconds = LongPlaySeconds > 0 ? LongPlaySeconds + 10 : TrackSeconds;
    if (!MakeFolder(folder, trackSeconds)) {
        std::printf(
            "bench_player: could not make the track and background (sox, flac, ffmpeg): not measured\n");
        fs::remove_all(folder);
        return 0;
    }
    const bool platformGiven = getenv("QT_QPA_PLATFORM") != nullptr;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!getenv("XDG_RUNTIME_DIR")) {
        fs::create_directories(folder / "runtime");
        fs::permissions(folder / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    }
    const TChildSetting waveFile{"wav:" + (folder / "device.wav").string(), ""};
    std::unique_ptr<TXvfb> xvfb;
    if (!platformGiven) xvfb = std::make_unique<TXvfb>();
    const std::string display = xvfb ? xvfb->Display() : "";
    if (LongPlaySeconds > 0) {
        LongPlay(folder, LongPlaySeconds, display);
        xvfb.reset();
        fs::remove_all(folder);
        return 0;
    }

    if (OnlyExit) {
        ExitTime(folder, display);
        xvfb.reset();
        fs::remove_all(folder);
        return 0;
    }

    // 1. Start to first painted frame.
    std::vector<double> starts;
    for (int i = 0; i < 7; ++i) {
        double ms;
        RunChild(folder, "start", waveFile, ms);
        if (ms >= 0) starts.push_back(ms);
    }
    if (starts.empty()) {
        std::printf("bench_player: start to first painted frame: not measured (the child did not paint)\n");
    } else {
        const double first = starts.front();
        const double median = Median(starts);
        std::printf(
            "bench_player: start to first painted frame: median %.1f ms of %zu starts (first %.1f ms), "
            "ratio to 400 ms %.3f (target < 1): %s\n",
            median, starts.size(), first, median / StartTargetMs, Verdict(median, StartTargetMs));
    }

    // 2. Play release to the first byte at the device.
    std::vector<double> latencies;
    double latencySetting = 100;
    for (int i = 0; i < 5; ++i) {
        double ms;
        fs::remove(folder / "device.wav");
        auto report = RunChild(folder, "latency", waveFile, ms);
        if (Get(report, "latency_setting") >= 0) latencySetting = Get(report, "latency_setting");
        if (Get(report, "first_byte_ms") >= 0) latencies.push_back(Get(report, "first_byte_ms"));
    }
    const double latencyTarget = latencySetting + LatencyMarginMs;
    if (latencies.empty()) {
        std::printf("bench_player: play release to first byte at the device: not measured\n");
    } else {
        const double median = Median(latencies);
        std::printf("bench_player: play release to first byte at the device: median %.1f ms of %zu presses "
                    "(worst %.1f ms), ratio to Latency + 150 ms (%.0f ms) %.3f (target < 1): %s\n",
                    median, latencies.size(), *std::max_element(latencies.begin(), latencies.end()),
                    latencyTarget, median / latencyTarget, Verdict(median, latencyTarget));
    }

    ExitTime(folder, display);

    // 3 and 4. Memory, CPU and context switches while playing, round by round against mpv.
    const bool haveMpv = Installed("mpv");
    std::vector<double> cpus, switches, mpvCpus, mpvSwitches, ratios, paints, moves, peaks, underruns;
    bool allPlaying = true;
    for (int round = 0; round < CpuRounds; ++round) {
        double ms;
        auto report = RunChild(folder, "play", {"null", display}, ms);
        const double cpu = Get(report, "cpu_percent");
        if (cpu < 0) continue;
        cpus.push_back(cpu);
        switches.push_back(Get(report, "switches_per_second"));
        paints.push_back(Get(report, "paints_per_second"));
        moves.push_back(Get(report, "bar_moves_per_second"));
        peaks.push_back(Get(report, "peak_rss_mb"));
        underruns.push_back(Get(report, "underruns"));
        allPlaying = allPlaying && Get(report, "still_playing") == 1;
        if (!haveMpv) continue;
        auto [mpvCpu, mpvSwitch] = MpvCost(folder / "track.flac");
        if (mpvCpu <= 0) continue;
        mpvCpus.push_back(mpvCpu);
        mpvSwitches.push_back(mpvSwitch);
        ratios.push_back(cpu / mpvCpu);
        std::printf("bench_player: round %d: player %.2f %% CPU, %.0f switches/s; mpv %.2f %% CPU, %.0f "
                    "switches/s\n",
                    round + 1, cpu, switches.back(), mpvCpu, mpvSwitch);
    }
    const char* where = display.empty() ? "offscreen" : "on Xvfb";
    if (cpus.empty()) {
        std::printf("bench_player: memory and CPU while playing: not measured\n");
    } else {
        const double peak = Median(peaks), cpu = Median(cpus), sw = Median(switches);
        std::printf("bench_player: resident memory while playing: peak %.1f MB, ratio to 120 MB %.3f (target "
                    "< 1): %s\n",
                    peak, peak / MemoryTargetMb, Verdict(peak, MemoryTargetMb));
        std::printf(
            "bench_player: CPU while playing FLAC %s with the bars moving: median %.2f %% of one core "
            "over %zu rounds of %.0f s (bar 1 moved %.1f times/s, %.1f paints/s, %.0f underruns%s), "
            "ratio to 5 %% %.3f (target < 1): %s\n",
            where, cpu, cpus.size(), CpuWindowSeconds, Median(moves), Median(paints),
            *std::max_element(underruns.begin(), underruns.end()),
            allPlaying ? "" : ", NOT playing to the end of the window", cpu / CpuTargetPercent,
            Verdict(cpu, CpuTargetPercent));
        std::printf("bench_player: context switches while playing: median %.0f /s, ratio to 300 /s %.3f "
                    "(target < 1): %s\n",
                    sw, sw / SwitchesTargetPerSecond, Verdict(sw, SwitchesTargetPerSecond));
        if (ratios.empty()) {
            std::printf("bench_player: against mpv: not measured (%s)\n",
                        haveMpv ? "mpv did not play" : "mpv is not installed");
        } else {
            const double ratio = Median(ratios);
            std::printf(
                "bench_player: against mpv --no-video --ao=null: player %.2f %% vs mpv %.2f %% of one "
                "core (medians), CPU ratio %.2f (median of %zu rounds; target <= %.1f): %s; context "
                "switches %.0f /s vs %.0f /s\n",
                cpu, Median(mpvCpus), ratio, ratios.size(), CpuRatioTarget,
                ratio <= CpuRatioTarget ? "ok" : "OVER", sw, Median(mpvSwitches));
        }
    }
    xvfb.reset();
    fs::remove_all(folder);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") {
        TChild child(std::atoi(argv[4]), argv[3], argv[2]);
        return child.Main();
    }
    if (argc == 3 && std::string(argv[1]) == "--play" && std::atoi(argv[2]) > 0)
        return Parent(std::atoi(argv[2]));
    if (argc == 2 && std::string(argv[1]) == "--exit") return Parent(0, true);
    if (argc != 1) {
        std::fprintf(stderr, "usage: bench_player [--play SECONDS | --exit]\n");
        return 2;
    }
    return Parent(0);
}
