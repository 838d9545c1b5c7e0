#pragma once
// A wave format record of 129 bytes: the standard header (Format) and, after it, room for
// the codec-specific bytes, the same storage seen as raw bytes (RawData).

#include <cstdint>

#include "decoders/wav/MSAcmDefs.h"

namespace tarvio {

union TACMWaveFormat {
    static constexpr uint32_t Size = 129;
    tWAVEFORMATEX Format;
    uint8_t RawData[Size];
};
static_assert(sizeof(TACMWaveFormat) >= TACMWaveFormat::Size);

} // namespace tarvio
