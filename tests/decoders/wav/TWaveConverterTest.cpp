// TWaveConverter and the audio compression layer under it: MPEG Layer 3, GSM 6.10, A-law
// and mu-law converted as ffmpeg decodes them, whole and piece by piece; the converter's
// loading and saving; the layer's calls and their errors.

#include <gtest/gtest.h>

#include <cstring>

#include "WaveBytes.h"
#include "decoders/wav/MSAcm.h"
#include "decoders/wav/TWaveConverter.h"
#include "decoders/wav/TWaveIn.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

struct TCodecCase {
    const char* Name;
    uint16_t Tag;
    uint16_t Channels;
    uint32_t Rate;
};

void PrintTo(const TCodecCase& c, std::ostream* os) {
    *os << c.Name;
}

class AcmCodec : public testing::TestWithParam<TCodecCase> {
protected:
    TBytes File() const { return ReadAll(Media("wav/" + std::string(GetParam().Name) + ".wav")); }
    TBytes Reference() const { return ReadAll(Media("wav/" + std::string(GetParam().Name) + ".ref.raw")); }

    // A converter loaded with the file, its new format suggested.
    void Load(TWaveConverter& Converter) const {
        TMemoryStream file(File());
        ASSERT_EQ(Converter.LoadStream(file), 0);
        EXPECT_EQ(Converter.CurrentFormat.Format.wFormatTag, GetParam().Tag);
        Converter.NewFormat.Format.wFormatTag = WAVE_FORMAT_PCM;
        ASSERT_EQ(acmFormatSuggest(nullptr, &Converter.CurrentFormat.Format, &Converter.NewFormat.Format,
                                   TACMWaveFormat::Size, ACM_FORMATSUGGESTF_WFORMATTAG),
                  MMSYSERR_NOERROR);
    }
};

// Whole file: load, suggest, convert, save, and read the saved file back as plain PCM.
TEST_P(AcmCodec, ConvertsAsFfmpegDecodes) {
    const TCodecCase c = GetParam();
    const TBytes ref = Reference();
    TWaveConverter converter;
    Load(converter);
    const tWAVEFORMATEX& pcm = converter.NewFormat.Format;
    EXPECT_EQ(pcm.nChannels, c.Channels);
    EXPECT_EQ(uint32_t{pcm.nSamplesPerSec}, c.Rate); // a copy: the record is packed
    EXPECT_EQ(pcm.wBitsPerSample, 16);
    EXPECT_EQ(pcm.nBlockAlign, 2 * c.Channels);
    ASSERT_EQ(converter.Convert(), 0);
    EXPECT_TRUE(converter.Data() == ref) << FirstDifference(converter.Data(), ref);
    EXPECT_EQ(converter.CurrentFormat.Format.wFormatTag, WAVE_FORMAT_PCM);

    TMemoryStream saved;
    ASSERT_EQ(converter.SaveWavToStream(saved), 0);
    saved.SetPosition(0);
    TWaveIn in;
    in.SetStream(&saved);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.WavType(), wtPCM);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_TRUE(DecodeAll(in) == ref);
}

// Piece by piece, with pieces from one byte up and a destination too small for one frame's
// output: the same bytes arrive.
TEST_P(AcmCodec, ConvertsPieceByPiece) {
    const TBytes ref = Reference();
    TBytes data;
    {
        TWaveConverter whole;
        Load(whole);
        data = whole.Data();
    }
    for (uint32_t piece : {1u, 100u, 4096u}) {
        SCOPED_TRACE(piece);
        TWaveConverter converter;
        Load(converter);
        ASSERT_EQ(converter.OpenConversion(), 0);
        TBytes out, dst(333);
        for (size_t at = 0;;) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(piece, data.size() - at));
            const bool last = at + n >= data.size();
            uint32_t used = 0;
            ASSERT_EQ(converter.ConvertBlock(data.data() + at, n, last, dst.data(), 333, used), 0);
            out.insert(out.end(), dst.begin(), dst.begin() + used);
            at += n;
            if (last && n == 0 && used == 0) break;
        }
        converter.CloseConversion();
        EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, AcmCodec,
                         testing::Values(TCodecCase{"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 2, 44100},
                                         TCodecCase{"mp3_mono_22050", WAVE_FORMAT_MPEGLAYER3, 1, 22050},
                                         TCodecCase{"gsm_mono", WAVE_FORMAT_GSM610, 1, 8000},
                                         TCodecCase{"alaw_stereo", WAVE_FORMAT_ALAW, 2, 8000},
                                         TCodecCase{"mulaw_mono", WAVE_FORMAT_MULAW, 1, 8000}),
                         [](const testing::TestParamInfo<TCodecCase>& i) {
                             return std::string(i.param.Name);
                         });

// ---------------------------------------------------------------------------------------
// Loading and saving.

