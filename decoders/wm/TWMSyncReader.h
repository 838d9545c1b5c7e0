#pragma once
// The media reader: a synchronous reader of MP3 and ASF (Windows Media) files over FFmpeg
// (libavformat, libavcodec, libswresample) and, for MPEG audio, libmpg123 (TMpg123Decoder:
// gapless, exact to the ISO accuracy limits; FFmpeg's demuxer gives only its length). It reads the file only
// through a TAudioStream and offers what the Windows Media inputs rely on: outputs (the file's audio streams)
// with their current format, per output an ordered list of PCM formats, the choice of one,
// decoded samples of that format, sample-exact repositioning and the header attributes.
//
// Outputs are numbered from 0; the stream number of output i is i + 1. Formats of an
// output, in order: the stream's own rate and channel count at 16 bits; with the output
// setting "EnableDiscreteOutput" also at 24 bits; with "SpeakerConfig" 6 or 8 also a 6- or
// 8-channel fold-down of a stream with more channels (the same two widths). PCM is
// interleaved little-endian signed in the WAVE channel order.
//
// Results are 0 for success, anything else a failure; no call raises. One reader is used
// by one thread at a time; any number of readers may exist at once.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "decoders/wm/TAudioStream.h"
#include "decoders/wm/TWMAttribute.h"
#include "decoders/wm/TWMHeaderInfo.h"
#include "decoders/wm/TWMMediaType.h"
#include "decoders/wm/TWMSampleBuffer.h"

namespace tarvio {

inline constexpr uint32_t WM_OK = 0;
inline constexpr uint32_t WM_E_FAIL = 0x80004005;
inline constexpr uint32_t WM_E_INVALIDARG = 0x80070057;
inline constexpr uint32_t WM_E_UNEXPECTED = 0x8000FFFF;
inline constexpr uint32_t ASF_E_NOTFOUND = 0xC00D07F0;
inline constexpr uint32_t NS_E_PROTECTED_CONTENT = 0xC00D0BBD;
inline constexpr uint32_t NS_E_NO_MORE_SAMPLES = 0xC00D0BCF;

// Damage the MPEG audio decoder met since the file was opened: skips to find the next frame
// (lost sync), frames that did not decode and frames whose CRC does not match, each with
// the output frame where first met.
struct TWMDamage {
    uint32_t LostSync = 0;
    int64_t LostSyncAt = -1;
    uint32_t Undecodable = 0;
    int64_t UndecodableAt = -1;
    uint32_t Checksum = 0;
    int64_t ChecksumAt = -1;
};

class TWMSyncReader {
public:
    TWMSyncReader();
    ~TWMSyncReader();
    TWMSyncReader(const TWMSyncReader&) = delete;
    TWMSyncReader& operator=(const TWMSyncReader&) = delete;

    // Opens the MP3 or ASF file that starts at the stream's current position (the
    // position is byte 0 of the file from then on). Stream is not owned and must outlive
    // the reader or its Close. MPEG audio whose frames follow one another from right after
    // its ID3v2 tags is read by libmpg123 alone; anything else needs FFmpeg. Fails for other
    // formats, files without a readable header, and, for those, when FFmpeg's libraries
    // cannot be loaded.
    uint32_t OpenStream(TAudioStream* Stream);
    // Releases the file; the reader may open another one.
    uint32_t Close();

    uint32_t GetOutputCount(uint32_t& Outputs) const;
    // The output's current format: the one chosen with SetOutputProps, else the stream's
    // own rate and channel count at 16 bits.
    uint32_t GetOutputProps(uint32_t Output, TWMMediaType& Props) const;
    // "EnableDiscreteOutput" (BOOL) and "SpeakerConfig" (DWORD); they change the list of
    // formats, not the chosen one. Other names fail.
    uint32_t SetOutputSetting(uint32_t Output, std::string_view Name, const TWMAttribute& Value);
    uint32_t GetOutputFormatCount(uint32_t Output, uint32_t& Formats) const;
    uint32_t GetOutputFormat(uint32_t Output, uint32_t Format, TWMMediaType& Props) const;
    // Chooses the format samples of the output are delivered in; it must be one of the
    // output's formats. PCM already decoded for the old format is dropped.
    uint32_t SetOutputProps(uint32_t Output, const TWMMediaType& Props);
    uint32_t GetStreamNumberForOutput(uint32_t Output, uint16_t& StreamNum) const;
    // Decoded samples only: Compressed true fails. NS_E_PROTECTED_CONTENT for a file with
    // an ASF content-encryption or extended-content-encryption object.
    uint32_t SetReadStreamSamples(uint16_t StreamNum, bool Compressed);
    // The header attributes; owned by the reader, null while no file is open.
    TWMHeaderInfo* HeaderInfo();

    // The next block of PCM of the stream (at most 50 ms of it) into Sample. SampleTime is
    // its start and Duration its length in 100-ns units; Flags is 0; OutputNum and
    // StreamNumOut name its output. NS_E_NO_MORE_SAMPLES at the end of the data,
    // NS_E_PROTECTED_CONTENT for protected content; other failures are errors.
    uint32_t GetNextSample(uint16_t StreamNum, TWMSampleBuffer& Sample, uint64_t& SampleTime,
                           uint64_t& Duration, uint32_t& Flags, uint32_t& OutputNum, uint16_t& StreamNumOut);
    // The next sample starts exactly at Start (100-ns units, from the start of the audio),
    // or the data ends when Start lies past it. Only Duration 0 (to the end) is supported.
    // The move itself happens at the next GetNextSample.
    uint32_t SetRange(uint64_t Start, int64_t Duration);

    // Damage met in MPEG audio so far (none for ASF).
    TWMDamage Damage() const;
    // Why the data ended before the file's end, in the decoder's words; "" when it did not.
    const std::string& ErrorText() const;
    // The library decoding the open file ("libmpg123" for MPEG audio, else "FFmpeg") and the
    // MPEG audio layer (1-3; 0 for ASF).
    std::string DecoderName() const;
    int MpegLayer() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// Makes a reader; FFmpeg is loaded when the first file that needs it is opened.
uint32_t WMCreateSyncReader(std::unique_ptr<TWMSyncReader>& Reader);

// The layer's initialisation, any thread: loads FFmpeg's libraries (TFFmpegLibrary; false
// when they cannot be loaded) and, once, quiets FFmpeg's log, since the pipeline writes no
// log. OpenStream calls it for a file that is not plain MPEG audio.
bool LoadWMRuntime();

} // namespace tarvio
