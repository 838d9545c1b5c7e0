#pragma once
// The audio compression layer: the Audio Compression Manager's conversion calls, over
// libmpg123 and libavcodec's decoders (TAcmStream). It converts MPEG Layer 3 (0x55), GSM 6.10 (0x31),
// A-law (6) and mu-law (7) data to 16-bit PCM of the same rate and channel count.
//
// Every call returns MMSYSERR_NOERROR (0) or an error code of MSAcmDefs.h and never raises.
// No drivers are listed: every HACMDRIVER argument must be null. A stream handle belongs to
// the caller from acmStreamOpen until acmStreamClose, and is used by one thread at a time.

#include "decoders/wav/MSAcmDefs.h"

namespace tarvio {

// ACM_METRIC_MAX_SIZE_FORMAT with a null object: the largest format record, in bytes, into
// the uint32_t at Metric. Other metrics: MMSYSERR_NOTSUPPORTED.
MMRESULT acmMetrics(HACMOBJ Object, uint32_t Metric, void* Value);

// Fills the PCM format Src converts to into Dst (Dst has DstSize bytes, at least 16; cbSize is
// written when there are 18). Flags ACM_FORMATSUGGESTF_* keep fields of Dst as the caller set
// them; a kept field that PCM output cannot have gives ACMERR_NOTPOSSIBLE, as does a source no
// codec reads. Only the 18-byte header of Src is read.
MMRESULT acmFormatSuggest(HACMDRIVER Driver, const tWAVEFORMATEX* Src, tWAVEFORMATEX* Dst, uint32_t DstSize,
                          uint32_t Flags);

// Opens a conversion from Src to Dst into *Stream (ACM_STREAMOPENF_QUERY: only checks, and
// Stream may be null). Filters, callbacks and ACM_STREAMOPENF_ASYNC are not offered.
MMRESULT acmStreamOpen(HACMSTREAM* Stream, HACMDRIVER Driver, const tWAVEFORMATEX* Src,
                       const tWAVEFORMATEX* Dst, const void* Filter, uintptr_t Callback, uintptr_t Instance,
                       uint32_t Flags);

// ACM_STREAMSIZEF_SOURCE: Input is a source length and *Output the most destination bytes it
// can give; ACM_STREAMSIZEF_DESTINATION: the source bytes that fill Input destination bytes.
MMRESULT acmStreamSize(HACMSTREAM Stream, uint32_t Input, uint32_t* Output, uint32_t Flags);

// Registers Header's buffers for Stream (Flags must be 0); they must stay valid and keep
// their place and size until the header is unprepared.
MMRESULT acmStreamPrepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);

// Converts Header's source into its destination (ACM_STREAMCONVERTF_*), setting
// cbSrcLengthUsed and cbDstLengthUsed and the DONE status. The stream keeps its state between
// calls: a frame split between two calls is joined, output that did not fit comes first in
// the next call, and END gives out what is left.
MMRESULT acmStreamConvert(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);

MMRESULT acmStreamUnprepareHeader(HACMSTREAM Stream, ACMSTREAMHEADER* Header, uint32_t Flags);

// Frees the stream (Flags must be 0); the handle is invalid afterwards.
MMRESULT acmStreamClose(HACMSTREAM Stream, uint32_t Flags);

} // namespace tarvio
