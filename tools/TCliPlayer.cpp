#include "tools/TCliPlayer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "output/DSoundWrapper.h"
#include "pipeline/TMainThreadQueue.h"
#include "tags/TCodePage.h"
#include "tools/CliError.h"
#include "tools/TErrorText.h"
#include "tools/TFileInfo.h"
#include "tools/TPlainText.h"
#include "tools/TTerminal.h"

namespace tarvio {

namespace {

volatile std::sig_atomic_t Interrupted = 0;

extern "C" void OnInterrupt(int) {
    Interrupted = 1;
}

// Installs the interrupt handlers for its lifetime, so a Ctrl-C ends the run cleanly
// (the terminal and the output device are put back in order).
class TInterruptGuard {
public:
    TInterruptGuard() {
        Interrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &FOldInt);
        sigaction(SIGTERM, &sa, &FOldTerm);
    }
    ~TInterruptGuard() {
        sigaction(SIGINT, &FOldInt, nullptr);
        sigaction(SIGTERM, &FOldTerm, nullptr);
    }
    TInterruptGuard(const TInterruptGuard&) = delete;
    TInterruptGuard& operator=(const TInterruptGuard&) = delete;

private:
    struct sigaction FOldInt {};
    struct sigaction FOldTerm {};
};

constexpr int TickMs = 20;     // main loop period
constexpr int DisplayMs = 100; // status line refresh
constexpr uint32_t JumpSeconds = 10;

} // namespace

TCliPlayer::TCliPlayer() {
    FIndicator.SetInput(&FCache);
    FOut.SetInput(&FIndicator);
    FOut.SetOnDone([this](TComponent*) { FDone = true; });
    FKeys = TTerminal::IsInteractive();
    FDisplay = FKeys && isatty(STDOUT_FILENO) == 1;
}

TCliPlayer::~TCliPlayer() = default;

int TCliPlayer::Play(const std::vector<std::string>& Files, const TDecoderEntry* Forced) {
    TInterruptGuard guard;
    bool failed = false;
    for (const std::string& file : Files) {
        std::string error;
        TOpenedDecoder decoder = TDecoderTable::Open(file, Forced, error);
        if (!decoder.Input) {
            PrintError(file, error);
            failed = true;
            continue;
        }
        TAuFileIn& in = *decoder.Input;
        std::printf("Playing %s (%s, %s, %u Hz, %u channels, %u bits)\n", TPlainText::Printable(file).c_str(),
                    decoder.Entry->Name.c_str(), TFileInfo::FormatTime(in.TotalTime()).c_str(),
                    in.SampleRate(), in.Channels(), in.BitsPerSample());
        std::fflush(stdout);
        const TEnd end = PlayOne(file, in);
        FUnderruns += FOut.Underruns(); // counted per run of the output
        FCache.SetInput(nullptr);       // idle again: the decoder may go
        if (end == TEnd::eFailed) failed = true;
        if (end == TEnd::eQuit) break;
    }
    if (Interrupted) return 130;
    return failed ? 1 : 0;
}

TCliPlayer::TEnd TCliPlayer::PlayOne(const std::string& File, TAuFileIn& Decoder) {
    FCache.SetInput(&Decoder);
    FDone = false;
    FCannotSeek = false;
    try {
        FOut.Run();
    } catch (const std::exception& e) {
        ReportFailure(File, e.what(), Decoder);
        return TEnd::eFailed;
    }

    TTerminal terminal; // raw keys only while a file plays
    auto lastDraw = std::chrono::steady_clock::now() - std::chrono::milliseconds(DisplayMs);
    TEnd end = TEnd::eDone;
    for (;;) {
        CheckSynchronize();
        if (FDone) break;
        if (Interrupted) {
            FOut.Stop(false);
            end = TEnd::eQuit;
            break;
        }
        TKey key = TKey::kNone;
        if (FKeys)
            key = terminal.ReadKey(TickMs);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(TickMs));
        if (key == TKey::kQuit || key == TKey::kNext) {
            FOut.Stop(false);
            end = key == TKey::kQuit ? TEnd::eQuit : TEnd::eNext;
            break;
        }
        try {
            if (key == TKey::kSpace) {
                if (FOut.Status() == tosPaused)
                    FOut.Resume();
                else if (FOut.Status() == tosPlaying)
                    FOut.Pause();
            } else if (key == TKey::kLeft || key == TKey::kRight) {
                const int32_t offs = JumpOffset(Decoder, key == TKey::kLeft ? -1 : 1);
                FCannotSeek = Decoder.Size() <= 0;
                if (FOut.Status() == tosPlaying && offs != 0) FOut.Jump(offs);
            }
        } catch (const std::exception& e) {
            ClearStatusLine();
            PrintError(File, e.what());
        }
        const auto now = std::chrono::steady_clock::now();
        if (FDisplay && now - lastDraw >= std::chrono::milliseconds(DisplayMs)) {
            lastDraw = now;
            std::printf("\r\033[K%s", StatusLine(Decoder).c_str());
            std::fflush(stdout);
            FLineShown = true;
        }
    }
    ClearStatusLine();
    if (end == TEnd::eDone) {
        const std::string message = FOut.ExceptionMessage();
        if (!message.empty()) {
            ReportFailure(File, message, Decoder);
            return TEnd::eFailed;
        }
    }
    return end;
}

