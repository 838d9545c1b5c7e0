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
    uint64_t bytes = uint64_t(BPS / 8) * FFramesInBuffer * Chan;
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
            std::lock_guard<std::mutex> lock(DSWCS);
            DSW_Write(DSW, p, got);
            EndOfSound = DSW.dsw_WriteOffset;
            written += got;
        }
        n = written;
    } else {
        bool eof = false;
        n = in->FillBuffer(Buf.get(), n, eof);
        std::lock_guard<std::mutex> lock(DSWCS);
        if (Succeeded(DSW_Write(DSW, Buf.get(), n))) EndOfSound = DSW.dsw_WriteOffset;
    }
    EndOfInput = n == 0;

    std::lock_guard<std::mutex> lock(DSWCS);
    if (EndOfInput) DSW_FillFree(DSW, FillByte); // silence follows the last sound

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

// The input has ended: let the sound still in the ring play out, topping up silence
// behind it, and stop once its last byte has played.
bool TDXAudioOut::Drain() {
    CanOutput = false;
    const uint64_t bytesPerSecond = uint64_t(BPS / 8) * Chan * SR;
    uint64_t waitMs = 0;
    {
        std::lock_guard<std::mutex> lock(DSWCS);
        uint32_t play = 0;
        if (DSW.dsw_OutputBuffer && bytesPerSecond != 0 &&
            Succeeded(DSW.dsw_OutputBuffer->GetCurrentPosition(&play, nullptr))) {
            uint64_t left = (uint64_t(EndOfSound) + DSW.dsw_OutputSize - play) % DSW.dsw_OutputSize;
            waitMs = (left * 1000 + bytesPerSecond - 1) / bytesPerSecond;
        }
    }
    for (uint64_t counted = 0; counted < waitMs;) {
        uint64_t step = std::min<uint64_t>(DrainSleepMs, waitMs - counted);
        SleepMs(static_cast<uint32_t>(step));
        std::lock_guard<std::mutex> lock(DSWCS);
        DSW_FillFree(DSW, FillByte);
        counted += step;
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
