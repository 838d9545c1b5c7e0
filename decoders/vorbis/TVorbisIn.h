#pragma once
// Ogg Vorbis decoder: vorbisfile, loaded at run time with libogg, libvorbis and
// libvorbisenc, and driven through callbacks over the input's own stream. Delivers
// interleaved signed 16-bit little-endian PCM, with 3 to 8 channels put from Vorbis's channel
// order into the pipeline's WAVE order. The stream's comments fill Comments and the
// common tags. Chained files (several logical bitstreams one after another) play as one
// stream as long as the links share channel count and sample rate.
//
// The process's floating-point state is left as it is; the libraries need nothing special.

#include <array>
#include <cstdint>
#include <memory>

#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TLibraryLoader.h"
#include "tags/TVorbisTags.h"

struct OggVorbis_File;

namespace tarvio {

struct TVorbisLib;

class TVorbisIn : public TAuTaggedFileIn {
public:
    explicit TVorbisIn(TComponent* AOwner = nullptr);
    ~TVorbisIn() override;

    // The process-wide loaders, opened in this order on the first open, never unloaded.
    static TLibraryLoader& LibOgg();
    static TLibraryLoader& LibVorbis();
    static TLibraryLoader& LibVorbisFile();
    static TLibraryLoader& LibVorbisEnc();

    // Open the file and return its comments (owned by the input) or the stream header's
    // bit rates in bits per second (0 or -1 where the header gives none).
    TVorbisTags* Comments();
    int32_t MaxBitrate();
    int32_t NominalBitrate();
    int32_t MinBitrate();
    // While playing, bits per second of the data decoded since the last call (0 or -1 when
    // unchanged); 0 when not playing. Any thread; waits for a data call in progress.
    int32_t InstantBitRate();
    // While playing a seekable file, the number of logical bitstreams (links); else 0.
    int32_t BitStreams();
    // While playing a seekable file, the link being decoded (0-based); else -1. Writing a
    // link number in 0 .. BitStreams-1 moves playing to the start of that link; any other
    // value, or a write while not playing, does nothing.
    int32_t CurrentBitStream();
    void SetCurrentBitStream(int32_t Value);

protected:
    void OpenFile() override;
    void CloseFile() override;
    bool SeekInternal(int64_t& SampleNum) override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    struct TCallbacks;
    friend struct TCallbacks;
    // Releases an opened OggVorbis_File (ov_clear); the memory stays with VFile.
    struct TClear {
        const TVorbisLib* Lib = nullptr;
        void operator()(OggVorbis_File* File) const;
    };

    static constexpr uint32_t BufferSize = 12288;

    void Refill();
    // Takes a vorbisfile result: a link whose decoder could not be set up leaves libvorbis
    // with half-built codebooks that a later read or seek would run on (and crash), so from
    // then on this open file delivers nothing more and refuses seeks.
    void NoteFailure(int Result);
    // Puts Bytes (whole frames) of decoded PCM from Vorbis's order into WAVE order.
    void Reorder(uint8_t* Data, uint32_t Bytes) const;
    // Releases the stream the input opened, or rewinds an assigned one.
    void ReleaseStream();

    std::unique_ptr<TVorbisTags> FComments;
    // Decoded PCM; bytes BufStart to BufEnd (1-based, inclusive) are still to be handed out.
    std::array<uint8_t, BufferSize> buf{};
    std::unique_ptr<TVorbisLib> FLib;                   // this input's entry points
    std::unique_ptr<OggVorbis_File> VFile;              // the decoder state's memory
    std::unique_ptr<OggVorbis_File, TClear> FOpenVFile; // set while VFile is open
    int cursec = -1;                                    // link reported by the last read
    bool FReorder = false;                              // 3 to 8 channels: Vorbis order to WAVE order
    std::array<uint8_t, 8> FWavePosition{};             // WAVE slot of each Vorbis channel
    bool FLibraryEnded = false;                         // the library has no more data for this run
    bool FLinkBroken = false;                           // see NoteFailure; cleared by the next open
    int64_t FFormatChangeFrame = -1;                    // frame where a link of another format begins, or -1
    int32_t FMaxBitrate = 0;
    int32_t FNominalBitrate = 0;
    int32_t FMinBitrate = 0;
};

} // namespace tarvio
