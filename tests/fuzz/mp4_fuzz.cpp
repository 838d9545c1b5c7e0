// Fuzz target: bytes as an MP4 file through TMP4In (and so through the mp4ff container
// library and faad2): Valid, Init, GetData to the end, a seek to the middle, Flush.
// CMake: tarvio_fuzz_target(mp4 DEPS tarvio_mp4)

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/mp4/TMP4In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace tarvio;
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    TMP4In in;
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
        in.Profile();
    } catch (const EAuException&) {
    }
    in.Flush();
    return 0;
}
