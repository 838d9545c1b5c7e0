// FLAC files through TFLACIn: stream information, metadata, frames, seeking and the
// comments, with the library's signature check on.

#include "decoders/flac/TFLACIn.h"
#include "tests/fuzz/FuzzDecoder.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TFLACIn decoder;
    decoder.SetCheckMD5Signature(true);
    fuzz::TDecoderHooks hooks;
    hooks.AfterValid = [&] {
        TVorbisTags& comments = *decoder.VorbisComments();
        for (int i = 0; i < comments.IdCount(); ++i)
            fuzz::Touch(comments.AsWideString(comments.IdName(i)));
    };
    fuzz::FuzzFileIn(decoder, Data, Size, hooks);
    fuzz::Keep(decoder.IsMD5SignatureValid());
    return 0;
}
