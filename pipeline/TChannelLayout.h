#pragma once
// The one channel order of multichannel PCM in the pipeline: the WAVE order of
// WAVE_FORMAT_EXTENSIBLE's speaker bits (FL FR FC LFE BL BR ... BC SL SR), holding the
// speakers of the default mask for the channel count:
//
//   1 FC                      0x004     5 FL FR FC BL BR            0x037
//   2 FL FR                   0x003     6 FL FR FC LFE BL BR        0x03F
//   3 FL FR FC                0x007     7 FL FR FC LFE BC SL SR     0x70F
//   4 FL FR BL BR             0x033     8 FL FR FC LFE BL BR SL SR  0x63F
//
// Decoders whose library hands out another order reorder into this one (PlaneOrder), and
// every consumer (the sound device, the WAVE writers) reads it so.

#include <cstdint>

namespace tarvio {

// Speaker bits of WAVE_FORMAT_EXTENSIBLE's channel mask.
enum TSpeaker : uint32_t {
    spFrontLeft = 0x1,
    spFrontRight = 0x2,
    spFrontCenter = 0x4,
    spLowFrequency = 0x8,
    spBackLeft = 0x10,
    spBackRight = 0x20,
    spBackCenter = 0x100,
    spSideLeft = 0x200,
    spSideRight = 0x400,
};

class TChannelLayout {
public:
    static constexpr uint32_t MaxChannels = 8;

    // The default channel mask for Channels channels (the table above); 0 for 0 or more
    // than 8 channels.
    static uint32_t WaveMask(uint32_t Channels);
    // The usual name of that layout ("mono", "stereo", "3.0", "quad", "5.0", "5.1", "6.1",
    // "7.1"); empty for 0 or more than 8 channels.
    static const char* Name(uint32_t Channels);

    // Where each of Count channels goes in WAVE order: Speakers[i] is the speaker bit of the
    // library's channel i (distinct bits); Position[i] receives its 0-based index in the
    // interleaved frame (channels sorted by speaker bit). Count is at most MaxChannels.
    static void PlaneOrder(const uint32_t* Speakers, uint32_t Count, uint8_t* Position);

    // Interleaves Count channels of 256 float samples each (nominal range -1 to 1) into
    // signed 16-bit PCM: channel i is read from Planes + Plane[i] * 256 and written to slot
    // Position[i] of each of the 256 frames of Out (256 * Frame 16-bit values, Frame >=
    // every Position + 1). A sample becomes floor(x * 32767), clipped to -32768..32767;
    // NaN becomes 0.
    static void Interleave256(const float* Planes, const uint8_t* Plane, const uint8_t* Position,
                              uint32_t Count, uint32_t Frame, int16_t* Out);
};

} // namespace tarvio
