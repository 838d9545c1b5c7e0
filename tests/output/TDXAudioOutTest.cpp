// The sound output played through devices that record what plays: the wave-file device
// (held to the clock by the sound layer) and ALSA's file plugin behind the ALSA backend.
// What they hold must be exactly what was played.

#include "output/TDXAudioOut.h"
#include "output/TWaveFileSink.h"
#include "pipeline/TMainThreadQueue.h"
#include "pipeline/TRealtimeScheduling.h"
#include "support/TAlsaFileDevice.h"
#include "support/TRecordingCheck.h"
#include "support/TScopedEnv.h"
#include "tests/output/TToneIn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace tarvio {
namespace {

using test::TAlsaFileDevice;
using test::TRecordingCheck;
using test::TScopedEnv;
using test::TToneIn;
using namespace std::chrono_literals;

struct TWavFile {
    uint16_t Tag = 0, Channels = 0, BlockAlign = 0, Bits = 0;
    uint32_t Rate = 0, ChannelMask = 0;
    std::vector<uint8_t> Data;
};

uint32_t Le(const std::vector<uint8_t>& B, size_t At, int Bytes) {
    uint32_t v = 0;
    for (int i = Bytes - 1; i >= 0; --i)
        v = v << 8 | B.at(At + i);
    return v;
}

std::vector<uint8_t> ReadAll(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TWavFile ReadWav(const std::string& Path) {
    std::vector<uint8_t> b = ReadAll(Path);
    TWavFile w;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        uint32_t size = Le(b, at + 4, 4);
        if (std::equal(b.begin() + at, b.begin() + at + 4, "fmt ")) {
            w.Tag = Le(b, at + 8, 2);
            w.Channels = Le(b, at + 10, 2);
            w.Rate = Le(b, at + 12, 4);
            w.BlockAlign = Le(b, at + 20, 2);
            w.Bits = Le(b, at + 22, 2);
            if (w.Tag == WAVE_FORMAT_EXTENSIBLE) w.ChannelMask = Le(b, at + 28, 4);
        } else if (std::equal(b.begin() + at, b.begin() + at + 4, "data")) {
            w.Data.assign(b.begin() + at + 8, b.begin() + at + 8 + std::min<size_t>(size, b.size() - at - 8));
        }
        at += 8 + size;
    }
    return w;
}

// The recording is the signal, then only the silence value.
void ExpectSignalThenSilence(const std::vector<uint8_t>& Recorded, const std::vector<uint8_t>& Signal,
                             uint8_t Silence) {
    ASSERT_GE(Recorded.size(), Signal.size());
    size_t mismatch = std::mismatch(Signal.begin(), Signal.end(), Recorded.begin()).first - Signal.begin();
    EXPECT_EQ(mismatch, Signal.size()) << "the recording differs from the signal at byte " << mismatch;
    auto tail = std::find_if(Recorded.begin() + Signal.size(), Recorded.end(),
                             [&](uint8_t b) { return b != Silence; });
    EXPECT_TRUE(tail == Recorded.end()) << "sound after the signal at byte " << (tail - Recorded.begin());
}

// The devices that record what plays.
enum class TRecorder { WaveFile, AlsaFile };

std::string RecorderName(TRecorder Recorder) {
    return Recorder == TRecorder::WaveFile ? "WaveFile" : "AlsaFile";
}

class TDXAudioOutTest : public ::testing::Test {
protected:
    void TearDown() override {
        Out.reset();
        Alsa.reset();
        std::remove(WavPath.c_str());
    }