TEST(WaveConverter, Saves1000BytesOfPcmAsA1044ByteFile) {
    TWaveConverter converter;
    const TBytes body = FmtBody(1, 2, 44100, 4, 16);
    ASSERT_EQ(converter.SetCurrentFormat(body.data(), static_cast<uint32_t>(body.size())), 0);
    const TBytes pcm = Ramp16(250);
    converter.WriteBuffer(pcm.data(), 1000);
    converter.SetPosition(123);
    TMemoryStream out;
    ASSERT_EQ(converter.SaveWavToStream(out), 0);
    const TBytes& f = out.Data();
    ASSERT_EQ(f.size(), 1044u);
    EXPECT_EQ(0, std::memcmp(f.data(), "RIFF", 4));
    EXPECT_EQ(Le(&f[4], 4), 1036u); // the file's size less 8
    EXPECT_EQ(0, std::memcmp(&f[8], "WAVEfmt ", 8));
    EXPECT_EQ(Le(&f[16], 4), 16u);
    EXPECT_EQ(TBytes(f.begin() + 20, f.begin() + 36), TBytes(body.begin(), body.begin() + 16));
    EXPECT_EQ(0, std::memcmp(&f[36], "data", 4));
    EXPECT_EQ(Le(&f[40], 4), 1000u);
    EXPECT_EQ(TBytes(f.begin() + 44, f.end()), pcm);
    EXPECT_EQ(converter.Position(), 123); // its own position is kept
}

TEST(WaveConverter, LoadStreamCases) {
    const TBytes fmt16 = FmtBody(1, 2, 44100, 4, 16);
    struct TCase {
        const char* Name;
        TBytes File;
        int32_t Result;
        size_t Contents; // bytes loaded
        uint16_t Tag;    // of CurrentFormat
    };
    TBytes notRiff = Pcm16File(10);
    notRiff[0] = 'X';
    const TCase cases[] = {
        {"LIST between fmt and data",
         RiffWave({{"fmt ", fmt16}, {"LIST", TBytes(37, 'x')}, {"data", Ramp16(10)}}), 0, 40, 1},
        {"empty data", RiffWave({{"fmt ", fmt16}, {"data", {}}}), 0, 0, 1},
        {"data beyond the file", RiffWave({{"fmt ", fmt16}, {"data", Ramp16(10), 1000000}}), 0, 40, 1},
        {"not RIFF", notRiff, 0, 0, 0},
        {"fmt larger than the record",
         RiffWave({{"fmt ", FmtBody(0x55, 2, 44100, 1, 0, TBytes(114, 0))}, {"data", Ramp16(10)}}),
         static_cast<int32_t>(MMSYSERR_INVALPARAM), 0, 0},
        {"fmt of 129 bytes",
         RiffWave({{"fmt ", FmtBody(0x55, 2, 44100, 1, 0, TBytes(113, 0))}, {"data", Ramp16(10)}}), 0, 40,
         0x55},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemoryStream file(c.File);
        TWaveConverter converter;
        EXPECT_EQ(converter.LoadStream(file), c.Result);
        EXPECT_EQ(converter.Size(), static_cast<int64_t>(c.Contents));
        EXPECT_EQ(converter.Position(), 0);
        EXPECT_EQ(converter.CurrentFormat.Format.wFormatTag, c.Tag);
    }
}

// A 16-byte "fmt " body leaves the extra-size field 0, whatever the record held before.
TEST(WaveConverter, SixteenByteFormatHasNoExtraSize) {
    TWaveConverter converter;
    std::memset(converter.CurrentFormat.RawData, 0xAB, TACMWaveFormat::Size);
    TMemoryStream file(Pcm16File(4));
    ASSERT_EQ(converter.LoadStream(file), 0);
    EXPECT_EQ(converter.CurrentFormat.Format.cbSize, 0);
    EXPECT_EQ(converter.CurrentFormat.Format.nChannels, 2);
}

