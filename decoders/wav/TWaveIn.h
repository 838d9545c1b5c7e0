#pragma once
// WAV decoder: RIFF WAVE files of integer PCM (8, 16, 24, 32 bits, delivered as stored),
// IEEE float (32 or 64 bits, delivered as 32-bit integers), the extensible format with a PCM
// or float sub-format, IMA/DVI ADPCM and Microsoft ADPCM (decoded here to 16 bits, block by
// block), and MPEG Layer 3 (format tag 0x55), A-law (6), mu-law (7) and GSM 6.10 (0x31)
// data (also as the sub-format of an extensible file), converted to 16-bit PCM through the
// wave converter as it is read. Multichannel data
// is delivered in the file's own order, which is the WAVE order the pipeline uses.
//
// The header is found by a small chunk state machine over the first 64 KiB: junk before
// "RIFF", identifiers in either letter case and unknown chunks are passed over. RF64 and
// BW64 files read as RIFF, with the 64-bit RIFF and data sizes of their "ds64" chunk where
// the 32-bit fields hold 0xFFFFFFFF. A "fact" chunk must come before "data" for ADPCM and
// MPEG data. Title, artist, album, genre, year
// and track come from a LIST/INFO chunk before or after the data, when there is one.

#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/TAuTaggedFileIn.h"

namespace tarvio {

class TWaveConverter;

// The kind of data a file holds.
enum TWavType : uint8_t {
    wtUnsupported = 0,  // not playable
    wtPCM = 1,          // integer PCM (tag 1)
    wtDVIADPCM = 2,     // IMA/DVI ADPCM, 4 bits per sample (tag 0x11)
    wtMSADPCM = 3,      // Microsoft ADPCM (tag 2)
    wtACM = 4,          // MPEG Layer 3 (tag 0x55), converted to PCM
    wtIEEEFloat = 5,    // IEEE float (tag 3)
    wtExtPCM = 6,       // extensible (tag 0xFFFE), PCM sub-format
    wtExtIEEEFloat = 7, // extensible, IEEE float sub-format
};

// "wtPCM" and so on; "wtUnsupported" for a value out of range.
const char* WavTypeName(TWavType Type);

// The container a file came in.
enum TWavContainer : uint8_t { wcRIFF, wcRF64, wcBW64 };

// IMA/DVI ADPCM parameters: the block align, samples per block and the "fact" count of
// samples per channel.
struct TDVI_ADPCM_INFO {
    uint16_t BlockLength;
    uint16_t SamplesPerBlock;
    int32_t DataSize;
};

// The predictor and step index of each channel at the start of the current IMA block.
struct TDVI_ADPCM_STATE_STEREO {
    int16_t valprev_l;
    uint8_t index_l;
    int16_t valprev_r;
    uint8_t index_r;
};

struct TMSADPCMCoefSet {
    int16_t Coef1;
    int16_t Coef2;
};

// Microsoft ADPCM parameters and the file's coefficient pairs.
struct TMS_ADPCM_INFO {
    uint16_t BlockLength;
    uint16_t SamplesPerBlock;
    uint32_t DataSize;
    uint16_t NumCoeff;
    TMSADPCMCoefSet CoefSets[32];
};

// The Microsoft ADPCM block header as stored (14 bytes in stereo; index 0 = left or mono).
struct TMSADPCMBlockHeaderStereo {
    uint8_t predictor[2];
    int16_t Delta[2];
    int16_t Samp1[2];
    int16_t Samp2[2];
};

class TWaveIn : public TAuTaggedFileIn {
public:
    explicit TWaveIn(TComponent* AOwner = nullptr);
    ~TWaveIn() override;

    // The kind of data; opens the file first.
    TWavType WavType();
    // The format tag of the "fmt " chunk (0xFFFE for extensible files); opens the file
    // first; 0 when none was found.
    uint16_t FormatTag();
    // The codec of data converted through the compression layer, as ffmpeg names it
    // ("mp3", "pcm_alaw", "pcm_mulaw", "gsm_ms"); nullptr for other data. Opens the file first.
    const char* CodecName();
    // RIFF, RF64 or BW64; opens the file first.
    TWavContainer Container();

