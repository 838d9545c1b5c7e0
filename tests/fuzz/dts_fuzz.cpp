// TDTSIn on arbitrary bytes: the plain frame search over every packing, the program stream
// search through the demultiplexer, frame decoding and delivery. The layout asked for
// follows the input's length.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decoders/dts/TDTSIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    TDTSIn in;
    in.SetOutputChannels(static_cast<TDTSOutputChannels>(Size % 5));
    in.SetStream(&stream);
    try {
        if (!in.Valid()) return 0;
        const uint32_t frame = in.Channels() * 2;
        if (frame == 0 || in.SampleRate() == 0 || in.BitsPerSample() != 16) std::abort();
        (void)in.BitRate();
        in.Init();
        uint64_t delivered = 0;
        volatile uint8_t sum = 0;
        for (uint32_t ask = 1;; ask = ask * 7 % 20011 + 1) {
            uint8_t* p = nullptr;
            uint32_t n = ask;
            in.GetData(p, n);
            if (n == 0) break;
            if (n > ask || !p) std::abort();
            for (uint32_t i = 0; i < n; ++i)
                sum = sum + p[i];
            delivered += n;
            if (delivered == 4096) (void)in.Seek(0); // not seekable: refused
        }
        in.Flush();
    } catch (const EAuException&) {
    }
    return 0;
}
