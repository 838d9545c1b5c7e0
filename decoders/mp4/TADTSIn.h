#pragma once
// Raw AAC in ADTS frames (".aac" files): each frame carries its own header, which Debian's
// faad2 (loaded at run time, as for MP4) reads directly. The output is what faad2 gives for
// the stream, as its command-line tool writes it: 16-bit PCM, every channel in the WAVE
// order, from the decoder's second frame on (the first frame's output is its delay).
//
// An ID3v2 tag before the first frame is skipped; the common tags stay empty (a tagged
// input all the same, so that the player shows the length as for other files). The length comes from a scan
// of every frame header when the file is at most ScanLimit bytes, which also makes seeking exact to the
// frame; a larger file's length is estimated from the bit rate of its first frames and a seek lands on the
// frame that bit rate predicts (the frames decoded may then run past the estimated length, or end before it).
// Damage: bytes between frames are skipped to the next frame (reported as lost sync), an incomplete last
// frame ends the data.

#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/TAuTaggedFileIn.h"

namespace tarvio {

struct TAdtsFaadLib;

class TADTSIn : public TAuTaggedFileIn {
public:
    explicit TADTSIn(TComponent* AOwner = nullptr);
    ~TADTSIn() override;

    // Files up to this many bytes have every frame header scanned while opening.
    static constexpr int64_t ScanLimit = 64ll << 20;
    // Another limit for the files opened after the call (bytes; tests use a small one).
    void SetScanLimit(int64_t Bytes) { FScanLimit = Bytes; }

    // Opens the file. Average bit rate in bits per second of the frames scanned.
    uint32_t Bitrate();
    // Opens the file. Whether the length and seeking come from a scan of every frame.
    bool Scanned();

protected:
    void OpenFile() override;
    void CloseFile() override;
    // To the frame holding SampleNum: exact after a scan, else by the bit rate.
    bool SeekInternal(int64_t& SampleNum) override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    struct THeader {
        uint32_t Length = 0; // bytes of the frame, header included
        uint32_t RateIndex = 0;
        uint32_t ChannelConfig = 0;
        uint32_t Blocks = 0; // raw data blocks: 1024 frames of audio each
    };
    struct TDecoderCloser {
        const TAdtsFaadLib* Lib = nullptr;
        void operator()(void* Decoder) const;
    };
    using TDecoderPtr = std::unique_ptr<void, TDecoderCloser>;

    // Reads the header at byte Offset; false when none starts there.
    bool HeaderAt(int64_t Offset, THeader& Header);
    // The first offset from Offset on (at most Limit bytes on) where a frame starts that is
    // followed by another frame or the end of the file; -1 when none.
    int64_t FindFrame(int64_t Offset, int64_t Limit);
    // Skips an ID3v2 tag at the start; the offset of what follows it.
    int64_t SkipId3v2();
    void OpenStream();
    // Reads the frame at FOffset into FFrame and decodes it into _Buf; false at the end.
    bool DecodeNext();
    void ReleaseAll();

    std::unique_ptr<TAdtsFaadLib> FFaad;
    int64_t FScanLimit = ScanLimit;
    TDecoderPtr HDecoder;
    std::vector<int64_t> FOffsets; // of every frame, after a scan; empty otherwise
    int64_t FFirstOffset = 0;      // of the first frame
    int64_t FFileSize = 0;
    double FBytesPerFrame = 0; // average, of the frames scanned
    int64_t FOffset = 0;       // of the next frame to decode
    int64_t FFrameId = 0;      // index of that frame
    int64_t FFrames = 0;       // in the file, counted or estimated
    uint32_t FFrameLength = 0; // output frames per ADTS frame
    int64_t FNext = 0;         // output frame (counted from the decoder's first) that comes next
    uint32_t FBitrate = 0;
    uint32_t FDecoderChannels = 0;
    std::vector<uint32_t> FChannelOrder; // output channel i is decoder channel FChannelOrder[i]
    std::vector<uint8_t> FFrame;         // grows only
    std::vector<uint8_t> _Buf;           // PCM of the last decoded frame
    uint32_t FBytesRead = 0, FBOffset = 0;
    uint32_t FEmptyFrames = 0;
};

} // namespace tarvio
