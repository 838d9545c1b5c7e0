// TMP3In and TWMIn against their reference decoders, which use the same libraries: MPEG
// audio against `mpg123 -s` (libmpg123), ASF against `ffmpeg -f s16le`. Output, lengths,
// exact seeking, the choice of the output format, tags, protected content and damaged
// input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "decoders/DecoderTestMedia.h"
#include "decoders/ffmpeg/TFFmpegLibrary.h"
#include "decoders/wm/TMP3In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v2Tags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string WmPath(const std::string& Name) {
    return Media("wm/" + Name);
}

// The reference decoder's 16-bit output of a file ("x.mp3" -> "x.ref.raw").
TBytes Reference(const std::string& Name) {
    return ReadAll(WmPath(Name.substr(0, Name.rfind('.')) + ".ref.raw"));
}

bool IsMp3(const std::string& Name) {
    return Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".mp3") == 0;
}

// The player's choice: MP3 files through TMP3In, the rest through TWMIn.
std::unique_ptr<TWMIn> MakeInput(const std::string& Name) {
    if (IsMp3(Name)) return std::make_unique<TMP3In>();
    return std::make_unique<TWMIn>();
}

TBytes Slice(const TBytes& B, size_t From, size_t To = SIZE_MAX) {
    To = std::min(To, B.size());
    From = std::min(From, To);
    return TBytes(B.begin() + static_cast<std::ptrdiff_t>(From), B.begin() + static_cast<std::ptrdiff_t>(To));
}

// ---------------------------------------------------------------------------------------
// Output identical to FFmpeg's, in requests of odd sizes.

struct TFileCase {
    const char* Name;
    uint32_t Channels, Rate;
    uint32_t Chunk;
};

void PrintTo(const TFileCase& c, std::ostream* os) {
    *os << c.Name;
}

class WmConformance : public testing::TestWithParam<TFileCase> {};

TEST_P(WmConformance, MatchesFFmpeg) {
    const TFileCase c = GetParam();
    const TBytes ref = Reference(c.Name);
    ASSERT_FALSE(ref.empty());
    auto in = MakeInput(c.Name);
    in->SetFileName(WmPath(c.Name));
    ASSERT_TRUE(in->Valid());
    EXPECT_EQ(in->Channels(), c.Channels);
    EXPECT_EQ(in->SampleRate(), c.Rate);
    EXPECT_EQ(in->BitsPerSample(), 16u);
    // The length never cuts the data short for MP3 (the header plus a third of a second).
    if (IsMp3(c.Name)) {
        EXPECT_GE(in->Size(), static_cast<int64_t>(ref.size()));
    }
    const TBytes out = DecodeAll(*in, c.Chunk);
    EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
}

const TFileCase FileCases[] = {
    {"cbr128_stereo_44100.mp3", 2, 44100, 16384},
    {"cbr320_stereo_48000.mp3", 2, 48000, 333},
    {"vbr_stereo_44100.mp3", 2, 44100, 4999},
    {"cbr64_mono_32000.mp3", 1, 32000, 1001},
    {"vbr_mono_22050.mp3", 1, 22050, 65536},
    {"gapless.mp3", 2, 44100, 7777},
    {"vbr_noheader.mp3", 2, 44100, 12345},
    {"tagged.mp3", 2, 44100, 16384},
    {"id3v1.mp3", 2, 32000, 16384},
    {"wmav2_stereo_44100.wma", 2, 44100, 3000},
    {"wmav1_mono_22050.wma", 1, 22050, 999},
    {"pcm_8ch_48000.asf", 8, 48000, 16000},
};

