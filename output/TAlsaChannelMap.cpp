#include "output/TAlsaChannelMap.h"

#include <alsa/asoundlib.h>

#include <cstring>

#include "pipeline/TChannelLayout.h"

namespace tarvio {

namespace {

// The ALSA position of a WAVE speaker bit.
unsigned Position(uint32_t Speaker) {
    switch (Speaker) {
    case spFrontLeft:
        return SND_CHMAP_FL;
    case spFrontRight:
        return SND_CHMAP_FR;
    case spFrontCenter:
        return SND_CHMAP_FC;
    case spLowFrequency:
        return SND_CHMAP_LFE;
    case spBackLeft:
        return SND_CHMAP_RL;
    case spBackRight:
        return SND_CHMAP_RR;
    case spBackCenter:
        return SND_CHMAP_RC;
    case spSideLeft:
        return SND_CHMAP_SL;
    case spSideRight:
        return SND_CHMAP_SR;
    default:
        return SND_CHMAP_UNKNOWN;
    }
}

} // namespace

bool TAlsaChannelMap::Make(uint32_t Mask, uint32_t Channels, const unsigned* Device, uint8_t* Slot) {
    if (Channels == 0 || Channels > TChannelLayout::MaxChannels) return false;
    static constexpr unsigned defaults[] = {SND_CHMAP_FL, SND_CHMAP_FR,  SND_CHMAP_RL, SND_CHMAP_RR,
                                            SND_CHMAP_FC, SND_CHMAP_LFE, SND_CHMAP_SL, SND_CHMAP_SR};
    if (!Device) {
        if (Channels != 4 && Channels != 5 && Channels != 6 && Channels != 8) return false;
        Device = defaults;
    }
    if (Mask == 0) Mask = TChannelLayout::WaveMask(Channels);
    // The speakers of the WAVE channels, lowest bit first.
    unsigned wave[TChannelLayout::MaxChannels];
    uint32_t n = 0;
    for (uint32_t bit = 1; bit != 0 && n < Channels; bit <<= 1)
        if (Mask & bit) wave[n++] = Position(bit);
    while (n < Channels)
        wave[n++] = SND_CHMAP_UNKNOWN;
    bool used[TChannelLayout::MaxChannels] = {};
    bool placed[TChannelLayout::MaxChannels] = {};
    for (uint32_t i = 0; i < Channels; ++i)
        for (uint32_t j = 0; j < Channels && wave[i] != SND_CHMAP_UNKNOWN; ++j)
            if (!used[j] && Device[j] == wave[i]) {
                Slot[i] = static_cast<uint8_t>(j);
                used[j] = placed[i] = true;
                break;
            }
    for (uint32_t i = 0, j = 0; i < Channels; ++i) {
        if (placed[i]) continue;
        while (used[j])
            ++j;
        Slot[i] = static_cast<uint8_t>(j);
        used[j] = true;
    }
    for (uint32_t i = 0; i < Channels; ++i)
        if (Slot[i] != i) return true;
    return false;
}

void TAlsaChannelMap::Apply(const uint8_t* Src, uint8_t* Dst, uint32_t Frames, uint32_t Channels,
                            uint32_t Width, const uint8_t* Slot) {
    const size_t frame = size_t{Channels} * Width;
    for (uint32_t f = 0; f < Frames; ++f, Src += frame, Dst += frame)
        for (uint32_t c = 0; c < Channels; ++c)
            std::memcpy(Dst + size_t{Slot[c]} * Width, Src + size_t{c} * Width, Width);
}

} // namespace tarvio
