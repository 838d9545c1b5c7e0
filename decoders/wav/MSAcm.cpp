#include "decoders/wav/MSAcm.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "decoders/wav/TAcmStream.h"

namespace tarvio {

namespace {

// A prepared header remembers in its reserved words the stream and the buffers it was
// prepared with, so that a conversion can refuse a header moved or grown since.
enum : size_t { rdStream = 0, rdSrc = 2, rdSrcLength = 4, rdDst = 5, rdDstLength = 7 };

void StorePointer(ACMSTREAMHEADER& H, size_t At, const void* P) {
    const auto v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(P));
    H.dwReservedDriver[At] = static_cast<uint32_t>(v);
    H.dwReservedDriver[At + 1] = static_cast<uint32_t>(v >> 32);
}

bool SamePointer(const ACMSTREAMHEADER& H, size_t At, const void* P) {
    const auto v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(P));
    return H.dwReservedDriver[At] == static_cast<uint32_t>(v) &&
           H.dwReservedDriver[At + 1] == static_cast<uint32_t>(v >> 32);
}

// A header fit for Stream: the right size, and a buffer wherever a length is given.
bool HeaderValid(const ACMSTREAMHEADER* H) {
    return H && H->cbStruct == sizeof(ACMSTREAMHEADER) && (H->pbSrc || H->cbSrcLength == 0) &&
           (H->pbDst || H->cbDstLength == 0);
}

bool PreparedFor(HACMSTREAM Stream, const ACMSTREAMHEADER& H) {
    return (H.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) && SamePointer(H, rdStream, Stream);
}

} // namespace

