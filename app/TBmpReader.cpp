#include "app/TBmpReader.h"

#include "app/EInvalidGraphic.h"

#include <algorithm>
#include <bit>
#include <string>

namespace tarvio {

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6;

[[noreturn]] void Fail(const std::string& Why) {
    throw EInvalidGraphic("Bitmap image is not valid: " + Why);
}

uint16_t U16(const uint8_t* P) {
    return static_cast<uint16_t>(P[0] | (P[1] << 8));
}
uint32_t U32(const uint8_t* P) {
    return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
           (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}

// One colour channel of a bit-field layout, scaled to 8 bits.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;
    explicit TChannel(uint32_t M = 0) : Mask(M) {
        if (M) {
            Shift = std::countr_zero(M);
            Bits = std::popcount(M);
        }
    }
    uint32_t Get(uint32_t Value) const {
        if (!Mask) return 0;
        uint32_t v = (Value & Mask) >> Shift;
        uint32_t max = Bits >= 32 ? 0xFFFFFFFFu : ((1u << Bits) - 1);
        return static_cast<uint32_t>((static_cast<uint64_t>(v) * 255 + max / 2) / max);
    }
};

} // namespace

TRasterImage TBmpReader::Decode(const uint8_t* Data, size_t Size) {
    if (Size < 14 + 12 || Data[0] != 'B' || Data[1] != 'M') Fail("no bitmap header");
    const uint32_t offBits = U32(Data + 10);
    const uint8_t* dib = Data + 14;
    const uint32_t dibSize = U32(dib);
    if (dibSize != 12 && dibSize != 40 && dibSize != 52 && dibSize != 56 && dibSize != 108 && dibSize != 124)
        Fail("unsupported header size " + std::to_string(dibSize));
    if (14 + static_cast<uint64_t>(dibSize) > Size) Fail("file is truncated");

    int64_t width, height;
    uint32_t bpp, compression = BI_RGB, colorsUsed = 0;
    bool core = dibSize == 12;
    if (core) {
        width = U16(dib + 4);
        height = U16(dib + 6);
        bpp = U16(dib + 10);
    } else {
        width = static_cast<int32_t>(U32(dib + 4));
        height = static_cast<int32_t>(U32(dib + 8));
        bpp = U16(dib + 14);
        compression = U32(dib + 16);
        colorsUsed = U32(dib + 32);
    }
    const bool topDown = height < 0;
    if (topDown) height = -height;
    if (!TRasterImage::SizeAllowed(width, height))
        Fail("bad size " + std::to_string(width) + " x " + std::to_string(height));

    // Bit fields: in V2+ headers they sit inside the header, otherwise right after it.
    uint64_t tableOffset = 14 + static_cast<uint64_t>(dibSize);
    TChannel red, green, blue, alpha;
    if (compression == BI_RLE8 || compression == BI_RLE4) Fail("run-length compression is not supported");
    if (compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS) {
        if (bpp != 16 && bpp != 32) Fail("bit fields need 16 or 32 bits per pixel");
        // Masks the header lacks follow it: all of them after an info header, the alpha mask
        // of BI_ALPHABITFIELDS after a V2 header (which holds only red, green and blue).
        const bool withAlpha = compression == BI_ALPHABITFIELDS || dibSize >= 56;
        const uint64_t inHeader = dibSize >= 56 ? 16 : dibSize >= 52 ? 12 : 0;
        const uint64_t after = (withAlpha ? 16 : 12) - std::min<uint64_t>(inHeader, withAlpha ? 16 : 12);
        if (tableOffset + after > Size) Fail("file is truncated");
        uint32_t mask[4] = {};
        for (int i = 0; i < (withAlpha ? 4 : 3); ++i) {
            const uint64_t offset = static_cast<uint64_t>(i) * 4;
            mask[i] =
                offset < inHeader ? U32(dib + 40 + offset) : U32(Data + tableOffset + offset - inHeader);
        }
        tableOffset += after;
        red = TChannel(mask[0]);
        green = TChannel(mask[1]);
        blue = TChannel(mask[2]);
        if (withAlpha) alpha = TChannel(mask[3]);
    } else if (compression != BI_RGB) {
        Fail("compression " + std::to_string(compression) + " is not supported");
    } else if (bpp == 16) {
        red = TChannel(0x7C00), green = TChannel(0x03E0), blue = TChannel(0x001F);
    } else if (bpp == 32) {
        red = TChannel(0x00FF0000), green = TChannel(0x0000FF00), blue = TChannel(0x000000FF);
    }
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        Fail("unsupported depth " + std::to_string(bpp));

    // Colour table of indexed pictures; a missing entry reads as black.
    uint32_t palette[256] = {};
    if (bpp <= 8) {
        const uint32_t maxColors = 1u << bpp;
        uint32_t count = (colorsUsed == 0 || colorsUsed > maxColors) ? maxColors : colorsUsed;
        const uint32_t entry = core ? 3 : 4;
        uint64_t available = Size > tableOffset ? (Size - tableOffset) / entry : 0;
        if (available < count) count = static_cast<uint32_t>(available);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = Data + tableOffset + static_cast<uint64_t>(i) * entry;
            palette[i] =
                0xFF000000u | (static_cast<uint32_t>(e[2]) << 16) | (static_cast<uint32_t>(e[1]) << 8) | e[0];
        }
    }

    const uint64_t stride = ((static_cast<uint64_t>(width) * bpp + 31) / 32) * 4;
    if (offBits < 14 + static_cast<uint64_t>(dibSize) || offBits > Size ||
        stride * static_cast<uint64_t>(height) > Size - offBits)
        Fail("file is truncated");

    TRasterImage image;
    image.Width = static_cast<int>(width);
    image.Height = static_cast<int>(height);
    image.Pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    bool anyAlpha = false;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* row = Data + offBits + stride * static_cast<uint64_t>(topDown ? y : height - 1 - y);
        uint32_t* out = image.Pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int64_t x = 0; x < width; ++x) {
            uint32_t p;
            if (bpp <= 8) {
                uint64_t bit = static_cast<uint64_t>(x) * bpp;
                uint32_t index = (row[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                p = palette[index] | 0xFF000000u;
            } else if (bpp == 24) {
                const uint8_t* s = row + x * 3;
                p = 0xFF000000u | (static_cast<uint32_t>(s[2]) << 16) | (static_cast<uint32_t>(s[1]) << 8) |
                    s[0];
            } else {
                uint32_t v = bpp == 16 ? U16(row + x * 2) : U32(row + x * 4);
                uint32_t a = alpha.Mask ? alpha.Get(v) : 255;
                if (a) anyAlpha = true;
                p = (a << 24) | (red.Get(v) << 16) | (green.Get(v) << 8) | blue.Get(v);
            }
            out[x] = p;
        }
    }
    if (alpha.Mask) {
        // Many writers declare an alpha mask but leave it zero: such a picture is opaque.
        if (!anyAlpha)
            for (uint32_t& p : image.Pixels)
                p |= 0xFF000000u;
        image.HasAlpha = anyAlpha;
    }
    return image;
}

} // namespace tarvio
