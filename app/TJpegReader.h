#pragma once
// JPEG decoding through libjpeg (baseline and progressive; grey, YCbCr, RGB, CMYK, YCCK).

#include "app/TRasterImage.h"

#include <cstddef>
#include <cstdint>

namespace tarvio {

class TJpegReader {
public:
    // Decodes a whole JPEG file held in memory (Size bytes) into opaque pixels. Throws
    // EInvalidGraphic on damaged, truncated or oversized data.
    static TRasterImage Decode(const uint8_t* Data, size_t Size);
};

} // namespace tarvio
