#pragma once
// WavPack decoder: libwavpack, loaded at run time, reads the input's own stream through
// callbacks. A hybrid file is read together with its correction file (the same name with
// the extension ".wvc", or a stream the caller assigns), which makes it lossless again;
// without one, the lossy part plays. The library's 32-bit samples are packed into
// interleaved little-endian PCM of the file's own width: 8 bits unsigned (silence 128), 16,
// 24 or 32 bits signed; 32-bit float data becomes 32-bit integers, clipped at +/-1.0. A
// width that is not a whole number of bytes (20-bit audio) comes in its container's width
// (24 bits), as the library hands it out.
//
// Tags: an APEv2 tag fills APEv2Tags and the common tags; an ID3v1 tag fills Id3v1Tags
// only (its text in the legacy code page), leaving the common tags empty; the "Cuesheet"
// item is kept as Cuesheet.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders/wavpack/TWavpackDecoder.h"
#include "pipeline/TAuTaggedFileIn.h"

namespace tarvio {

class TId3v1Tags;
class TAPEv2Tags;

class TWVIn : public TAuTaggedFileIn {
public:
    explicit TWVIn(TComponent* AOwner = nullptr);
    ~TWVIn() override;

    // The correction stream: the caller's, or the ".wvc" file the input opened itself
    // (owned by the input, valid while the file is open); null when none is in use.
    TStream* CorrectionsStream() const { return FCorrectionsStream; }
    // A stream of the caller's (not owned; must outlive its use), or null to look for the
    // ".wvc" file again. Ignored while the input runs or when it is the current one;
    // otherwise the open file is closed so that the next open reads with it.
    void SetCorrectionsStream(TStream* Value);

    // Each of these opens the file first (raising as OpenFile does) and answers for it.
    // The tag containers are owned by the input.
    TId3v1Tags* Id3v1Tags();
    TAPEv2Tags* APEv2Tags();
    bool Hybrid();
    bool Lossless();
    std::u16string Cuesheet();
    // The library's mode word of the open file (with wvmfWVC when the correction data is
    // in use).
    TwvModeFlags Mode();

protected:
    void OpenFile() override;
    void CloseFile() override;
    // Exact: the next data starts at frame SampleNum; at or beyond the end of a file of
    // known length, the stream ends. False when the library cannot seek there; the stream
    // then ends too, as the library's state is lost.
    bool SeekInternal(int64_t& SampleNum) override;
    // Whole frames; a request smaller than one frame gets the first bytes of the next
    // frame, and the following requests the rest of it.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    // The decoder over the main stream, with Corrections or without; the main stream is
    // read from its start.
    std::unique_ptr<TWavpackDecoder> OpenDecoder(TStream* Corrections);
    // True when the library takes FCorrectionsStream and the first frame decodes with it
    // without a failed check: a ".wvc" made for another file fails it (the library would
    // then play the lossy part while calling the file lossless).
    bool CorrectionsMatch();
    void FillTags();
    // Reads the genre byte of the ID3v1 block at the end of the main stream, which the
    // library does not report; -1 when there is none. The stream position is kept.
    int ReadId3v1Genre();
    void ReleaseStreams();

    bool FCorrectionsStreamAssigned = false;
    TStream* FCorrectionsStream = nullptr;
    std::unique_ptr<TStream> FOwnedCorrectionsStream; // the ".wvc" file opened here
    std::unique_ptr<TWavpackDecoder> FDecoder;
    // Unpack buffer, one 32-bit sample per channel and frame; the packed PCM is written
    // over it in place. Grows to the largest request; never shrinks while the file is open.
    std::vector<int32_t> FBuffer;
    uint32_t FPendingStart = 0; // bytes of a frame split by a small request:
    uint32_t FPendingEnd = 0;   // FBuffer bytes FPendingStart .. FPendingEnd - 1 are due
    bool FHybrid = false;
    bool FLossless = false;
    bool FFloat = false;
    bool FAtEnd = false;      // a seek went to the end of the file
    bool FSeekFailed = false; // the library's state is lost: no more data from this open
    int32_t FErrorsSeen = 0;  // failed block checks already reported as damage
    uint32_t FBytesPerSample = 0;
    int64_t FFileSamples = -1; // frames in the file; -1 when unknown
    TwvModeFlags FMode;
    std::u16string FCueSheet;
};

} // namespace tarvio
