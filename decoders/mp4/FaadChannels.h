#pragma once
// The WAVE speaker bit of a faad2 channel position; sorting a frame's channels by these
// bits puts them in the WAVE order. Unknown positions sort after all others.

#include <neaacdec.h>

#include <cstdint>

namespace tarvio {

inline uint32_t FaadSpeakerBit(unsigned char Position) {
    switch (Position) {
    case FRONT_CHANNEL_LEFT:
        return 0x1;
    case FRONT_CHANNEL_RIGHT:
        return 0x2;
    case FRONT_CHANNEL_CENTER:
        return 0x4;
    case LFE_CHANNEL:
        return 0x8;
    case BACK_CHANNEL_LEFT:
        return 0x10;
    case BACK_CHANNEL_RIGHT:
        return 0x20;
    case BACK_CHANNEL_CENTER:
        return 0x100;
    case SIDE_CHANNEL_LEFT:
        return 0x200;
    case SIDE_CHANNEL_RIGHT:
        return 0x400;
    default:
        return UINT32_MAX;
    }
}

} // namespace tarvio
