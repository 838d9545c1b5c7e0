#include "app/EFOpenError.h"
#include "app/EInvalidGraphic.h"
#include "app/TPicture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include <jpeglib.h>
#include <string>
#include <unistd.h>
#include <vector>

using tarvio::EFOpenError;
using tarvio::EInvalidGraphic;
using tarvio::TPicture;
using tarvio::TRasterImage;
using Bytes = std::vector<uint8_t>;

namespace {

// Colours as the window system reports them: 0x00BBGGRR.
constexpr int32_t Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, White = 0xFFFFFF, Black = 0;

void Put16(Bytes& B, uint32_t V) {
    B.push_back(V & 0xFF);
    B.push_back((V >> 8) & 0xFF);
}
void Put32(Bytes& B, uint32_t V) {
    Put16(B, V & 0xFFFF);
    Put16(B, V >> 16);
}
void Put32BE(Bytes& B, uint32_t V) {
    for (int s = 24; s >= 0; s -= 8)
        B.push_back((V >> s) & 0xFF);
}

TPicture DecodeAs(const char* Ext, const Bytes& B) {
    return TPicture(TPicture::Decode(Ext, B.data(), B.size()));
}

// Every proper prefix of a good file must be refused cleanly (no crash, no read past the end).
void ExpectEveryPrefixRefused(const char* Ext, const Bytes& Good) {
    for (size_t n = 0; n < Good.size(); ++n) {
        Bytes cut(Good.begin(), Good.begin() + n); // its own allocation, so ASan sees overreads
        EXPECT_THROW(TPicture::Decode(Ext, cut.data(), cut.size()), EInvalidGraphic) << "prefix " << n;
    }
}

// ---- BMP: byte layouts written out field by field ----

// File header + BITMAPINFOHEADER (40 bytes); Extra (palette or masks) follows the header.
Bytes Bmp(int32_t W, int32_t H, uint16_t Bpp, uint32_t Compression, const Bytes& Extra,
          const Bytes& PixelData, uint32_t ColorsUsed = 0) {
    Bytes b{'B', 'M'};
    uint32_t off = 14 + 40 + static_cast<uint32_t>(Extra.size());
    Put32(b, off + static_cast<uint32_t>(PixelData.size()));
    Put32(b, 0);
    Put32(b, off);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(W));
    Put32(b, static_cast<uint32_t>(H));
    Put16(b, 1);
    Put16(b, Bpp);
    Put32(b, Compression);
    Put32(b, static_cast<uint32_t>(PixelData.size()));
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, ColorsUsed);
    Put32(b, 0);
    b.insert(b.end(), Extra.begin(), Extra.end());
    b.insert(b.end(), PixelData.begin(), PixelData.end());
    return b;
}

// 2 x 2, 24 bits: rows are stored bottom-up, BGR, each padded to 4 bytes (6 + 2).
Bytes Bmp24() {
    Bytes px = {
        0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0, // bottom row: blue, white
        0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0, 0, // top row: red, green
    };
    return Bmp(2, 2, 24, 0, {}, px);
}

TEST(BmpReader, TwentyFourBitsBottomUpWithPadding) {
    TPicture p = DecodeAs(".bmp", Bmp24());
    ASSERT_EQ(p.Width(), 2);
    ASSERT_EQ(p.Height(), 2);
    EXPECT_FALSE(p.HasAlpha());
    EXPECT_EQ(p.Pixels(0, 0), Red);
    EXPECT_EQ(p.Pixels(1, 0), Green);
    EXPECT_EQ(p.Pixels(0, 1), Blue);
    EXPECT_EQ(p.Pixels(1, 1), White);
    EXPECT_EQ(p.Pixels(2, 0), TPicture::clInvalid);
    EXPECT_EQ(p.Pixels(-1, 0), TPicture::clInvalid);
}

