// Windows bitmap files through the player's picture loader.

#include "tests/fuzz/PictureCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    return tarvio::fuzz::DecodePicture(".bmp", Data, Size);
}
