#pragma once
// AC-3 decoder: liba52, loaded at run time, decodes AC-3 into interleaved signed 16-bit PCM
// in the pipeline's WAVE channel order.
//
// Reads plain AC-3 streams and DVD VOB files (MPEG program streams, recognised by a pack
// start code at byte 0), of which it plays the AC-3 substream VobAudioSubstream chooses.
// Frames are found by trying every byte offset; only 32, 44.1 and 48 kHz streams are taken,
// and the first frame counts only when another of the same format follows it within 4 KiB
// (or the data ends there), so that stray sync words in other data are not taken for AC-3.
//
// Length unknown (Size -1) and not seekable. A frame the library rejects raises "Error
// reading AC3 frame"; frames whose sample rate or channel count differ from the first
// frame's are skipped; an incomplete last frame ends the data.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/ac3/TAuVOBAC3Demuxer.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TStreamReader.h"

namespace tarvio {

struct TA52Lib;

// The layout asked of liba52 for every frame.
enum TAC3OutputChannels : uint8_t {
    acc5dot1,  // as the stream has it (6 channels for 5.1)
    accMono,   // 1
    accStereo, // 2
};

class TAC3In : public TAuFileIn {
public:
    explicit TAC3In(TComponent* AOwner = nullptr);
    ~TAC3In() override;

    // The process-wide loader of liba52 (loaded on the first open, never unloaded).
    static TLibraryLoader& LibA52();

    // Both are read when the file is opened, so set them before.
    TAC3OutputChannels OutputChannels() const { return FOutputChannels; }
    void SetOutputChannels(TAC3OutputChannels Value) { FOutputChannels = Value; }
    TAC3VOBStream VobAudioSubstream() const { return FVobStream; }
    void SetVobAudioSubstream(TAC3VOBStream Value) { FVobStream = Value; }
    // Opens the file (when it is not open) and returns the bit rate in bits per second of
    // the last frame header read: before playback, the first frame's. Any thread.
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
    enum class TSearch { Found, End };
    struct THeader {
        int32_t Size = 0;        // bytes of the frame
        uint32_t Rate = 0;       // Hz
        uint32_t BitRate = 0;    // bits per second
        int32_t StreamFlags = 0; // the stream's configuration and LFE bit
        int32_t Flags = 0;       // the configuration asked of the library
        uint32_t Channels = 0;   // channels delivered for Flags
    };
    struct TStateDeleter {
        const TA52Lib* Lib = nullptr;
        void operator()(void* State) const;
    };

    // The library's verdict on the 7 bytes at Data; false when they start no usable header
    // (no frame, a rate other than 32, 44.1 or 48 kHz, or no channel count).
    bool ReadHeader(const uint8_t* Data, THeader& Header);
    // Finds the next frame and reads it into FrameBuf; Opening: the first frame of the file.
    TSearch ReadFrame(bool Opening);
    bool FollowedByFrame(const THeader& Header);
    // Starts decoding the frame in FrameBuf; false when it is to be skipped.
    bool StartFrame();
    void DecodeBlock();
    void Release();

    std::unique_ptr<TA52Lib> FLib;
    std::unique_ptr<void, TStateDeleter> state;
    std::vector<int16_t> _Buf;     // one decoded block: 256 frames of FChan samples
    std::vector<uint8_t> FrameBuf; // the current frame, header first
    std::unique_ptr<TAuVOBAC3Demuxer> FDemuxer;
    TStreamReader FReader;
    THeader FFrame;           // header of the frame in FrameBuf
    uint16_t _SampleSize = 0; // bytes per frame of output
    uint32_t Offset = 0;      // next byte of _Buf to hand out
    uint32_t BufEnd = 0;      // bytes of _Buf holding the block
    int32_t BlockCount = 6;   // blocks in the current frame
    int32_t CurrentBlock = 1; // 1-based next block to decode
    uint8_t FPlane[8] = {};   // library plane of each delivered channel
    uint8_t FSlot[8] = {};    // its place in the interleaved frame
    bool FExtract = false;    // the file is a program stream
    std::atomic<uint32_t> FBitRate{0};
    std::atomic<TAC3OutputChannels> FOutputChannels{acc5dot1};
    std::atomic<TAC3VOBStream> FVobStream{acvStreamFirst};
};

} // namespace tarvio
