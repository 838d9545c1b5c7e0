// The program stream demultiplexer on arbitrary bytes, for one AC-3 substream and for the
// DTS substream range, read in requests of changing size: it never hands out more than asked
// and never reads outside a sector.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decoders/ac3/TAuVOBAC3Demuxer.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMemoryStream source(std::vector<uint8_t>(Data, Data + Size));
    std::vector<uint8_t> buffer(5000);
    for (int pass = 0; pass < 3; ++pass) {
        TAuVOBAC3Demuxer demuxer(source);
        if (pass < 2)
            demuxer.Init(pass == 0 ? acvStreamFirst : acvStreamSecond);
        else
            demuxer.SelectSubstreams(0x88, 0x8F);
        uint64_t total = 0;
        for (int32_t ask = 1;; ask = ask * 5 % 4999 + 1) {
            const int32_t n = demuxer.Read(buffer.data(), ask);
            if (n < 0 || n > ask) std::abort();
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
        }
        if (total > Size) std::abort(); // payload is a part of the input
    }
    return 0;
}
