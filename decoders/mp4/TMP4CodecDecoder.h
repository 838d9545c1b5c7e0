#pragma once
// FFmpeg's decoder for an MP4 audio track that is not AAC (ALAC, MP3, AC-3, E-AC-3, FLAC,
// Opus): whole MP4 samples in, interleaved PCM out. Lossless codecs keep their bit depth
// (16, 24 or 32 bits); the lossy ones give 16 bits, rounded as FFmpeg's own conversion
// rounds. Channels stay in FFmpeg's order, which for the layouts of these codecs is the WAVE
// order. Used by one thread at a time; FFmpeg must be loaded (TFFmpegLibrary::Require).

#include <cstdint>
#include <string>
#include <vector>

#include "decoders/ffmpeg/FFmpegPtr.h"

namespace tarvio {

class TMP4CodecDecoder {
public:
    // Opens the decoder of Codec with Extradata (FFmpeg's codec configuration, copied).
    // Raises EAuException when FFmpeg has no such decoder or refuses the configuration.
    TMP4CodecDecoder(AVCodecID Codec, const std::vector<uint8_t>& Extradata);

    // Decodes one MP4 sample of Size bytes. Returns the PCM frames it gave (0 when the
    // decoder kept them back), with Pcm() pointing at them until the next call; -1 when the
    // decoder refused the data or its output changed format.
    int64_t Decode(const uint8_t* Data, uint32_t Size);
    uint8_t* Pcm() { return FPcm.data(); }
    // Forgets the decoder's state, for a seek.
    void Flush();

    // The output format, known after the first frame that gave PCM (0 before).
    uint32_t Rate() const { return FRate; }
    uint32_t Channels() const { return FChannels; }
    uint32_t Bits() const { return FBits; }

private:
    // Appends the frame's samples to FPcm at Frame; false for a format this class
    // cannot convert or a change of format.
    bool Append(const AVFrame& Frame, size_t At);

    ffmpeg::TCodecContextPtr FContext;
    ffmpeg::TPacketPtr FPacket;
    ffmpeg::TFramePtr FFrame;
    std::vector<uint8_t> FPcm; // grows only
    uint32_t FRate = 0, FChannels = 0, FBits = 0;
};

} // namespace tarvio
