#pragma once
// One decompressor handle of the Monkey's Audio library: a file (or a caller's stream)
// opened for decoding, with typed queries over the library's GetInfo fields. Owns the
// handle and destroys it with itself. Calls come from one thread at a time; the position
// and bit-rate queries may also come from another.

#include <cstdint>
#include <string>

#include "decoders/mac/TMACDll.h"
#include "pipeline/TStream.h"

namespace tarvio {

class TAPEDecompress {
public:
    // Opens Filename (UTF-8 path). A library error raises EAPEException with its code
    // (after destroying any handle it returned); Handle() may still be 0 without one.
    // Lib must outlive this object.
    TAPEDecompress(const TMACDll& Lib, const std::string& Filename);
    // The same over Stream (not owned; it must outlive this object).
    TAPEDecompress(const TMACDll& Lib, TStream& Stream);
    ~TAPEDecompress();
    TAPEDecompress(const TAPEDecompress&) = delete;
    TAPEDecompress& operator=(const TAPEDecompress&) = delete;

    APE_DECOMPRESS_HANDLE Handle() const { return FHandle; }
    const std::string& Filename() const { return FFilename; }

    // Decodes up to nBlocks sample frames into pBuffer (nBlocks × block align bytes);
    // pBlocksRetrieved: the frames delivered, 0 at the end. Returns the library's code.
    int32_t GetData(uint8_t* pBuffer, int32_t nBlocks, int32_t& pBlocksRetrieved);
    // Moves to sample frame nBlockOffset; the library's code.
    int32_t Seek(int64_t nBlockOffset);
    intptr_t GetInfo(int Field, intptr_t nParam1 = 0, intptr_t nParam2 = 0);

    int32_t InfoFileVersion() { return Info32(APE_INFO_FILE_VERSION); }
    int32_t InfoCompressionLevel() { return Info32(APE_INFO_COMPRESSION_LEVEL); }
    int32_t InfoFormatFlags() { return Info32(APE_INFO_FORMAT_FLAGS); }
    int32_t InfoSampleRate() { return Info32(APE_INFO_SAMPLE_RATE); }
    int32_t InfoBitsPerSample() { return Info32(APE_INFO_BITS_PER_SAMPLE); }
    int32_t InfoBytesPerSample() { return Info32(APE_INFO_BYTES_PER_SAMPLE); }
    int32_t InfoChannels() { return Info32(APE_INFO_CHANNELS); }
    int32_t InfoBlockAlign() { return Info32(APE_INFO_BLOCK_ALIGN); }
    int32_t InfoBlocksPerFrame() { return Info32(APE_INFO_BLOCKS_PER_FRAME); }
    int32_t InfoFinalFrameBlocks() { return Info32(APE_INFO_FINAL_FRAME_BLOCKS); }
    int32_t InfoTotalFrames() { return Info32(APE_INFO_TOTAL_FRAMES); }
    int32_t InfoWavHeaderBytes() { return Info32(APE_INFO_WAV_HEADER_BYTES); }
    int32_t InfoWavTerminatingBytes() { return Info32(APE_INFO_WAV_TERMINATING_BYTES); }
    // Byte and frame counts are 64-bit: long files pass 2^31.
    int64_t InfoWavDataBytes() { return GetInfo(APE_INFO_WAV_DATA_BYTES); }
    int64_t InfoWavTotalBytes() { return GetInfo(APE_INFO_WAV_TOTAL_BYTES); }
    int64_t InfoApeTotalBytes() { return GetInfo(APE_INFO_APE_TOTAL_BYTES); }
    int64_t InfoTotalBlocks() { return GetInfo(APE_INFO_TOTAL_BLOCKS); }
    int32_t InfoLengthMS() { return Info32(APE_INFO_LENGTH_MS); }
    int32_t InfoAverageBitrage() { return Info32(APE_INFO_AVERAGE_BITRATE); } // kilobits per second
    int32_t InfoFrameBitrate(int32_t FrameIndex) { return Info32(APE_INFO_FRAME_BITRATE, FrameIndex); }
    int32_t InfoDecompressedBitrate() { return Info32(APE_INFO_DECOMPRESSED_BITRATE); }
    int32_t InfoPeakLevel() { return Info32(APE_INFO_PEAK_LEVEL); }
    int32_t InfoSeekBit(int32_t FrameIndex) { return Info32(APE_INFO_SEEK_BIT, FrameIndex); }
    int64_t InfoSeekByte(int32_t FrameIndex) { return GetInfo(APE_INFO_SEEK_BYTE, FrameIndex); }
    // 0, or -1 when Buffer has fewer than the bytes to copy.
    int32_t InfoWavHeaderData(void* Buffer, int32_t MaxBytes) {
        return Info32(APE_INFO_WAV_HEADER_DATA, reinterpret_cast<intptr_t>(Buffer), MaxBytes);
    }
    int32_t InfoTerminatingData(void* Buffer, int32_t MaxBytes) {
        return Info32(APE_INFO_WAV_TERMINATING_DATA, reinterpret_cast<intptr_t>(Buffer), MaxBytes);
    }
    // Fills an 18-byte WAVEFORMATEX record.
    int32_t InfoWaveFormatEx(void* WaveFormatEx) {
        return Info32(APE_INFO_WAVEFORMATEX, reinterpret_cast<intptr_t>(WaveFormatEx));
    }
    int32_t InfoIOSource() { return Info32(APE_INFO_IO_SOURCE); }
    int32_t InfoFrameBytes(int32_t FrameIndex) { return Info32(APE_INFO_FRAME_BYTES, FrameIndex); }
    int32_t InfoFrameBlocks(int32_t FrameIndex) { return Info32(APE_INFO_FRAME_BLOCKS, FrameIndex); }
    void* InfoTag() { return reinterpret_cast<void*>(GetInfo(APE_INFO_TAG)); }
    int64_t CurrentBlock() { return GetInfo(APE_DECOMPRESS_CURRENT_BLOCK); }
    uint32_t CurrentMS() { return static_cast<uint32_t>(GetInfo(APE_DECOMPRESS_CURRENT_MS)); }
    int64_t TotalBlocks() { return GetInfo(APE_DECOMPRESS_TOTAL_BLOCKS); }
    uint32_t LengthMS() { return static_cast<uint32_t>(GetInfo(APE_DECOMPRESS_LENGTH_MS)); }
    uint32_t CurrentBitrate() { return static_cast<uint32_t>(GetInfo(APE_DECOMPRESS_CURRENT_BITRATE)); }
    uint32_t AverageBitrate() { return static_cast<uint32_t>(GetInfo(APE_DECOMPRESS_AVERAGE_BITRATE)); }

    // The code the library reported at creation.
    int32_t ErrorCode = 0;

private:
    int32_t Info32(int Field, intptr_t nParam1 = 0, intptr_t nParam2 = 0) {
        return static_cast<int32_t>(GetInfo(Field, nParam1, nParam2));
    }
    void Created();

    const TMACDll& FLib;
    APE_DECOMPRESS_HANDLE FHandle = 0;
    std::string FFilename;
};

} // namespace tarvio
