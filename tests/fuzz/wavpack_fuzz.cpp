// WavPack files through TWVIn on a memory stream: headers, blocks, tags, the format, data
// to the end with a seek to the middle. A second pass hands the same bytes in as their own
// correction stream, which drives the hybrid path (the correction check, correction blocks
// that do not belong to the file).
//
// EAuException is the decoder's answer to bad data; any other exception is a crash. The
// checks abort when GetData hands out more bytes than asked or a null buffer with bytes;
// every byte handed out is read, so AddressSanitizer checks the decoder's buffer.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoders/wavpack/TWVIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TAPEv2Tags.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"

using namespace tarvio;

namespace {

#define WV_FUZZ_CHECK(Condition)                                                                             \
    do {                                                                                                     \
        if (!(Condition)) std::abort();                                                                      \
    } while (0)

volatile uint32_t Sink;

void Touch(const uint8_t* Data, uint32_t Bytes) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < Bytes; ++i)
        sum += Data[i];
    Sink = Sink + sum;
}

void Touch(const std::u16string& Text) {
    Sink = Sink + static_cast<uint32_t>(Text.size());
}

// A tiny input may legitimately decode to a long stream; a run stops after this much.
constexpr uint64_t MaxBytesPerRun = 32u << 20;

// Pulls in requests of whole and odd sizes, one byte included, until the end, the limit or
// (when StopAt >= 0) the position StopAt in bytes.
void Pull(TWVIn& In, int64_t StopAt = -1) {
    static constexpr uint32_t sizes[] = {16384, 1, 4096, 7, 65536, 2, 1000, 3, 32768};
    uint64_t pulled = 0;
    for (uint32_t call = 0; pulled < MaxBytesPerRun && (StopAt < 0 || In.Position() < StopAt); ++call) {
        const uint32_t asked = sizes[call % (sizeof sizes / sizeof sizes[0])];
        uint8_t* buffer = nullptr;
        uint32_t bytes = asked;
        In.GetData(buffer, bytes);
        WV_FUZZ_CHECK(bytes <= asked);
        if (bytes == 0) return;
        WV_FUZZ_CHECK(buffer != nullptr);
        Touch(buffer, bytes);
        pulled += bytes;
    }
}

void Run(const uint8_t* Data, size_t Size, bool AsOwnCorrections) {
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    TMemoryStream corrections(std::vector<uint8_t>(Data, Data + Size));
    TWVIn in; // after the streams: it lets go of them first
    in.SetStream(&stream);
    if (AsOwnCorrections) in.SetCorrectionsStream(&corrections);
    if (!in.Valid()) return;
    try {
        Sink = Sink + in.Channels() + in.SampleRate() + in.BitsPerSample() + in.TotalTime();
        const int64_t frames = in.TotalSamples();
        TAPEv2Tags& ape = *in.APEv2Tags();
        for (int i = 0; i < ape.IdCount(); ++i)
            Touch(ape.AsWideString(ape.IdName(i)));
        TId3v1Tags& id3 = *in.Id3v1Tags();
        for (int i = 0; i < id3.IdCount(); ++i)
            Touch(id3.AsWideString(id3.IdName(i)));
        Touch(in.CommonTags()->Title());
        Touch(in.Cuesheet());
        Sink = Sink + in.Mode().Bits() + in.Hybrid() + in.Lossless();

        // A run that seeks back from the first half to the middle, then one that starts there.
        const int64_t middle = frames > 0 ? frames / 2 : 0;
        in.Init();
        Pull(in, in.Size() > 0 ? in.Size() / 3 : 1 << 20);
        in.Seek(middle);
        Pull(in);
        in.Flush();
        in.Seek(middle);
        in.Init();
        Pull(in);
        in.Flush();
    } catch (const EAuException&) {
        in.Flush();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    Run(Data, Size, false);
    Run(Data, Size, true);
    return 0;
}
