#pragma once
// A small reader of Windows bitmap files: uncompressed 1, 4, 8, 16, 24 and 32 bits per
// pixel and bit-field layouts, bottom-up or top-down, with the core, info, V4 and V5
// headers. Run-length and embedded JPEG/PNG compression are refused.

#include "app/TRasterImage.h"

#include <cstddef>
#include <cstdint>

namespace tarvio {

class TBmpReader {
public:
    // Decodes a whole BMP file held in memory (Size bytes). Every field is checked against
    // the data; throws EInvalidGraphic on damaged, truncated, unsupported or oversized data.
    static TRasterImage Decode(const uint8_t* Data, size_t Size);
};

} // namespace tarvio
