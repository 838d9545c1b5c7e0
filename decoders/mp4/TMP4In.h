#pragma once
// MP4 decoder: the first AAC audio track of an MP4 file, read through this project's
// mp4ff container library and decoded by Debian's faad2, both loaded at run time. The
// output is 16-bit PCM (faad2's default format) with every channel of the track, in the
// WAVE channel order. A file without an AAC track plays its first track of ALAC, MP3, AC-3,
// E-AC-3, FLAC or Opus through FFmpeg's decoder for it (TMP4CodecDecoder; lossless codecs
// at their own bit depth). Encoder delay and padding are removed where the file states
// them (its edit list, else, for AAC, iTunes gapless data). The six common tags come from
// the file's metadata, read as UTF-8.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders/mp4/TMP4CodecDecoder.h"
#include "decoders/mp4/mp4ff/mp4ff.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TLibraryLoader.h"

namespace tarvio {

struct TMp4ffLib;
struct TFaadLib;

class TMP4In : public TAuTaggedFileIn {
public:
    explicit TMP4In(TComponent* AOwner = nullptr);
    ~TMP4In() override;

    // The process-wide loaders of the two libraries (loaded on the first open, never
    // unloaded).
    static TLibraryLoader& LibMp4ff();
    static TLibraryLoader& LibFaad();

    // Opens the file. The track's average bit rate in bits per second, as the container
    // states it (0 when it does not).
    uint32_t Bitrate();
    // Opens the file. The AAC profile of the track as decoded: "LC", "Main", "LTP", ...,
    // "HE-AAC" with spectral band replication, "HE-AAC v2" with parametric stereo too;
    // empty when the file is not valid. Whether SBR and PS are in use.
    std::string Profile();
    bool SBR();
    bool PS();
    // Opens the file. The codec of the track played: "AAC", "ALAC", "MP3", "AC-3",
    // "E-AC-3", "FLAC" or "Opus"; empty when the file is not valid.
    std::string Codec();

protected:
    void OpenFile() override;
    void CloseFile() override;
    // Exact: the next data starts at frame SampleNum (clamped to the end of the file).
    bool SeekInternal(int64_t& SampleNum) override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    struct TCallbacks;
    friend struct TCallbacks;
    struct TDecoderCloser {
        const TFaadLib* Lib = nullptr;
        void operator()(void* Decoder) const;
    };
    struct TFileCloser {
        const TMp4ffLib* Lib = nullptr;
        void operator()(mp4ff_t* File) const;
    };
    using TDecoderPtr = std::unique_ptr<void, TDecoderCloser>;

    void OpenTrack();
    int32_t FindAACTrack();
    // The first audio track of another codec FFmpeg decodes, with its codec and FFmpeg's
    // configuration for it; -1 when none. Audio: whether an audio track of neither AAC nor
    // such a codec was seen.
    int32_t FindOtherTrack(AVCodecID& Codec, std::vector<uint8_t>& Extradata, bool& Audio);
    void OpenCodecTrack(AVCodecID Codec, const std::vector<uint8_t>& Extradata);
    void FindCodecPresentation();
    // The output frame at which MP4 sample Sample starts.
    int64_t StartFrame(int32_t Sample) const;
    bool DecodeNextCodec();
    // The length, seekability, common tags and bit rate of the open track; the reading
    // position at its start.
    void FinishOpen();
    TDecoderPtr NewDecoder(const std::vector<uint8_t>& Config);
    void ProbeFormat(const std::vector<uint8_t>& Config);
    void FindPresentation();
    // Reads MP4 sample Sample into FFrame; false when it cannot be read whole.
    bool ReadFrame(int32_t Sample, uint32_t& Size);
    // Decodes the next MP4 sample into _Buf; false at the end of the track.
    bool DecodeNext();
    void ReleaseAll();

    std::unique_ptr<TMp4ffLib> FMp4ff;
    std::unique_ptr<TFaadLib> FFaad;
    std::unique_ptr<mp4ff_t, TFileCloser> MP4Handle;
    mp4ff_callback_t cbs{};
    TDecoderPtr HDecoder;
    int32_t FTrack = -1;
    uint32_t FBytesRead = 0; // bytes of PCM in _Buf
    uint32_t FBOffset = 0;   // bytes of _Buf handed out
    int32_t FSampleId = 0;   // next MP4 sample to decode
    int32_t FSamples = 0;    // MP4 samples in the track
    uint32_t FTimescale = 0;
    std::vector<uint8_t> _Buf; // PCM of the last decoded frame, in the WAVE order
    uint8_t* FPcm = nullptr;   // where the PCM handed out lies: _Buf or FCodecDecoder's
    // The decoder of a track that is not AAC; null for AAC.
    std::unique_ptr<TMP4CodecDecoder> FCodecDecoder;
    std::string FCodec;
    int64_t FPreroll = 0; // frames decoded before a seek's target, for codecs that overlap
    uint32_t FBitrate = 0;

    std::vector<uint8_t> FFrame;         // the compressed frame being decoded; grows only
    uint32_t FDecoderChannels = 0;       // channels of the decoder's output
    std::vector<uint32_t> FChannelOrder; // output channel i is decoder channel FChannelOrder[i]
    uint32_t FFrameLength = 0;           // PCM frames per decoded MP4 sample
    // Decoded frames are counted as if every MP4 sample from 0 on gave FFrameLength frames:
    // the file's audio is [FFirst, FFirst + FFileSamples) of that count.
    int64_t FFirst = 0;
    int64_t FFileSamples = 0;
    int64_t FNext = 0; // the frame the next data starts at
    uint32_t FEmptyFrames = 0;
    uint8_t FObjectType = 0;
    bool FSBR = false;
    bool FPS = false;
};

} // namespace tarvio
