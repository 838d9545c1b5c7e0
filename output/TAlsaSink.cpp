#include "output/TAlsaSink.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "output/TAlsaChannelMap.h"

namespace tarvio {

namespace {

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

struct HwParamsDeleter {
    void operator()(snd_pcm_hw_params_t* P) const { snd_pcm_hw_params_free(P); }
};
struct SwParamsDeleter {
    void operator()(snd_pcm_sw_params_t* P) const { snd_pcm_sw_params_free(P); }
};
struct ChmapDeleter {
    void operator()(snd_pcm_chmap_t* M) const { std::free(M); }
};

// Device waits longer than this in one Write mean the device has stopped taking data.
constexpr int WaitMs = 500;
constexpr int MaxIdleWaits = 4;

} // namespace

void TAlsaSink::PcmCloser::operator()(snd_pcm_t* Pcm) const {
    snd_pcm_close(Pcm);
}

void TAlsaSink::QuietErrors() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(IgnoreAlsaError); });
}

HRESULT TAlsaSink::Create(const std::string& Name, std::unique_ptr<TAlsaSink>& Out) {
    QuietErrors();
    snd_pcm_t* raw = nullptr;
    int err = snd_pcm_open(&raw, Name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) return err == -EBUSY ? DSERR_ALLOCATED : DSERR_NODRIVER;
    Out.reset(new TAlsaSink(raw));
    // Opened without waiting; written to with blocking writes, which pace the device thread.
    snd_pcm_nonblock(raw, 0);
    return DS_OK;
}

HRESULT TAlsaSink::Open(const WAVEFORMATEX& Format, uint32_t RingFrames) {
    snd_pcm_format_t fmt;
    switch (Format.wBitsPerSample) {
    case 8:
        fmt = SND_PCM_FORMAT_U8;
        break;
    case 16:
        fmt = SND_PCM_FORMAT_S16_LE;
        break;
    case 24:
        fmt = SND_PCM_FORMAT_S24_3LE;
        break;
    case 32:
        fmt = SND_PCM_FORMAT_S32_LE;
        break;
    default:
        return DSERR_BADFORMAT;
    }
    snd_pcm_t* pcm = FPcm.get();
    snd_pcm_hw_params_t* rawHw = nullptr;
    if (snd_pcm_hw_params_malloc(&rawHw) < 0) return DSERR_OUTOFMEMORY;
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsDeleter> hw(rawHw);
    unsigned rate = Format.nSamplesPerSec;
    // A period of at most 10 ms and at most a quarter of the ring; four of them.
    unsigned periodUs = static_cast<unsigned>(
        std::min<uint64_t>(10000, std::max<uint64_t>(1000, uint64_t(RingFrames) * 250000 / rate)));
    unsigned bufferUs = periodUs * 4;
    int dir = 0;
    if (snd_pcm_hw_params_any(pcm, hw.get()) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw.get(), fmt) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw.get(), Format.nChannels) < 0 ||
        snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 1) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw.get(), rate, 0) < 0 ||
        snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodUs, &dir) < 0 ||
        snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferUs, &dir) < 0 ||
        snd_pcm_hw_params(pcm, hw.get()) < 0)
        return DSERR_BADFORMAT;
    snd_pcm_uframes_t period = 0;
    if (snd_pcm_hw_params_get_period_size(hw.get(), &period, &dir) < 0 || period == 0) return DSERR_BADFORMAT;

    snd_pcm_sw_params_t* rawSw = nullptr;
    if (snd_pcm_sw_params_malloc(&rawSw) < 0) return DSERR_OUTOFMEMORY;
    std::unique_ptr<snd_pcm_sw_params_t, SwParamsDeleter> sw(rawSw);
    // Start as soon as one period is queued rather than when the device buffer is full.
    if (snd_pcm_sw_params_current(pcm, sw.get()) < 0 ||
        snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), period) < 0 ||
        snd_pcm_sw_params_set_avail_min(pcm, sw.get(), period) < 0 || snd_pcm_sw_params(pcm, sw.get()) < 0)
        return DSERR_BADFORMAT;
    FPeriodFrames = static_cast<uint32_t>(period);
    FBlockAlign = Format.nBlockAlign;

    const uint32_t channels = Format.nChannels;
    FChannels = channels;
    FReorder = false;
    if (channels >= 3 && channels <= 8) {
        const uint32_t mask = Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                                  ? reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(Format).dwChannelMask
                                  : 0;
        std::unique_ptr<snd_pcm_chmap_t, ChmapDeleter> map(snd_pcm_get_chmap(pcm));
        const unsigned* device = map && map->channels == channels ? map->pos : nullptr;
        FReorder = TAlsaChannelMap::Make(mask, channels, device, FSlot);
        if (FReorder) FReordered.assign(size_t{FPeriodFrames} * FBlockAlign, 0);
    }
    return DS_OK;
}

bool TAlsaSink::Write(const uint8_t* Data, uint32_t Frames) {
    if (!FReorder) return WriteFrames(Data, Frames);
    while (Frames > 0) {
        const uint32_t n = std::min(Frames, FPeriodFrames);
        TAlsaChannelMap::Apply(Data, FReordered.data(), n, FChannels, FBlockAlign / FChannels, FSlot);
        if (!WriteFrames(FReordered.data(), n)) return false;
        Data += size_t{n} * FBlockAlign;
        Frames -= n;
    }
    return true;
}

bool TAlsaSink::WriteFrames(const uint8_t* Data, uint32_t Frames) {
    snd_pcm_t* pcm = FPcm.get();
    int idle = 0;
    while (Frames > 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(pcm, Data, Frames);
        if (n == -EAGAIN) {
            int ready = snd_pcm_wait(pcm, WaitMs);
            if (ready == 0 && ++idle >= MaxIdleWaits) return false;
            if (ready < 0 && snd_pcm_recover(pcm, ready, 1) < 0) return false;
            continue;
        }
        if (n < 0) {
            // Underrun after a stop, or a suspend: prepare again and go on.
            if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) return false;
            continue;
        }
        idle = 0;
        Data += static_cast<size_t>(n) * FBlockAlign;
        Frames -= static_cast<uint32_t>(n);
    }
    return true;
}

} // namespace tarvio
