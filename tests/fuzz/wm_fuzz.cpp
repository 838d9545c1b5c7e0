// Fuzz target of the MP3 / Windows Media input: the bytes are a file handed to TMP3In
// through a memory stream (probing, ID3 and ASF header scans, FFmpeg's demuxers and
// decoders, libmpg123 for MPEG audio, format choice, a seek to the middle, decoding to the
// end). The first byte's
// low bit asks for formats of more than 16 bits.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/wm/TMP3In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace tarvio;
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    TMP3In in;
    in.SetHighPrecision(Size > 0 && (Data[0] & 1));
    in.SetStream(&stream);
    if (!in.Valid()) return 0;
    try {
        in.Init();
        // One block, a seek to the middle (what is left of the block comes first), then
        // everything to the end.
        for (bool seeked = false;;) {
            uint8_t* p = nullptr;
            uint32_t n = 8192;
            in.GetData(p, n);
            if (n == 0) break;
            if (!seeked) in.Seek(in.TotalSamples() / 2);
            seeked = true;
        }
    } catch (const EAuException&) {
    }
    in.Flush();
    return 0;
}
