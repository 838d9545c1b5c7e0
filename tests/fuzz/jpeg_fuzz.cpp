// JPEG files through the player's picture loader (the background photographs).

#include "tests/fuzz/PictureCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    return tarvio::fuzz::DecodePicture(".jpg", Data, Size);
}
