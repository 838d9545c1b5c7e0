// Monkey's Audio files through TMACIn and libMACDll.so: the header, the tag at the end,
// the demuxer's seek table, frame decoding with its checksum, seeking and the library's
// information fields.

#include "decoders/mac/TMACIn.h"
#include "tests/fuzz/FuzzDecoder.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMACIn decoder;
    fuzz::TDecoderHooks hooks;
    hooks.AfterValid = [&] {
        TAPEv2Tags& tags = *decoder.APEv2Tags();
        for (int i = 0; i < tags.IdCount(); ++i)
            fuzz::Touch(tags.AsWideString(tags.IdName(i)));
        fuzz::Keep(static_cast<uint32_t>(decoder.CompressionLevel()) ^ decoder.AverageBitrate() ^
                   decoder.LengthMS() ^ static_cast<uint32_t>(decoder.TotalBlocks()));
    };
    hooks.WhilePlaying = [&] {
        fuzz::Keep(decoder.CurrentBitrate() ^ decoder.CurrentMS() ^ static_cast<uint32_t>(decoder.CurrentBlock()));
    };
    return fuzz::FuzzFileIn(decoder, Data, Size, hooks);
}
