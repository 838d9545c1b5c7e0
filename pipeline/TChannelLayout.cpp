#include "pipeline/TChannelLayout.h"

#include <cstddef>

namespace tarvio {

uint32_t TChannelLayout::WaveMask(uint32_t Channels) {
    static constexpr uint32_t masks[MaxChannels + 1] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    return Channels <= MaxChannels ? masks[Channels] : 0;
}

const char* TChannelLayout::Name(uint32_t Channels) {
    static constexpr const char* names[MaxChannels + 1] = {"",    "mono", "stereo", "3.0", "quad",
                                                           "5.0", "5.1",  "6.1",    "7.1"};
    return Channels <= MaxChannels ? names[Channels] : "";
}

void TChannelLayout::PlaneOrder(const uint32_t* Speakers, uint32_t Count, uint8_t* Position) {
    for (uint32_t i = 0; i < Count; ++i) {
        uint8_t rank = 0;
        for (uint32_t j = 0; j < Count; ++j)
            if (Speakers[j] < Speakers[i]) ++rank;
        Position[i] = rank;
    }
}

void TChannelLayout::Interleave256(const float* Planes, const uint8_t* Plane, const uint8_t* Position,
                                   uint32_t Count, uint32_t Frame, int16_t* Out) {
    for (uint32_t c = 0; c < Count; ++c) {
        const float* in = Planes + static_cast<size_t>(Plane[c]) * 256;
        int16_t* out = Out + Position[c];
        for (uint32_t j = 0; j < 256; ++j, out += Frame) {
            const float v = in[j] * 32767.0f;
            // Written so that NaN fails both comparisons.
            if (v >= 32767.0f)
                *out = 32767;
            else if (v > -32768.0f) {
                // floor without a library call: truncation, one less below zero.
                const auto t = static_cast<int32_t>(v);
                *out = static_cast<int16_t>(t - (static_cast<float>(t) > v ? 1 : 0));
            } else
                *out = v == v ? int16_t{-32768} : int16_t{0};
        }
    }
}

} // namespace tarvio
