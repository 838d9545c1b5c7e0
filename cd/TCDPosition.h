#pragma once
// Positions on an audio CD: minutes, seconds and frames (75 frames, that is sectors, per
// second), and a place inside a track.

#include <cstdint>

namespace tarvio {

struct TCDMSF {
    uint8_t Minute = 0;
    uint8_t Second = 0;
    uint8_t Frame = 0;

    // Frames (sectors) this time spans: Minute × 4500 + Second × 75 + Frame.
    constexpr int32_t Frames() const { return Minute * 4500 + Second * 75 + Frame; }
    // The time of Frames frames; minutes above 255 wrap (no CD is that long).
    static constexpr TCDMSF FromFrames(int32_t Frames) {
        return {static_cast<uint8_t>(Frames / 4500), static_cast<uint8_t>((Frames / 75) % 60),
                static_cast<uint8_t>(Frames % 75)};
    }
    friend constexpr bool operator==(const TCDMSF&, const TCDMSF&) = default;
};

struct TCDPosition {
    int32_t Track = 0; // 1-based track number
    TCDMSF MSF;        // offset from the start of that track
    friend constexpr bool operator==(const TCDPosition&, const TCDPosition&) = default;
};

// As an end position: the end of the disc (the lead-out).
inline constexpr TCDPosition DiscEndPosition{100, {0, 0, 0}};

} // namespace tarvio