    // Creates the output on the wave-file device (or on no switch at all).
    void MakeOutput(bool WaveFile = true) {
        Switch.emplace("TARVIO_AUDIO_DEVICE", WaveFile ? ("wav:" + WavPath).c_str() : nullptr);
        Out = std::make_unique<TDXAudioOut>();
        Out->SetOnDone([this](TComponent*) { ++Done; });
        Out->SetOnThreadException([this](TComponent*) { ++Errors; });
    }
    void MakeOutputOn(TRecorder Recorder) {
        if (Recorder == TRecorder::AlsaFile) Alsa.emplace(::testing::TempDir());
        MakeOutput(Recorder == TRecorder::WaveFile);
    }
    // The PCM the device has recorded so far.
    std::vector<uint8_t> Recorded() const {
        if (!Alsa) return ReadWav(WavPath).Data;
        std::string raw = Alsa->Recorded();
        return {raw.begin(), raw.end()};
    }
    void Play(TAuInput& In) {
        Out->SetInput(&In);
        Done = 0;
        Out->Run();
    }
    // Pumps the GUI queue until Done or the time is up.
    bool WaitUntil(const std::function<bool()>& Condition, std::chrono::milliseconds Limit = 20s) {
        auto end = std::chrono::steady_clock::now() + Limit;
        while (!Condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            CheckSynchronize();
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    bool WaitDone() {
        return WaitUntil([this] { return Done > 0; });
    }
    void PumpFor(std::chrono::milliseconds Time) {
        auto end = std::chrono::steady_clock::now() + Time;
        WaitUntil([&] { return std::chrono::steady_clock::now() >= end; });
    }

    static std::string TempWav() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        return ::testing::TempDir() + "tarvio-dxaudioout-" + std::to_string(getpid()) + "-" + name + ".wav";
    }

    std::string WavPath = TempWav();
    std::optional<TAlsaFileDevice> Alsa;
    std::optional<TScopedEnv> Switch;
    std::unique_ptr<TDXAudioOut> Out;
    std::atomic<int> Done{0}, Errors{0};
};

// The worker asks for real-time scheduling as the output is made; where the request is
// granted directly it is in force (elsewhere the report says why not).
TEST_F(TDXAudioOutTest, WorkerAsksForRealtimeScheduling) {
    TDXAudioOut out;
    // The worker may still be starting: it asks as it starts, or the constructor asks.
    for (int i = 0; i < 2000 && (out.WorkerThread()->Tid() == 0 || TRealtimeScheduling::Report().empty());
         ++i)
        std::this_thread::sleep_for(1ms);
    const int tid = out.WorkerThread()->Tid();
    ASSERT_NE(tid, 0);
    const std::string report = TRealtimeScheduling::Report();
    ASSERT_FALSE(report.empty()) << "no request was made";
    if (report.find("directly") != std::string::npos)
        for (int i = 0; i < 2000 && (sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK) != SCHED_RR; ++i)
            std::this_thread::sleep_for(1ms);
    if (report.find("directly") == std::string::npos) GTEST_SKIP() << report;
    sched_param param{};
    EXPECT_EQ(sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK, SCHED_RR);
    ASSERT_EQ(sched_getparam(tid, &param), 0);
    EXPECT_EQ(param.sched_priority, TDXAudioOut::WorkerRealtimePriority);
}

TEST_F(TDXAudioOutTest, ConstructorDefaults) {
    MakeOutput();
    EXPECT_EQ(Out->DeviceCount(), 1);
    EXPECT_EQ(Out->DeviceNumber(), 0);
    EXPECT_EQ(Out->Latency(), 100u);
    EXPECT_EQ(Out->FramesInBuffer(), 24576u);
    EXPECT_EQ(Out->PollingInterval(), 100u);
    EXPECT_EQ(Out->SpeedFactor(), 1.0f);
    EXPECT_TRUE(Out->PrefetchData());
    EXPECT_EQ(Out->Volume(), 0);
    EXPECT_EQ(Out->ThreadPriority(), TThreadPriority::tpHighest);
}

struct TToneCase {
    const char* Name;
    uint32_t Channels, Bits;
    bool Prefetch;
    uint32_t Latency;
    uint32_t Frames;
    uint8_t Silence;
};

class ToneTest : public TDXAudioOutTest,
                 public ::testing::WithParamInterface<std::tuple<TRecorder, TToneCase>> {};

// A 400 ms ring gives the worker a wide margin on a loaded machine; the signal is longer
// than the ring, or (last case) ends inside the first fill.
TEST_P(ToneTest, ComesOutSampleForSampleFollowedOnlyBySilence) {
    const TToneCase& c = std::get<1>(GetParam());
    MakeOutputOn(std::get<0>(GetParam()));
    Out->SetPrefetchData(c.Prefetch);
    Out->SetLatency(c.Latency);
    TToneIn tone(c.Channels, c.Bits, 44100, c.Frames);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "");
    EXPECT_EQ(Errors, 0);
    EXPECT_EQ(tone.Flushes, 1);
    if (!Alsa) {
        TWavFile wav = ReadWav(WavPath);
        EXPECT_EQ(wav.Channels, c.Channels);
        EXPECT_EQ(wav.Bits, c.Bits);
        EXPECT_EQ(wav.Rate, 44100u);
    }
    ExpectSignalThenSilence(Recorded(), tone.Data(), c.Silence);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ToneTest,
    ::testing::Combine(::testing::Values(TRecorder::WaveFile, TRecorder::AlsaFile),
                       ::testing::Values(TToneCase{"Stereo16Copied", 2, 16, false, 400, 30000, 0},
                                         TToneCase{"Stereo16Prefetched", 2, 16, true, 400, 30000, 0},
                                         TToneCase{"Mono8PaddedWith128", 1, 8, false, 400, 30000, 128},
                                         TToneCase{"EndsInsideTheFirstFill", 2, 16, true, 400, 4000, 0},
                                         TToneCase{"ShortRing", 2, 16, true, 100, 12000, 0})),
    [](const auto& Info) {
        return RecorderName(std::get<0>(Info.param)) + "_" + std::get<1>(Info.param).Name;
    });

class LatencyTest : public TDXAudioOutTest,
                    public ::testing::WithParamInterface<std::tuple<TRecorder, uint32_t>> {};

// Every latency the output accepts (from 10 ms) plays a second of sound without an
// underrun, to its last frame, however short the ring it asks for. An underrun is a missed
// deadline, which on a machine loaded by other tests (and sanitizers) can be the
// scheduler's doing rather than the output's: each ring gets three tries, one of which must
// play clean. An output that underruns by itself fails all three.
TEST_P(LatencyTest, PlaysEveryFrameWithoutAnUnderrun) {
    uint32_t underruns = 0;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        Out.reset();
        Alsa.reset();
        MakeOutputOn(std::get<0>(GetParam()));
        Out->SetLatency(std::get<1>(GetParam()));
        TToneIn tone(2, 16, 44100, 44100);
        Play(tone);
        ASSERT_TRUE(WaitDone());
        EXPECT_EQ(Out->ExceptionMessage(), "");
        underruns = Out->Underruns();
        if (underruns != 0) continue; // the gap is heard as silence: no recording to compare
        ExpectSignalThenSilence(Recorded(), tone.Data(), 0);
        break;
    }
    EXPECT_EQ(underruns, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rings, LatencyTest,
                         ::testing::Combine(::testing::Values(TRecorder::WaveFile, TRecorder::AlsaFile),
                                            ::testing::Values(10u, 20u, 50u, 100u, 300u)),
                         [](const auto& Info) {
                             return RecorderName(std::get<0>(Info.param)) + "_" +
                                    std::to_string(std::get<1>(Info.param)) + "ms";
                         });

TEST_F(TDXAudioOutTest, RingIsSizedFromLatencyAndTheDeclaredRate) {
    MakeOutput();
    Out->SetSpeedFactor(1.25f);
    Out->SetLatency(5);
    TToneIn tone(2, 16, 44100, 2000);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "");
    EXPECT_EQ(ReadWav(WavPath).Rate, 55125u);
    EXPECT_EQ(Out->Latency(), 10u);
    EXPECT_EQ(Out->FramesInBuffer(), 551u); // 10 ms of 55125 Hz
    EXPECT_EQ(Out->PollingInterval(), 3u);

