#include "decoders/wm/TMP3In.h"

namespace tarvio {

void TMP3In::ReadLength() {
    TWMIn::ReadLength();
    // A file whose header gives no length keeps an unknown size and plays to its end.
    if (FSize <= 0) return;
    const uint32_t third = FSR / 3;
    FTotalSamples += third;
    FSize += int64_t{third} * (FBPS / 8) * FChan;
}

} // namespace tarvio
