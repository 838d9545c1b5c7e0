#include "stages/TSpectrumIndicator.h"

#include <algorithm>
#include <cmath>

#include "pipeline/TEventHandler.h"

namespace tarvio {

TSpectrumIndicator::TSpectrumIndicator(TComponent* AOwner) : TAuConverter(AOwner) {
    for (auto& level : FLevels)
        level = 0.0f;
}

TSpectrumIndicator::~TSpectrumIndicator() {
    // Queued events name this indicator as Sender: stop the dispatcher from posting new
    // ones, drop those queued and let a running one finish.
    FGainSlot.Close();
    ClearPendingEvents(this);
    if (TEventHandler* h = EventHandler()) h->WaitWhileDelivering(this);
}

TIndicatorEvent TSpectrumIndicator::OnGainData() const {
    return FGainSlot.Handler();
}

void TSpectrumIndicator::SetOnGainData(TIndicatorEvent Value) {
    FGainSlot.SetHandler(std::move(Value));
}

float TSpectrumIndicator::GetLevel(uint32_t Index) const {
    return Index < FLevels.size() ? FLevels[Index].load(std::memory_order_relaxed) : 0.0f;
}

void TSpectrumIndicator::InitInternal() {
    // The position restarts before the run shows as busy: a reader that sees it busy
    // never reads the last run's count.
    FPosition = 0;
    Busy = true;
    TAuInput* in = FInput;
    if (in) in->Init();
    FSampleSize = static_cast<uint16_t>(in ? in->BitsPerSample() / 8 : 0);
    FChannels = in ? in->Channels() : 0;
    FRate = in ? in->SampleRate() : 0;
    FCount = 0;
    for (auto& level : FLevels)
        level = 0.0f;
    // Sums and time left over from an earlier run would be divided by this run's block
    // count at the first update: start both afresh.
    FShadowLevels.fill(0.0f);
    FElapsed = 0;
    FSize = in ? in->Size() : 0;
    FPosition = 0;
}

void TSpectrumIndicator::FlushInternal() {
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TSpectrumIndicator::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    TAuInput* in = FInput;
    if (!in) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    FPosition = in->Position();
    if (FSampleSize && Bytes > FSampleSize * MaxSamples) Bytes = FSampleSize * MaxSamples;
    in->GetData(Buffer, Bytes);
    if (!Buffer || Bytes == 0) return;
    Analyse(Buffer, Bytes);
}

void TSpectrumIndicator::Analyse(const uint8_t* Data, uint32_t Bytes) {
    const uint32_t channels = FChannels;
    const uint32_t rate = FRate;
    if (FSampleSize == 0 || FSampleSize > 4 || channels == 0 || rate == 0) return;

    // The contract caps Bytes at the request; the cap here keeps the work arrays safe anyway.
    uint32_t n = std::min<uint32_t>(Bytes / FSampleSize, MaxSamples);
    switch (FSampleSize) {
    case 1:
        U8ToFloat(Data, FSamples.data(), n);
        break;
    case 2:
        S16ToFloat(Data, FSamples.data(), n);
        break;
    case 3:
        S24ToFloat(Data, FSamples.data(), n);
        break;
    case 4:
        S32ToFloat(Data, FSamples.data(), n);
        break;
    }

    uint32_t m = n / channels;
    const float scale = 1.0f / static_cast<float>(channels);
    for (uint32_t i = 0; i < m; ++i) {
        float sum = 0.0f;
        for (uint32_t c = 0; c < channels; ++c)
            sum += FSamples[i * channels + c];
        FMono[i] = sum * scale;
    }

    if (m > 0) {
        FFiltered[0] = FMono[0];
        for (uint32_t i = 1; i < m; ++i)
            FFiltered[i] = 0.9f * (FFiltered[i - 1] + FMono[i] - FMono[i - 1]);
    }

    for (uint32_t b = 0; b < m / 16; ++b) {
        for (uint32_t j = 0; j < 16; ++j)
            FBlock[j] = {FFiltered[16 * b + j], 0.0f};
        ComplexFFT(FBlock.data(), 16, 1);
        ++FCount;
        for (uint32_t k = 0; k < 8; ++k)
            FShadowLevels[k] += std::sqrt(FBlock[k].Re * FBlock[k].Re + FBlock[k].Im * FBlock[k].Im);
    }

    // nearbyint rounds half to even in the default rounding mode.
    FElapsed += static_cast<uint32_t>(std::nearbyint(static_cast<double>(m) / rate * 100000.0));
    if (FElapsed < FInterval * 100u) return;
    UpdateLevels();
}

void TSpectrumIndicator::UpdateLevels() {
    FElapsed = 0;
    if (FCount != 0) {
        const double pi = 3.14159265359;
        for (uint32_t k = 0; k < 8; ++k) {
            double mean = 0.125 * FShadowLevels[k] / FCount;
            FLevels[k] =
                static_cast<float>((std::log10(std::sin((k + 0.5) * pi / 16) * mean + 0.0001) + 3) * 40);
            FShadowLevels[k] = 0.0f;
        }
    }
    FCount = 0;
    // The handler reads the newest levels: an update whose event still waits in the queue
    // needs no event of its own, so the GUI thread takes one set per turn, not a burst.
    FGainSlot.Post();
}

} // namespace tarvio