// Nothing loaded: the zeroed format makes the suggestion fail, and a conversion from it
// fails and leaves the converter as it was.
TEST(WaveConverter, FailuresLeaveTheContents) {
    TWaveConverter converter;
    converter.NewFormat.Format.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(acmFormatSuggest(nullptr, &converter.CurrentFormat.Format, &converter.NewFormat.Format,
                               TACMWaveFormat::Size, ACM_FORMATSUGGESTF_WFORMATTAG),
              ACMERR_NOTPOSSIBLE);
    converter.WriteBuffer("abcd", 4);
    EXPECT_EQ(converter.Convert(), static_cast<int32_t>(ACMERR_NOTPOSSIBLE));
    EXPECT_EQ(converter.Data(), (TBytes{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(converter.CurrentFormat.Format.wFormatTag, 0);
}

// ---------------------------------------------------------------------------------------
// The layer's calls.

tWAVEFORMATEX Gsm() {
    tWAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_GSM610;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.nAvgBytesPerSec = 1625;
    f.nBlockAlign = 65;
    return f;
}

tWAVEFORMATEX Pcm(uint16_t Channels, uint32_t Rate) {
    tWAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = Channels;
    f.nSamplesPerSec = Rate;
    f.nBlockAlign = static_cast<uint16_t>(2 * Channels);
    f.nAvgBytesPerSec = Rate * f.nBlockAlign;
    f.wBitsPerSample = 16;
    return f;
}

TEST(AcmLayer, MetricsAndSuggestions) {
    uint32_t size = 0;
    EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 30u); // MPEGLAYER3WAVEFORMAT
    EXPECT_EQ(acmMetrics(nullptr, 1, &size), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, nullptr), MMSYSERR_INVALPARAM);

    const tWAVEFORMATEX gsm = Gsm();
    tWAVEFORMATEX dst{};
    EXPECT_EQ(acmFormatSuggest(nullptr, &gsm, &dst, sizeof dst, 0), MMSYSERR_NOERROR);
    const tWAVEFORMATEX expected = Pcm(1, 8000);
    EXPECT_EQ(std::memcmp(&dst, &expected, sizeof dst), 0);
    dst.nChannels = 2;
    EXPECT_EQ(acmFormatSuggest(nullptr, &gsm, &dst, sizeof dst, ACM_FORMATSUGGESTF_NCHANNELS),
              ACMERR_NOTPOSSIBLE);
    dst.wFormatTag = WAVE_FORMAT_ADPCM;
    EXPECT_EQ(acmFormatSuggest(nullptr, &gsm, &dst, sizeof dst, ACM_FORMATSUGGESTF_WFORMATTAG),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmFormatSuggest(nullptr, &gsm, &dst, 15, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmFormatSuggest(nullptr, &gsm, &dst, sizeof dst, 1), MMSYSERR_INVALFLAG);
    int driver = 0;
    EXPECT_EQ(acmFormatSuggest(&driver, &gsm, &dst, sizeof dst, 0), MMSYSERR_INVALHANDLE);
    tWAVEFORMATEX mp3 = gsm;
    mp3.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    mp3.nSamplesPerSec = 44100;
    mp3.nChannels = 3;
    EXPECT_EQ(acmFormatSuggest(nullptr, &mp3, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
    mp3.nChannels = 2;
    mp3.nSamplesPerSec = 44000; // no MPEG rate
    EXPECT_EQ(acmFormatSuggest(nullptr, &mp3, &dst, sizeof dst, 0), ACMERR_NOTPOSSIBLE);
}

TEST(AcmLayer, OpenRefusesWhatItCannotDo) {
    const tWAVEFORMATEX gsm = Gsm(), pcm = Pcm(1, 8000), stereo = Pcm(2, 8000);
    HACMSTREAM s = nullptr;
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &gsm, &stereo, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &pcm, &gsm, nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE); // no encoders
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &gsm, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &gsm, &pcm, nullptr, 0, 0, 0x100), MMSYSERR_INVALFLAG);
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, &gsm, &pcm, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, &gsm, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
              MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

TEST(AcmLayer, HeadersMustBePreparedAndStayPut) {
    const tWAVEFORMATEX gsm = Gsm(), pcm = Pcm(1, 8000);
    HACMSTREAM s = nullptr;
    ASSERT_EQ(acmStreamOpen(&s, nullptr, &gsm, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
              MMSYSERR_NOERROR);
    uint8_t src[130] = {}, dst[2000];
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = src;
    h.cbSrcLength = 100;
    h.pbDst = dst;
    h.cbDstLength = sizeof dst;
    EXPECT_EQ(acmStreamConvert(s, &h, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    h.cbSrcLength = 130; // grown since it was prepared
    EXPECT_EQ(acmStreamConvert(s, &h, 0), MMSYSERR_INVALPARAM);
    h.cbSrcLength = 100;
    EXPECT_EQ(acmStreamConvert(s, &h, 0x40), MMSYSERR_INVALFLAG);
    // Whole blocks only: one 65-byte block of the 100 bytes, 320 samples.
    ASSERT_EQ(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 65u);
    EXPECT_EQ(h.cbDstLengthUsed, 640u);
    EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
    // Without it every byte is taken; the part block waits for the next call.
    ASSERT_EQ(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_START), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 100u);
    EXPECT_EQ(h.cbDstLengthUsed, 640u);
    uint32_t bound = 0;
    EXPECT_EQ(acmStreamSize(s, 30, &bound, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(bound, 640u); // with the 35 bytes held, 30 more complete a block
    EXPECT_EQ(acmStreamSize(s, 640, &bound, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(bound, 65u);
    ASSERT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), ACMERR_UNPREPARED);
    h.cbStruct = sizeof h + 4;
    EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(acmStreamClose(s, 0), MMSYSERR_NOERROR);
}

} // namespace
