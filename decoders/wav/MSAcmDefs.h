#pragma once
// Records, result codes and flags of the audio compression layer (MSAcm.h). The values are
// those of the Audio Compression Manager, so that code written against that interface reads
// the same here.

#include <cstddef>
#include <cstdint>

namespace tarvio {

using MMRESULT = uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512; // no codec converts between these formats
constexpr MMRESULT ACMERR_BUSY = 513;
constexpr MMRESULT ACMERR_UNPREPARED = 514; // a header used before acmStreamPrepareHeader

// Wave format tags.
constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
constexpr uint16_t WAVE_FORMAT_DVI_ADPCM = 0x0011;
constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// acmMetrics: the largest format record of any codec, in bytes (a uint32_t).
constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;

// acmFormatSuggest: keep these fields of the destination as the caller set them.
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;

// acmStreamOpen.
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001; // only ask whether it is possible
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002; // not offered: ACMERR_NOTPOSSIBLE
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

// acmStreamSize: the length given is of the source (the answer is a destination length) or
// of the destination (the answer is a source length).
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;

// acmStreamConvert.
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004; // whole source blocks only
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;      // forget the state of earlier calls
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;        // no more source: give out the rest

// ACMSTREAMHEADER.fdwStatus.
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;

#pragma pack(push, 2)
// A wave format header; cbSize codec-specific bytes may follow it in the caller's record.
struct tWAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(tWAVEFORMATEX) == 18);
static_assert(offsetof(tWAVEFORMATEX, cbSize) == 16);

// One conversion's buffers. cbStruct must be sizeof(ACMSTREAMHEADER); the caller owns both
// buffers, which must stay valid from acmStreamPrepareHeader to acmStreamUnprepareHeader.
struct ACMSTREAMHEADER {
    uint32_t cbStruct;
    uint32_t fdwStatus;
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;     // bytes at pbSrc
    uint32_t cbSrcLengthUsed; // set by acmStreamConvert: source bytes taken
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;     // room at pbDst in bytes
    uint32_t cbDstLengthUsed; // set by acmStreamConvert: bytes written
    uintptr_t dwDstUser;
    uint32_t dwReservedDriver[10]; // the layer's own; the caller leaves it alone
};

class TAcmStream;
using HACMSTREAM = TAcmStream*;
using HACMDRIVER = void*; // no drivers are listed: always null
using HACMOBJ = void*;

} // namespace tarvio
