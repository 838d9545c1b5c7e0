// TDTSIn on arbitrary bytes: the plain frame search over every packing, the program stream
// search through the demultiplexer, frame decoding and delivery. The layout asked for
// follows the input's length.

#include "decoders/dts/TDTSIn.h"
#include "tests/fuzz/FuzzDecoder.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TDTSIn decoder;
    decoder.SetOutputChannels(static_cast<TDTSOutputChannels>(Size % 5));
    return fuzz::FuzzFileIn(decoder, Data, Size, fuzz::SyncFrameHooks(decoder));
}