INSTANTIATE_TEST_SUITE_P(Files, WmConformance, testing::ValuesIn(FileCases),
                         [](const testing::TestParamInfo<TFileCase>& i) {
                             std::string n = i.param.Name;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

// The encoder's delay and padding (LAME header) are dropped: as many samples as the source.
TEST(Mp3In, GaplessFileDecodesToTheSourcesLength) {
    const TWave source = ReadWave(WmPath("gapless.src.wav"));
    TMP3In in;
    in.SetFileName(WmPath("gapless.mp3"));
    const TBytes out = DecodeAll(in);
    EXPECT_EQ(out.size(), source.Data.size());
}

// ---------------------------------------------------------------------------------------
// Lengths.

// TMP3In reports a third of a second more than the header's duration (what TWMIn reports);
// the data still ends where the decoder's ends.
TEST(Mp3In, LengthIsAThirdOfASecondLongerThanTheHeader) {
    for (const char* name : {"cbr128_stereo_44100.mp3", "vbr_mono_22050.mp3", "cbr64_mono_32000.mp3"}) {
        SCOPED_TRACE(name);
        TMP3In mp3;
        TWMIn wm;
        mp3.SetFileName(WmPath(name));
        wm.SetFileName(WmPath(name));
        ASSERT_TRUE(mp3.Valid() && wm.Valid());
        const uint32_t rate = mp3.SampleRate();
        EXPECT_EQ(mp3.TotalSamples(), wm.TotalSamples() + rate / 3);
        EXPECT_EQ(mp3.Size(), wm.Size() + static_cast<int64_t>(rate / 3) * 2 * mp3.Channels());
        EXPECT_EQ(DecodeAll(mp3).size(), Reference(name).size());
    }
}

// TWMIn's length (hundredths of a second from the header) is an estimate: the data runs to
// the decoder's end, shorter or longer.
TEST(WmIn, DataRunsToTheDecodersEndWhateverTheLength) {
    for (const TFileCase& c : FileCases) {
        SCOPED_TRACE(c.Name);
        const TBytes ref = Reference(c.Name);
        TWMIn in;
        in.SetFileName(WmPath(c.Name));
        ASSERT_TRUE(in.Valid());
        ASSERT_GT(in.Size(), 0);
        const TBytes out = DecodeAll(in, 5000);
        EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
    }
}

// MPEG audio of every kind equals `mpg123 -s` sample for sample: Layer III CBR, VBR and
// ABR with and without a Xing/Info header, mono, joint and plain stereo, the rates of
// MPEG-1, 2 and 2.5, free format, Layer II and Layer I.
class MpegTable : public testing::TestWithParam<const char*> {};

TEST_P(MpegTable, EqualsMpg123) {
    const std::string name = std::string("mpeg/") + GetParam();
    const TBytes ref = Reference(name);
    ASSERT_FALSE(ref.empty());
    TMP3In in;
    in.SetFileName(WmPath(name));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.BitsPerSample(), 16u);
    const TBytes out = DecodeAll(in, 4999);
    EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
    EXPECT_EQ(in.DamageCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MpegTable,
    testing::Values("l3_cbr_joint_44100.mp3", "l3_cbr_stereo_48000_noinfo.mp3", "l3_vbr_mono_32000.mp3",
                    "l3_vbr_stereo_44100_noxing.mp3", "l3_abr_stereo_48000.mp3", "l3_vbr_mpeg2_24000.mp3",
                    "l3_cbr_mpeg2_mono_22050.mp3", "l3_abr_mpeg2_16000_noxing.mp3",
                    "l3_cbr_mpeg25_mono_12000.mp3", "l3_vbr_mpeg25_11025_noxing.mp3",
                    "l3_cbr_mpeg25_mono_8000.mp3", "l3_freeformat_44100.mp3", "l2_stereo_48000.mp2",
                    "l2_mpeg2_mono_22050.mp2", "l1_stereo_48000.mp1", "l1_mono_44100.mp1",
                    "l3_320_then_64_noxing.mp3", "l3_crc_stereo_44100.mp3", "l2_crc_stereo_44100.mp2",
                    "l2_crc_stereo_44100_384.mp2", "l2_crc_mono_48000.mp2", "l2_crc_stereo_32000.mp2",
                    "l2_crc_mpeg2_24000.mp2"),
    [](const testing::TestParamInfo<const char*>& i) {
        std::string n = i.param;
        std::replace(n.begin(), n.end(), '.', '_');
        return n;
    });

// A protected frame whose CRC does not match is counted as a checksum mismatch at its
// frame and handed out as libmpg123 decodes it. Frame 10 of each file has one bit flipped:
// a header bit the audio does not use (the output stays the intact file's), or the last bit
// the CRC covers (Layer III side information; Layer II scale factor selection, whose span
// follows the rate's bit allocation table). The intact files are in the table above.
class MpegCrc : public testing::TestWithParam<const char*> {};

TEST_P(MpegCrc, AMismatchIsCountedAtItsFrame) {
    const std::string name = GetParam();
    const std::string ext = name.substr(name.rfind('.'));
    const std::string base = name.substr(0, name.rfind('.'));
    for (const char* bit : {"header", "last"}) {
        SCOPED_TRACE(bit);
        TMP3In in;
        in.SetFileName(WmPath("mpeg/damaged/" + base + "_" + bit + ext));
        ASSERT_TRUE(in.Valid());
        const TBytes out = DecodeAll(in, 4999);
        EXPECT_EQ(in.DamageCount(), 1u);
        EXPECT_EQ(in.Damage(dkChecksum).Count, 1u);
        EXPECT_EQ(in.Damage(dkChecksum).FirstFrame, 10 * 1152);
        const TBytes ref = Reference("mpeg/" + name);
        EXPECT_EQ(out.size(), ref.size());
        if (std::string(bit) == "header") {
            EXPECT_TRUE(out == ref) << FirstDifference(out, ref);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, MpegCrc,
                         testing::Values("l3_crc_stereo_44100.mp3", "l2_crc_stereo_44100.mp2",
                                         "l2_crc_stereo_44100_384.mp2", "l2_crc_mono_48000.mp2",
                                         "l2_crc_stereo_32000.mp2", "l2_crc_mpeg2_24000.mp2"),
                         [](const testing::TestParamInfo<const char*>& i) {
                             std::string n = i.param;
                             std::replace(n.begin(), n.end(), '.', '_');
                             return n;
                         });

// 5 s at 320 kbit/s, then 20 s at 64 kbit/s, no Xing header: the length at open is
// estimated from the first frames (what TotalSamples shows), and the data still runs to
// the last frame; a seek beyond the estimate lands exactly too.
TEST(Mp3In, AnEstimateShortOfTheDataCutsNothing) {
    const std::string name = "mpeg/l3_320_then_64_noxing.mp3";
    const TBytes ref = Reference(name);
    TMP3In in;
    in.SetFileName(WmPath(name));
    ASSERT_TRUE(in.Valid());
    const int64_t frames = static_cast<int64_t>(ref.size() / 4);
    EXPECT_GT(frames, 25 * 44100 - 4096);
    EXPECT_LT(in.TotalSamples(), frames / 2);
    in.Init();
    const int64_t target = frames - 44100;
    ASSERT_TRUE(in.Seek(target));
    const TBytes tail = Drain(in, 8192);
    in.Flush();
    EXPECT_TRUE(tail == Slice(ref, static_cast<size_t>(target) * 4))
        << FirstDifference(tail, Slice(ref, static_cast<size_t>(target) * 4));
}

// A file that states a length but from which no audio decodes is an error, not an empty
// success: the ASF header of a 96 s file without its packets.
TEST(WmIn, NoAudioFromAFileThatStatesALengthRaises) {
    TWMIn in;
    in.SetFileName(WmPath("truncated.wma"));
    ASSERT_TRUE(in.Valid());
    ASSERT_GT(in.TotalSamples(), 0);
    in.Init();
    try {
        Drain(in, 4096);
        ADD_FAILURE() << "no error";
    } catch (const EAuException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("no audio could be decoded", 0), 0u) << e.what();
    }
    in.Flush();
    EXPECT_EQ(in.DecodeCheck().rfind("no audio could be decoded", 0), 0u);
    // A run that starts past the audio is no such error.
    TMP3In mp3;
    mp3.SetFileName(WmPath("cbr128_stereo_44100.mp3"));
    mp3.Init();
    ASSERT_TRUE(mp3.Seek(mp3.TotalSamples() - 1));
    EXPECT_NO_THROW(Drain(mp3, 4096));
    mp3.Flush();
}

// A VBR file without a length header: FFmpeg guesses its length from one bit rate (about
// two thirds of it here); the frames are counted instead.
TEST(Mp3In, VbrFileWithoutHeaderIsCountedToItsEnd) {
    TWMIn in;
    in.SetFileName(WmPath("vbr_noheader.mp3"));
    const int64_t frames = static_cast<int64_t>(Reference("vbr_noheader.mp3").size() / 4);
    EXPECT_NEAR(static_cast<double>(in.TotalSamples()), static_cast<double>(frames), 441.0);
    EXPECT_TRUE(in.IsVBR());
}

// ---------------------------------------------------------------------------------------
// Seeking lands on the exact sample.

struct TSeekCase {
    const char* Name;
    int64_t Sample;
};

void PrintTo(const TSeekCase& c, std::ostream* os) {
    *os << c.Name << " at " << c.Sample;
}

class WmSeek : public testing::TestWithParam<TSeekCase> {};

TEST_P(WmSeek, DeliversTheReferenceFromTheTarget) {
    const TSeekCase c = GetParam();
    const TBytes ref = Reference(c.Name);
    auto in = MakeInput(c.Name);
    in->SetFileName(WmPath(c.Name));
    ASSERT_TRUE(in->Valid());
    const size_t frame = in->Channels() * 2;
    const TBytes expected = Slice(ref, static_cast<size_t>(c.Sample) * frame);

    // Before a run: the target becomes the start sample.
    ASSERT_TRUE(in->Seek(c.Sample));
    TBytes out = DecodeAll(*in, 10000);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);

    // During a run, before anything was fetched.
    in->Init();
    ASSERT_TRUE(in->Seek(c.Sample));
    EXPECT_EQ(in->Position(), c.Sample * static_cast<int64_t>(frame));
    out = Drain(*in, 4096);
    in->Flush();
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WmSeek,
    testing::Values(TSeekCase{"cbr128_stereo_44100.mp3", 1}, TSeekCase{"cbr128_stereo_44100.mp3", 1151},
                    TSeekCase{"cbr128_stereo_44100.mp3", 1152}, TSeekCase{"cbr128_stereo_44100.mp3", 60001},
                    TSeekCase{"cbr320_stereo_48000.mp3", 95000}, TSeekCase{"vbr_stereo_44100.mp3", 30000},
                    TSeekCase{"vbr_stereo_44100.mp3", 88199}, TSeekCase{"cbr64_mono_32000.mp3", 40000},
                    TSeekCase{"vbr_mono_22050.mp3", 575}, TSeekCase{"vbr_mono_22050.mp3", 33333},
                    TSeekCase{"gapless.mp3", 54440}, TSeekCase{"vbr_noheader.mp3", 200000},
                    TSeekCase{"wmav2_stereo_44100.wma", 2047}, TSeekCase{"wmav2_stereo_44100.wma", 70000},
                    TSeekCase{"wmav1_mono_22050.wma", 30000}, TSeekCase{"pcm_8ch_48000.asf", 12345}),
    [](const testing::TestParamInfo<TSeekCase>& i) {
        std::string n = i.param.Name;
        std::replace(n.begin(), n.end(), '.', '_');
        return n + "_" + std::to_string(i.param.Sample);
    });

// A seek during playing delivers what is left of the block being handed out (at most 50
// ms), then the data from the target; repeated seeks back and forth stay exact.
TEST(Mp3In, SeekWhilePlayingFinishesTheCurrentBlockFirst) {
    const TBytes ref = Reference("vbr_stereo_44100.mp3");
    TMP3In in;
    in.SetFileName(WmPath("vbr_stereo_44100.mp3"));
    in.Init();
    for (int64_t target : {70000, 100, 44100, 87000, 0}) {
        SCOPED_TRACE(target);
        // Into the middle of a block.
        while (in.Position() < 3000) {
            uint8_t* p = nullptr;
            uint32_t n = 1000;
            in.GetData(p, n);
            ASSERT_GT(n, 0u);
        }
        const size_t played = static_cast<size_t>(in.Position());
        ASSERT_TRUE(in.Seek(target));
        const TBytes out = Drain(in, 3000, 400000);
        ASSERT_GE(out.size(), ref.size() - static_cast<size_t>(target) * 4);
        const size_t leftover = out.size() - (ref.size() - static_cast<size_t>(target) * 4);
        EXPECT_GT(leftover, 0u);
        EXPECT_LE(leftover, 44100u / 20 * 4) << "at most 50 ms";
        EXPECT_TRUE(Slice(out, 0, leftover) == Slice(ref, played, played + leftover));
        EXPECT_TRUE(Slice(out, leftover) == Slice(ref, static_cast<size_t>(target) * 4));
        in.Flush();
        in.Init();
    }
    in.Flush();
}

// Two files open and played at once, interleaved, in one process.
TEST(Mp3In, TwoReadersAtOnce) {
    TMP3In a;
    TWMIn b;
    a.SetFileName(WmPath("vbr_stereo_44100.mp3"));
    b.SetFileName(WmPath("wmav2_stereo_44100.wma"));
    a.Init();
    b.Init();
    TBytes outA, outB;
    for (bool more = true; more;) {
        more = false;
        for (auto [in, out] :
             {std::pair{static_cast<TAuInput*>(&a), &outA}, std::pair{static_cast<TAuInput*>(&b), &outB}}) {
            uint8_t* p = nullptr;
            uint32_t n = 7000;
            in->GetData(p, n);
            out->insert(out->end(), p, p + n);
            more = more || n > 0;
        }
    }
    a.Flush();
    b.Flush();
    EXPECT_TRUE(outA == Reference("vbr_stereo_44100.mp3"));
    EXPECT_TRUE(outB == Slice(Reference("wmav2_stereo_44100.wma"), 0, outB.size()));
}

// ---------------------------------------------------------------------------------------
// The output format.

TEST(WmFormat, HighPrecisionChoosesTheTwentyFourBitFormat) {
    const TBytes ref24 = ReadAll(WmPath("vbr_stereo_44100.ref24.raw"));
    TMP3In in;
    in.SetFileName(WmPath("vbr_stereo_44100.mp3"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.FormatsCount(), 1u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    in.SetHighPrecision(true); // reopens: 16 and 24 bits offered, 24 chosen
    EXPECT_EQ(in.FormatsCount(), 2u);
    EXPECT_EQ(in.BitsPerSample(), 24u);
    EXPECT_EQ(in.Channels(), 2u);
    const TBytes out = DecodeAll(in);
    EXPECT_TRUE(out == ref24) << FirstDifference(out, ref24);

    // Format 0 is the 16-bit one; -2 goes back to it with 24 bits offered; -1 selects
    // nothing.
    in.SetFormatSelected(1);
    EXPECT_EQ(in.BitsPerSample(), 24u);
    in.SetFormatSelected(-2);
    EXPECT_EQ(in.FormatSelected(), 0);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.FormatsCount(), 2u);
    in.SetFormatSelected(-1);
    EXPECT_EQ(in.FormatSelected(), 0);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    // The length keeps its third of a second after a format change.
    TWMIn plain;
    plain.SetFileName(WmPath("vbr_stereo_44100.mp3"));
    EXPECT_EQ(in.TotalSamples(), plain.TotalSamples() + 44100 / 3);
    EXPECT_TRUE(DecodeAll(in) == Reference("vbr_stereo_44100.mp3"));
}

struct TLayoutCase {
    const char* Name;
    TChannelsNumber Request;
    uint32_t Channels; // 0: not valid
    uint32_t Bits;
};

void PrintTo(const TLayoutCase& c, std::ostream* os) {
    *os << c.Name << " with request " << int(c.Request);
}

class WmLayout : public testing::TestWithParam<TLayoutCase> {};

// Any request other than mono-or-stereo turns HighPrecision on, so the widest format of
// the layout is chosen; a layout the stream cannot give is no format at all.
TEST_P(WmLayout, ChoosesTheRequestedLayout) {
    const TLayoutCase c = GetParam();
    TWMIn in;
    in.SetFileName(WmPath(c.Name));
    in.SetOutputChannels(c.Request);
    EXPECT_TRUE(in.HighPrecision());
    EXPECT_EQ(in.Valid(), c.Channels != 0);
    EXPECT_EQ(in.HasAudio(), c.Channels != 0);
    if (c.Channels == 0) return;
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.BitsPerSample(), c.Bits);
    const TBytes out = DecodeAll(in);
    const TBytes ref = Reference(c.Name);
    const size_t refChannels = ref.size() / 2 / (in.SampleRate() / 2); // half a second
    EXPECT_EQ(out.size() / (c.Channels * c.Bits / 8), ref.size() / (refChannels * 2));
    if (c.Channels == refChannels) {
        // 16-bit PCM widened: each sample shifted up by 8 bits.
        TBytes widened;
        for (size_t i = 0; i + 1 < ref.size(); i += 2)
            widened.insert(widened.end(), {0, ref[i], ref[i + 1]});
        EXPECT_TRUE(out == widened) << FirstDifference(out, widened);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, WmLayout,
                         testing::Values(TLayoutCase{"pcm_8ch_48000.asf", cn5dot1, 6, 24},
                                         TLayoutCase{"pcm_8ch_48000.asf", cn7dot1, 8, 24},
                                         TLayoutCase{"pcm_6ch_48000.asf", cn5dot1, 6, 24},
                                         TLayoutCase{"pcm_6ch_48000.asf", cn7dot1, 0, 0},
                                         TLayoutCase{"pcm_6ch_48000.asf", cnMaxAvailable, 6, 24},
                                         TLayoutCase{"wmav2_stereo_44100.wma", cn5dot1, 0, 0}));

TEST(WmFormat, SettersAndTheirRules) {
    TWMIn in;
    in.SetFileName(WmPath("pcm_8ch_48000.asf"));
    in.SetOutputChannels(cn5dot1);
    EXPECT_TRUE(in.HighPrecision());
    in.SetHighPrecision(false); // ignored unless mono-or-stereo is asked for
    EXPECT_TRUE(in.HighPrecision());
    EXPECT_EQ(in.Channels(), 6u);
    in.SetOutputChannels(cnMonoOrStereo); // reopens the file: its own 8 channels
    EXPECT_EQ(in.Channels(), 8u);
    in.SetHighPrecision(false);
    EXPECT_EQ(in.BitsPerSample(), 16u);

    // Nothing changes while playing.
    in.Init();
    in.SetOutputChannels(cn5dot1);
    in.SetHighPrecision(true);
    in.SetFormatSelected(1);
    EXPECT_EQ(in.OutputChannels(), cnMonoOrStereo);
    EXPECT_FALSE(in.HighPrecision());
    EXPECT_EQ(in.FormatsCount(), 0u);
    EXPECT_EQ(in.Channels(), 8u);
    in.Flush();
    EXPECT_EQ(TWMIn().FormatsCount(), 0u) << "no file name";
}

// ---------------------------------------------------------------------------------------
// Tags and header attributes.

struct TTagCase {
    const char* Name;
    const char16_t* Title;
    const char16_t* Artist;
    const char16_t* Album;
    const char* Year;
    const char* Track;
};

void PrintTo(const TTagCase& c, std::ostream* os) {
    *os << c.Name;
}

class WmTags : public testing::TestWithParam<TTagCase> {};

TEST_P(WmTags, FillId3v2AndCommonTags) {
    const TTagCase c = GetParam();
    auto in = MakeInput(c.Name);
    in->SetFileName(WmPath(c.Name));
    TId3v2Tags* tags = in->Id3v2Tags();
    ASSERT_TRUE(tags);
    const TCommonTags& common = *in->CommonTags();
    EXPECT_EQ(tags->Title(), c.Title);
    EXPECT_EQ(tags->Artist(), c.Artist);
    EXPECT_EQ(tags->Album(), c.Album);
    EXPECT_EQ(tags->Year(), c.Year);
    EXPECT_EQ(tags->Track(), c.Track);
    EXPECT_EQ(common.Title(), c.Title);
    EXPECT_EQ(common.Artist(), c.Artist);
    EXPECT_EQ(common.Album(), c.Album);
    EXPECT_EQ(common.Year(), c.Year);
    EXPECT_EQ(common.Track(), c.Track);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WmTags,
    testing::Values(
        // ID3v2.3, UTF-16 text
        TTagCase{"tagged.mp3", u"Группа крови", u"Кино", u"Звезда по имени Солнце", "1988", "7"},
        // ID3v2.4, UTF-8 text (its year frame is not one the ID3v2 reader knows)
        TTagCase{"id3v24.mp3", u"Пачка сигарет", u"Виктор Цой", u"", "", ""},
        // ID3v1 only, CP1251 text
        TTagCase{"id3v1.mp3", u"Кукушка", u"Кино", u"Чёрный альбом", "1990", "9"},
        TTagCase{"wmav2_stereo_44100.wma", u"Группа крови", u"Кино", u"Звезда по имени Солнце", "1988", "7"},
        TTagCase{"cbr128_stereo_44100.mp3", u"", u"", u"", "", ""}),
    [](const testing::TestParamInfo<TTagCase>& i) {
        std::string n = i.param.Name;
        std::replace(n.begin(), n.end(), '.', '_');
        return n;
    });

TEST(WmTags, GenreCopyrightAndTheNextFile) {
    TMP3In in;
    in.SetFileName(WmPath("tagged.mp3"));
    EXPECT_EQ(in.Id3v2Tags()->Genre(), u"Rock");
    EXPECT_EQ(in.CommonTags()->Genre(), u"Rock");
    EXPECT_EQ(in.Id3v2Tags()->Comment(), u"© 1988 Кино") << "the copyright text";
    in.SetFileName(WmPath("id3v1.mp3"));
    EXPECT_EQ(in.Id3v2Tags()->Genre(), u"Rock") << "ID3v1 genre 17";
    EXPECT_TRUE(in.Id3v2Tags()->Comment().empty());
    in.SetFileName(WmPath("cbr128_stereo_44100.mp3"));
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.CommonTags()->Genre().empty());
    EXPECT_TRUE(in.CommonTags()->Title().empty());
}

// Each text comes from the ID3v2 tag when it has it, else from the ID3v1 tag.
TEST(WmTags, Id3v1FillsWhatId3v2Lacks) {
    TId3v2Tags v2;
    v2.SetTitle(u"Звезда");
    TBytes file = v2.RenderTag(true);
    const TBytes audio = ReadAll(WmPath("cbr128_stereo_44100.mp3"));
    file.insert(file.end(), audio.begin(), audio.end());
    TBytes v1(128, 0);
    std::memcpy(v1.data(), "TAG", 3);
    const std::string title = TCodePage::ToNarrow(u"Другое"), artist = TCodePage::ToNarrow(u"Кино");
    std::memcpy(&v1[3], title.data(), title.size());
    std::memcpy(&v1[33], artist.data(), artist.size());
    v1[127] = 255;
    file.insert(file.end(), v1.begin(), v1.end());
    TMemoryStream stream(file);
    TMP3In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u"Звезда");
    EXPECT_EQ(in.CommonTags()->Artist(), u"Кино");
    EXPECT_TRUE(in.CommonTags()->Genre().empty()) << "genre 255 is none";
}

// A tag larger than FFmpeg's first look at a file (1 MiB), as cover pictures make them.
TEST(WmTags, TagLargerThanTheProbeWindow) {
    const uint32_t body = 1100000;
    TBytes file = {'I', 'D', '3', 4, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7)
        file.push_back(static_cast<uint8_t>((body >> shift) & 0x7F));
    const std::string title = "Big";
    const TBytes frame = {'T', 'I', 'T', '2', 0, 0, 0, static_cast<uint8_t>(title.size() + 1), 0, 0, 3};
    file.insert(file.end(), frame.begin(), frame.end());
    file.insert(file.end(), title.begin(), title.end());
    file.resize(10 + body, 0);
    const TBytes audio = ReadAll(WmPath("cbr128_stereo_44100.mp3"));
    file.insert(file.end(), audio.begin(), audio.end());
    TMemoryStream stream(file);
    TMP3In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u"Big");
    EXPECT_TRUE(DecodeAll(in) == Reference("cbr128_stereo_44100.mp3"));
}

