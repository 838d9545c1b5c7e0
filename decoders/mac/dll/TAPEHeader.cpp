#include "decoders/mac/dll/TAPEHeader.h"

#include <cstring>
#include <limits>

namespace tarvio::mac {

namespace {

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Largest frame of any compression level, with room to spare; larger values are damage.
constexpr uint32_t MaxBlocksPerFrame = 73728u * 64;

// Size of an ID3v2 tag at Offset (header, body and footer), or 0 when there is none.
int64_t Id3v2Size(TAPESource& Source, int64_t Offset) {
    uint8_t h[10];
    if (!Source.ReadAt(Offset, h, 10) || std::memcmp(h, "ID3", 3) != 0) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
    const int64_t body = (int64_t{h[6]} << 21) | (int64_t{h[7]} << 14) | (int64_t{h[8]} << 7) | h[9];
    return 10 + body + ((h[5] & 0x10) ? 10 : 0);
}

} // namespace

int TAPEHeader::Read(TAPESource& Source) {
    const int64_t size = Source.Size();
    // Leading ID3v2 tags (possibly several) are skipped.
    Start = 0;
    for (int i = 0; i < 8; ++i) {
        const int64_t tag = Id3v2Size(Source, Start);
        if (tag == 0) break;
        Start += tag;
    }
    uint8_t d[52];
    if (!Source.ReadAt(Start, d, 6))
        return size >= 0 && Start + 6 > size ? ERROR_INVALID_INPUT_FILE : ERROR_IO_READ;
    if (std::memcmp(d, "MAC ", 4) != 0) return ERROR_INVALID_INPUT_FILE;
    Version = U16(d + 4);

    if (Version >= 3980) {
        if (!Source.ReadAt(Start, d, 52)) return ERROR_INVALID_INPUT_FILE;
        const uint32_t descriptorBytes = U32(d + 8), headerBytes = U32(d + 12), seekTableBytes = U32(d + 16),
                       headerDataBytes = U32(d + 20), frameDataLow = U32(d + 24), frameDataHigh = U32(d + 28),
                       terminatingBytes = U32(d + 32);
        if (descriptorBytes < 52 || headerBytes < 24) return ERROR_INVALID_INPUT_FILE;
        uint8_t h[24];
        if (!Source.ReadAt(Start + descriptorBytes, h, 24)) return ERROR_INVALID_INPUT_FILE;
        CompressionLevel = U16(h);
        FormatFlags = U16(h + 2);
        BlocksPerFrame = U32(h + 4);
        FinalFrameBlocks = U32(h + 8);
        TotalFrames = U32(h + 12);
        BitsPerSample = U16(h + 16);
        Channels = U16(h + 18);
        SampleRate = U32(h + 20);
        // The stored WAV header follows the seek table, and the frame data follows it.
        const int64_t wavHeaderStart = Start + int64_t{descriptorBytes} + headerBytes + seekTableBytes;
        WavHeaderOffset = wavHeaderStart;
        WavHeaderBytes = headerDataBytes;
        if (FormatFlags & FlagCreateWavHeader) {
            WavHeaderOffset = -1;
            WavHeaderBytes = 44;
        }
        // A frame data length that no file can have is a damaged header, not a number to wrap.
        const uint64_t frameData = (uint64_t{frameDataHigh} << 32) | frameDataLow;
        const int64_t frameDataStart = wavHeaderStart + headerDataBytes;
        if (frameData > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
            __builtin_add_overflow(frameDataStart, static_cast<int64_t>(frameData), &FrameDataEnd))
            return ERROR_INVALID_INPUT_FILE;
        WavTerminatingBytes = terminatingBytes;
        TerminatingOffset = FrameDataEnd;
    } else {
        uint8_t h[32];
        if (!Source.ReadAt(Start, h, 32)) return ERROR_INVALID_INPUT_FILE;
        CompressionLevel = U16(h + 6);
        FormatFlags = U16(h + 8);
        Channels = U16(h + 10);
        SampleRate = U32(h + 12);
        const uint32_t headerBytes = U32(h + 16);
        WavTerminatingBytes = U32(h + 20);
        TotalFrames = U32(h + 24);
        FinalFrameBlocks = U32(h + 28);
        int64_t pos = Start + 32;
        uint8_t v[4];
        if (FormatFlags & FlagPeakLevel) {
            if (!Source.ReadAt(pos, v, 4)) return ERROR_INVALID_INPUT_FILE;
            PeakLevel = static_cast<int32_t>(U32(v));
            pos += 4;
        }
        if (FormatFlags & FlagSeekElements) pos += 4;
        if (FormatFlags & FlagCreateWavHeader) {
            WavHeaderBytes = 44;
        } else {
            WavHeaderBytes = headerBytes;
            WavHeaderOffset = pos;
        }
        BitsPerSample = (FormatFlags & Flag8Bit) ? 8 : (FormatFlags & Flag24Bit) ? 24 : 16;
        if (Version >= 3950)
            BlocksPerFrame = 73728 * 4;
        else if (Version >= 3900 || (Version >= 3800 && CompressionLevel == 4000))
            BlocksPerFrame = 73728;
        else
            BlocksPerFrame = 9216;
    }

    if (Channels == 0 || Channels > 32 || SampleRate == 0 || TotalFrames == 0 || BlocksPerFrame == 0 ||
        BlocksPerFrame > MaxBlocksPerFrame || FinalFrameBlocks == 0 || FinalFrameBlocks > BlocksPerFrame)
        return ERROR_INVALID_INPUT_FILE;
    if (BitsPerSample != 8 && BitsPerSample != 16 && BitsPerSample != 24 && BitsPerSample != 32)
        return ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;
    TotalBlocks = int64_t{TotalFrames - 1} * BlocksPerFrame + FinalFrameBlocks;
    return ERROR_SUCCESS;
}

} // namespace tarvio::mac
