// TWaveIn on hand-made files: the header parser's chunk rules, data lengths that lie, ADPCM
// headers the decoders cannot hold, damaged blocks, the IMA floor, float conversion, INFO
// tags, and a fixed-seed table of hostile files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "WaveBytes.h"
#include "decoders/wav/TWaveIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// Decodes Bytes through an assigned memory stream; empty when the file is not valid.
struct TDecoded {
    bool Valid = false;
    TBytes Data;
};

TDecoded DecodeBytes(const TBytes& Bytes, uint32_t Chunk = 16384) {
    TMemoryStream stream(Bytes);
    TWaveIn in;
    in.SetStream(&stream);
    TDecoded d;
    d.Valid = in.Valid();
    if (d.Valid) d.Data = DecodeAll(in, Chunk);
    return d;
}

TBytes Junk(size_t Bytes) {
    return TBytes(Bytes, 0x11); // never mistaken for an identifier
}

// ---------------------------------------------------------------------------------------
// Where the header parser finds its way, and where it must not.

struct TLayoutCase {
    const char* Name;
    TBytes File;
    bool Valid;
};

void PrintTo(const TLayoutCase& c, std::ostream* os) {
    *os << c.Name;
}

std::vector<TLayoutCase> LayoutCases() {
    const TBytes fmt = FmtBody(1, 2, 44100, 4, 16);
    const TBytes data = Ramp16(100);
    std::vector<TLayoutCase> cases;
    TBytes junkFirst = Junk(100);
    const TBytes plain = Pcm16File(100);
    junkFirst.insert(junkFirst.end(), plain.begin(), plain.end());
    cases.push_back({"junk_before_RIFF", junkFirst, true});
    cases.push_back(
        {"ids_in_either_case", RiffWave({{"FMT ", fmt}, {"DATA", data}}, true, "riff", "wave"), true});
    cases.push_back({"LIST_between_fmt_and_data",
                     RiffWave({{"fmt ", fmt}, {"LIST", TBytes{'I', 'N', 'F', 'O'}}, {"data", data}}), true});
    cases.push_back(
        {"padded_odd_chunk_before_data", RiffWave({{"fmt ", fmt}, {"junk", Junk(3)}, {"data", data}}), true});
    // The pad byte is skipped only where "data" is expected.
    cases.push_back(
        {"padded_odd_chunk_before_fmt", RiffWave({{"junk", Junk(3)}, {"fmt ", fmt}, {"data", data}}), false});
    cases.push_back({"no_data_chunk", RiffWave({{"fmt ", fmt}, {"junk", data}}), false});
    cases.push_back(
        {"data_beyond_64_KiB", RiffWave({{"fmt ", fmt}, {"LIST", Junk(70000)}, {"data", data}}), false});
    cases.push_back(
        {"unknown_format_tag", RiffWave({{"fmt ", FmtBody(0x161, 2, 44100, 4, 16)}, {"data", data}}), false});
    cases.push_back({"fmt_body_too_short",
                     RiffWave({{"fmt ", TBytes(fmt.begin(), fmt.begin() + 14)}, {"data", data}}), false});
    cases.push_back(
        {"no_channels", RiffWave({{"fmt ", FmtBody(1, 0, 44100, 4, 16)}, {"data", data}}), false});
    cases.push_back({"12_bit_pcm", RiffWave({{"fmt ", FmtBody(1, 2, 44100, 4, 12)}, {"data", data}}), false});
    // Extensible: cbSize 22, valid bits, channel mask, then the sub-format GUID.
    auto extensible = [&](uint32_t SubFormat) {
        TBytes extra;
        PutLe(extra, 22, 2);
        PutLe(extra, 16, 2);
        PutLe(extra, 3, 4);
        PutLe(extra, SubFormat, 4);
        for (uint8_t b : {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
            extra.push_back(b);
        return RiffWave({{"fmt ", FmtBody(0xFFFE, 2, 44100, 4, 16, extra)}, {"data", data}});
    };
    // MPEG data whose format is larger than the converter's 129-byte record.
    cases.push_back({"mpeg_format_of_130_bytes",
                     RiffWave({{"fmt ", FmtBody(0x55, 2, 44100, 1, 0, TBytes(114, 0))},
                               {"fact", Le32Body(100)},
                               {"data", data}}),
                     false});
    // RF64 and BW64: the data length is the "ds64" chunk's where the field holds 0xFFFFFFFF,
    // so the chunk after the data is not played; without a "ds64" the data runs to the end.
    // A "ds64" data size beyond the file (up to 2^64 - 1) is cut to the file.
    auto rf64 = [&](const char* Riff, bool Ds64, bool After, uint64_t DataSize = 400) {
        TBytes ds64;
        for (const uint64_t v : {uint64_t{0}, DataSize, uint64_t{100}}) {
            PutLe(ds64, static_cast<uint32_t>(v), 4); // RIFF size, data size, sample count
            PutLe(ds64, static_cast<uint32_t>(v >> 32), 4);
        }
        PutLe(ds64, 0, 4); // no table
        std::vector<TChunk> chunks = {{"fmt ", fmt}, {"data", data, 0xFFFFFFFF}};
        if (Ds64) chunks.insert(chunks.begin(), TChunk{"ds64", ds64});
        if (After) chunks.push_back({"junk", Junk(64)});
        return RiffWave(chunks, true, Riff);
    };
    cases.push_back({"rf64_ds64_sizes", rf64("RF64", true, true), true});
    cases.push_back({"bw64_ds64_sizes", rf64("BW64", true, true), true});
    cases.push_back({"rf64_without_ds64", rf64("RF64", false, false), true});
    cases.push_back({"rf64_ds64_size_of_2_to_the_64", rf64("RF64", true, false, ~uint64_t{0}), true});
    cases.push_back({"extensible_pcm", extensible(1), true});
    cases.push_back({"extensible_ac3_sub_format", extensible(0x92), false});
    return cases;
}

class WaveLayout : public testing::TestWithParam<TLayoutCase> {};

TEST_P(WaveLayout, OpensAndDeliversTheData) {
    const TLayoutCase& c = GetParam();
    const TDecoded d = DecodeBytes(c.File);
    ASSERT_EQ(d.Valid, c.Valid);
    if (c.Valid) {
        EXPECT_TRUE(d.Data == Ramp16(100)) << FirstDifference(d.Data, Ramp16(100));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, WaveLayout, testing::ValuesIn(LayoutCases()),
                         [](const testing::TestParamInfo<TLayoutCase>& i) {
                             return std::string(i.param.Name);
                         });

// A 44-byte header: the data starts at byte 44, and sample 1000 of 16-bit stereo at 4044.
TEST(WaveHeader, SeekPositionsTheStreamAfterTheHeader) {
    TMemoryStream stream(Pcm16File(2000));
    TWaveIn in;
    in.SetStream(&stream);
    in.Init();
    ASSERT_TRUE(in.Seek(1000));
    EXPECT_EQ(stream.Position(), 44 + 4000);
    in.Flush();
}

// A "data" length that lies: cut to what the file holds, and reported as data that ends
// early where it ends; 0xFFFFFFFF with a RIFF length to match or none (a stream) and 0 (a
// recording whose header was never finished) read to its end without a word. A data
// length of 0xFFFFFFFF under a RIFF length of its own claims 4 GiB.
TEST(WaveHeader, DataLengthBeyondTheFileIsCutToIt) {
    struct TCase {
        uint32_t Data, Riff; // the length fields; Riff 1: the file's own length
        int64_t CutAt;       // the frame reported, -1: none
    };
    for (const TCase c : {TCase{40000, 0, 100}, TCase{40000, 1, 100}, TCase{0xFFFFFFFF, 0, -1},
                          TCase{0xFFFFFFFF, 0xFFFFFFFF, -1}, TCase{0xFFFFFFFF, 1, 100}, TCase{0, 0, -1},
                          TCase{402, 1, 100}, TCase{400, 1, -1}}) {
        SCOPED_TRACE(std::to_string(c.Data) + " in RIFF " + std::to_string(c.Riff));
        TBytes bytes = RiffWave({{"fmt ", FmtBody(1, 2, 44100, 4, 16)}, {"data", Ramp16(100), c.Data}});
        SetLe(bytes, 4, c.Riff == 1 ? static_cast<uint32_t>(bytes.size() - 8) : c.Riff, 4);
        TMemoryStream stream(bytes);
        TWaveIn in;
        in.SetStream(&stream);
        ASSERT_TRUE(in.Valid());
        EXPECT_EQ(in.TotalSamples(), 100);
        EXPECT_TRUE(DecodeAll(in) == Ramp16(100));
        EXPECT_EQ(in.DamageCount(), c.CutAt < 0 ? 0u : 1u);
        EXPECT_EQ(in.Damage(dkCutShort).FirstFrame, c.CutAt);
    }
}

// Chunks after the data are not played, and a LIST/INFO chunk there gives the tags; INFO
// text that is not UTF-8 is read in the legacy code page.
TEST(WaveHeader, InfoAfterTheDataGivesTagsAndIsNotPlayed) {
    TBytes info{'I', 'N', 'F', 'O'};
    const std::string title = TCodePage::ToNarrow(u"Песня", "CP1251");
    info.insert(info.end(), {'I', 'N', 'A', 'M'});
    PutLe(info, static_cast<uint32_t>(title.size() + 1), 4);
    info.insert(info.end(), title.begin(), title.end());
    info.push_back(0);
    if (info.size() % 2) info.push_back(0);
    const std::string artist = "Кино"; // UTF-8
    info.insert(info.end(), {'I', 'A', 'R', 'T'});
    PutLe(info, static_cast<uint32_t>(artist.size()), 4);
    info.insert(info.end(), artist.begin(), artist.end());
    TMemoryStream stream(
        RiffWave({{"fmt ", FmtBody(1, 2, 44100, 4, 16)}, {"data", Ramp16(99)}, {"LIST", info}}));
    TWaveIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), TCodePage::ToWide(title, "CP1251"));
    EXPECT_EQ(in.CommonTags()->Artist(), u"Кино");
    EXPECT_TRUE(DecodeAll(in) == Ramp16(99));
}

// ---------------------------------------------------------------------------------------
// ADPCM.

// An IMA "fmt " body with its samples per block.
TBytes ImaFmt(uint16_t Channels, uint16_t Align, uint16_t Bits = 4) {
    TBytes extra;
    PutLe(extra, 2, 2);
    PutLe(extra, Channels == 1 ? 2 * (Align - 4) + 1 : (Align - 8) + 1, 2);
    return FmtBody(0x11, Channels, 22050, Align, Bits, extra);
}

// A mono IMA block: its first sample, step index, and data bytes.
TBytes ImaBlock(int16_t First, uint8_t Index, const TBytes& Data) {
    TBytes b;
    PutLe(b, static_cast<uint16_t>(First), 2);
    b.push_back(Index);
    b.push_back(0);
    b.insert(b.end(), Data.begin(), Data.end());
    return b;
}

TBytes ImaFile(uint16_t Channels, uint16_t Align, const TBytes& Data, uint32_t Fact, uint16_t Bits = 4) {
    return RiffWave({{"fmt ", ImaFmt(Channels, Align, Bits)}, {"fact", Le32Body(Fact)}, {"data", Data}});
}

// An MS ADPCM "fmt " body with NumCoeff standard coefficient pairs (the 7 repeated) and
// Written of them stored.
TBytes MsFmt(uint16_t Channels, uint16_t Align, uint16_t PerBlock, uint16_t NumCoeff, uint16_t Written) {
    static const int16_t coefs[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                        {240, 0}, {460, -208}, {392, -232}};
    TBytes extra;
    PutLe(extra, 4 + 4 * Written, 2);
    PutLe(extra, PerBlock, 2);
    PutLe(extra, NumCoeff, 2);
    for (int i = 0; i < Written; ++i) {
        PutLe(extra, static_cast<uint16_t>(coefs[i % 7][0]), 2);
        PutLe(extra, static_cast<uint16_t>(coefs[i % 7][1]), 2);
    }
    return FmtBody(2, Channels, 22050, Align, 4, extra);
}

// A mono MS block: predictor, delta, Samp1, Samp2, then Align - 7 data bytes.
TBytes MsBlock(uint8_t Predictor, uint16_t Align, uint8_t Fill = 0x12) {
    TBytes b{Predictor};
    PutLe(b, 16, 2);
    PutLe(b, 100, 2);
    PutLe(b, 50, 2);
    b.resize(Align, Fill);
    return b;
}

TBytes MsFile(const TBytes& Fmt, const TBytes& Data, uint32_t Fact = 1000) {
    return RiffWave({{"fmt ", Fmt}, {"fact", Le32Body(Fact)}, {"data", Data}});
}

struct THeaderCase {
    const char* Name;
    TBytes File;
    bool Valid;
};

void PrintTo(const THeaderCase& c, std::ostream* os) {
    *os << c.Name;
}

std::vector<THeaderCase> AdpcmHeaderCases() {
    const TBytes imaData = ImaBlock(0, 0, TBytes(1020, 0x7F));
    const TBytes msData = MsBlock(0, 256);
    TBytes stereoIma(4103, 0);
    TBytes tooLarge(4100, 0);
    return {
        {"ima_mono_4099_byte_blocks", ImaFile(1, 4099, ImaBlock(0, 0, TBytes(4095, 0x31)), 8191), true},
        {"ima_stereo_4103_byte_blocks", ImaFile(2, 4103, stereoIma, 4089), true},
        {"ima_mono_4100_byte_blocks", ImaFile(1, 4100, tooLarge, 8193), false},
        {"ima_stereo_4104_byte_blocks", ImaFile(2, 4104, TBytes(4104, 0), 4097), false},
        {"ima_block_align_0", ImaFile(1, 0, imaData, 2041), false},
        {"ima_three_channels", ImaFile(3, 1024, TBytes(1024, 0), 100), false},
        {"ima_3_bits", ImaFile(1, 1024, imaData, 2041, 3), false},
        {"ima_step_index_89", ImaFile(1, 1024, ImaBlock(0, 89, TBytes(1020, 0)), 2041), false},
        {"ima_data_before_fact",
         RiffWave({{"fmt ", ImaFmt(1, 1024)}, {"data", imaData}, {"fact", Le32Body(2041)}}), false},
        {"ms_mono", MsFile(MsFmt(1, 256, 500, 7, 7), msData), true},
        {"ms_33_coefficient_pairs", MsFile(MsFmt(1, 256, 500, 33, 33), msData), false},
        {"ms_no_coefficients", MsFile(MsFmt(1, 256, 500, 0, 0), msData), false},
        {"ms_coefficients_past_the_chunk", MsFile(MsFmt(1, 256, 500, 7, 3), msData), false},
        {"ms_predictor_at_the_pair_count", MsFile(MsFmt(1, 256, 500, 7, 7), MsBlock(7, 256)), false},
        {"ms_three_channels", MsFile(MsFmt(3, 256, 500, 7, 7), msData), false},
        {"ms_samples_beyond_the_block", MsFile(MsFmt(1, 256, 501 + 2, 7, 7), msData), false},
        {"ms_stereo_4097_samples", MsFile(MsFmt(2, 4200, 4097, 7, 7), TBytes(4200, 0)), false},
        {"ms_block_align_0", MsFile(MsFmt(1, 0, 500, 7, 7), msData), false},
    };
}

class WaveAdpcmHeader : public testing::TestWithParam<THeaderCase> {};

TEST_P(WaveAdpcmHeader, OpensOnlyWhatTheDecoderCanHold) {
    const THeaderCase& c = GetParam();
    const TDecoded d = DecodeBytes(c.File);
    EXPECT_EQ(d.Valid, c.Valid);
    if (c.Valid) {
        EXPECT_FALSE(d.Data.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, WaveAdpcmHeader, testing::ValuesIn(AdpcmHeaderCases()),
                         [](const testing::TestParamInfo<THeaderCase>& i) {
                             return std::string(i.param.Name);
                         });

// A cut ADPCM file reports where its data ends, after the part block it decodes.
TEST(WaveHeader, CutAdpcmDataIsReported) {
    TBytes file = ImaFile(1, 256, TBytes(256 * 3, 0x35), 505 * 3);
    file.resize(file.size() - 100);
    TMemoryStream stream(file);
    TWaveIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    EXPECT_EQ(in.DamageCount(), 1u);
    EXPECT_GT(in.Damage(dkCutShort).FirstFrame, 505 * 2);
}

// A damaged block after a good one plays as silence of the block's length.
TEST(WaveAdpcm, DamagedLaterBlocksPlayAsSilence) {
    struct TCase {
        const char* Name;
        TBytes File;
        size_t BlockBytes; // decoded
    };
    TBytes ima = ImaBlock(1000, 10, TBytes(252, 0x35));
    const TBytes badIma = ImaBlock(1000, 200, TBytes(252, 0x35));
    ima.insert(ima.end(), badIma.begin(), badIma.end());
    TBytes ms = MsBlock(1, 256);
    const TBytes badMs = MsBlock(9, 256);
    ms.insert(ms.end(), badMs.begin(), badMs.end());
    for (const TCase& c : {TCase{"ima", ImaFile(1, 256, ima, 2 * 505), 505 * 2},
                           TCase{"ms", MsFile(MsFmt(1, 256, 500, 7, 7), ms, 1000), 500 * 2}}) {
        SCOPED_TRACE(c.Name);
        const TDecoded d = DecodeBytes(c.File);
        ASSERT_TRUE(d.Valid);
        ASSERT_EQ(d.Data.size(), 2 * c.BlockBytes);
        EXPECT_NE(TBytes(d.Data.begin(), d.Data.begin() + 20), TBytes(20, 0));
        EXPECT_EQ(TBytes(d.Data.begin() + c.BlockBytes, d.Data.end()), TBytes(c.BlockBytes, 0));
    }
}

// Nibbles that drive the predictor down stop it at -32767, not -32768.
TEST(WaveAdpcm, ImaPredictorFloorIsMinus32767) {
    const TDecoded d = DecodeBytes(ImaFile(1, 36, ImaBlock(-32000, 88, TBytes(32, 0xFF)), 65));
    ASSERT_TRUE(d.Valid);
    ASSERT_EQ(d.Data.size(), 65u * 2);
    EXPECT_EQ(static_cast<int16_t>(Le(&d.Data[0], 2)), -32000);
    for (size_t i = 1; i < 65; ++i)
        EXPECT_EQ(static_cast<int16_t>(Le(&d.Data[2 * i], 2)), -32767) << "sample " << i;
}

// ---------------------------------------------------------------------------------------
// IEEE float: delivered as 32-bit integers; 64-bit data reports half its stored size.

TEST(WaveFloat, SamplesBecome32BitIntegers) {
    const double values[] = {1.5, -1.0, 0.5, -0.5, 0.0, 0.25};
    const int32_t expected[] = {2147483647, INT32_MIN, 1073741823, -1073741824, 0, 536870911};
    for (uint16_t bits : {32, 64}) {
        SCOPED_TRACE(bits);
        TBytes data;
        for (double v : values) {
            uint8_t raw[8];
            if (bits == 32) {
                const float f = static_cast<float>(v);
                std::memcpy(raw, &f, 4);
            } else {
                std::memcpy(raw, &v, 8);
            }
            data.insert(data.end(), raw, raw + bits / 8);
        }
        TMemoryStream stream(RiffWave({{"fmt ", FmtBody(3, 2, 48000, 2 * bits / 8, bits)}, {"data", data}}));
        TWaveIn in;
        in.SetStream(&stream);
        ASSERT_TRUE(in.Valid());
        EXPECT_EQ(in.WavType(), wtIEEEFloat);
        EXPECT_EQ(in.BitsPerSample(), 32u);
        EXPECT_EQ(in.TotalSamples(), 3);
        in.Init();
        EXPECT_EQ(in.Size(), 24); // 64-bit data: half of what is stored
        const TBytes out = Drain(in);
        in.Flush();
        ASSERT_EQ(out.size(), sizeof expected);
        EXPECT_EQ(0, std::memcmp(out.data(), expected, sizeof expected));
    }
}

// ---------------------------------------------------------------------------------------
// Hostile files, made from a fixed seed: every header field set to hostile values, and
// damaged copies. Nothing may crash, hang or read outside a buffer (ASan), and every file
// must end.

void Exercise(const TBytes& File) {
    TMemoryStream stream(File);
    TWaveIn in;
    in.SetStream(&stream);
    if (!in.Valid()) return;
    (void)in.WavType();
    in.Init();
    try {
        uint8_t* p = nullptr;
        uint32_t n = 10000;
        in.GetData(p, n);
        const int64_t total = in.TotalSamples();
        in.Seek(total > 0 ? total / 2 : 1);
        Drain(in, 8192, 64u << 20);
    } catch (const EAuException& e) {
        // A file that states a length from which nothing decodes is an error, not an empty
        // success.
        EXPECT_EQ(std::string(e.what()).rfind("no audio could be decoded", 0), 0u) << e.what();
    }
    in.Flush();
}

TEST(WaveHostile, HeaderFieldsAndDamagedCopies) {
    const TBytes imaData = [] {
        TBytes d;
        for (int b = 0; b < 3; ++b) {
            const TBytes block = ImaBlock(static_cast<int16_t>(b * 1000), 40, TBytes(252, 0x9C));
            d.insert(d.end(), block.begin(), block.end());
        }
        return d;
    }();
    TBytes msData;
    for (int b = 0; b < 3; ++b) {
        const TBytes block = MsBlock(static_cast<uint8_t>(b), 256, 0x7E);
        msData.insert(msData.end(), block.begin(), block.end());
    }
    const std::vector<TBytes> seeds = {
        Pcm16File(3000),
        ImaFile(1, 256, imaData, 3 * 505),
        ImaFile(2, 256, imaData, 3 * 249),
        MsFile(MsFmt(1, 256, 500, 7, 7), msData, 1500),
        MsFile(MsFmt(2, 256, 244, 7, 7), msData, 732),
        RiffWave({{"fmt ", FmtBody(3, 1, 8000, 8, 64)}, {"data", TBytes(4000, 0x3F)}}),
        ReadAll(Media("wav/mp3_mono_22050.wav")),
    };
    const uint32_t hostile[] = {0,   1,      2,      3,      7,       8,          88,        89,
                                255, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF};
    std::mt19937 rng(20240616);
    for (const TBytes& seed : seeds) {
        // The "fmt " body starts at 20; its fields and the extra bytes up to 60, then the
        // fact and data lengths and the first block header.
        for (size_t at = 4; at < std::min<size_t>(seed.size(), 120); at += 2) {
            for (uint32_t v : hostile) {
                TBytes f = seed;
                SetLe(f, at, v, at + 4 <= f.size() ? static_cast<int>(1 + rng() % 4) : 1);
                Exercise(f);
            }
        }
        for (const auto& [name, bytes] : DamagedCopies(seed, "RIFF")) {
            SCOPED_TRACE(name);
            Exercise(bytes);
        }
    }
}

} // namespace
