#pragma once
// Converts the audio data of a RIFF WAVE file from one wave format into another through the
// audio compression layer (MSAcm.h). The converter is itself a memory stream: its contents
// are always the bare sample data (the body of the "data" chunk), in CurrentFormat.
//
// Whole files: LoadStream, the caller fills NewFormat (acmFormatSuggest), Convert,
// SaveWavToStream. Piece by piece, for data too large to hold (the WAV decoder's use):
// fill CurrentFormat (SetCurrentFormat) and NewFormat, then OpenConversion, ConvertBlock per
// piece, CloseConversion. Results are 0 or the layer's error code (MSAcmDefs.h). One thread
// at a time.

#include <cstdint>
#include <vector>

#include "decoders/wav/MSAcmDefs.h"
#include "decoders/wav/TACMWaveFormat.h"
#include "pipeline/TMemoryStream.h"

namespace tarvio {

class TWaveConverter : public TMemoryStream {
public:
    // Result of SaveWavToStream when writing failed.
    static constexpr int32_t SaveError = 286;

    TWaveConverter();
    ~TWaveConverter() override;

    // Reads a RIFF WAVE file from Stream, which must stand at the file's start: the "fmt "
    // chunk becomes CurrentFormat, the body of the last non-empty "data" chunk the contents
    // (read straight into them, cut to what the stream holds). Identifiers are compared
    // exactly. A stream that is not RIFF WAVE loads nothing and gives 0; a "fmt " chunk
    // larger than the 129-byte record is refused with MMSYSERR_INVALPARAM and nothing loaded.
    // Rewinds the converter.
    int32_t LoadStream(TStream& Stream);
    // Converts the whole contents from CurrentFormat into NewFormat in one call of the layer.
    // On success the contents are the converted bytes (exactly those produced) and
    // CurrentFormat is NewFormat. On failure both are as they were, unless the failure came
    // after the conversion itself. MMSYSERR_NOMEM when the output does not fit in memory.
    int32_t Convert();
    // Writes a WAV file of the contents in CurrentFormat at MS's position, which the caller
    // has set to 0: "RIFF" (file size - 8), "WAVE", a 16-byte "fmt " chunk, "data" and the
    // contents. Keeps the converter's position. 0, or SaveError when anything failed.
    int32_t SaveWavToStream(TStream& MS);

    // CurrentFormat from the body of a "fmt " chunk of Size bytes; the rest of the record is
    // zeroed. MMSYSERR_INVALPARAM (and CurrentFormat unchanged) when Size exceeds 129 bytes.
    int32_t SetCurrentFormat(const uint8_t* Body, uint32_t Size);

    // A conversion piece by piece from CurrentFormat into NewFormat. OpenConversion closes
    // an earlier one first. ConvertBlock converts SrcLength bytes at Src (all of them; a
    // partial block waits for the next piece) into Dst, at most DstLength bytes, and sets
    // DstUsed. Output that does not fit is held for the next call: while DstUsed is
    // DstLength, call again with no source to keep what is held small. Last gives out
    // everything left; repeat it with no source until DstUsed is 0. BlockBound: Dst bytes
    // that a piece of SrcLength bytes gives at most.
    int32_t OpenConversion();
    int32_t BlockBound(uint32_t SrcLength, uint32_t& DstLength) const;
    int32_t ConvertBlock(const uint8_t* Src, uint32_t SrcLength, bool Last, uint8_t* Dst, uint32_t DstLength,
                         uint32_t& DstUsed);
    void CloseConversion();

    // The largest format record of any codec of the layer, in bytes.
    uint32_t MaxFmtSize() const { return FMaxFmtSize; }

    TACMWaveFormat CurrentFormat; // the format of the contents
    TACMWaveFormat NewFormat;     // the format to convert to

private:
    uint32_t FMaxFmtSize = 0;
    HACMSTREAM FStreamHandle = nullptr; // the conversion of OpenConversion
};

} // namespace tarvio
