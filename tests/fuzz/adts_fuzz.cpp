// Fuzz target: bytes as a raw AAC (ADTS) file through TADTSIn and faad2: Valid, Init,
// GetData to the end, a seek to the middle, Flush; then the same with the length estimated
// from the bit rate (no scan), whose seek searches for a frame.
// CMake: tarvio_fuzz_target(adts DEPS tarvio_mp4)

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/mp4/TADTSIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace tarvio;
    for (const bool scan : {true, false}) {
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        TADTSIn in;
        if (!scan) in.SetScanLimit(0);
        in.SetStream(&stream);
        if (!in.Valid()) return 0;
        try {
            in.Init();
            uint8_t* p = nullptr;
            for (int i = 0; i < 100000; ++i) {
                uint32_t n = 8192;
                in.GetData(p, n);
                if (n == 0) break;
            }
            in.Seek(in.TotalSamples() / 2);
            uint32_t n = 8192;
            in.GetData(p, n);
        } catch (const EAuException&) {
        }
        in.Flush();
    }
    return 0;
}
