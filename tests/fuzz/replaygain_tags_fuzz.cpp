// Whole files through the loudness tag reader: ID3v2, FLAC, Ogg, MP4 and APEv2 layouts,
// found from the first bytes and from the end of the file.

#include <cmath>

#include "tags/TReplayGainTags.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const TReplayGainTags tags = TReplayGainTags::ReadFromMemory(Data, Size);
    for (const auto& value : {tags.TrackGain, tags.TrackPeak, tags.AlbumGain, tags.AlbumPeak})
        if (value) FUZZ_CHECK(std::isfinite(*value));
    if (tags.TrackPeak) FUZZ_CHECK(*tags.TrackPeak >= 0);
    if (tags.AlbumPeak) FUZZ_CHECK(*tags.AlbumPeak >= 0);
    return 0;
}
