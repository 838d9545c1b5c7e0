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
// Length unknown (Size -1) and not seekable. A frame the library rejects (a scratch on the
// disc) plays as 1536 frames of silence, so that the timing holds, and counts as a bad
// frame; when the data ends without one block decoded, "Error reading AC3 frame" is raised.
// Frames whose sample rate or channel count differ from the first frame's are skipped; an
// incomplete last frame ends the data.

#include <atomic>
#include <cstdint>
#include <memory>

#include "decoders/ac3/TAuVOBAC3Demuxer.h"
#include "pipeline/TAuSyncFrameIn.h"

namespace tarvio {

struct TA52Lib;

// The layout asked of liba52 for every frame.
enum TAC3OutputChannels : uint8_t {
    acc5dot1,  // as the stream has it (6 channels for 5.1)
    accMono,   // 1
    accStereo, // 2
};

class TAC3In : public TAuSyncFrameIn {
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

protected:
    TLibraryLoader& Library() override;
    bool ResolveEntryPoints(TLibraryLoader& Loader) override;
    void CreateState() override;
    void FreeState() override;
    std::unique_ptr<TAuVOBDemuxer> CreateDemuxer(TStream& Source) override;
    // False also for rates other than 32, 44.1 and 48 kHz, and for configurations that give
    // no channel count.
    bool ReadHeader(const uint8_t* Data, THeader& Header) override;
    // The plain search, without limit: it fails only where the data ends. Raises "Error
    // reading AC3 frame" there when the library decoded no block at all of a damaged stream.
    TSearch ReadFrame(bool Opening) override;
    // 6 blocks; silent ones when the library rejects the frame.
    TFrameStart StartFrame() override;
    const float* DecodeBlock() override;

private:
    struct TStateDeleter {
        const TA52Lib* Lib = nullptr;
        void operator()(void* State) const;
    };

    std::unique_ptr<TA52Lib> FLib;
    std::unique_ptr<void, TStateDeleter> state;
    std::atomic<TAC3OutputChannels> FOutputChannels{acc5dot1};
    std::atomic<TAC3VOBStream> FVobStream{acvStreamFirst};
    uint32_t FDecodedBlocks = 0; // blocks the library decoded since the file was opened
    uint32_t FDamagedFrames = 0; // frames it refused or could not decode whole
};

} // namespace tarvio
