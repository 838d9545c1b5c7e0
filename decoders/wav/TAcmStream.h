#pragma once
// One conversion stream of the audio compression layer: a decoder that turns MPEG Layer 3
// (0x55), GSM 6.10 (0x31), A-law (6) or mu-law (7) data into 16-bit PCM of the same rate and
// channel count. MPEG data goes through libmpg123, as an .mp3 file's frames do (the same
// samples, LAME/Xing gapless trim included); the others through libavcodec, the way `ffmpeg`
// decodes them. MSAcm.cpp checks the arguments of the public calls and hands them here.
//
// The stream keeps its state between conversions: an MP3 frame split between two calls is
// joined, and output that does not fit the caller's buffer is held and handed out first by
// the next call. Not thread-safe: one thread at a time per stream.

#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/ffmpeg/FFmpegPtr.h"
#include "decoders/mpg123/TMpg123Decoder.h"
#include "decoders/wav/MSAcmDefs.h"

namespace tarvio {

class TAcmStream {
public:
    // The largest format record of the source formats below (MPEGLAYER3WAVEFORMAT).
    static constexpr uint32_t MaxFormatSize = 30;

    // The PCM format Src converts to; false when no codec here reads Src. Reads only the 18
    // bytes of Src's header, never its extra bytes.
    static bool Suggest(const tWAVEFORMATEX& Src, tWAVEFORMATEX& Pcm);
    // Opens a decoder from Src to Dst (which must be what Suggest gives, apart from the
    // average byte rate); MMSYSERR_NOERROR, ACMERR_NOTPOSSIBLE or MMSYSERR_NOMEM.
    static MMRESULT Open(const tWAVEFORMATEX& Src, const tWAVEFORMATEX& Dst,
                         std::unique_ptr<TAcmStream>& Out);

    // Destination bytes that converting SrcBytes more source bytes can give at most (output
    // held back from earlier calls included), or the source bytes that fill DstBytes.
    // ACMERR_NOTPOSSIBLE when the answer does not fit 32 bits.
    MMRESULT DestinationSize(uint32_t SrcBytes, uint32_t& DstBytes) const;
    MMRESULT SourceSize(uint32_t DstBytes, uint32_t& SrcBytes) const;

    // Converts from Src into Dst (flags ACM_STREAMCONVERTF_*). SrcUsed: source bytes taken
    // (with BLOCKALIGN whole blocks only, else all); DstUsed: bytes written. With END the
    // stream gives out everything it holds (a partial block is dropped); with START it
    // forgets what earlier calls left. Damaged frames are skipped (MPEG data: bytes between
    // frames are; a frame that fails to decode ends the output until the next START or END).
    // Raises std::bad_alloc when memory runs out.
    MMRESULT Convert(const uint8_t* Src, uint32_t SrcLength, uint8_t* Dst, uint32_t DstLength, uint32_t Flags,
                     uint32_t& SrcUsed, uint32_t& DstUsed);

private:
    TAcmStream() = default;

    void Restart();
    void ResetDecoder();
    void Feed(const uint8_t* Data, uint32_t Length);
    void Drain();
    void Decode(const uint8_t* Data, int Size); // one packet; null = the end of the data
    void DecodeMpeg();                          // every MPEG frame fed so far
    void ReceiveFrames();
    void Emit(const AVFrame& Frame);
    void Put(const uint8_t* Data, size_t Bytes);

    tWAVEFORMATEX FSrc{};
    tWAVEFORMATEX FDst{};
    uint32_t FBlockBytes = 1;      // source bytes per packet unit (1 for MP3: the decoder frames it)
    uint32_t FSamplesPerBlock = 1; // frames per source block (MP3: per frame)
    uint32_t FPacketBlocks = 1;    // source blocks handed to the decoder at once
    uint32_t FMinFrameBytes = 0;   // MP3: the smallest frame at this rate
    uint32_t FMaxFrameBytes = 0;   // MP3: the largest frame at this rate
    ffmpeg::TCodecContextPtr FContext;
    std::unique_ptr<TMpg123Decoder> FMpeg; // MP3 only (no FFmpeg context then)
    ffmpeg::TPacketPtr FPacket;
    ffmpeg::TFramePtr FFrame;
    ffmpeg::TSwrPtr FSwr;          // decoder sample format to packed 16-bit, made on the first frame
    int FSwrFormat = -1;           // the sample format FSwr converts from
    std::vector<uint8_t> FCarry;   // a partial block of source left by a call without BLOCKALIGN
    std::vector<uint8_t> FOut;     // one converted frame
    std::vector<uint8_t> FPending; // output that did not fit, handed out first by the next call
    // Where Put writes during a Convert call.
    uint8_t* FWriteAt = nullptr;
    uint32_t FWriteRoom = 0;
    uint32_t FWritten = 0;
};

} // namespace tarvio
