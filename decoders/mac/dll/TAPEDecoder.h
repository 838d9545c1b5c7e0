#pragma once
// One open Monkey's Audio file, decoded by FFmpeg's demuxer and decoder: the object behind
// a decompressor handle of the C interface.
//
// Each frame of the file is decoded whole before any of it is handed out, so a frame whose
// checksum fails is never delivered. Seeking decodes the frame holding the target and
// drops the blocks before it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/ffmpeg/FFmpegPtr.h"
#include "decoders/mac/dll/TAPEHeader.h"
#include "decoders/mac/dll/TAPESource.h"

namespace tarvio::mac {

class TAPEDecoder {
public:
    // Null with Error set when the source is not a Monkey's Audio file this library decodes.
    static std::unique_ptr<TAPEDecoder> Open(std::unique_ptr<TAPESource> Source, int& Error);
    ~TAPEDecoder();
    TAPEDecoder(const TAPEDecoder&) = delete;
    TAPEDecoder& operator=(const TAPEDecoder&) = delete;

    // As c_APEDecompress_GetData, _Seek and _GetInfo (MACDll.h).
    int GetData(uint8_t* Buffer, int32_t Blocks, int32_t& Retrieved);
    int Seek(int64_t Block);
    intptr_t GetInfo(int Field, intptr_t Param1, intptr_t Param2);

private:
    explicit TAPEDecoder(std::unique_ptr<TAPESource> Source);
    int Init();
    // Reads and decodes the next frame into FPCM; 0, or an error code. At the end of the
    // file FEnd is set and FPCM stays empty.
    int DecodeFrame();
    void Append(const AVFrame& Frame);
    int64_t FrameBytes(int64_t Frame) const;
    int32_t FrameBitrate(int64_t Frame) const; // kilobits per second
    int64_t LengthMS() const;
    int64_t BlocksToMS(int64_t Blocks) const;
    // Bytes at Offset, read without moving the demuxer's position.
    bool ReadAside(int64_t Offset, uint8_t* Buffer, uint32_t Bytes);

    std::unique_ptr<TAPESource> FSource;
    TAPEHeader FHeader;
    int64_t FFileSize = 0;
    std::vector<int64_t> FFrameOffsets; // file offset of each frame, from the demuxer's index
    ffmpeg::TIOContextPtr FIO;
    ffmpeg::TFormatInputPtr FFormat;
    ffmpeg::TCodecContextPtr FCodec;
    ffmpeg::TPacketPtr FPacket;
    ffmpeg::TFramePtr FFrame;
    int FStream = 0;

    // Interleaved PCM of the decoded frame that starts at block FFrameStart: FPCMBlocks
    // blocks, of which FPCMOffset are handed out. Grows to the largest frame only.
    std::vector<uint8_t> FPCM;
    int64_t FFrameStart = 0;
    int64_t FPCMBlocks = 0;
    int64_t FPCMOffset = 0;
    bool FEnd = false;
    int FError = 0; // a decode error, kept until the next seek

    // Read by GetInfo from any thread.
    std::atomic<int64_t> FCurrentBlock{0};
    std::atomic<int32_t> FCurrentBitrate{0};
};

} // namespace tarvio::mac
