#pragma once
// A media type as the media reader describes an output or one of its formats: the major
// type, the format type and, for the wave format type, the PCM layout.

#include <cstdint>

namespace tarvio {

struct TGuid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0, Data3 = 0;
    uint8_t Data4[8] = {};
    friend bool operator==(const TGuid&, const TGuid&) = default;
};

// {73647561-0000-0010-8000-00AA00389B71}
inline constexpr TGuid WMMEDIATYPE_Audio{
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// {05589F81-C356-11CE-BF01-00AA0055595A}
inline constexpr TGuid WMFORMAT_WaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// Interleaved little-endian signed PCM in the WAVE channel order.
struct TWaveFormat {
    uint16_t Channels = 0;
    uint32_t SamplesPerSec = 0;
    uint16_t BitsPerSample = 0;
    friend bool operator==(const TWaveFormat&, const TWaveFormat&) = default;
};

struct TWMMediaType {
    TGuid MajorType;
    TGuid FormatType;
    TWaveFormat Format; // meaningful when FormatType is WMFORMAT_WaveFormatEx

    bool IsWave() const { return FormatType == WMFORMAT_WaveFormatEx; }
};

} // namespace tarvio