MMRESULT acmMetrics(HACMOBJ Object, uint32_t Metric, void* Value) {
    if (!Value) return MMSYSERR_INVALPARAM;
    if (Metric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
    if (Object) return MMSYSERR_INVALHANDLE; // no drivers or streams have metrics of their own
    const uint32_t size = TAcmStream::MaxFormatSize;
    std::memcpy(Value, &size, sizeof size);
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER Driver, const tWAVEFORMATEX* Src, tWAVEFORMATEX* Dst, uint32_t DstSize,
                          uint32_t Flags) {
    constexpr uint32_t known = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                               ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
    if (Driver) return MMSYSERR_INVALHANDLE;
    if (Flags & ~known) return MMSYSERR_INVALFLAG;
    if (!Src || !Dst || DstSize < offsetof(tWAVEFORMATEX, cbSize)) return MMSYSERR_INVALPARAM;
    tWAVEFORMATEX pcm{};
    if (!TAcmStream::Suggest(*Src, pcm)) return ACMERR_NOTPOSSIBLE;
    if (((Flags & ACM_FORMATSUGGESTF_WFORMATTAG) && Dst->wFormatTag != pcm.wFormatTag) ||
        ((Flags & ACM_FORMATSUGGESTF_NCHANNELS) && Dst->nChannels != pcm.nChannels) ||
        ((Flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) && Dst->nSamplesPerSec != pcm.nSamplesPerSec) ||
        ((Flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) && Dst->wBitsPerSample != pcm.wBitsPerSample))
        return ACMERR_NOTPOSSIBLE;
    std::memcpy(Dst, &pcm, DstSize >= sizeof pcm ? sizeof pcm : offsetof(tWAVEFORMATEX, cbSize));
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM* Stream, HACMDRIVER Driver, const tWAVEFORMATEX* Src,
                       const tWAVEFORMATEX* Dst, const void* Filter, uintptr_t Callback, uintptr_t Instance,
                       uint32_t Flags) {
    (void)Instance;
    constexpr uint32_t known = ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME;
    const bool query = Flags & ACM_STREAMOPENF_QUERY;
    if (Stream) *Stream = nullptr;
    if (Driver) return MMSYSERR_INVALHANDLE;
    if (Flags & ~known) return MMSYSERR_INVALFLAG;
    if (!Src || !Dst || (!Stream && !query)) return MMSYSERR_INVALPARAM;
    if (Filter || Callback || (Flags & ACM_STREAMOPENF_ASYNC)) return ACMERR_NOTPOSSIBLE;
    try {
        std::unique_ptr<TAcmStream> s;
        const MMRESULT r = TAcmStream::Open(*Src, *Dst, s);
        if (r != MMSYSERR_NOERROR || query) return r;
        *Stream = s.release(); // the caller's until acmStreamClose
        return MMSYSERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

MMRESULT acmStreamSize(HACMSTREAM Stream, uint32_t Input, uint32_t* Output, uint32_t Flags) {
    if (!Stream) return MMSYSERR_INVALHANDLE;
    if (Flags & ~ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
    if (!Output) return MMSYSERR_INVALPARAM;
    *Output = 0;
    return Flags == ACM_STREAMSIZEF_DESTINATION ? Stream->SourceSize(Input, *Output)
                                                : Stream->DestinationSize(Input, *Output);
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
    if (!Stream) return MMSYSERR_INVALHANDLE;
    if (Flags != 0) return MMSYSERR_INVALFLAG;
    if (!HeaderValid(Header)) return MMSYSERR_INVALPARAM;
    if (PreparedFor(Stream, *Header)) return MMSYSERR_NOERROR;
    std::memset(Header->dwReservedDriver, 0, sizeof Header->dwReservedDriver);
    StorePointer(*Header, rdStream, Stream);
    StorePointer(*Header, rdSrc, Header->pbSrc);
    Header->dwReservedDriver[rdSrcLength] = Header->cbSrcLength;
    StorePointer(*Header, rdDst, Header->pbDst);
    Header->dwReservedDriver[rdDstLength] = Header->cbDstLength;
    Header->fdwStatus =
        (Header->fdwStatus & ~ACMSTREAMHEADER_STATUSF_DONE) | ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
    constexpr uint32_t known =
        ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
    if (!Stream) return MMSYSERR_INVALHANDLE;
    if (Flags & ~known) return MMSYSERR_INVALFLAG;
    if (!HeaderValid(Header)) return MMSYSERR_INVALPARAM;
    if (!PreparedFor(Stream, *Header)) return ACMERR_UNPREPARED;
    if (!SamePointer(*Header, rdSrc, Header->pbSrc) || !SamePointer(*Header, rdDst, Header->pbDst) ||
        Header->cbSrcLength > Header->dwReservedDriver[rdSrcLength] ||
        Header->cbDstLength > Header->dwReservedDriver[rdDstLength])
        return MMSYSERR_INVALPARAM;
    Header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
    Header->cbSrcLengthUsed = 0;
    Header->cbDstLengthUsed = 0;
    try {
        uint32_t srcUsed = 0, dstUsed = 0;
        const MMRESULT r = Stream->Convert(Header->pbSrc, Header->cbSrcLength, Header->pbDst,
                                           Header->cbDstLength, Flags, srcUsed, dstUsed);
        Header->cbSrcLengthUsed = srcUsed;
        Header->cbDstLengthUsed = dstUsed;
        Header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
        return r;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags) {
    if (!Stream) return MMSYSERR_INVALHANDLE;
    if (Flags != 0) return MMSYSERR_INVALFLAG;
    if (!HeaderValid(Header)) return MMSYSERR_INVALPARAM;
    if (!PreparedFor(Stream, *Header)) return ACMERR_UNPREPARED;
    Header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    std::memset(Header->dwReservedDriver, 0, sizeof Header->dwReservedDriver);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM Stream, uint32_t Flags) {
    if (!Stream) return MMSYSERR_INVALHANDLE;
    if (Flags != 0) return MMSYSERR_INVALFLAG;
    std::unique_ptr<TAcmStream> owned(Stream); // handed out by acmStreamOpen
    return MMSYSERR_NOERROR;
}

} // namespace tarvio
