#pragma once
// DTS decoder: libdca, loaded at run time, decodes DTS Coherent Acoustics into interleaved
// signed 16-bit PCM in the pipeline's WAVE channel order.
//
// Two kinds of input:
// - any data holding a DTS stream: plain DTS files and DTS inside WAVE files, in every
//   packing libdca recognises (16-bit or 14-bit words, either byte order; 14-bit is the
//   packing of DTS audio CDs). The stream is found by trying every byte offset; the WAVE
//   header is never parsed. The first frame must lie within the first 1,048,577 offsets
//   (zero bytes, silence before the stream, are not counted), and, so that plain PCM
//   cannot pass for DTS by chance, another frame of the same format must follow it within
//   64 KiB (or the data must end there);
// - MPEG program streams (DVD VOB files, recognised by a pack start code at byte 0): the DTS
//   payload of private stream 1 substreams 0x88 to 0x8F (the first one met) with the sector
//   headers removed. The first frame must start within the first tenth of the file; only
//   32, 44.1 and 48 kHz streams are taken.
//
// Length unknown (Size -1) and not seekable. Frames whose sample rate or channel count
// differ from the first frame's, and frames the library rejects, are skipped. An
// incomplete last frame ends the data. A stream of four front and two rear channels
// (configuration 4F2R) opened with dts5dot1 raises EAuException at the open: no WAVE layout
// holds it.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "pipeline/TAuSyncFrameIn.h"

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

class TDTSIn : public TAuSyncFrameIn {
public:
    explicit TDTSIn(TComponent* AOwner = nullptr);
    ~TDTSIn() override;

    // The process-wide loader of libdca (loaded on the first open, never unloaded).
    static TLibraryLoader& LibDCA();

    // Read by every frame header, so set it before the file is opened.
    TDTSOutputChannels OutputChannels() const { return FOutputChannels; }
    void SetOutputChannels(TDTSOutputChannels Value) { FOutputChannels = Value; }

protected:
    TLibraryLoader& Library() override;
    bool ResolveEntryPoints(TLibraryLoader& Loader) override;
    void CreateState() override;
    void FreeState() override;
    // Substreams 0x88 to 0x8F; the first frame must start within the first tenth.
    std::unique_ptr<TAuVOBDemuxer> CreateDemuxer(TStream& Source) override;
    bool ReadHeader(const uint8_t* Data, THeader& Header) override;
    // The plain search over the first 1,048,577 offsets, or the program stream search.
    TSearch ReadFrame(bool Opening) override;
    // A frame the library rejects is skipped (and counted as a bad frame).
    TFrameStart StartFrame() override;
    // Null (a silent block) also when libdca wrote words of damage while it decoded.
    const float* DecodeBlock() override;

private:
    struct TStateDeleter {
        const TDCALib* Lib = nullptr;
        void operator()(dca_state_s* State) const;
    };
    struct TFileCloser {
        void operator()(std::FILE* File) const;
    };

    TSearch ReadVOBFrame(bool Opening);
    // Runs Call with the standard error of the process going to FMessages; true when libdca
    // wrote of damage there ("Didn't get subframe DSYNC", ...), its only word of it. Other
    // words go on to the standard error.
    template <class TCall> bool Heard(TCall Call);

    // libdca's words while it decodes a block: a fixed buffer, written through FMessages.
    char FMessageText[4096] = {};
    std::unique_ptr<std::FILE, TFileCloser> FMessages;

    std::unique_ptr<TDCALib> FLib;
    std::unique_ptr<dca_state_s, TStateDeleter> state;
    std::atomic<TDTSOutputChannels> FOutputChannels{dts5dot1};
};

} // namespace tarvio
