// Ogg Vorbis files through TVorbisIn: pages, the three header packets (the comments among
// them), audio, seeking, chained links and the bit rate queries.
//
// Every page's checksum is set right before the bytes are used: otherwise libogg drops
// nearly every mutated page and the fuzzer never gets past the container.

#include "decoders/vorbis/TVorbisIn.h"
#include "tests/fuzz/FuzzDecoder.h"
#include "tests/fuzz/OggPages.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::vector<uint8_t> bytes(Data, Data + Size);
    fuzz::RepairOggChecksums(bytes);

    TVorbisIn decoder;
    fuzz::TDecoderHooks hooks;
    hooks.AfterValid = [&] {
        TVorbisTags& comments = *decoder.Comments();
        for (int i = 0; i < comments.IdCount(); ++i)
            fuzz::Touch(comments.AsWideString(comments.IdName(i)));
        fuzz::Keep(
            static_cast<uint32_t>(decoder.MaxBitrate() ^ decoder.NominalBitrate() ^ decoder.MinBitrate()));
    };
    hooks.WhilePlaying = [&] {
        fuzz::Keep(static_cast<uint32_t>(decoder.InstantBitRate()));
        const int32_t links = decoder.BitStreams();
        fuzz::Keep(static_cast<uint32_t>(decoder.CurrentBitStream()));
        // To the last link and back to the first, as a user skipping through a chained file.
        if (links > 1) {
            decoder.SetCurrentBitStream(links - 1);
            decoder.SetCurrentBitStream(0);
        }
    };
    return fuzz::FuzzFileIn(decoder, bytes.data(), bytes.size(), hooks);
}