void TCliPlayer::ReportFailure(const std::string& File, const std::string& Message,
                               TAuFileIn& Decoder) const {
    TPlaybackDevice device;
    const char* forced = std::getenv("TARVIO_AUDIO_DEVICE");
    if (forced && std::string(forced).rfind("wav:", 0) == 0) device.WavPath = forced + 4;
    const int32_t number = FOut.DeviceNumber();
    DSW_Devices devices{};
    DSW_EnumDevices(devices);
    device.Description = "sound device " + std::to_string(number);
    if (number >= 0 && number < devices.devcount)
        device.Description += " (" + TCodePage::WideToUtf8(devices.dinfo[number].name) + ")";
    try {
        device.Format = std::to_string(Decoder.SampleRate()) + " Hz, " + std::to_string(Decoder.Channels()) +
                        " channels, " + std::to_string(Decoder.BitsPerSample()) + " bits";
    } catch (const std::exception&) {
    }
    const TErrorLine line = TErrorText::Playback(File, Message, device);
    PrintError(line.Subject, line.Text);
}

int32_t TCliPlayer::JumpOffset(TAuFileIn& Decoder, int Direction) const {
    // A jump moves the decoder, which reads ahead of what plays by up to the cache's ring:
    // the offset is taken from the decoder's position to land JumpSeconds from the
    // position that plays (the cache's).
    const int64_t size = Decoder.Size();
    const int64_t bytesPerSecond =
        int64_t{Decoder.BitsPerSample() / 8} * Decoder.Channels() * int64_t{Decoder.SampleRate()};
    if (size <= 0 || bytesPerSecond <= 0) return 0; // a jump is a share of the length
    const int64_t target =
        std::clamp<int64_t>(FCache.Position() + Direction * int64_t{JumpSeconds} * bytesPerSecond, 0, size);
    return static_cast<int32_t>(std::llround(double(target - Decoder.Position()) * 1000.0 / double(size)));
}

std::string TCliPlayer::StatusLine(TAuFileIn& Decoder) const {
    // The cache's position follows what the output has taken, jumps included.
    const double bytesPerSecond =
        double(Decoder.BitsPerSample() / 8) * Decoder.Channels() * double(Decoder.SampleRate());
    const uint32_t elapsed =
        bytesPerSecond > 0 ? static_cast<uint32_t>(double(FCache.Position()) / bytesPerSecond) : 0;
    std::string line =
        "  " + TFileInfo::FormatTime(elapsed) + " / " + TFileInfo::FormatTime(Decoder.TotalTime()) + "  ";
    // Levels run from -40 (silence) to about 120 (a full-scale tone): nine steps.
    static const char* const Steps[] = {" ", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    for (uint32_t band = 0; band < 8; ++band) {
        const float level = FIndicator.GetLevel(band);
        const int step = std::clamp(static_cast<int>(std::lround((level + 40.0f) / 160.0f * 8.0f)), 0, 8);
        line += Steps[step];
    }
    if (FOut.Status() == tosPaused) line += "  paused";
    if (FCannotSeek) line += "  cannot seek: length unknown";
    return line;
}

void TCliPlayer::ClearStatusLine() {
    if (!FLineShown) return;
    std::printf("\r\033[K");
    std::fflush(stdout);
    FLineShown = false;
}

} // namespace tarvio