    // Latency 0 keeps the ring and the interval as they are set.
    Out->SetLatency(0);
    Out->SetFramesInBuffer(3000);
    Out->SetPollingInterval(20);
    Out->SetSpeedFactor(1.0f);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->FramesInBuffer(), 3000u);
    EXPECT_EQ(Out->PollingInterval(), 20u);
    EXPECT_EQ(ReadWav(WavPath).Rate, 44100u);
}

struct TFormatCase {
    uint32_t Channels, Bits;
    uint16_t Tag;
    uint32_t Mask;
};

class DeclaredFormatTest : public TDXAudioOutTest, public ::testing::WithParamInterface<TFormatCase> {};

TEST_P(DeclaredFormatTest, ExtensibleWhereNeeded) {
    const TFormatCase& c = GetParam();
    MakeOutput();
    TToneIn tone(c.Channels, c.Bits, 44100, 2000);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "");
    TWavFile wav = ReadWav(WavPath);
    EXPECT_EQ(wav.Tag, c.Tag);
    EXPECT_EQ(wav.ChannelMask, c.Mask);
    EXPECT_EQ(wav.Channels, c.Channels);
    EXPECT_EQ(wav.BlockAlign, c.Channels * c.Bits / 8);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DeclaredFormatTest,
                         ::testing::Values(TFormatCase{2, 16, WAVE_FORMAT_PCM, 0},
                                           TFormatCase{1, 8, WAVE_FORMAT_PCM, 0},
                                           TFormatCase{5, 16, WAVE_FORMAT_EXTENSIBLE, 0x37},
                                           TFormatCase{1, 24, WAVE_FORMAT_EXTENSIBLE, 0x4},
                                           TFormatCase{2, 24, WAVE_FORMAT_EXTENSIBLE, 3},
                                           TFormatCase{2, 32, WAVE_FORMAT_EXTENSIBLE, 3},
                                           TFormatCase{6, 16, WAVE_FORMAT_EXTENSIBLE, 0x3F},
                                           TFormatCase{7, 16, WAVE_FORMAT_EXTENSIBLE, 0x70F},
                                           TFormatCase{8, 32, WAVE_FORMAT_EXTENSIBLE, 0x63F}));

