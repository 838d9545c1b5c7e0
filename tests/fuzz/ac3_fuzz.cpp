// TAC3In on arbitrary bytes: the frame search over plain streams and, through the
// demultiplexer, over program streams; frame decoding and delivery. The substream and the
// layout asked for follow the input's length.

#include "decoders/ac3/TAC3In.h"
#include "tests/fuzz/FuzzDecoder.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TAC3In decoder;
    decoder.SetVobAudioSubstream(static_cast<TAC3VOBStream>(Size % 2));
    decoder.SetOutputChannels(static_cast<TAC3OutputChannels>(Size / 2 % 3));
    return fuzz::FuzzFileIn(decoder, Data, Size, fuzz::SyncFrameHooks(decoder));
}
