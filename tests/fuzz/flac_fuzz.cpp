// FLAC files through TFLACIn: stream information, metadata, frames, seeking and the
// comments, with the library's signature check on.
//
// Every frame's checksums are set right before the bytes are used: otherwise libFLAC drops
// nearly every mutated frame and the fuzzer never changes what reaches the decoder.

#include "decoders/flac/TFLACIn.h"
#include "tests/fuzz/FlacFrames.h"
#include "tests/fuzz/FuzzDecoder.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::vector<uint8_t> bytes(Data, Data + Size);
    fuzz::RepairFlacChecksums(bytes);

    TFLACIn decoder;
    decoder.SetCheckMD5Signature(true);
    fuzz::TDecoderHooks hooks;
    hooks.AfterValid = [&] {
        TVorbisTags& comments = *decoder.VorbisComments();
        for (int i = 0; i < comments.IdCount(); ++i)
            fuzz::Touch(comments.AsWideString(comments.IdName(i)));
    };
    fuzz::FuzzFileIn(decoder, bytes.data(), bytes.size(), hooks);
    fuzz::Keep(decoder.IsMD5SignatureValid());
    return 0;
}
