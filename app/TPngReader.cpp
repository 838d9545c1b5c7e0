#include "app/TPngReader.h"

#include "app/EInvalidGraphic.h"

#include <cstring>
#include <png.h>
#include <string>

namespace tarvio {

namespace {

// libpng reports fatal errors through png_error, which longjmps back to the setjmp in
// Run; only libpng's C frames and the callbacks below (which own nothing) lie in between.
struct TSource {
    const uint8_t* Data;
    size_t Size;
    size_t Pos;
    char Message[200];
};

void ReadData(png_structp Png, png_bytep Out, png_size_t Length) {
    auto* src = static_cast<TSource*>(png_get_io_ptr(Png));
    if (Length > src->Size - src->Pos) png_error(Png, "file is truncated");
    std::memcpy(Out, src->Data + src->Pos, Length);
    src->Pos += Length;
}

void OnError(png_structp Png, png_const_charp Message) {
    auto* src = static_cast<TSource*>(png_get_error_ptr(Png));
    std::strncpy(src->Message, Message ? Message : "decoder error", sizeof src->Message - 1);
    src->Message[sizeof src->Message - 1] = 0;
    png_longjmp(Png, 1);
}

void OnWarning(png_structp, png_const_charp) {} // never print to the console

struct TDecoder {
    png_structp Png = nullptr;
    png_infop Info = nullptr;
    ~TDecoder() { png_destroy_read_struct(&Png, Info ? &Info : nullptr, nullptr); }
};

// Returns an empty string on success, else the reason. Pixels is sized here.
std::string Run(TDecoder& D, TSource& Src, TRasterImage& Image) {
    D.Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &Src, OnError, OnWarning);
    if (!D.Png) return "out of memory";
    D.Info = png_create_info_struct(D.Png);
    if (!D.Info) return "out of memory";
    if (setjmp(png_jmpbuf(D.Png))) return Src.Message[0] ? Src.Message : "decoder error";
    png_set_read_fn(D.Png, &Src, ReadData);
    png_set_user_limits(D.Png, TRasterImage::MaxSide, TRasterImage::MaxSide);
    png_set_chunk_malloc_max(D.Png, 64u * 1024 * 1024);
    png_read_info(D.Png, D.Info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0;
    png_get_IHDR(D.Png, D.Info, &width, &height, &depth, &colorType, nullptr, nullptr, nullptr);
    if (!TRasterImage::SizeAllowed(width, height)) return "image is too large";
    // Stored values as they stand (no gamma correction, so mask colours stay exact),
    // expanded to 8-bit B, G, R, A.
    Image.HasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(D.Png, D.Info, PNG_INFO_tRNS);
    png_set_expand(D.Png);
    png_set_strip_16(D.Png);
    if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(D.Png);
    png_set_bgr(D.Png);
    png_set_add_alpha(D.Png, 0xFF, PNG_FILLER_AFTER);
    int passes = png_set_interlace_handling(D.Png);
    png_read_update_info(D.Png, D.Info);
    if (png_get_rowbytes(D.Png, D.Info) != static_cast<size_t>(width) * 4) return "unsupported pixel layout";
    Image.Width = static_cast<int>(width);
    Image.Height = static_cast<int>(height);
    Image.Pixels.assign(static_cast<size_t>(width) * height, 0);
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y)
            png_read_row(D.Png,
                         reinterpret_cast<png_bytep>(Image.Pixels.data() + static_cast<size_t>(y) * width),
                         nullptr);
    png_read_end(D.Png, nullptr);
    return {};
}

} // namespace

bool TPngReader::HasSignature(const uint8_t* Data, size_t Size) {
    return Size >= 8 && png_sig_cmp(const_cast<png_bytep>(Data), 0, 8) == 0;
}

TRasterImage TPngReader::Decode(const uint8_t* Data, size_t Size) {
    if (!HasSignature(Data, Size)) throw EInvalidGraphic("PNG image is not valid: no PNG signature");
    TSource source{Data, Size, 0, {}};
    TDecoder decoder;
    TRasterImage image;
    std::string error = Run(decoder, source, image);
    if (!error.empty()) throw EInvalidGraphic("PNG image is not valid: " + error);
    return image;
}

} // namespace tarvio
