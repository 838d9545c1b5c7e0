#pragma once
// A sound card through ALSA. The device's buffer is kept small (a few periods of at most
// 10 ms), so that the latency is that of the ring the sink plays from. Multichannel frames
// arrive in the pipeline's WAVE order and are put into the device's channel order.

#include "output/TDSSink.h"

#include <memory>
#include <string>
#include <vector>

typedef struct _snd_pcm snd_pcm_t;

namespace tarvio {

class TAlsaSink : public TDSSink {
public:
    // Opens the PCM Name for playback without waiting for a busy device. DSERR_NODRIVER
    // when it does not exist, DSERR_ALLOCATED when it is busy.
    static HRESULT Create(const std::string& Name, std::unique_ptr<TAlsaSink>& Out);
    // Stops ALSA from printing its own error messages on standard error; idempotent.
    static void QuietErrors();

    bool DevicePaced() const override { return true; }
    bool ConsumesData() const override { return true; }
    // DSERR_BADFORMAT when the device takes neither the format nor a conversion of it.
    HRESULT Open(const WAVEFORMATEX& Format, uint32_t RingFrames) override;
    uint32_t PeriodFrames() const override { return FPeriodFrames; }
    bool Write(const uint8_t* Data, uint32_t Frames) override;

private:
    struct PcmCloser {
        void operator()(snd_pcm_t* Pcm) const;
    };

    explicit TAlsaSink(snd_pcm_t* Pcm) : FPcm(Pcm) {}

    bool WriteFrames(const uint8_t* Data, uint32_t Frames);

    std::unique_ptr<snd_pcm_t, PcmCloser> FPcm;
    uint32_t FPeriodFrames = 0;
    uint32_t FBlockAlign = 0;
    uint32_t FChannels = 0;
    // The device orders 3 to 8 channels otherwise than the pipeline: each frame is moved
    // through FReordered (a period long) with WAVE channel i going to device channel FSlot[i].
    bool FReorder = false;
    uint8_t FSlot[8] = {};
    std::vector<uint8_t> FReordered;
};

} // namespace tarvio
