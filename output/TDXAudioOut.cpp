#include "output/TDXAudioOut.h"

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "pipeline/TEventHandler.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

namespace tarvio {

namespace {

constexpr int MaxPollsPerStep = 16;
constexpr uint32_t DrainSleepMs = 100;

void SleepMs(uint32_t Ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// Rounds half to even, clamped to the 32-bit unsigned range (0 for NaN).
uint32_t RoundRate(double Value) {
    if (!(Value > 0)) return 0;
    double r = std::nearbyint(Value);
    return r >= 4294967295.0 ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(r);
}

std::string BufferError(HRESULT Code) {
    char text[64];
    std::snprintf(text, sizeof text, "Failed to create DirectSound buffer%08X", static_cast<uint32_t>(Code));
    return text;
}

} // namespace

TDXAudioOut::TDXAudioOut(TComponent* AOwner) : TAuOutput(AOwner) {
    DSW_EnumDevices(Devices);
    FDeviceCount = Devices.devcount;
    SetThreadPriority(TThreadPriority::tpHighest);
    // Real-time where the system grants it: a dropout is what a listener hears first.
    if (TAuThread* worker = WorkerThread()) worker->SetRealtimePriority(WorkerRealtimePriority);
}

TDXAudioOut::~TDXAudioOut() {
    ShutDown();
}

void TDXAudioOut::SetFramesInBuffer(uint32_t Value) {
    if (!IsBusy()) FFramesInBuffer = Value;
}

TUnderrunEvent TDXAudioOut::OnUnderrun() const {
    std::lock_guard<std::mutex> lock(FEventLock);
    return FOnUnderrun;
}

void TDXAudioOut::SetOnUnderrun(TUnderrunEvent Value) {
    std::lock_guard<std::mutex> lock(FEventLock);
    FOnUnderrun = std::move(Value);
}

int32_t TDXAudioOut::Volume() {
    int32_t value = 0;
    {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_GetVolume(DSW, value);
    }
    FVolume = value;
    return value;
}

void TDXAudioOut::SetVolume(int32_t Value) {
    FVolume = Value;
    std::lock_guard<std::mutex> lock(DSWCS);
    DSW_SetVolume(DSW, Value);
}

void TDXAudioOut::StartOutput() {
    Freed = false;
    const int32_t device = FDeviceNumber;
    if (device < 0 || device >= FDeviceCount) throw EAuException("Invalid device number");
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned");
    in->Init();
    Chan = in->Channels();
    SR = in->SampleRate();
    const float speed = FSpeedFactor;
    if (speed != 1.0f) SR = RoundRate(static_cast<double>(SR) * speed);
    BPS = in->BitsPerSample();

    uint32_t latency = FLatency;
    if (latency != 0) {
        if (latency < 10) {
            latency = 10;
            FLatency = latency;
        }
        FFramesInBuffer = latency * SR / 1000; // 32-bit product, as the property is sized
        FPollingInterval = latency / 3;
    }

    {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_Clear(DSW);
        if (Failed(DSW_CreateDevice(DSW, &Devices.dinfo[device].guid)))
            throw EAuException("Failed to create DirectSound device");
    }
    const HWND window = 0; // owners here are never windows: the wrapper takes the desktop

    // Sized in 64 bits: a ring the device cannot have is refused before anything is
    // allocated for it.
    const uint64_t frames = std::max<uint64_t>(FFramesInBuffer, uint64_t(SR) * MinRingMs / 1000);
    uint64_t bytes = uint64_t(BPS / 8) * frames * Chan;
    if (bytes > DSBSIZE_MAX) throw EAuException(BufferError(DSERR_INVALIDPARAM));
    _BufSize = static_cast<int32_t>(bytes);
    Buf = std::make_unique<uint8_t[]>(static_cast<size_t>(_BufSize));
    FillByte = BPS == 8 ? 128 : 0;

    WAVEFORMATEXTENSIBLE format{};
    if (Chan > 2 || BPS > 16) {
        // The pipeline's channel order is WAVE order; the mask says which speakers it holds.
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.cbSize = 22;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.dwChannelMask = TChannelLayout::WaveMask(Chan);
    } else {
        format.Format.wFormatTag = WAVE_FORMAT_PCM;
        format.Format.cbSize = 0;
    }
    format.Format.nChannels = static_cast<uint16_t>(Chan);
    format.Format.nSamplesPerSec = SR;
    format.Format.wBitsPerSample = static_cast<uint16_t>(BPS);
    format.Format.nBlockAlign = static_cast<uint16_t>(Chan * BPS / 8);
    format.Format.nAvgBytesPerSec = SR * format.Format.nBlockAlign;

    {
        std::lock_guard<std::mutex> lock(DSWCS);
        HRESULT hr = DSW_CreateBuffers(DSW, window, &format.Format, static_cast<uint32_t>(_BufSize));
        if (Failed(hr)) throw EAuException(BufferError(hr));
    }
    StartInput = true;
    EndOfInput = false;
    _TmpUnderruns = 0;
}

bool TDXAudioOut::OutputChunk(bool StopRequested) {
    if (!IsBusy()) return true;
    if (!CanOutput) return false;
    TAuInput* in = FInput;
    if (!in) return false;

    if (StartInput) {
        // The first block fills the whole ring before it starts playing.
        bool eof = false;
        uint32_t n = in->FillBuffer(Buf.get(), static_cast<uint32_t>(_BufSize), eof);
        EndOfInput = eof;
        // An input that ends inside the first block leaves the rest of the ring silent;
        // writing the whole ring keeps the writer where a full first block leaves it, so
        // the drain silences what has played before the ring comes round to it again.
        if (n < static_cast<uint32_t>(_BufSize)) std::memset(Buf.get() + n, FillByte, _BufSize - n);
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_Write(DSW, Buf.get(), static_cast<uint32_t>(_BufSize));
        EndOfSound = n % static_cast<uint32_t>(_BufSize);
        DSW_SetVolume(DSW, FVolume);
        DSW_Play(DSW);
        StartInput = false;
    }

    if (StopRequested) {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_Halt(DSW);
        CanOutput = false;
        return false;
    }

    if (EndOfInput) return Drain();

    int32_t free = 0;
    for (int polls = 1;; ++polls) {
        SleepMs(FPollingInterval & 0xFFFF);
        {
            std::lock_guard<std::mutex> lock(DSWCS);
            free = 0;
            DSW_FreeSpace(DSW, free);
            if (DSW.dsw_BytesPerFrame != 0) free -= free % static_cast<int32_t>(DSW.dsw_BytesPerFrame);
        }
        // The device has taken nothing for sixteen polls. Raising ends the run the way
        // the worker reports every error: ExceptionMessage, OnThreadException, OnDone.
        if (polls > MaxPollsPerStep) throw EAuException("Audio output error");
        if (free != 0) break;
    }

    uint32_t n = static_cast<uint32_t>(std::min(free, _BufSize));
    if (FPrefetchData) {
        // Straight from the input's buffer. An input hands out at most what it has at
        // hand, often far less than the free space, so it is asked until the space is
        // filled or it ends: one piece per step would let the ring run dry.
        uint32_t written = 0;
        while (written < n) {
            uint8_t* p = nullptr;
            uint32_t got = n - written;
            in->GetData(p, got);
            if (got == 0 || p == nullptr) break;
            WriteSound(p, got);
            written += got;
        }
        n = written;
    } else {
        bool eof = false;
        n = in->FillBuffer(Buf.get(), n, eof);
        if (n > 0) WriteSound(Buf.get(), n);
    }
    EndOfInput = n == 0;

    std::lock_guard<std::mutex> lock(DSWCS);
    if (EndOfInput) {
        DSW_FillFree(DSW, FillByte); // silence follows the last sound
        // Every sound written before this step has been checked as it went in: a ring
        // found dry since then has played the last sound to its end, not run short.
        _TmpUnderruns = DSW.dsw_OutputUnderflows;
    }

    if (DSW.dsw_OutputUnderflows != _TmpUnderruns) {
        FUnderruns = DSW.dsw_OutputUnderflows;
        _TmpUnderruns = DSW.dsw_OutputUnderflows;
        DSW_Halt(DSW);
        DSW_FillFree(DSW, FillByte);
        PostUnderrun();
        DSW_Continue(DSW);
    }
    return true;
}

// Reading the input may have taken long enough for the ring to run dry. The space is
// asked for right before the sound goes in, so that the wrapper sees that underflow and
// moves the writer first; seen only later, the time would pass for laps played unseen and
// the writer would go back over this sound.
void TDXAudioOut::WriteSound(const uint8_t* Data, uint32_t Bytes) {
    std::lock_guard<std::mutex> lock(DSWCS);
    int32_t free = 0;
    DSW_FreeSpace(DSW, free);
    if (Succeeded(DSW_Write(DSW, Data, Bytes))) EndOfSound = DSW.dsw_WriteOffset;
}

// The input has ended: let the sound still queued play out, topping up silence behind
// it, and stop once the play cursor has passed its last byte. On a sound card the play
// cursor is what the card has played, so the card's own queue plays out too.
bool TDXAudioOut::Drain() {
    CanOutput = false;
    const uint64_t bytesPerSecond = uint64_t(BPS / 8) * Chan * SR;
    uint32_t size = 0, last = 0;
    int64_t left = 0; // bytes of sound ahead of the play cursor
    {
        std::lock_guard<std::mutex> lock(DSWCS);
        size = DSW.dsw_OutputSize;
        if (DSW.dsw_OutputBuffer && bytesPerSecond != 0 && size != 0 &&
            Succeeded(DSW.dsw_OutputBuffer->GetCurrentPosition(&last, nullptr)))
            left = (int64_t(EndOfSound) + size - last) % size;
    }
    auto msOf = [&](uint64_t Bytes) -> uint64_t {
        return bytesPerSecond ? (Bytes * 1000 + bytesPerSecond - 1) / bytesPerSecond : 0;
    };
    // The cursor's movement is read modulo the ring: look at it at least twice a lap. A
    // device that stops taking data ends the wait after the ring's length and a second.
    const uint64_t lookMs = std::max<uint64_t>(1, std::min<uint64_t>(DrainSleepMs, msOf(size) / 2));
    for (uint64_t waited = 0, limit = msOf(uint64_t(left)) + msOf(size) + 1000; left > 0 && waited < limit;) {
        const uint64_t step = std::min(lookMs, msOf(uint64_t(left)));
        SleepMs(static_cast<uint32_t>(step));
        waited += step;
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_FillFree(DSW, FillByte);
        uint32_t play = 0;
        if (Failed(DSW.dsw_OutputBuffer->GetCurrentPosition(&play, nullptr))) break;
        left -= (int64_t(play) + size - last) % size;
        last = play;
    }
    std::lock_guard<std::mutex> lock(DSWCS);
    DSW_Halt(DSW);
    return false;
}

void TDXAudioOut::PostUnderrun() {
    TUnderrunEvent handler = OnUnderrun();
    if (!handler) return;
    if (TEventHandler* h = EventHandler()) h->PostGenericEvent(this, handler);
}

void TDXAudioOut::FinishOutput() {
    if (!Freed) {
        {
            std::lock_guard<std::mutex> lock(DSWCS);
            DSW_Release(DSW);
        }
        Buf.reset();
    }
    if (TAuInput* in = FInput) in->Flush();
    Freed = true;
}

void TDXAudioOut::Pause() {
    TAuOutput::Pause();
    if (!EndOfInput) {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_Halt(DSW);
    }
}

void TDXAudioOut::Resume() {
    if (!EndOfInput) {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_Continue(DSW);
    }
    TAuOutput::Resume();
}

void TDXAudioOut::Jump(int32_t Offs) {
    Pause();
    {
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_FillFree(DSW, FillByte);
    }
    if (TAuInput* in = FInput) in->_Jump(Offs);
    Resume();
}

} // namespace tarvio
