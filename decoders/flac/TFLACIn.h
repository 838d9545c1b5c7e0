#pragma once
// FLAC decoder: libFLAC's stream decoder, loaded at run time and fed through callbacks over
// the input's own stream. Each decoded frame is packed into interleaved little-endian PCM of
// the width that holds the stream's depth (4 to 32 bits): 8 bits unsigned (silence 128), 16,
// 24 or 32 bits signed, the samples left-justified. The stream's Vorbis comments fill
// VorbisComments and the common tags. A stream that starts at a frame, with no metadata,
// takes its format from that frame and has an unknown length.

#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TLibraryLoader.h"
#include "tags/TVorbisTags.h"

namespace tarvio {

struct TFLACLib;

class TFLACIn : public TAuTaggedFileIn {
public:
    explicit TFLACIn(TComponent* AOwner = nullptr);
    ~TFLACIn() override;

    // The process-wide loader of the FLAC library (loaded on the first open, never unloaded).
    static TLibraryLoader& LibFLAC();

    // Ask the library to check the stream's MD5 signature while decoding. Read at open;
    // any seek switches it off for this input from then on.
    bool CheckMD5Signature() const { return FCheckMD5Signature; }
    void SetCheckMD5Signature(bool Value) { FCheckMD5Signature = Value; }
    // The library's verdict, set when the file is closed (Flush, a name change, CloseFile):
    // true when checking was off, the stream stores no signature, or the fully decoded
    // audio matched it; false when checking was on and the audio decoded did not match.
    bool IsMD5SignatureValid() const { return FSignatureValid; }
    // Opens the file and returns its comments; owned by the input.
    TVorbisTags* VorbisComments();
    // Opens the file: the stream's own bits per sample (4 to 32); BitsPerSample is the
    // width that carries them. 0 when the file is not valid.
    uint32_t StreamBitsPerSample();

protected:
    void OpenFile() override;
    void CloseFile() override;
    // Exact: the next data starts at frame SampleNum (the end of the file included).
    bool SeekInternal(int64_t& SampleNum) override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    struct TCallbacks;
    friend struct TCallbacks;
    struct TDecoderDeleter {
        const TFLACLib* Lib = nullptr;
        void operator()(void* Decoder) const;
    };

    // Decodes until one audio frame is in Buff or the library stops; true when one is.
    bool DecodeFrame();
    void ReleaseDecoder();

    bool EndOfMetadata = false;
    std::unique_ptr<TVorbisTags> FComments;
    // Packed PCM of the last decoded frame, handed out from BufStart (0-based) up to
    // BufEnd - 1. Grows to the largest frame; never shrinks while the file is open.
    std::vector<uint8_t> Buff;
    std::unique_ptr<TFLACLib> FLib;                  // this input's entry points
    std::unique_ptr<void, TDecoderDeleter> _decoder; // FLAC__StreamDecoder
    uint32_t FBlockSize = 0;                         // frames in the last decoded block
    uint32_t BytesPerBlock = 0;                      // bytes of Buff holding that block
    bool FFrameWritten = false;                      // the write callback packed a frame
    bool FAnyFrame = false;                          // a frame was decoded since opening
    bool FFrameMismatch = false;                     // a frame disagreed with the stream info
    bool FDecodable = false;                         // the open found a stream we can deliver
    bool FAtEnd = false;                             // a seek went to the end of the stream
    bool FSeekBlockPending = false;                  // Buff holds the block a seek decoded
    int64_t FFileSamples = 0;                        // frames in the file, 0 when unknown
    std::atomic<uint32_t> FStreamBits{0};            // the stream's own bits per sample
    bool FHasStreamInfo = false;                     // the stream began with its information block
    int64_t FStreamPos = 0;                          // bytes; where the callbacks left the stream
    int64_t FStreamSize = -1;                        // bytes; the stream's size at open
    std::atomic<bool> FCheckMD5Signature{false};
    std::atomic<bool> FSignatureValid{true};
};

} // namespace tarvio
