// The WAV decoder on arbitrary bytes: the header parser, every kind of data (ADPCM blocks,
// float, MPEG data through the converter), a seek to the middle, and the INFO tags.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/wav/TWaveIn.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    TWaveIn in;
    in.SetStream(&stream);
    try {
        if (!in.Valid()) return 0;
        (void)in.WavType();
        in.Init();
        const int64_t total = in.TotalSamples();
        bool seeked = false;
        int64_t delivered = 0;
        for (;;) {
            uint8_t* p = nullptr;
            uint32_t n = 7919; // not a multiple of any frame size
            in.GetData(p, n);
            if (n == 0) break;
            delivered += n;
            if (!seeked && delivered > 20000) {
                in.Seek(total > 0 ? total / 2 : 1);
                seeked = true;
            }
        }
        in.Flush();
    } catch (...) {
    }
    return 0;
}
