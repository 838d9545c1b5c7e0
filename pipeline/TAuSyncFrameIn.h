#pragma once
// Base of decoders for streams of self-contained frames that start with a sync header and
// decode to 256-frame blocks of float planes (AC-3, DTS), played from plain streams or from
// the private stream 1 payload of MPEG program streams (DVD VOB files, recognised by a pack
// start code at byte 0).
//
// It finds frames by trying every byte offset, confirms the first one by another frame of
// the same format that follows it, keeps the current frame in a buffer, hands out the
// decoded blocks as interleaved signed 16-bit PCM in the WAVE channel order, and releases
// the stream. The decoder supplies its library: loading, the state, header parsing, the
// demultiplexer's substreams, and the decoding of a frame and of each block.
//
// Length unknown (Size -1) and never seekable. The format is the first frame's: later
// frames of another rate, and those StartFrame refuses, are skipped; an incomplete last
// frame ends the data.
//
// Damage (TAuFileIn::ReportDamage): a frame the library rejects, or one with a block it
// cannot decode (that block and the rest of the frame play as silence), is a bad frame;
// bytes other than zeros skipped between two frames are lost sync; an incomplete last frame,
// or a program stream that ends inside a sector, is data that ends early. Each is reported
// at the frame of the output where it was met. Playback goes on through all of them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuVOBDemuxer.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TStreamReader.h"

namespace tarvio {

class TAuSyncFrameIn : public TAuFileIn {
public:
    // Opens the file (when it is not open) and returns the bit rate in bits per second of
    // the last frame header read: before playback, the first frame's; 0 when not valid.
    // Any thread.
    uint32_t BitRate();

protected:
    // Largest frame taken, in bytes.
    static constexpr uint32_t MaxFrameBytes = 32768;

    enum class TSearch { Found, End, Lost };
    // A frame header as the decoder reads it.
    struct THeader {
        int32_t Size = 0;        // bytes of the frame in the stream
        uint32_t Rate = 0;       // Hz
        uint32_t BitRate = 0;    // bits per second
        int32_t StreamFlags = 0; // the stream's configuration and LFE bit
        int32_t Flags = 0;       // the configuration asked of the library
        uint32_t Channels = 0;   // channels delivered for Flags
    };

    // HeaderBytes: bytes ReadHeader looks at; ConfirmBytes: how far after the first frame the
    // next must start; SearchOffsets: offsets SearchFrame tries before it gives up (Lost).
    TAuSyncFrameIn(TComponent* AOwner, uint32_t HeaderBytes, uint32_t ConfirmBytes, int64_t SearchOffsets);

    void OpenFile() override;
    void CloseFile() override;
    // Never seekable: false.
    bool SeekInternal(int64_t& SampleNum) override;
    // At most the rest of one 256-frame block per call; whole frames unless less than one
    // is asked for. Raises "Sync lost" when ReadFrame loses the stream.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

    // The decoder's hooks. Library to CreateDemuxer are called while opening, under OpenCS;
    // ReadHeader and ReadFrame while opening and on the thread that pulls the data;
    // StartFrame and DecodeBlock on that thread.
    // The library's process-wide loader, and the entry points resolved through it (called
    // with the library loaded, under LibraryLoadLock); false when one is missing.
    virtual TLibraryLoader& Library() = 0;
    virtual bool ResolveEntryPoints(TLibraryLoader& Loader) = 0;
    // A new decoder state; raises EAuException when the library gives none.
    virtual void CreateState() = 0;
    virtual void FreeState() = 0;
    // The demultiplexer of a program stream on Source, its substreams chosen.
    virtual std::unique_ptr<TAuVOBDemuxer> CreateDemuxer(TStream& Source) = 0;
    // The library's verdict on the HeaderBytes bytes at Data; false when they start no
    // usable header. The library may keep what it learns from the last header read.
    virtual bool ReadHeader(const uint8_t* Data, THeader& Header) = 0;
    // Finds the next frame and reads it into FrameBuf; Opening: the first frame of the file.
    virtual TSearch ReadFrame(bool Opening) = 0;
    // What StartFrame makes of a frame.
    struct TFrameStart {
        int32_t Blocks = 0;    // 256-frame blocks it delivers; 0: skipped without a word
        bool Rejected = false; // the library refused it: counted as a bad frame, and its
                               // Blocks (0: none) are delivered as silence
    };
    // Starts decoding the frame in FrameBuf (of the first frame's rate) and, unless it is
    // rejected, sets FPlane and FSlot.
    virtual TFrameStart StartFrame() = 0;
    // Decodes the next block: 256 floats per library plane, or null when the block is to
    // stay silent.
    virtual const float* DecodeBlock() = 0;

    // The plain search: tries each offset for a header ReadHeader takes (the first frame
    // confirmed by FollowedByFrame), up to SearchOffsets offsets. Zero bytes are passed over
    // without being counted: they are silence in every packing and start no sync word, and
    // rips of DTS CDs may open with seconds of them.
    TSearch SearchFrame(bool Opening);
    // Reads the frame at the reader's position (whose header is Header) into FrameBuf; the
    // first frame sets the format. An incomplete frame ends the data (End), reported as data
    // that ends early when it is not the first.
    TSearch TakeFrame(const THeader& Header, bool Opening);

    std::vector<uint8_t> FrameBuf;           // the current frame, header first
    THeader FFrame;                          // header of the frame in FrameBuf
    std::unique_ptr<TAuVOBDemuxer> FDemuxer; // set while a program stream is open
    TStreamReader FReader;                   // the plain stream or the demultiplexer
    bool FExtract = false;                   // the file is a program stream
    uint8_t FPlane[8] = {};                  // library plane of each delivered channel
    uint8_t FSlot[8] = {};                   // its place in the interleaved frame

private:
    // Whether another frame like Header follows the one at the reader's position within
    // ConfirmBytes, or the data ends before.
    bool FollowedByFrame(const THeader& Header);
    void Release();

    const uint32_t FHeaderBytes;
    const uint32_t FConfirmBytes;
    const int64_t FSearchOffsets;
    std::vector<int16_t> FBlock; // one decoded block: 256 frames of FChan samples
    uint16_t FFrameBytes = 0;    // bytes per frame of output
    uint32_t FBlockPos = 0;      // next byte of FBlock to hand out
    uint32_t FBlockEnd = 0;      // bytes of FBlock holding the block
    int32_t FBlockCount = 1;     // blocks in the current frame
    int32_t FCurrentBlock = 1;   // 1-based next block to decode
    bool FSilentFrame = false;   // the current frame was rejected: its blocks are silence
    bool FFrameDamaged = false;  // the current frame was counted as a bad frame
    std::atomic<uint32_t> FBitRate{0};
};

} // namespace tarvio
