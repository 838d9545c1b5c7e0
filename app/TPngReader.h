#pragma once
// PNG decoding through libpng's simplified reading interface.

#include "app/TRasterImage.h"

#include <cstddef>
#include <cstdint>

namespace tarvio {

class TPngReader {
public:
    // Decodes a whole PNG file held in memory (Size bytes). Any colour type and depth;
    // transparency is kept. Throws EInvalidGraphic on damaged, truncated or oversized data.
    static TRasterImage Decode(const uint8_t* Data, size_t Size);
    // True when Data starts with the PNG signature.
    static bool HasSignature(const uint8_t* Data, size_t Size);
};

} // namespace tarvio