class OnDeviceTest : public TDXAudioOutTest, public ::testing::WithParamInterface<TRecorder> {};

// The input stalls for five laps of the ring: the device plays silence meanwhile, never
// sound from an earlier lap, and then every frame from where it stopped, once each.
TEST_P(OnDeviceTest, StalledInputCausesUnderrunsReportedOnTheGuiThread) {
    MakeOutputOn(GetParam());
    std::atomic<int> underruns{0};
    bool onGui = true;
    Out->SetOnUnderrun([&](TComponent* Sender) {
        EXPECT_EQ(Sender, Out.get());
        onGui = onGui && TMainThreadQueue::Instance().IsMainThread();
        ++underruns;
    });
    TToneIn tone(2, 16, 44100, 44100);
    tone.StallAt = 4 * 17640; // after 0.4 s
    tone.StallMs = 500;       // five laps of the 100 ms ring
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "");
    EXPECT_GE(Out->Underruns(), 1u);
    EXPECT_GE(underruns, 1);
    EXPECT_TRUE(onGui);
    const std::vector<uint8_t> played = Recorded();
    const TRecordingCheck check({played.begin(), played.end()}, {tone.Data().begin(), tone.Data().end()}, 4);
    EXPECT_TRUE(check.Ok) << check.Why;
    EXPECT_FALSE(check.Gaps.empty()) << "the stall is heard as silence";
}

TEST_F(TDXAudioOutTest, InvalidDeviceNumberEndsTheRun) {
    MakeOutput();
    TToneIn tone(2, 16, 44100, 1000);
    for (int32_t device : {1, -1}) {
        Out->SetDeviceNumber(device);
        Errors = 0;
        Play(tone);
        ASSERT_TRUE(WaitDone());
        EXPECT_EQ(Out->ExceptionMessage(), "Invalid device number");
        EXPECT_EQ(Errors, 1);
        EXPECT_EQ(Out->Status(), tosIdle);
    }
}

TEST_F(TDXAudioOutTest, DefaultDeviceWithoutASoundCardFailsTheRun) {
    if (std::ifstream("/proc/asound/cards").good()) GTEST_SKIP() << "this machine has a sound card";
    MakeOutput(false);
    ASSERT_GE(Out->DeviceCount(), 2); // ALSA's default device and the null device
    TToneIn tone(2, 16, 44100, 1000);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "Failed to create DirectSound device");
    EXPECT_EQ(tone.Flushes, 1);

    // The null device, always last, plays.
    Out->SetDeviceNumber(Out->DeviceCount() - 1);
    Play(tone);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->ExceptionMessage(), "");
}

TEST_P(OnDeviceTest, PauseAndResumeKeepEverySample) {
    MakeOutputOn(GetParam());
    Out->SetLatency(400);
    TToneIn tone(2, 16, 44100, 44100);
    Play(tone);
    PumpFor(300ms);
    Out->Pause();
    EXPECT_EQ(Out->Status(), tosPaused);
    EXPECT_EQ(tone.Pauses, 1);
    // Halted: nothing more reaches the device.
    PumpFor(50ms);
    size_t before = Recorded().size();
    PumpFor(300ms);
    EXPECT_EQ(Recorded().size(), before);
    Out->Resume();
    EXPECT_EQ(tone.Resumes, 1);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Out->Underruns(), 0u);
    ExpectSignalThenSilence(Recorded(), tone.Data(), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, OnDeviceTest, ::testing::Values(TRecorder::WaveFile, TRecorder::AlsaFile),
                         [](const auto& Info) { return RecorderName(Info.param); });

