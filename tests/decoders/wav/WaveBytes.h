#pragma once
// Hand-made RIFF WAVE files for the tests whose point is a byte layout.

#include <cstdint>
#include <string>
#include <vector>

#include "decoders/DecoderTestMedia.h"

namespace tarvio::test {

inline void PutLe(TBytes& Out, uint32_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i)
        Out.push_back(static_cast<uint8_t>(Value >> (8 * i)));
}

inline void SetLe(TBytes& Out, size_t At, uint32_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i)
        Out[At + i] = static_cast<uint8_t>(Value >> (8 * i));
}

struct TChunk {
    std::string Id; // four characters
    TBytes Body;
    int64_t Length = -1; // the length field written; -1: the body's size
};

// A "fmt " body: tag, channels, rate, average bytes per second (rate x align), block align,
// bits, then Extra as it stands (the extra-size field included, when the test wants one).
inline TBytes FmtBody(uint16_t Tag, uint16_t Channels, uint32_t Rate, uint16_t Align, uint16_t Bits,
                      const TBytes& Extra = {}) {
    TBytes b;
    PutLe(b, Tag, 2);
    PutLe(b, Channels, 2);
    PutLe(b, Rate, 4);
    PutLe(b, Rate * Align, 4);
    PutLe(b, Align, 2);
    PutLe(b, Bits, 2);
    b.insert(b.end(), Extra.begin(), Extra.end());
    return b;
}

inline TBytes Le32Body(uint32_t Value) {
    TBytes b;
    PutLe(b, Value, 4);
    return b;
}

// "RIFF", its length, "WAVE" and the chunks, each padded to an even length when Pad is set.
inline TBytes RiffWave(const std::vector<TChunk>& Chunks, bool Pad = true, const char* Riff = "RIFF",
                       const char* Wave = "WAVE") {
    TBytes f(Riff, Riff + 4);
    PutLe(f, 0, 4);
    f.insert(f.end(), Wave, Wave + 4);
    for (const TChunk& c : Chunks) {
        f.insert(f.end(), c.Id.begin(), c.Id.end());
        PutLe(f, c.Length < 0 ? static_cast<uint32_t>(c.Body.size()) : static_cast<uint32_t>(c.Length), 4);
        f.insert(f.end(), c.Body.begin(), c.Body.end());
        if (Pad && c.Body.size() % 2) f.push_back(0);
    }
    SetLe(f, 4, static_cast<uint32_t>(f.size() - 8), 4);
    return f;
}

// Frames of 16-bit stereo PCM whose samples count up from First, left and right apart.
inline TBytes Ramp16(uint32_t Frames, int First = 0) {
    TBytes b;
    for (uint32_t i = 0; i < Frames; ++i) {
        PutLe(b, static_cast<uint16_t>(First + static_cast<int>(i)), 2);
        PutLe(b, static_cast<uint16_t>(-First - static_cast<int>(i)), 2);
    }
    return b;
}

// A plain 16-bit stereo 44.1 kHz PCM file of Frames frames: a 44-byte header.
inline TBytes Pcm16File(uint32_t Frames) {
    return RiffWave({{"fmt ", FmtBody(1, 2, 44100, 4, 16)}, {"data", Ramp16(Frames)}});
}

} // namespace tarvio::test
