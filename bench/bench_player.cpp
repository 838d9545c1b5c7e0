// The player's own costs, each printed as a measurement against its target:
// 1. time from process start (fork + exec) to the first painted frame of the window
//    (target under 400 ms; median of several starts);
// 2. time from the play button's release to the first byte at the sound device, seen as the
//    first PCM in the file of the wave-file device (target under Latency + 150 ms);
// 3. resident memory while playing (target under 120 MB);
// 4. CPU time of the whole process (every thread) while a FLAC track plays and the spectrum
//    bars move (target under 5 % of one core).
// Each measurement runs in a fresh child process (this program again, with --child) on
// Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise; the child reports through
// a pipe. Needs sox, flac and ffmpeg to make its track and background. Never fails: a
// measurement that cannot be made is reported as such.

#include "app/TApplication.h"
#include "app/TForm1.h"
#include "output/TDXAudioOut.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
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
constexpr int PlayX = 260, PlayY = 105; // the play button of the demo skin (demo/make-skin.py)
constexpr int TrackSeconds = 30;
constexpr double WarmUpSeconds = 2, CpuWindowSeconds = 10;

double MsSince(Clock::time_point T0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - T0).count();
}

bool Run(const std::string& Command) {
    return std::system(Command.c_str()) == 0;
}

// ---- The child: one player window, reporting "key value" lines to a descriptor ----

class TChild {
public:
    // Mode: "start" (report the first painted frame and end), "latency" (also press play
    // and report the first byte at the device) or "play" (also measure while playing).
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
        int Count = 0;
        bool eventFilter(QObject*, QEvent* Event) override {
            if (Event->type() == QEvent::Paint && Count++ == 0 && OnFirst) OnFirst();
            return false;
        }
    };

    static void Send(QWidget* W, QEvent::Type Type, Qt::MouseButtons Held) {
        QPointF local(PlayX, PlayY);
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

    static double CpuSeconds() {
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }

    void Wait(double Seconds) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(Seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }

    void Play(TForm1& Form, QWidget* Window, TPaintCounter& Paints) {
        if (auto* out = dynamic_cast<TDXAudioOut*>(Form.DXAudioOut1))
            Report("latency_setting", out->Latency());
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
        if (FMode == "latency") return;

        Wait(WarmUpSeconds);
        const int paints0 = Paints.Count;
        const int top0 = Form.ImageEk[0]->Top();
        int moves = 0, lastTop = top0;
        QTimer sampler; // counts the moves of bar 1 as the paints show them
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            if (Form.ImageEk[0]->Top() != lastTop) ++moves, lastTop = Form.ImageEk[0]->Top();
        });
        sampler.start(20);
        const double cpu0 = CpuSeconds();
        const auto w0 = Clock::now();
        Wait(CpuWindowSeconds);
        const double wall = MsSince(w0) / 1000;
        const double cpu = CpuSeconds() - cpu0;
        sampler.stop();
        Report("cpu_percent", 100 * cpu / wall);
        Report("paints_per_second", (Paints.Count - paints0) / wall);
        Report("bar_moves_per_second", moves / wall);
        Report("bars_visible", Form.ImageEk[0]->Visible() ? 1 : 0);
        Report("rss_mb", StatusKb("VmRSS:") / 1024);
        Report("peak_rss_mb", StatusKb("VmHWM:") / 1024);
        Report("still_playing", Form.Caption() == "play " ? 1 : 0);
    }

    int FFd;
    std::string FFolder;
    std::string FMode;
};

// ---- The parent ----

