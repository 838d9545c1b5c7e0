#pragma once
// The descriptor and header of a Monkey's Audio file, in both layouts: the current one
// (file version 3980 and later: descriptor, header, seek table, WAV header, frames,
// terminating data) and the older one (a single header whose fields depend on flags).

#include <cstdint>

#include "decoders/mac/dll/TAPESource.h"

namespace tarvio::mac {

struct TAPEHeader {
    // Format flags.
    static constexpr uint16_t Flag8Bit = 1;
    static constexpr uint16_t FlagPeakLevel = 4;
    static constexpr uint16_t Flag24Bit = 8;
    static constexpr uint16_t FlagSeekElements = 16;
    static constexpr uint16_t FlagCreateWavHeader = 32; // no WAV header stored; make a plain one

    int64_t Start = 0; // offset of "MAC " (after a leading ID3v2 tag)
    uint16_t Version = 0;
    uint16_t CompressionLevel = 0;
    uint16_t FormatFlags = 0;
    uint32_t Channels = 0;
    uint32_t SampleRate = 0;
    uint32_t BitsPerSample = 0;
    uint32_t BlocksPerFrame = 0;
    uint32_t FinalFrameBlocks = 0;
    uint32_t TotalFrames = 0;
    int64_t TotalBlocks = 0;
    int32_t PeakLevel = -1;       // -1 when the file stores none
    uint32_t WavHeaderBytes = 0;  // 44 when the header is made up
    int64_t WavHeaderOffset = -1; // where the stored WAV header is; -1 when made up
    uint32_t WavTerminatingBytes = 0;
    int64_t TerminatingOffset = -1; // where the terminating data is; -1 when unknown
    int64_t FrameDataEnd = -1;      // offset just past the last frame; -1 when unknown

    uint32_t BlockAlign() const { return Channels * (BitsPerSample / 8); }

    // Reads the header of Source. Returns 0, or 1000 (cannot be read) or 1002 (not a
    // Monkey's Audio header, or one with impossible values).
    int Read(TAPESource& Source);
};

} // namespace tarvio::mac
