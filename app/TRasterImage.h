#pragma once
// Decoded pixels of a picture: rows top to bottom, each pixel a 32-bit 0xAARRGGBB value
// (B, G, R, A bytes in memory on little-endian machines), alpha not premultiplied.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvio {

struct TRasterImage {
    int Width = 0;
    int Height = 0;
    bool HasAlpha = false;        // false: every alpha byte is 0xFF
    std::vector<uint32_t> Pixels; // Width * Height values

    // Decoders refuse pictures beyond these limits before allocating anything.
    static constexpr int MaxSide = 16384;
    static constexpr int64_t MaxPixels = 40 * 1000 * 1000;
    static bool SizeAllowed(int64_t W, int64_t H) {
        return W > 0 && H > 0 && W <= MaxSide && H <= MaxSide && W * H <= MaxPixels;
    }
};

} // namespace tarvio
