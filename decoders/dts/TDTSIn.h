#pragma once
// DTS decoder: libdca, loaded at run time, decodes DTS Coherent Acoustics into interleaved
// signed 16-bit PCM in the pipeline's WAVE channel order.
//
// Two kinds of input:
// - any data holding a DTS stream: plain DTS files and DTS inside WAVE files, in every
//   packing libdca recognises (16-bit or 14-bit words, either byte order; 14-bit is the
//   packing of DTS audio CDs). The stream is found by trying every byte offset; the WAVE
//   header is never parsed. The first frame must lie within the first 1,048,577 offsets,
//   and, so that plain PCM cannot pass for DTS by chance, another frame of the same format
//   must follow it within 64 KiB (or the data must end there);
// - MPEG program streams (DVD VOB files, recognised by a pack start code at byte 0): the DTS
//   payload of private stream 1 substreams 0x88 to 0x8F (the first one met) with the sector
//   headers removed. The first frame must start within the first tenth of the file; only
//   32, 44.1 and 48 kHz streams are taken.
//
// Length unknown (Size -1) and not seekable. Frames whose sample rate or channel count
// differ from the first frame's, and frames the library rejects, are skipped. An
// incomplete last frame ends the data.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuVOBDemuxer.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TStreamReader.h"

struct dca_state_s;

namespace tarvio {

struct TDCALib;

// The layout asked of libdca for every frame.
enum TDTSOutputChannels : uint8_t {
    dts5dot1,       // as the stream has it (6 channels for 5.1 with LFE)
    dtsMono,        // 1
    dtsStereo,      // 2
    dtsStereoTotal, // 2, matrix-surround compatible downmix
    dtsQuadro,      // 4: two front, two back
};

class TDTSIn : public TAuFileIn {
public:
    explicit TDTSIn(TComponent* AOwner = nullptr);
    ~TDTSIn() override;

    // The process-wide loader of libdca (loaded on the first open, never unloaded).
    static TLibraryLoader& LibDCA();

    // Read by every frame header, so set it before the file is opened.
    TDTSOutputChannels OutputChannels() const { return FOutputChannels; }
    void SetOutputChannels(TDTSOutputChannels Value) { FOutputChannels = Value; }
    // Opens the file (when it is not open) and returns the bit rate in bits per second of
    // the last frame header read: before playback, the first frame's. 0 when not valid.
    // Any thread.
    uint32_t BitRate();

protected:
    void OpenFile() override;
    void CloseFile() override;
    // Never seekable: false.
    bool SeekInternal(int64_t& SampleNum) override;
    // At most the rest of one 256-frame block per call; whole frames unless less than one
    // is asked for.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    enum class TSearch { Found, End, Lost };
    // A frame header as this input reads it.
    struct THeader {
        int32_t Size = 0;        // bytes of the frame in the stream
        uint32_t Rate = 0;       // Hz
        uint32_t BitRate = 0;    // bits per second
        int32_t StreamFlags = 0; // the stream's configuration and LFE bit
        int32_t Flags = 0;       // the configuration asked of the library
        uint32_t Channels = 0;   // channels delivered for Flags
    };
    struct TStateDeleter {
        const TDCALib* Lib = nullptr;
        void operator()(dca_state_s* State) const;
    };

    // The library's verdict on the 14 bytes at Data; false when they start no usable header.
    bool ReadHeader(const uint8_t* Data, THeader& Header);
    // Finds the next frame and reads it into FrameBuf; Opening: the first frame of the file.
    TSearch ReadFrame(bool Opening);
    TSearch ReadRawFrame(bool Opening);
    TSearch ReadVOBFrame(bool Opening);
    // Reads the frame at the reader's position (whose header is Header) into FrameBuf.
    TSearch TakeFrame(const THeader& Header, bool Opening);
    // Whether another frame like Header follows the one at the reader's position.
    bool FollowedByFrame(const THeader& Header);
    // Starts decoding the frame in FrameBuf; false when it is to be skipped.
    bool StartFrame();
    void DecodeBlock();
    void Release();

    std::unique_ptr<TDCALib> FLib;
    std::unique_ptr<dca_state_s, TStateDeleter> state;
    std::vector<int16_t> _Buf;     // one decoded block: 256 frames of FChan samples
    std::vector<uint8_t> FrameBuf; // the current frame, header first
    std::unique_ptr<TAuVOBDemuxer> FDemuxer;
    TStreamReader FReader;
    THeader FFrame;           // header of the frame in FrameBuf
    uint16_t _SampleSize = 0; // bytes per frame of output
    uint32_t Offset = 0;      // next byte of _Buf to hand out
    uint32_t BufEnd = 0;      // bytes of _Buf holding the block
    int32_t BlockCount = 1;   // 256-frame blocks in the current frame
    int32_t CurrentBlock = 1; // 1-based next block to decode
    uint8_t FPlane[8] = {};   // library plane of each delivered channel
    uint8_t FSlot[8] = {};    // its place in the interleaved frame
    bool FExtract = false;    // the file is a program stream
    std::atomic<uint32_t> FBitRate{0};
    std::atomic<TDTSOutputChannels> FOutputChannels{dts5dot1};
};

} // namespace tarvio