TEST(BmpReader, TopDownIndexedAndBitFieldLayouts) {
    // Palette: BGRx entries 0 red, 1 green, 2 blue, 3 white.
    Bytes pal = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0};
    struct Case {
        const char* Name;
        Bytes File;
    } cases[] = {
        // Negative height: rows stored top-down. 8 bits: one index per byte.
        {"8-bit top-down", Bmp(2, -2, 8, 0, pal, {0, 1, 0, 0, 2, 3, 0, 0}, 4)},
        // 4 bits: high nibble first.
        {"4-bit", Bmp(2, 2, 4, 0, pal, {0x23, 0, 0, 0, 0x01, 0, 0, 0}, 4)},
        // 16 bits, 5-5-5: red 0x7C00, green 0x03E0, blue 0x001F, white 0x7FFF.
        {"16-bit 555", Bmp(2, 2, 16, 0, {}, {0x1F, 0x00, 0xFF, 0x7F, 0x00, 0x7C, 0xE0, 0x03})},
        // 32 bits with explicit masks (R, G, B) after the header: 0x00RRGGBB words.
        {"32-bit bit fields", Bmp(2, 2, 32, 3, {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0},
                                  {0xFF, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TPicture p = DecodeAs(".bmp", c.File);
        ASSERT_EQ(p.Width(), 2);
        EXPECT_EQ(p.Pixels(0, 0), Red);
        EXPECT_EQ(p.Pixels(1, 0), Green);
        EXPECT_EQ(p.Pixels(0, 1), Blue);
        EXPECT_EQ(p.Pixels(1, 1), White);
    }
    // 1 bit, 10 pixels wide: bits from the most significant, rows padded to 4 bytes.
    Bytes mono = Bmp(10, 1, 1, 0, {0, 0, 0, 0, 255, 255, 255, 0}, {0b10100000, 0b01000000, 0, 0});
    TPicture p = DecodeAs(".bmp", mono);
    EXPECT_EQ(p.Pixels(0, 0), White);
    EXPECT_EQ(p.Pixels(1, 0), Black);
    EXPECT_EQ(p.Pixels(2, 0), White);
    EXPECT_EQ(p.Pixels(9, 0), White);
    EXPECT_EQ(p.Pixels(8, 0), Black);
}

TEST(BmpReader, AlphaMaskKeepsTransparencyAndZeroAlphaMeansOpaque) {
    // BI_ALPHABITFIELDS: R, G, B, A masks after the header.
    Bytes masks = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF};
    TPicture withAlpha = DecodeAs(".bmp", Bmp(1, 1, 32, 6, masks, {0x00, 0x00, 0xFF, 0x80}));
    EXPECT_TRUE(withAlpha.HasAlpha());
    EXPECT_EQ(withAlpha.Pixels(0, 0), Red);
    EXPECT_EQ(withAlpha.Image()->Pixels[0] >> 24, 0x80u);
    TPicture zeroAlpha = DecodeAs(".bmp", Bmp(1, 1, 32, 6, masks, {0x00, 0x00, 0xFF, 0x00}));
    EXPECT_FALSE(zeroAlpha.HasAlpha());
    EXPECT_EQ(zeroAlpha.Image()->Pixels[0] >> 24, 0xFFu);

    // A V2 header (52 bytes) holds the red, green and blue masks; the alpha mask of
    // BI_ALPHABITFIELDS follows it. The same bytes with the header size set to 52 read alike.
    Bytes v2 = Bmp(1, 1, 32, 6, masks, {0x00, 0x00, 0xFF, 0x80});
    v2[14] = 52;
    TPicture fromV2 = DecodeAs(".bmp", v2);
    EXPECT_TRUE(fromV2.HasAlpha());
    EXPECT_EQ(fromV2.Pixels(0, 0), Red);
    EXPECT_EQ(fromV2.Image()->Pixels[0] >> 24, 0x80u);
    // Ending within that alpha mask, the file is refused rather than read past its end.
    for (size_t cut : {66, 69})
        EXPECT_THROW(TPicture::Decode(".bmp", Bytes(v2.begin(), v2.begin() + cut).data(), cut),
                     EInvalidGraphic)
            << cut;
}

TEST(BmpReader, HostileFilesAreRefused) {
    ExpectEveryPrefixRefused(".bmp", Bmp24());
    auto patched = [](size_t Offset, uint32_t Value) {
        Bytes b = Bmp24();
        b[Offset] = Value & 0xFF;
        b[Offset + 1] = (Value >> 8) & 0xFF;
        b[Offset + 2] = (Value >> 16) & 0xFF;
        b[Offset + 3] = (Value >> 24) & 0xFF;
        return b;
    };
    Bytes bad[] = {
        patched(18, 0x7FFFFFFF), // width far beyond the data
        patched(22, 0x80000000), // height INT_MIN
        patched(18, 0),          // zero width
        patched(18, 100000),     // beyond the size limit
        patched(10, 0xFFFFFFF0), // pixel offset past the end
        patched(10, 20),         // pixel offset inside the header
        patched(14, 64),         // unknown header size
        patched(30, 1),          // run-length compression
        patched(30, 99),         // unknown compression
    };
    for (const Bytes& b : bad)
        EXPECT_THROW(DecodeAs(".bmp", b), EInvalidGraphic);
    Bytes depth = Bmp24();
    depth[28] = 7; // 7 bits per pixel
    EXPECT_THROW(DecodeAs(".bmp", depth), EInvalidGraphic);
    // A palette index beyond the colour table reads as black instead of past the table.
    Bytes shortPal = Bmp(1, 1, 8, 0, {0, 0, 255, 0}, {200, 0, 0, 0}, 1);
    EXPECT_EQ(DecodeAs(".bmp", shortPal).Pixels(0, 0), Black);
}

// ---- PNG: chunks written out with their CRCs, image data in stored deflate blocks ----

uint32_t Crc32(const uint8_t* P, size_t N) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < N; ++i) {
        c ^= P[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void Chunk(Bytes& Png, const char* Type, const Bytes& Data) {
    Put32BE(Png, static_cast<uint32_t>(Data.size()));
    Bytes body(Type, Type + 4);
    body.insert(body.end(), Data.begin(), Data.end());
    Png.insert(Png.end(), body.begin(), body.end());
    Put32BE(Png, Crc32(body.data(), body.size()));
}

// Raw holds the filtered scanlines (a filter byte 0 before each row).
Bytes Png(uint32_t W, uint32_t H, uint8_t Depth, uint8_t ColorType, const Bytes& Raw, const Bytes& Plte = {},
          const Bytes& Trns = {}) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    Put32BE(ihdr, W);
    Put32BE(ihdr, H);
    ihdr.insert(ihdr.end(), {Depth, ColorType, 0, 0, 0});
    Chunk(png, "IHDR", ihdr);
    if (!Plte.empty()) Chunk(png, "PLTE", Plte);
    if (!Trns.empty()) Chunk(png, "tRNS", Trns);
    Bytes z = {0x78, 0x01, 0x01}; // zlib header; one final stored block
    Put16(z, static_cast<uint32_t>(Raw.size()));
    Put16(z, static_cast<uint32_t>(~Raw.size() & 0xFFFF));
    z.insert(z.end(), Raw.begin(), Raw.end());
    uint32_t a = 1, b = 0;
    for (uint8_t v : Raw)
        a = (a + v) % 65521, b = (b + a) % 65521;
    Put32BE(z, (b << 16) | a);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

Bytes PngRgb() {
    return Png(2, 2, 8, 2, {0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 255, 255});
}

TEST(PngReader, ColourTypesDecodeToTheSamePixels) {
    struct Case {
        const char* Name;
        Bytes File;
        bool Alpha;
    } cases[] = {
        {"RGB", PngRgb(), false},
        {"RGBA", Png(2, 2, 8, 6, {0, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 255, 255, 255, 255, 255, 255}),
         true},
        {"palette", Png(2, 2, 8, 3, {0, 0, 1, 0, 2, 3}, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}),
         false},
        // 2-bit palette with tRNS making entry 3 (white) half transparent.
        {"2-bit palette + tRNS",
         Png(2, 2, 2, 3, {0, 0b00010000, 0, 0b10110000}, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255},
             {255, 255, 255, 128}),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TPicture p = DecodeAs(".png", c.File);
        ASSERT_EQ(p.Width(), 2);
        ASSERT_EQ(p.Height(), 2);
        EXPECT_EQ(p.HasAlpha(), c.Alpha);
        EXPECT_EQ(p.Pixels(0, 0), Red);
        EXPECT_EQ(p.Pixels(1, 0), Green);
        EXPECT_EQ(p.Pixels(0, 1), Blue);
        EXPECT_EQ(p.Pixels(1, 1), White);
    }
    // Grey, 16 bits: the high byte decides.
    TPicture grey = DecodeAs(".png", Png(1, 1, 16, 0, {0, 0x80, 0x00}));
    EXPECT_EQ(grey.Pixels(0, 0), 0x808080);
}

TEST(PngReader, HostileFilesAreRefused) {
    ExpectEveryPrefixRefused(".png", PngRgb());
    Bytes badCrc = PngRgb();
    badCrc[8 + 8 + 13] ^= 1; // IHDR's CRC
    EXPECT_THROW(DecodeAs(".png", badCrc), EInvalidGraphic);
    // A header that promises a picture beyond the limit is refused before any allocation.
    EXPECT_THROW(DecodeAs(".png", Png(1000000, 1000000, 8, 2, {0, 1, 2, 3})), EInvalidGraphic);
    // Too little image data for the promised size.
    EXPECT_THROW(DecodeAs(".png", Png(64, 64, 8, 2, {0, 1, 2, 3})), EInvalidGraphic);
    Bytes notPng = Bmp24();
    EXPECT_THROW(DecodeAs(".png", notPng), EInvalidGraphic);
}

// ---- JPEG: encoded here with libjpeg, then read back ----

Bytes Jpeg(int W, int H, int Components, const std::vector<uint8_t>& Samples, int Quality = 100) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = W;
    c.image_height = H;
    c.input_components = Components;
    c.in_color_space = Components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, Quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(Samples.data()) + c.next_scanline * W * Components;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    Bytes result(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return result;
}

// 16 x 16: left half red, right half blue (each 8 x 8 block one colour).
Bytes JpegRedBlue() {
    std::vector<uint8_t> s;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            if (x < 8)
                s.insert(s.end(), {255, 0, 0});
            else
                s.insert(s.end(), {0, 0, 255});
        }
    return Jpeg(16, 16, 3, s);
}

