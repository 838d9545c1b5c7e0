#pragma once
// The picture targets' shared step: decode by extension and check the result's shape.

#include <string>

#include "app/EInvalidGraphic.h"
#include "app/TPicture.h"
#include "tests/fuzz/FuzzSupport.h"

namespace tarvio::fuzz {

// Decodes Data as a picture file with Extension. A refused picture is fine; a decoded one has
// an allowed size, one pixel per point, every pixel read, and opaque pixels when it says it
// has no transparency.
inline int DecodePicture(const std::string& Extension, const uint8_t* Data, size_t Size) {
    TRasterImage image;
    try {
        image = TPicture::Decode(Extension, Data, Size);
    } catch (const EInvalidGraphic&) {
        return 0;
    }
    FUZZ_CHECK(TRasterImage::SizeAllowed(image.Width, image.Height));
    FUZZ_CHECK(image.Pixels.size() == static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height));
    uint32_t alpha = 0xFF;
    for (uint32_t p : image.Pixels)
        alpha &= p >> 24;
    FUZZ_CHECK(image.HasAlpha || alpha == 0xFF);
    const TPicture picture(std::move(image));
    FUZZ_CHECK(picture.Pixels(picture.Width() - 1, picture.Height() - 1) != TPicture::clInvalid);
    FUZZ_CHECK(picture.Pixels(picture.Width(), 0) == TPicture::clInvalid);
    return 0;
}

} // namespace tarvio::fuzz