TEST_F(TDXAudioOutTest, JumpMovesTheInput) {
    MakeOutput();
    TToneIn tone(2, 16, 44100, 2 * 44100);
    Play(tone);
    PumpFor(200ms);
    Out->Jump(500);
    EXPECT_EQ(tone.Jumps, 1);
    EXPECT_EQ(tone.LastJump, 500);
    EXPECT_EQ(Out->Status(), tosPlaying);
    ASSERT_TRUE(WaitDone());
    // Half of the signal was skipped.
    EXPECT_LT(tone.Delivered, static_cast<int64_t>(tone.Data().size()) * 3 / 4);
}

TEST_F(TDXAudioOutTest, VolumeIsAppliedFromTheStartAndReadBackFromTheRing) {
    MakeOutput();
    Out->SetLatency(400);
    Out->SetVolume(-2000);       // a tenth of the amplitude
    EXPECT_EQ(Out->Volume(), 0); // no ring yet: reads 0 and stores it
    Out->SetVolume(-2000);
    TToneIn tone(1, 16, 44100, 20000);
    std::atomic<int32_t> during{1};
    Play(tone);
    PumpFor(100ms);
    during = Out->Volume();
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(during, -2000);
    std::vector<uint8_t> expected(tone.Data().size());
    for (size_t i = 0; i + 1 < expected.size(); i += 2) {
        auto s = static_cast<int16_t>(tone.Data()[i] | tone.Data()[i + 1] << 8);
        auto v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * std::pow(10.0, -2000 / 2000.0))));
        expected[i] = static_cast<uint8_t>(v);
        expected[i + 1] = static_cast<uint8_t>(v >> 8);
    }
    ExpectSignalThenSilence(ReadWav(WavPath).Data, expected, 0);
}

struct RecordingRunsCase {
    const char* Name;
    uint16_t SecondChannels; // the second run's format
    bool RemovedBetweenRuns; // the file was deleted after the first run
    bool SecondContinuesFirst;
};

class WaveFileRecording : public ::testing::TestWithParam<RecordingRunsCase> {};

WAVEFORMATEX Pcm16(uint16_t Channels) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = Channels;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<uint16_t>(2 * Channels);
    f.nAvgBytesPerSec = 44100 * f.nBlockAlign;
    return f;
}

// One sink's run: Frames frames of bytes counting up from First.
void RecordRun(const std::string& Path, uint16_t Channels, uint32_t Frames, uint8_t First) {
    TWaveFileSink sink(Path);
    ASSERT_EQ(sink.Open(Pcm16(Channels), 4096), DS_OK);
    std::vector<uint8_t> data(Frames * 2u * Channels);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(First + i);
    ASSERT_TRUE(sink.Write(data.data(), Frames));
}

// One file records a whole run of the program: a second run in the same format follows
// the first in the same file; another format, or a file removed meanwhile, starts anew.
// Between runs the file is a whole WAVE file.
TEST_P(WaveFileRecording, LaterRunsOfTheSameFormatAppend) {
    const RecordingRunsCase c = GetParam();
    const std::string path =
        ::testing::TempDir() + "tarvio-recording-" + std::to_string(getpid()) + "-" + c.Name + ".wav";
    RecordRun(path, 2, 1000, 0);
    EXPECT_EQ(ReadWav(path).Data.size(), 4000u);
    if (c.RemovedBetweenRuns) std::remove(path.c_str());
    RecordRun(path, c.SecondChannels, 500, 7);
    const TWavFile wav = ReadWav(path);
    const size_t second = 500u * 2 * c.SecondChannels;
    ASSERT_EQ(wav.Data.size(), (c.SecondContinuesFirst ? 4000u : 0u) + second);
    EXPECT_EQ(wav.Channels, c.SecondChannels);
    if (c.SecondContinuesFirst) {
        EXPECT_EQ(wav.Data[3999], static_cast<uint8_t>(3999));
    }
    EXPECT_EQ(wav.Data[wav.Data.size() - second], 7);
    EXPECT_EQ(ReadAll(path).size(), 44 + wav.Data.size()) << "the header's sizes match the file";
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Runs, WaveFileRecording,
                         ::testing::Values(RecordingRunsCase{"SameFormat", 2, false, true},
                                           RecordingRunsCase{"OtherFormat", 1, false, false},
                                           RecordingRunsCase{"FileRemoved", 2, true, false}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace tarvio
