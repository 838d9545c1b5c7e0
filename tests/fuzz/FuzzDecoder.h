#pragma once
// Drives a decoder over one fuzz input the way the player does: the bytes on a memory stream,
// Valid, the format and the common tags, Init, GetData to the end with a seek to the middle,
// Flush; then a second run that starts at the middle frame. A decoder target is
//
//     extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
//         return tarvio::fuzz::FuzzDecoder<TFLACIn>(Data, Size);
//     }
//
// EAuException is the decoders' answer to bad data and ends a run quietly; any other
// exception escapes and is reported as a crash. The checks abort when a decoder hands out
// more bytes than asked, a null buffer with bytes, data after its end, or a position past
// its known size. Every byte handed out is read, so AddressSanitizer checks the buffer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuSyncFrameIn.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCommonTags.h"
#include "tests/fuzz/FuzzSupport.h"

namespace tarvio::fuzz {

// Extra calls a target makes on its decoder; each may be empty.
struct TDecoderHooks {
    std::function<void()> AfterValid;   // after Valid returned true, before the first run
    std::function<void()> WhilePlaying; // once during the first run, after the first data
};

// Bytes one run pulls at most: a tiny input may legitimately decode to a long stream
// (silent frames of a few bytes each), and the run is not meant to time out on that.
inline constexpr uint64_t MaxBytesPerRun = 32u << 20;

namespace detail {

// Request sizes cycle through whole and odd sizes, one byte included.
inline uint32_t RequestSize(uint32_t Call) {
    static constexpr uint32_t sizes[] = {16384, 1, 4096, 7, 65536, 2, 1000, 3, 32768};
    return sizes[Call % (sizeof sizes / sizeof sizes[0])];
}

// Pulls until the end, a stop position in bytes (when StopAt >= 0) or MaxBytesPerRun.
// False when the input raised EAuException; true otherwise, with Ended telling whether the
// end of the stream was reached.
inline bool Pull(TAuFileIn& In, int64_t StopAt, uint32_t& Call, bool& Ended,
                 const std::function<void()>& AfterFirst = {}) {
    uint64_t pulled = 0;
    Ended = false;
    try {
        while (pulled < MaxBytesPerRun && (StopAt < 0 || In.Position() < StopAt)) {
            const uint32_t asked = RequestSize(Call++);
            uint8_t* buffer = nullptr;
            uint32_t bytes = asked;
            In.GetData(buffer, bytes);
            FUZZ_CHECK(bytes <= asked);
            if (bytes == 0) {
                // The end is final until the next Init.
                bytes = asked;
                In.GetData(buffer, bytes);
                FUZZ_CHECK(bytes == 0);
                Ended = true;
                return true;
            }
            FUZZ_CHECK(buffer != nullptr);
            Touch(buffer, bytes);
            pulled += bytes;
            const int64_t size = In.Size();
            FUZZ_CHECK(size <= 0 || In.Position() <= size);
            if (AfterFirst && pulled == bytes) AfterFirst();
        }
        return true;
    } catch (const EAuException&) {
        return false;
    }
}

inline void FlushQuietly(TAuFileIn& In) {
    try {
        In.Flush();
    } catch (const EAuException&) {
    }
}

} // namespace detail

// Runs In over Data as described above. In must be idle and have no stream assigned; it
// gets none back.
inline int FuzzFileIn(TAuFileIn& In, const uint8_t* Data, size_t Size, const TDecoderHooks& Hooks = {}) {
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    In.SetStream(&stream);
    // The decoder may seek the stream when it lets go of it: that must happen while it lives.
    struct TDetach {
        TAuFileIn& In;
        ~TDetach() { In.SetStream(nullptr); }
    } detach{In};

    if (!In.Valid()) return 0;
    int64_t frames = 0;
    try {
        Keep(In.Channels());
        Keep(In.SampleRate());
        Keep(In.BitsPerSample());
        Keep(In.TotalTime());
        frames = In.TotalSamples();
        if (auto* tagged = dynamic_cast<TAuTaggedFileIn*>(&In)) {
            const TCommonTags& tags = *tagged->CommonTags();
            Touch(tags.Title());
            Touch(tags.Artist());
            Touch(tags.Album());
            Touch(tags.Genre());
            Touch(tags.Year());
            Touch(tags.Track());
        }
        if (Hooks.AfterValid) Hooks.AfterValid();
    } catch (const EAuException&) {
        return 0;
    }

    // First run: to the middle, a seek to the middle frame, on to the end.
    uint32_t call = 0;
    bool ended = false;
    try {
        In.Init();
    } catch (const EAuException&) {
        detail::FlushQuietly(In);
        return 0;
    }
    const int64_t middle = frames > 0 ? frames / 2 : 0;
    const int64_t size = In.Size();
    if (detail::Pull(In, size > 0 ? size / 2 : 1, call, ended, Hooks.WhilePlaying) && !ended) {
        In.Seek(middle);
        detail::Pull(In, -1, call, ended);
    }
    detail::FlushQuietly(In);

    // Second run: from the middle frame, a few reads.
    if (middle > 0 && In.Seek(middle)) {
        try {
            In.Init();
            detail::Pull(In, 3 * 65536, call, ended);
        } catch (const EAuException&) {
        }
        detail::FlushQuietly(In);
    }
    return 0;
}

// Hooks for a decoder of sync frames (AC-3, DTS): a valid input states a 16-bit format with
// channels and a rate, and a bit rate.
inline TDecoderHooks SyncFrameHooks(TAuSyncFrameIn& In) {
    TDecoderHooks hooks;
    hooks.AfterValid = [&In] {
        FUZZ_CHECK(In.Channels() > 0 && In.SampleRate() > 0 && In.BitsPerSample() == 16);
        Keep(In.BitRate());
    };
    return hooks;
}

// The usual target: a new decoder of class TDecoder over Data.
template <class TDecoder> int FuzzDecoder(const uint8_t* Data, size_t Size, const TDecoderHooks& Hooks = {}) {
    TDecoder decoder;
    return FuzzFileIn(decoder, Data, Size, Hooks);
}

} // namespace tarvio::fuzz
