#pragma once
// The sound output: a TAuOutput whose worker pulls PCM from its input and keeps the
// ring of a sound buffer topped up (see DSoundWrapper.h). The ring is sized from
// Latency; the worker sleeps PollingInterval between top-ups, reports underruns through
// OnUnderrun, fills the tail with silence when the input ends and lets the ring play
// out before it stops. SpeedFactor plays faster or slower by declaring a scaled sample
// rate to the device.
//
// Threads: StartOutput, OutputChunk and FinishOutput run on the worker. Pause, Resume,
// Jump, the properties and Volume are for the GUI thread; OnUnderrun and errors reach
// the GUI thread through the event dispatcher.

#include "output/DSW_Devices.h"
#include "output/DSoundWrapper.h"
#include "pipeline/TAuOutput.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarvio {

using TUnderrunEvent = TNotifyEvent;

class TDXAudioOut : public TAuOutput {
public:
    // The SCHED_RR priority the worker asks for (the audio cache's fill thread asks for
    // one less): modest, below the sound server's and the kernel's own threads.
    static constexpr int WorkerRealtimePriority = 10;
    // Lists the sound devices and raises the worker's priority as far as the system
    // allows: real-time scheduling where it is granted (TRealtimeScheduling).
    explicit TDXAudioOut(TComponent* AOwner = nullptr);
    ~TDXAudioOut() override;

    // The inherited pause, then the ring is halted (unless the run is draining).
    void Pause() override;
    // The ring continues (unless draining), then the inherited resume.
    void Resume() override;
    // Pause, silence what may be written, move the input by Offs thousandths of its
    // length, resume.
    void Jump(int32_t Offs);

    // Index into the device list, checked when a run starts.
    int32_t DeviceNumber() const { return FDeviceNumber; }
    void SetDeviceNumber(int32_t Value) { FDeviceNumber = Value; }
    // The shortest ring a run plays from, in milliseconds, whatever Latency and
    // FramesInBuffer ask for: shorter rings run dry while the worker waits for the
    // processor on a busy machine.
    static constexpr uint32_t MinRingMs = 100;

    // Ring length in milliseconds; 0 uses FramesInBuffer and PollingInterval as set.
    // Values below 10 become 10 when a run starts (the ring itself is at least
    // MinRingMs).
    uint32_t Latency() const { return FLatency; }
    void SetLatency(uint32_t Value) { FLatency = Value; }
    // Write straight from the input's buffer instead of copying into a staging buffer.
    bool PrefetchData() const { return FPrefetchData; }
    void SetPrefetchData(bool Value) { FPrefetchData = Value; }
    // Milliseconds slept before each free-space query; only the low 16 bits are used.
    uint32_t PollingInterval() const { return FPollingInterval; }
    void SetPollingInterval(uint32_t Value) { FPollingInterval = Value; }
    // Ring length in frames; a write while the output is busy is ignored.
    uint32_t FramesInBuffer() const { return FFramesInBuffer; }
    void SetFramesInBuffer(uint32_t Value);
    TUnderrunEvent OnUnderrun() const;
    void SetOnUnderrun(TUnderrunEvent Value);
    // Playback rate multiplier; the device is told the input's rate times this.
    float SpeedFactor() const { return FSpeedFactor; }
    void SetSpeedFactor(float Value) { FSpeedFactor = Value; }

    int32_t DeviceCount() const { return FDeviceCount; }
    // Underflows of the run, as last reported.
    uint32_t Underruns() const { return FUnderruns; }
    // Hundredths of a decibel of attenuation (0 = full volume). Reading asks the ring and
    // stores what it says (0 with no run in progress). Writing stores the value, which
    // every run applies at its start, and sets the ring's volume; it raises
    // std::runtime_error "Control not available" when the ring has no volume control.
    int32_t Volume();
    void SetVolume(int32_t Value);

protected:
    void StartOutput() override;
    bool OutputChunk(bool StopRequested) override;
    void FinishOutput() override;

private:
    bool Drain();
    void WriteSound(const uint8_t* Data, uint32_t Bytes);
    void PostUnderrun();

    bool Freed = true;
    std::atomic<uint32_t> FLatency{100};
    std::atomic<uint32_t> FFramesInBuffer{24576};
    std::atomic<uint32_t> FPollingInterval{100};
    DSoundWrapper DSW;
    DSW_Devices Devices{};
    uint32_t Chan = 0;
    uint32_t SR = 0;
    uint32_t BPS = 0;
    std::atomic<bool> EndOfInput{false};
    bool StartInput = false;
    std::unique_ptr<uint8_t[]> Buf; // _BufSize bytes; this run's staging buffer
    std::atomic<int32_t> FDeviceNumber{0};
    int32_t FDeviceCount = 0;
    int32_t _BufSize = 0;
    std::atomic<uint8_t> FillByte{0};
    std::atomic<uint32_t> FUnderruns{0};
    uint32_t _TmpUnderruns = 0;
    uint32_t EndOfSound = 0; // ring offset just past the last byte of sound written
    TUnderrunEvent FOnUnderrun;
    std::atomic<int32_t> FVolume{0};
    std::atomic<bool> FPrefetchData{true};
    std::atomic<float> FSpeedFactor{1.0f};

    // The wrapper has no lock of its own. The worker drives it, but the GUI thread
    // reaches it for the volume at any time and for pause, resume and jump; this lock
    // keeps the record whole between them. Never held across input calls or sleeps.
    std::mutex DSWCS;
    mutable std::mutex FEventLock; // FOnUnderrun
};

} // namespace tarvio
