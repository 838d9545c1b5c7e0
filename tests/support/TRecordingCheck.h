#pragma once
// Reads a recording of a sound device against the track that was played: the recording
// must hold every frame of the track once, in order, with nothing but silence before,
// between and after them. Any other sound (a stretch replayed from the ring, a frame
// lost or repeated) is reported with its position.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarvio::test {

class TRecordingCheck {
public:
    // Recording and Track are PCM of the same format; FrameBytes is one frame of it and
    // Silence the value of a silent byte (128 for 8-bit samples, else 0).
    TRecordingCheck(const std::string& Recording, const std::string& Track, size_t FrameBytes,
                    uint8_t Silence = 0) {
        const size_t frames = Recording.size() / FrameBytes, trackFrames = Track.size() / FrameBytes;
        size_t i = 0, j = 0, gap = 0;
        auto silent = [&](size_t Frame) {
            for (size_t b = 0; b < FrameBytes; ++b)
                if (static_cast<uint8_t>(Recording[Frame * FrameBytes + b]) != Silence) return false;
            return true;
        };
        for (; i < frames && j < trackFrames; ++i) {
            if (std::memcmp(&Recording[i * FrameBytes], &Track[j * FrameBytes], FrameBytes) == 0) {
                if (gap > 0 && j > 0) Gaps.push_back({j, gap});
                gap = 0;
                ++j;
            } else if (silent(i)) {
                ++gap;
            } else {
                Why = "recorded frame " + std::to_string(i) + " is neither silence nor track frame " +
                      std::to_string(j) + " of " + std::to_string(trackFrames);
                return;
            }
        }
        if (j < trackFrames) {
            Why = "the recording ends at track frame " + std::to_string(j) + " of " +
                  std::to_string(trackFrames);
            return;
        }
        for (; i < frames; ++i)
            if (!silent(i)) {
                Why = "sound after the track, at recorded frame " + std::to_string(i);
                return;
            }
        Ok = true;
    }

    struct TGap {
        size_t TrackFrame; // the track frame that follows the silence
        size_t Frames;     // frames of silence
    };

    bool Ok = false;
    std::string Why;        // what differs, when not Ok
    std::vector<TGap> Gaps; // silences inside the track, in order
};

} // namespace tarvio::test
