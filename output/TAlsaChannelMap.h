#pragma once
// Where the channels of the pipeline's WAVE order go on an ALSA device: each WAVE channel is
// sent to the device channel whose position (the device's channel map, or ALSA's default
// order FL FR RL RR FC LFE SL SR of its surround devices) names the same speaker.

#include <cstdint>

namespace tarvio {

class TAlsaChannelMap {
public:
    // Slot[i] receives the device channel of WAVE channel i, for Channels channels holding the
    // speakers of Mask (0: the default mask of the channel count). Device: the positions
    // (SND_CHMAP_* values) of the device's Channels channels, or nullptr when the device has
    // no map, which means ALSA's default order for 4, 5, 6 and 8 channels and the pipeline's
    // own for other counts. Channels no speaker matches take the device channels left, in
    // order. Returns false when the order is the pipeline's (nothing to move).
    static bool Make(uint32_t Mask, uint32_t Channels, const unsigned* Device, uint8_t* Slot);

    // Moves Frames frames of Channels channels of Width bytes per sample from Src into Dst
    // (not overlapping), WAVE channel i to slot Slot[i].
    static void Apply(const uint8_t* Src, uint8_t* Dst, uint32_t Frames, uint32_t Channels, uint32_t Width,
                      const uint8_t* Slot);
};

} // namespace tarvio