void ExpectNear(int32_t Actual, int32_t Expected, int Tolerance) {
    for (int shift = 0; shift < 24; shift += 8)
        EXPECT_NEAR((Actual >> shift) & 0xFF, (Expected >> shift) & 0xFF, Tolerance)
            << std::hex << Actual << " vs " << Expected;
}

TEST(JpegReader, ColourAndGreyDecode) {
    TPicture p = DecodeAs(".jpg", JpegRedBlue());
    ASSERT_EQ(p.Width(), 16);
    ASSERT_EQ(p.Height(), 16);
    EXPECT_FALSE(p.HasAlpha());
    ExpectNear(p.Pixels(2, 2), Red, 8);
    ExpectNear(p.Pixels(13, 13), Blue, 8);
    EXPECT_EQ(p.Image()->Pixels[0] >> 24, 0xFFu);
    TPicture grey = DecodeAs(".jpeg", Jpeg(8, 8, 1, std::vector<uint8_t>(64, 0x60)));
    ExpectNear(grey.Pixels(4, 4), 0x606060, 2);
}

TEST(JpegReader, HostileFilesAreRefused) {
    Bytes good = JpegRedBlue();
    // Every cut that loses image data: libjpeg would fill in grey, the reader refuses.
    for (size_t n = 0; n + 2 < good.size(); n += 7) {
        Bytes cut(good.begin(), good.begin() + n);
        EXPECT_THROW(TPicture::Decode(".jpg", cut.data(), cut.size()), EInvalidGraphic) << n;
    }
    Bytes garbage(500, 0x5A);
    EXPECT_THROW(DecodeAs(".jpg", garbage), EInvalidGraphic);
    // SOF0 claiming 60000 x 60000 pixels.
    Bytes huge = good;
    for (size_t i = 0; i + 8 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = 0xEA, huge[i + 6] = 0x60, huge[i + 7] = 0xEA, huge[i + 8] = 0x60;
            break;
        }
    EXPECT_THROW(DecodeAs(".jpg", huge), EInvalidGraphic);
}

