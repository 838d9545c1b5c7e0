#pragma once
// A picture: decoded pixels shared between copies (copies are cheap and never see each
// other's later loads). The format of a file follows from its extension: ".png",
// ".jpg"/".jpeg"/".jpe" and ".bmp", compared without case.

#include "app/TRasterImage.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarvio {

class TPicture {
public:
    // The colour returned for a point outside the picture; no 0x00BBGGRR colour equals it.
    static constexpr int32_t clInvalid = -1;

    TPicture() = default;
    explicit TPicture(TRasterImage Image);

    // Loads FileName (UTF-8 path). On any failure the picture keeps its previous
    // content and the call throws: EInvalidGraphic for an unknown extension or bad data
    // ("Unknown picture file extension (.xyz)"), EFOpenError when the file cannot be read.
    void LoadFromFile(const std::string& FileName);
    void Assign(const TPicture& Source) { FImage = Source.FImage; }
    void Clear() { FImage.reset(); }

    bool Empty() const { return !FImage; }
    int Width() const { return FImage ? FImage->Width : 0; }
    int Height() const { return FImage ? FImage->Height : 0; }
    bool HasAlpha() const { return FImage && FImage->HasAlpha; }
    bool Contains(int X, int Y) const {
        return FImage && X >= 0 && Y >= 0 && X < FImage->Width && Y < FImage->Height;
    }
    // The colour at (X, Y) in pixels as 0x00BBGGRR (red in the low byte, alpha dropped);
    // clInvalid outside the picture or for an empty one.
    int32_t Pixels(int X, int Y) const;
    // The shared pixel data, or null for an empty picture.
    const std::shared_ptr<const TRasterImage>& Image() const { return FImage; }

    // Decodes a file's bytes by the format its extension names (dot included, any case).
    static TRasterImage Decode(const std::string& Extension, const uint8_t* Data, size_t Size);

private:
    std::shared_ptr<const TRasterImage> FImage;
};

} // namespace tarvio
