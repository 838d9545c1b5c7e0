#include "app/TJpegReader.h"

#include "app/EInvalidGraphic.h"

#include <csetjmp>
#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>
#include <string>

namespace tarvio {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return. It jumps back
// to Run below; only libjpeg's own C frames lie in between, so no destructor is skipped.
struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr Info) {
    auto* error = reinterpret_cast<TJpegError*>(Info->err);
    (*Info->err->format_message)(Info, error->Message);
    std::longjmp(error->Jump, 1);
}

void EmitMessage(j_common_ptr Info, int Level) {
    // A file that ends early is decoded by libjpeg as grey filler; treat it as damage.
    if (Level < 0 && Info->err->msg_code == JWRN_JPEG_EOF) ErrorExit(Info);
}

void OutputMessage(j_common_ptr) {} // never print to the console

struct TDecoder {
    jpeg_decompress_struct Info;
    TJpegError Error;
    bool Created = false;
    ~TDecoder() {
        if (Created) jpeg_destroy_decompress(&Info);
    }
};

// Returns an empty string on success, else the reason. Pixels is sized here.
std::string Run(TDecoder& D, const uint8_t* Data, size_t Size, TRasterImage& Image) {
    D.Info.err = jpeg_std_error(&D.Error.Manager);
    D.Error.Manager.error_exit = ErrorExit;
    D.Error.Manager.emit_message = EmitMessage;
    D.Error.Manager.output_message = OutputMessage;
    D.Error.Message[0] = 0;
    if (setjmp(D.Error.Jump)) return D.Error.Message[0] ? D.Error.Message : "decoder error";
    jpeg_create_decompress(&D.Info);
    D.Created = true;
    jpeg_mem_src(&D.Info, Data, static_cast<unsigned long>(Size));
    jpeg_read_header(&D.Info, TRUE);
    if (!TRasterImage::SizeAllowed(D.Info.image_width, D.Info.image_height)) return "image is too large";
    const bool cmyk = D.Info.jpeg_color_space == JCS_CMYK || D.Info.jpeg_color_space == JCS_YCCK;
    D.Info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(&D.Info);
    if (D.Info.output_components != 4) return "unsupported colour layout";
    Image.Width = static_cast<int>(D.Info.output_width);
    Image.Height = static_cast<int>(D.Info.output_height);
    if (!TRasterImage::SizeAllowed(Image.Width, Image.Height)) return "image is too large";
    Image.Pixels.assign(static_cast<size_t>(Image.Width) * static_cast<size_t>(Image.Height), 0);
    while (D.Info.output_scanline < D.Info.output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(Image.Pixels.data() +
                                                  static_cast<size_t>(D.Info.output_scanline) * Image.Width);
        jpeg_read_scanlines(&D.Info, &row, 1);
    }
    if (cmyk) {
        // Adobe writes CMYK inverted: each byte is 255 - ink.
        const bool inverted = D.Info.saw_Adobe_marker;
        for (uint32_t& p : Image.Pixels) {
            uint32_t c = p & 0xFF, m = (p >> 8) & 0xFF, y = (p >> 16) & 0xFF, k = p >> 24;
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            uint32_t r = c * k / 255, g = m * k / 255, b = y * k / 255;
            p = 0xFF000000u | (r << 16) | (g << 8) | b;
        }
    } else {
        for (uint32_t& p : Image.Pixels)
            p |= 0xFF000000u;
    }
    jpeg_finish_decompress(&D.Info);
    return {};
}

} // namespace

TRasterImage TJpegReader::Decode(const uint8_t* Data, size_t Size) {
    if (Size < 4) throw EInvalidGraphic("JPEG image is not valid: file is too short");
    TDecoder decoder;
    TRasterImage image;
    std::string error = Run(decoder, Data, Size, image);
    if (!error.empty()) throw EInvalidGraphic("JPEG image is not valid: " + error);
    image.HasAlpha = false;
    return image;
}

} // namespace tarvio
