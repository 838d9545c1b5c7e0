// Ogg Opus files through TOpusIn: pages, the identification header (channel mapping, output
// gain), the comment header (tags, R128 gains), audio in both widths and gain modes, seeking
// and chained links.
//
// Every page's checksum is set right before the bytes are used: otherwise libogg drops
// nearly every mutated page and the fuzzer never gets past the container.

#include <cmath>

#include "decoders/opus/TOpusIn.h"
#include "tests/fuzz/FuzzDecoder.h"
#include "tests/fuzz/OggPages.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::vector<uint8_t> bytes(Data, Data + Size);
    fuzz::RepairOggChecksums(bytes);

    TOpusIn decoder;
    // The last byte picks the width and the gain: mutations reach every conversion path.
    const uint8_t pick = Size > 0 ? Data[Size - 1] : 0;
    decoder.SetHighPrecision(pick & 1);
    decoder.SetGainMode(static_cast<TOpusGainMode>((pick >> 1) % 3));
    fuzz::TDecoderHooks hooks;
    hooks.AfterValid = [&] {
        TVorbisTags& comments = *decoder.Comments();
        for (int i = 0; i < comments.IdCount(); ++i)
            fuzz::Touch(comments.AsWideString(comments.IdName(i)));
        fuzz::Keep(static_cast<uint32_t>(decoder.MappingFamily()) ^ decoder.InputSampleRate() ^
                   static_cast<uint32_t>(decoder.Bitrate()));
        // Gains in Q7.8 dB: whole numbers, negative ones too.
        fuzz::Keep(static_cast<uint64_t>(
            std::llround(256 * (decoder.OutputGainDb() + decoder.R128TrackGainDb().value_or(0) +
                                decoder.R128AlbumGainDb().value_or(0)))));
    };
    hooks.WhilePlaying = [&] {
        fuzz::Keep(static_cast<uint32_t>(decoder.InstantBitRate()) ^ static_cast<uint32_t>(decoder.Links()));
    };
    return fuzz::FuzzFileIn(decoder, bytes.data(), bytes.size(), hooks);
}