TEST(WmAttributes, BitRateAndVbr) {
    struct {
        const char* Name;
        uint32_t Bitrate; // 0: any above 0
        bool VBR;
    } cases[] = {{"cbr128_stereo_44100.mp3", 128000, false},
                 {"cbr320_stereo_48000.mp3", 320000, false},
                 {"vbr_stereo_44100.mp3", 0, true},
                 {"vbr_noheader.mp3", 0, true},
                 {"wmav2_stereo_44100.wma", 128000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto in = MakeInput(c.Name);
        in->SetFileName(WmPath(c.Name));
        if (c.Bitrate)
            EXPECT_EQ(in->Bitrate(), c.Bitrate);
        else
            EXPECT_GT(in->Bitrate(), 32000u);
        EXPECT_EQ(in->IsVBR(), c.VBR);
        EXPECT_FALSE(in->IsProtected());
    }
}

// ---------------------------------------------------------------------------------------
// Protected content, the second open at byte 30, failures.

// The WMA file with one more object in its header.
TBytes WithHeaderObject(const TBytes& Asf, const uint8_t (&Guid)[16], size_t PayloadBytes) {
    TBytes object(Guid, Guid + 16);
    const uint64_t size = 24 + PayloadBytes;
    for (int i = 0; i < 8; ++i)
        object.push_back(static_cast<uint8_t>(size >> (8 * i)));
    object.resize(size, 0);
    TBytes out(Asf.begin(), Asf.begin() + 30);
    out.insert(out.end(), object.begin(), object.end());
    out.insert(out.end(), Asf.begin() + 30, Asf.end());
    uint64_t headerSize = 0;
    for (int i = 7; i >= 0; --i)
        headerSize = headerSize << 8 | out[16 + i];
    headerSize += size;
    for (int i = 0; i < 8; ++i)
        out[16 + i] = static_cast<uint8_t>(headerSize >> (8 * i));
    ++out[24]; // object count
    return out;
}

constexpr uint8_t ContentEncryption[16] = {0xFB, 0xB3, 0x11, 0x22, 0x23, 0xBD, 0xD2, 0x11,
                                           0xB4, 0xB7, 0x00, 0xA0, 0xC9, 0x55, 0xFC, 0x6E};
constexpr uint8_t ExtendedContentEncryption[16] = {0x14, 0xE6, 0x8A, 0x29, 0x22, 0x26, 0x17, 0x4C,
                                                   0xB9, 0x35, 0xDA, 0xE0, 0x7E, 0xE9, 0x28, 0x9C};
constexpr uint8_t SomeOtherObject[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(WmIn, ProtectedContentRaisesFileIsProtected) {
    const TBytes wma = ReadAll(WmPath("wmav2_stereo_44100.wma"));
    for (const auto* guid : {&ContentEncryption, &ExtendedContentEncryption}) {
        TMemoryStream stream(WithHeaderObject(wma, *guid, 16));
        TWMIn in;
        in.SetStream(&stream);
        EXPECT_FALSE(in.Valid());
        try {
            in.Channels();
            ADD_FAILURE() << "no exception";
        } catch (const EAuException& e) {
            EXPECT_STREQ(e.what(), "File is protected");
        }
        EXPECT_TRUE(in.IsProtected());
        EXPECT_THROW(in.Init(), EAuException);
        in.Flush();
    }
    // Another unknown object changes nothing.
    TMemoryStream stream(WithHeaderObject(wma, SomeOtherObject, 16));
    TWMIn in;
    in.SetStream(&stream);
    EXPECT_TRUE(in.Valid());
    EXPECT_FALSE(in.IsProtected());
    EXPECT_TRUE(DecodeAll(in) ==
                Slice(Reference("wmav2_stereo_44100.wma"), 0, static_cast<size_t>(in.Size())));
}

// When the file cannot be opened at its start, it is opened once more as starting at byte
// 30; the caller's stream is rewound when the file is closed.
TEST(WmIn, SecondOpenTakesTheFileFromByteThirty) {
    const TBytes wma = ReadAll(WmPath("wmav2_stereo_44100.wma"));
    for (size_t junk : {30, 31}) {
        SCOPED_TRACE(junk);
        TBytes file(junk, 0x5A);
        file.insert(file.end(), wma.begin(), wma.end());
        TMemoryStream stream(file);
        TWMIn in;
        in.SetStream(&stream);
        EXPECT_EQ(in.Valid(), junk == 30);
        if (junk != 30) continue;
        const TBytes out = DecodeAll(in);
        EXPECT_TRUE(out == Slice(Reference("wmav2_stereo_44100.wma"), 0, out.size()));
        EXPECT_EQ(stream.Position(), 0);
    }
}

TEST(WmIn, WithoutAFileOrWithAMissingOne) {
    TMP3In in;
    EXPECT_FALSE(in.Valid());
    try {
        in.HasAudio();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "File name is not assigned");
    }
    in.SetFileName(WmPath("missing.mp3"));
    EXPECT_FALSE(in.Valid());
    EXPECT_THROW(in.Init(), EAuException);
    in.Flush();
    // Not MP3 or ASF: not valid, no error.
    in.SetFileName(Media("flac/s16_mono_44100.flac"));
    EXPECT_FALSE(in.Valid());
    EXPECT_FALSE(in.HasAudio());
}

// Damaged and hostile data: not valid, or some audio; never a crash, a hang or a read out
// of bounds (this test runs under AddressSanitizer in CI).
TEST(WmIn, DamagedInputIsHandled) {
    const TBytes mp3 = ReadAll(WmPath("vbr_stereo_44100.mp3"));
    const TBytes wma = ReadAll(WmPath("wmav2_stereo_44100.wma"));
    auto copies = DamagedCopies(mp3, "\xFF\xFB\x90\x64");
    for (auto& [what, bytes] : DamagedCopies(wma, std::string(wma.begin(), wma.begin() + 16)))
        copies.emplace_back("wma " + what, std::move(bytes));

    // An ID3v2 tag claiming 256 MiB in front of the audio.
    TBytes id3 = {'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    id3.insert(id3.end(), mp3.begin(), mp3.end());
    copies.emplace_back("huge ID3v2 size", id3);
    // ASF headers that lie about their sizes and counts.
    auto asf = [&](const char* What, size_t At, std::initializer_list<uint8_t> Bytes) {
        TBytes b = wma;
        std::copy(Bytes.begin(), Bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(At));
        copies.emplace_back(What, std::move(b));
    };
    asf("header size huge", 16, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    asf("header size tiny", 16, {31, 0, 0, 0, 0, 0, 0, 0});
    asf("object count huge", 24, {0xFF, 0xFF, 0xFF, 0xFF});
    asf("first object size 0", 46, {0, 0, 0, 0, 0, 0, 0, 0});
    asf("first object size huge", 46, {0, 0, 0, 0, 0, 1, 0, 0});
    copies.emplace_back("protected and lying", WithHeaderObject(wma, ContentEncryption, 0));
    copies.back().second[16] = 0xF0;

    const size_t limit = 4 * Reference("vbr_stereo_44100.mp3").size();
    int valid = 0;
    for (auto& [what, bytes] : copies) {
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TMP3In in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        ++valid;
        try {
            in.Init();
            TBytes out = Drain(in, 4096, limit);
            EXPECT_EQ(out.size() % (in.Channels() * in.BitsPerSample() / 8), 0u);
            in.Flush();
            // A seek to the middle after the first block.
            in.Init();
            uint8_t* p = nullptr;
            uint32_t n = 4096;
            in.GetData(p, n);
            in.Seek(in.TotalSamples() / 2);
            Drain(in, 4096, limit);
        } catch (const EAuException& e) {
            EXPECT_NE(std::string(e.what()), "");
        }
        in.Flush();
    }
    EXPECT_GT(valid, 0);
    // Pure random bytes are not taken for audio.
    for (auto& [what, bytes] : copies) {
        if (what.rfind("random", 0) != 0) continue;
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TMP3In in;
        in.SetStream(&stream);
        EXPECT_FALSE(in.Valid());
    }
}

// ---------------------------------------------------------------------------------------
// FFmpeg is opened when the first ASF file is: a library that is missing, or lacks an entry
// point (another library's file in its place), is named in the error, and nothing crashes.
// MPEG audio never needs it, so an MP3 file plays all the same. Once the file is back, the
// same input opens the ASF file.

struct TMissingFFmpegCase {
    TLibraryLoader& (*Loader)();
    const char* Replacement; // null: "missing-" and the real name
    const char* Message;
};

void PrintTo(const TMissingFFmpegCase& c, std::ostream* os) {
    *os << c.Message;
}

class WmMissingFFmpeg : public testing::TestWithParam<TMissingFFmpegCase> {};

TEST_P(WmMissingFFmpeg, NamesTheFileAndRecovers) {
    const TMissingFFmpegCase c = GetParam();
    TLibraryLoader& loader = c.Loader();
    const std::string real = loader.FileName();
    loader.OverrideFileName(c.Replacement ? c.Replacement : "missing-" + real);
    const std::string mp3 = "cbr128_stereo_44100.mp3", wma = "wmav2_stereo_44100.wma";
    TMP3In plain;
    plain.SetFileName(WmPath(mp3));
    EXPECT_TRUE(plain.Valid());
    EXPECT_EQ(DecodeAll(plain), Reference(mp3));

    TWMIn in;
    in.SetFileName(WmPath(wma));
    EXPECT_FALSE(in.Valid());
    try {
        in.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), c.Message);
    }
    in.Flush();
    loader.OverrideFileName(real);
    in.SetFileName(WmPath(wma));
    EXPECT_TRUE(in.Valid());
    EXPECT_EQ(DecodeAll(in), Reference(wma));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, WmMissingFFmpeg,
    testing::Values(TMissingFFmpegCase{&ffmpeg::TFFmpegLibrary::LibAvUtil, nullptr,
                                       "missing-libavutil.so.57 library could not be loaded."},
                    TMissingFFmpegCase{&ffmpeg::TFFmpegLibrary::LibSwResample, nullptr,
                                       "missing-libswresample.so.4 library could not be loaded."},
                    TMissingFFmpegCase{&ffmpeg::TFFmpegLibrary::LibAvCodec, nullptr,
                                       "missing-libavcodec.so.59 library could not be loaded."},
                    TMissingFFmpegCase{&ffmpeg::TFFmpegLibrary::LibAvFormat, nullptr,
                                       "missing-libavformat.so.59 library could not be loaded."},
                    TMissingFFmpegCase{&ffmpeg::TFFmpegLibrary::LibAvFormat, "libavutil.so.57",
                                       "libavutil.so.57 library could not be loaded."}));

} // namespace