// ---- Loading files by extension ----

class PictureFile : public testing::Test {
protected:
    std::filesystem::path Dir = std::filesystem::temp_directory_path() /
                                ("tarvio_picture_test_" + std::to_string(getpid())); // tests run in parallel
    void SetUp() override { std::filesystem::create_directories(Dir); }
    void TearDown() override { std::filesystem::remove_all(Dir); }
    std::string Write(const std::string& Name, const Bytes& B) {
        std::ofstream out(Dir / Name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(B.data()), static_cast<std::streamsize>(B.size()));
        return (Dir / Name).string();
    }
};

TEST_F(PictureFile, ExtensionChoosesTheFormatWithoutRegardToCase) {
    TPicture p;
    p.LoadFromFile(Write("a.PNG", PngRgb()));
    EXPECT_EQ(p.Pixels(1, 1), White);
    p.LoadFromFile(Write("b.Bmp", Bmp24()));
    EXPECT_EQ(p.Pixels(0, 1), Blue);
    p.LoadFromFile(Write("c.JPG", JpegRedBlue()));
    EXPECT_EQ(p.Width(), 16);
    // A PNG file named .bmp is read as a bitmap and refused.
    EXPECT_THROW(p.LoadFromFile(Write("d.bmp", PngRgb())), EInvalidGraphic);
}

TEST_F(PictureFile, FailuresKeepThePreviousPictureAndSayWhy) {
    TPicture p;
    p.LoadFromFile(Write("good.bmp", Bmp24()));
    TPicture copy = p;
    try {
        p.LoadFromFile((Dir / "x.gif").string());
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Unknown picture file extension (.gif)");
    }
    EXPECT_THROW(p.LoadFromFile((Dir / "noext").string()), EInvalidGraphic);
    EXPECT_THROW(p.LoadFromFile((Dir / "dir.v2/noext").string()), EInvalidGraphic);
    std::string missing = (Dir / "missing.png").string();
    try {
        p.LoadFromFile(missing);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    std::filesystem::create_directories(Dir / "folder.png");
    EXPECT_THROW(p.LoadFromFile((Dir / "folder.png").string()), EFOpenError);
    EXPECT_THROW(p.LoadFromFile(Write("empty.png", {})), EInvalidGraphic);
    Bytes truncated = PngRgb();
    truncated.resize(truncated.size() / 2);
    EXPECT_THROW(p.LoadFromFile(Write("half.png", truncated)), EInvalidGraphic);
    EXPECT_EQ(p.Width(), 2);
    EXPECT_EQ(p.Pixels(0, 0), Red);
    EXPECT_EQ(p.Image(), copy.Image());
}

} // namespace