    // The decoder's own buffer: every block is decoded or read into it.
    static constexpr uint32_t BufferSize = 16384;

protected:
    // Opens and parses. Invalid (Valid false): no "data" chunk within the first 65535 bytes,
    // an unknown format tag or sub-format, or a header the decoders cannot hold (ADPCM with
    // more than two channels, blocks too large for the buffer, more than 32 Microsoft ADPCM
    // coefficient pairs or a first block whose predictor or step index lies outside its
    // table, PCM widths other than 8, 16, 24 and 32 bits), or MPEG data the converter
    // cannot take. A "data" length beyond the end of the file is cut to the file (and
    // reported as dkCutShort when the data ends); 0xFFFFFFFF and 0 (a stream, or a header
    // never finished) read to its end. PCM data in which DTS sync words recur at frame
    // intervals raises EAuException: it is DTS, never to be played as PCM.
    void OpenFile() override;
    void CloseFile() override;
    // Exact for PCM, float and ADPCM (a block is decoded from its start and the frames
    // before the target dropped); A-law, mu-law and GSM start a new conversion at the block
    // that holds the target (GSM's decoder state starts afresh there). MPEG data cannot seek
    // (Seekable is false).
    bool SeekInternal(int64_t& SampleNum) override;
    // Whole frames, unless less than one frame is asked for. 0 bytes at the end of the data.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    enum class TParseState { ExpectRiff, ExpectWave, ExpectFmt, ExpectFact, ExpectData };

    void ParseWaveHeader();
    bool TakeFormat(const uint8_t* Body, uint32_t Size);
    bool CheckFormat();
    bool CheckFirstBlock();
    bool OpenConverter();
    bool HoldsDTS();
    // Frames of the MPEG Layer 3 data estimated from its first frame header's bit rate
    // and the data's length; -1 when no header is found. Moves the stream.
    int64_t MpegFramesEstimate();
    void ReadInfoTags(const uint8_t* Body, uint32_t Size);
    void ReadTrailingInfo();

    uint32_t ReadFrames(uint32_t FrameBytes);
    bool ReadBlock();
    bool ReadDVIBlock();
    bool ReadMSBlock();
    uint32_t DecodeDVIMono();
    uint32_t DecodeDVIStereo();
    uint32_t DecodeMSMono();
    uint32_t DecodeMSStereo();
    uint32_t ConvertMore();
    uint32_t BlockFrames() const; // frames one ADPCM block gives
    // A-law, mu-law or GSM data: converted, in blocks of CodecBlockBytes bytes that give
    // CodecBlockFrames frames each.
    bool IsBlockCodec() const;
    uint32_t CodecBlockBytes() const;
    uint32_t CodecBlockFrames() const;

    alignas(8) uint8_t buf[BufferSize];
    TWavType _WavType = wtUnsupported;
    TDVI_ADPCM_INFO DVI_ADPCM_INFO{};
    TDVI_ADPCM_STATE_STEREO DVI_ADPCM_STATE{};
    TMS_ADPCM_INFO MS_ADPCM_INFO{};
    TMSADPCMBlockHeaderStereo MS_ADPCM_STATE{};
    uint16_t HeaderSize = 0; // bytes from the start of the stream to the data
    bool ShortIEEEFloat = false;

    uint16_t FFormatTag = 0;
    uint16_t FCodecTag = 0;        // FFormatTag, or an extensible file's A-law or mu-law sub-format
    std::vector<uint8_t> FFmtBody; // the "fmt " chunk's body
    uint64_t FDataLength = 0;      // the "data" chunk's length field (or ds64's)
    uint64_t FRiffLength = 0;      // the "RIFF" chunk's length field (or ds64's)
    TWavContainer FContainer = wcRIFF;
    bool FDs64 = false;                         // the two lengths came from a "ds64" chunk
    bool FCutShort = false;                     // the data ends before its stated length
    bool FCutReported = false;                  // and that was reported in this run
    int64_t FDataEnd = 0;                       // stream offset after the last data byte to read
    int64_t FReadPos = 0;                       // the stream's position, kept here (-1: unknown)
    std::vector<uint8_t> FBlock;                // the compressed bytes of one block or piece
    int64_t FSkipFrames = 0;                    // frames of the next decoded block to drop (after a seek)
    std::unique_ptr<TWaveConverter> FConverter; // MPEG data
    bool FConverterEnding = false;              // the last piece of source has gone in
    bool FConverterDone = false;                // and everything has come out
    bool FConverterFull = false;                // the last piece filled buf
    std::vector<uint8_t> FListChunk;            // a LIST chunk met before the data
};

} // namespace tarvio