// Starts this program as a child in Mode and collects its report; StartMs is the time from
// just before fork to the child's report of its first painted frame.
std::map<std::string, double> RunChild(const fs::path& Folder, const std::string& Mode, double& StartMs) {
    std::map<std::string, double> report;
    StartMs = -1;
    int fds[2];
    if (pipe(fds) != 0) return report;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string fd = std::to_string(fds[1]);
    const auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (chdir(Folder.c_str()) != 0) _exit(127);
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
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
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

// The player's folder: configuration and skin as in the demo, one 640 x 480 background and
// a play list of one FLAC track.
bool MakeFolder(const fs::path& Folder) {
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
        Run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/track.wav synth " + std::to_string(TrackSeconds) +
            " sine 110-3520 pinknoise tremolo 3 60 vol 0.5 2>/dev/null") &&
        Run("flac --silent --force -T 'TITLE=Бенчмарк' -T 'ARTIST=Tarvio' -o " + dir + "/track.flac " + dir +
            "/track.wav");
    std::ofstream(Folder / "PlayList.txt") << (Folder / "track.flac").string() << "\n";
    return made;
}

int Parent() {
    const fs::path folder = fs::temp_directory_path() / ("bench_player-" + std::to_string(getpid()));
    fs::remove_all(folder);
    if (!MakeFolder(folder)) {
        std::printf(
            "bench_player: could not make the track and background (sox, flac, ffmpeg): not measured\n");
        fs::remove_all(folder);
        return 0;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!getenv("XDG_RUNTIME_DIR")) {
        fs::create_directories(folder / "runtime");
        fs::permissions(folder / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    }
    setenv("TARVIO_AUDIO_DEVICE", ("wav:" + (folder / "device.wav").string()).c_str(), 1);

    // 1. Start to first painted frame.
    std::vector<double> starts;
    for (int i = 0; i < 7; ++i) {
        double ms;
        RunChild(folder, "start", ms);
        if (ms >= 0) starts.push_back(ms);
    }
    if (starts.empty()) {
        std::printf("bench_player: start to first painted frame: not measured (the child did not paint)\n");
    } else {
        const double first = starts.front();
        std::sort(starts.begin(), starts.end());
        const double median = starts[starts.size() / 2];
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
        auto report = RunChild(folder, "latency", ms);
        if (Get(report, "latency_setting") >= 0) latencySetting = Get(report, "latency_setting");
        if (Get(report, "first_byte_ms") >= 0) latencies.push_back(Get(report, "first_byte_ms"));
    }
    const double latencyTarget = latencySetting + LatencyMarginMs;
    if (latencies.empty()) {
        std::printf("bench_player: play release to first byte at the device: not measured\n");
    } else {
        std::sort(latencies.begin(), latencies.end());
        const double median = latencies[latencies.size() / 2];
        std::printf("bench_player: play release to first byte at the device: median %.1f ms of %zu presses "
                    "(worst %.1f ms), ratio to Latency + 150 ms (%.0f ms) %.3f (target < 1): %s\n",
                    median, latencies.size(), latencies.back(), latencyTarget, median / latencyTarget,
                    Verdict(median, latencyTarget));
    }

    // 3 and 4. Memory and CPU while playing.
    double ms;
    fs::remove(folder / "device.wav");
    auto report = RunChild(folder, "play", ms);
    const double rss = Get(report, "rss_mb"), peak = Get(report, "peak_rss_mb");
    const double cpu = Get(report, "cpu_percent");
    if (rss < 0 || cpu < 0) {
        std::printf("bench_player: memory and CPU while playing: not measured\n");
    } else {
        std::printf(
            "bench_player: resident memory while playing: %.1f MB (peak %.1f MB), ratio to 120 MB %.3f "
            "(target < 1): %s\n",
            rss, peak, peak / MemoryTargetMb, Verdict(peak, MemoryTargetMb));
        std::printf(
            "bench_player: CPU while playing FLAC with the bars moving: %.2f %% of one core over %.0f s "
            "(bar 1 moved %.1f times/s, %.1f paints/s%s), ratio to 5 %% %.3f (target < 1): %s\n",
            cpu, CpuWindowSeconds, Get(report, "bar_moves_per_second"), Get(report, "paints_per_second"),
            Get(report, "still_playing") == 1 ? "" : ", NOT playing to the end of the window",
            cpu / CpuTargetPercent, Verdict(cpu, CpuTargetPercent));
    }
    fs::remove_all(folder);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") {
        TChild child(std::atoi(argv[4]), argv[3], argv[2]);
        return child.Main();
    }
    return Parent();
}
