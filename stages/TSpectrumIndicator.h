#pragma once
// A pass-through converter that measures eight band levels of the audio flowing through
// it and announces each new set through OnGainData. The data is handed on untouched (the
// consumer receives the input's own buffer).
//
// Analysis per request: channels averaged to mono, a first-order high-pass filter that
// restarts with every request, 16-point FFTs of consecutive 16-frame blocks; bin
// magnitudes are averaged over Interval milliseconds of audio and turned into levels
// L = 40 * (3 + log10(w_k * A_k + 0.0001)) with the tilt w_k = sin((k + 0.5) * pi / 16):
// -40 for silence, 2 per decibel, 120 for a full-scale sine in a band after the tilt.

#include <array>
#include <atomic>
#include <cstdint>

#include "pipeline/TAuConverter.h"
#include "pipeline/TEventSlot.h"
#include "stages/SignalProcessing.h"

namespace tarvio {

using TIndicatorEvent = TNotifyEvent;

class TSpectrumIndicator : public TAuConverter {
public:
    static constexpr uint32_t MaxSamples = 1536; // samples (not frames) analysed per request

    explicit TSpectrumIndicator(TComponent* AOwner = nullptr);
    ~TSpectrumIndicator() override;

    // Milliseconds of audio between level updates (default 100). Set while idle.
    uint32_t Interval() const { return FInterval; }
    void SetInterval(uint32_t Value) { FInterval = Value; }
    // Posted through the event dispatcher after a level update (runs on the GUI thread,
    // Sender = this indicator), unless the event of an earlier update still waits in the
    // queue: the handler reads the levels with GetLevel when it runs, so it sees the newest
    // set either way. Dropped when no dispatcher exists. The worker only marks a slot made
    // with the indicator (TEventSlot): it allocates nothing and never waits for the GUI.
    TIndicatorEvent OnGainData() const;
    void SetOnGainData(TIndicatorEvent Value);

    // Level of band Index (0 to 7) from the latest update; 0.0 for any other index. Any
    // thread; a band is read whole, but bands may come from two successive updates.
    float GetLevel(uint32_t Index) const;

protected:
    void InitInternal() override;
    void FlushInternal() override;
    // Worker thread. At most MaxSamples samples per request.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    void Analyse(const uint8_t* Data, uint32_t Bytes);
    void UpdateLevels();

    uint32_t FCount = 0; // 16-frame blocks analysed since the last update
    std::array<std::atomic<float>, 8> FLevels;
    std::array<float, 8> FShadowLevels{};
    std::atomic<uint32_t> FInterval{100};
    uint32_t FElapsed = 0;      // audio time since the last update, in 10-microsecond units
    TEventSlot FGainSlot{this}; // holds the OnGainData handler
    uint16_t FSampleSize = 0;   // bytes per single sample of the input (not per frame)
    // The input's format, taken with the sample size at Init: asking a decoder per request
    // may cost it more than the analysis (a FLAC input refreshes its tags on every ask).
    uint32_t FChannels = 0;
    uint32_t FRate = 0;

    // Work arrays of one request.
    std::array<float, MaxSamples> FSamples{};
    std::array<float, MaxSamples> FMono{};
    std::array<float, MaxSamples> FFiltered{};
    std::array<TComplex, 16> FBlock{};
};

} // namespace tarvio
