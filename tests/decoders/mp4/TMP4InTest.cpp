// TMP4In against ffmpeg's own decoders (AAC, and the other codecs FFmpeg decodes for it),
// the channel order, the length with and without
// the file's gapless data, seeking, tags, library loading and damaged input.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoders/DecoderTestMedia.h"
#include "decoders/mp4/TMP4In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCommonTags.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string Mp4(const std::string& Name) {
    return Media("mp4/" + Name);
}

std::string Stem(const std::string& Name) {
    return Name.substr(0, Name.find_last_of('.'));
}

int16_t Sample(const TBytes& Pcm, size_t Index) {
    return static_cast<int16_t>(Pcm[2 * Index] | (Pcm[2 * Index + 1] << 8));
}

// Signal-to-noise ratio in dB of channel Channel of Test against Ref over Frames frames.
double Snr(const TBytes& Ref, const TBytes& Test, uint32_t Channels, uint32_t Channel, size_t Frames) {
    double signal = 0, noise = 0;
    for (size_t f = 0; f < Frames; ++f) {
        const double r = Sample(Ref, f * Channels + Channel), t = Sample(Test, f * Channels + Channel);
        signal += r * r;
        noise += (r - t) * (r - t);
    }
    return noise == 0 ? 200 : 10 * std::log10(signal / noise);
}

std::string Message(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const EAuException& e) {
        return e.what();
    }
    return "no exception";
}

// ---------------------------------------------------------------------------------------
// Decoded PCM against ffmpeg's decoder: the length the file states, 60 dB per channel.

struct TConformanceCase {
    const char* File;
    uint32_t Channels, Rate;
    int64_t Frames; // the source's length
    uint32_t Chunk;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.File << " in requests of " << c.Chunk;
}

class Mp4Conformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(Mp4Conformance, MatchesFfmpegsDecoder) {
    const TConformanceCase c = GetParam();
    const TWave ref = ReadWave(Mp4(Stem(c.File) + ".ref.wav"));
    ASSERT_EQ(ref.Channels, c.Channels);
    TMP4In in;
    in.SetFileName(Mp4(c.File));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.TotalSamples(), c.Frames);
    const TBytes out = DecodeAll(in, c.Chunk);
    const size_t frameBytes = 2 * c.Channels;
    ASSERT_EQ(out.size(), static_cast<size_t>(c.Frames) * frameBytes) << "the source's length";
    // ffmpeg trims the start as the edit list says, but leaves the padding at the end.
    ASSERT_GE(ref.Data.size(), out.size());
    for (uint32_t ch = 0; ch < c.Channels; ++ch)
        EXPECT_GE(Snr(ref.Data, out, c.Channels, ch, static_cast<size_t>(c.Frames)), 60.0)
            << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(Files, Mp4Conformance,
                         testing::Values(TConformanceCase{"lc_mono_8000.m4a", 1, 8000, 16000, 16384},
                                         TConformanceCase{"lc_stereo_44100.m4a", 2, 44100, 132300, 4096},
                                         TConformanceCase{"lc_stereo_44100.m4a", 2, 44100, 132300, 777},
                                         TConformanceCase{"lc_stereo_48000.m4a", 2, 48000, 96000, 20000},
                                         TConformanceCase{"lc_6ch_48000.m4a", 6, 48000, 96000, 1001},
                                         TConformanceCase{"moov_first.m4a", 2, 44100, 132300, 16384},
                                         TConformanceCase{"video_first.mp4", 2, 48000, 96000, 8192},
                                         TConformanceCase{"itunsmpb.m4a", 2, 44100, 132300, 16384},
                                         TConformanceCase{"he_22050_44100.m4a", 2, 44100, 88200, 16384},
                                         TConformanceCase{"tagged.m4a", 2, 44100, 44100, 3000}),
                         [](const testing::TestParamInfo<TConformanceCase>& i) {
                             std::string n = Stem(i.param.File) + "_" + std::to_string(i.param.Chunk);
                             return n;
                         });

// Tracks of other codecs against ffmpeg's decode of the same file: lossless ones bit-exact
// at their own depth, lossy ones at the floor of the AAC files.

struct TCodecCase {
    const char* File;
    const char* Codec;
    uint32_t Channels, Rate, Bits;
    int64_t Frames;
    double MinSnr; // 0: bit-exact
};

void PrintTo(const TCodecCase& c, std::ostream* os) {
    *os << c.File;
}

class Mp4OtherCodec : public testing::TestWithParam<TCodecCase> {};

TEST_P(Mp4OtherCodec, MatchesFfmpegsDecoder) {
    const TCodecCase c = GetParam();
    const TWave ref = ReadWave(Mp4(Stem(c.File) + ".ref.wav"));
    TMP4In in;
    in.SetFileName(Mp4(c.File));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Codec(), c.Codec);
    EXPECT_EQ(in.Profile(), "");
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.BitsPerSample(), c.Bits);
    EXPECT_EQ(in.TotalSamples(), c.Frames);
    const TBytes out = DecodeAll(in, 3001);
    ASSERT_EQ(out.size(), static_cast<size_t>(c.Frames) * c.Channels * c.Bits / 8);
    ASSERT_GE(ref.Data.size(), out.size());
    if (c.MinSnr == 0) {
        const TBytes expected(ref.Data.begin(), ref.Data.begin() + static_cast<ptrdiff_t>(out.size()));
        EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
        return;
    }
    for (uint32_t ch = 0; ch < c.Channels; ++ch)
        EXPECT_GE(Snr(ref.Data, out, c.Channels, ch, static_cast<size_t>(c.Frames)), c.MinSnr)
            << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(Files, Mp4OtherCodec,
                         testing::Values(TCodecCase{"alac_s16_stereo.m4a", "ALAC", 2, 44100, 16, 44100, 0},
                                         TCodecCase{"alac_s24_stereo.m4a", "ALAC", 2, 48000, 24, 48000, 0},
                                         TCodecCase{"alac_s16_6ch.m4a", "ALAC", 6, 48000, 16, 48000, 0},
                                         TCodecCase{"alac_s24_6ch.m4a", "ALAC", 6, 48000, 24, 48000, 0},
                                         TCodecCase{"mp3_stereo.mp4", "MP3", 2, 44100, 16, 44100, 60},
                                         TCodecCase{"ac3_6ch.mp4", "AC-3", 6, 48000, 16, 96512, 60},
                                         TCodecCase{"eac3_stereo.mp4", "E-AC-3", 2, 44100, 16, 44288, 60},
                                         TCodecCase{"flac_stereo.mp4", "FLAC", 2, 44100, 16, 44100, 0},
                                         TCodecCase{"opus_stereo.mp4", "Opus", 2, 48000, 16, 48000, 60}),
                         [](const testing::TestParamInfo<TCodecCase>& i) { return Stem(i.param.File); });

// Each channel of a 5.1 file carries its own tone; the output is in the WAVE order.
class Mp4SixChannels : public testing::TestWithParam<const char*> {};

TEST_P(Mp4SixChannels, ArriveInWaveOrder) {
    TMP4In in;
    in.SetFileName(Mp4(GetParam()));
    const TBytes out = DecodeAll(in);
    ASSERT_EQ(in.BitsPerSample(), 16u);
    const size_t frames = out.size() / 12;
    ASSERT_GE(frames, 48000u);
    const double tones[6] = {300, 500, 700, 60, 1100, 1300}; // FL FR FC LFE BL BR
    for (uint32_t ch = 0; ch < 6; ++ch) {
        // Goertzel power of each tone over the middle half.
        double power[6];
        for (int t = 0; t < 6; ++t) {
            const double k = 2 * std::cos(2 * M_PI * tones[t] / 48000);
            double s1 = 0, s2 = 0;
            for (size_t f = frames / 4; f < frames * 3 / 4; ++f) {
                const double s0 = Sample(out, f * 6 + ch) + k * s1 - s2;
                s2 = s1;
                s1 = s0;
            }
            power[t] = s1 * s1 + s2 * s2 - k * s1 * s2;
        }
        EXPECT_EQ(std::max_element(power, power + 6) - power, ch) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Mp4SixChannels,
                         testing::Values("lc_6ch_48000.m4a", "alac_s16_6ch.m4a", "ac3_6ch.mp4"),
                         FileParamName);

// ---------------------------------------------------------------------------------------
// Length, rate and profile where the file states no gapless data.

struct TLengthCase {
    const char* File;
    uint32_t Rate;
    int64_t TotalSamples;
    const char* Profile;
    bool SBR;
};

class Mp4Length : public testing::TestWithParam<TLengthCase> {};

TEST_P(Mp4Length, FollowsTheFile) {
    const TLengthCase c = GetParam();
    TMP4In in;
    in.SetFileName(Mp4(c.File));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.TotalSamples(), c.TotalSamples);
    EXPECT_EQ(in.Profile(), c.Profile);
    EXPECT_EQ(in.SBR(), c.SBR);
    EXPECT_FALSE(in.PS());
}

INSTANTIATE_TEST_SUITE_P(Files, Mp4Length,
                         testing::Values(
                             // 1000 MP4 samples, nothing stated: 1023 frames each, 2047 with SBR.
                             TLengthCase{"frames1000_32000.m4a", 32000, 1023000, "LC", false},
                             TLengthCase{"frames1000_sbr_32000.m4a", 32000, 2047000, "HE-AAC", true},
                             // The container says 22050 Hz, the configuration 44100 Hz with SBR.
                             TLengthCase{"he_22050_44100.m4a", 44100, 88200, "HE-AAC", true},
                             TLengthCase{"no_edits.m4a", 44100, 131 * 1023, "LC", false}));

// Without an edit list, the decoder's output runs from its second frame to the last one,
// shorter than the estimate here; the stream ends there without an error.
TEST(Mp4In, FileWithoutGaplessDataEndsWithTheDecodedFrames) {
    const TWave ref = ReadWave(Mp4("no_edits.ref.wav")); // ffmpeg keeps the first frame
    TMP4In in;
    in.SetFileName(Mp4("no_edits.m4a"));
    const TBytes out = DecodeAll(in);
    ASSERT_EQ(out.size(), 130u * 1024 * 4);
    const TBytes tail(ref.Data.begin() + 1024 * 4, ref.Data.end());
    EXPECT_GE(Snr(tail, out, 2, 0, 130 * 1024), 60.0);
}

TEST(Mp4In, RequestLargerThanAFrameGetsThatFrame) {
    TMP4In in;
    in.SetFileName(Mp4("lc_stereo_44100.m4a"));
    in.Init();
    uint8_t* p = nullptr;
    uint32_t n = 1 << 20;
    in.GetData(p, n);
    EXPECT_EQ(n, 1024u * 4);
    in.Flush();
}

// ---------------------------------------------------------------------------------------
// Seeking lands on the exact frame: what follows equals a decode from the start.

TEST(Mp4In, SeekLandsOnTheFrame) {
    TMP4In in;
    in.SetFileName(Mp4("lc_stereo_44100.m4a"));
    const TBytes all = DecodeAll(in);
    const int64_t total = 132300;
    in.Init();
    for (int64_t target :
         {int64_t{70000}, int64_t{0}, int64_t{1}, int64_t{1023}, int64_t{1024}, int64_t{5000}, int64_t{0}}) {
        ASSERT_TRUE(in.Seek(target)) << target;
        EXPECT_EQ(in.Position(), target * 4);
        uint8_t* p = nullptr;
        uint32_t n = 3000;
        in.GetData(p, n);
        ASSERT_GT(n, 0u) << target;
        EXPECT_EQ(0, std::memcmp(p, all.data() + target * 4, n)) << "after a seek to " << target;
    }
    const TBytes rest = Drain(in); // from the last seek on, to the end without an error
    const TBytes expected(all.begin() + 3000, all.end());
    EXPECT_TRUE(rest == expected) << FirstDifference(rest, expected);
    in.Flush();

    in.Init();
    ASSERT_TRUE(in.Seek(total - 1));
    const TBytes last = Drain(in);
    EXPECT_TRUE(last == TBytes(all.end() - 4, all.end()));
    in.Flush();

    in.Init();
    EXPECT_FALSE(in.Seek(total + 1));
    ASSERT_TRUE(in.Seek(total)); // the end: nothing more
    EXPECT_EQ(in.Position(), total * 4);
    EXPECT_TRUE(Drain(in).empty());
    in.Flush();
}

// On the other codecs too: exact for ALAC, whose samples stand alone; after the preroll of
// the lossy codecs' overlapping frames, at the conformance floor.
struct TCodecSeekCase {
    const char* File;
    double MinSnr; // 0: exact
};

class Mp4OtherCodecSeek : public testing::TestWithParam<TCodecSeekCase> {};

TEST_P(Mp4OtherCodecSeek, LandsOnTheFrame) {
    const TCodecSeekCase c = GetParam();
    TMP4In in;
    in.SetFileName(Mp4(c.File));
    const TBytes all = DecodeAll(in);
    const int64_t total = in.TotalSamples();
    const uint32_t frameBytes = in.Channels() * in.BitsPerSample() / 8;
    in.Init();
    for (int64_t target : {total / 2, int64_t{0}, int64_t{1}, int64_t{4095}, int64_t{4096}, int64_t{4097},
                           total - 5000, total - 1, total}) {
        ASSERT_TRUE(in.Seek(target)) << target;
        EXPECT_EQ(in.Position(), target * frameBytes);
        TBytes part;
        for (uint32_t n = 1; n > 0 && part.size() < 5000 * frameBytes;) {
            uint8_t* p = nullptr;
            n = static_cast<uint32_t>(std::min<size_t>(4096, 5000 * frameBytes - part.size()));
            in.GetData(p, n);
            part.insert(part.end(), p, p + n);
        }
        const size_t n = part.size();
        ASSERT_EQ(n, std::min<size_t>(5000, static_cast<size_t>(total - target)) * frameBytes) << target;
        const TBytes expected(all.begin() + target * frameBytes, all.begin() + target * frameBytes + n);
        if (c.MinSnr == 0 || n == 0)
            EXPECT_TRUE(part == expected)
                << "after a seek to " << target << ": " << FirstDifference(part, expected);
        else
            for (uint32_t ch = 0; ch < in.Channels(); ++ch)
                EXPECT_GE(Snr(expected, part, in.Channels(), ch, n / frameBytes), c.MinSnr) << target;
        in.Flush();
        in.Init();
    }
    in.Flush();
}

INSTANTIATE_TEST_SUITE_P(Files, Mp4OtherCodecSeek,
                         testing::Values(TCodecSeekCase{"alac_s16_stereo.m4a", 0},
                                         TCodecSeekCase{"alac_s24_6ch.m4a", 0},
                                         TCodecSeekCase{"mp3_stereo.mp4", 60},
                                         TCodecSeekCase{"ac3_6ch.mp4", 60}),
                         [](const testing::TestParamInfo<TCodecSeekCase>& i) { return Stem(i.param.File); });

TEST(Mp4In, OtherCodecKeepsTheTags) {
    TMP4In in;
    in.SetFileName(Mp4("alac_s16_stereo.m4a"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.CommonTags()->Title(), u"Кукушка");
}

// A run that starts at a frame delivers from exactly there to the end.
TEST(Mp4In, StartSampleCutsExactly) {
    TMP4In in;
    in.SetFileName(Mp4("lc_6ch_48000.m4a"));
    const TBytes all = DecodeAll(in);
    in.SetStartSample(12345);
    in.SetEndSample(54321);
    const TBytes part = DecodeAll(in, 5000);
    const TBytes expected(all.begin() + 12345 * 12, all.begin() + 54322 * 12);
    EXPECT_TRUE(part == expected) << FirstDifference(part, expected);
}

// ---------------------------------------------------------------------------------------
// Tags and header values.

TEST(Mp4In, TagsAreUtf8) {
    TMP4In in;
    EXPECT_TRUE(in.CommonTags()->Title().empty());
    in.SetFileName(Mp4("tagged.m4a"));
    ASSERT_TRUE(in.Valid());
    const TCommonTags& tags = *in.CommonTags();
    EXPECT_EQ(tags.Title(), u"Группа крови");
    EXPECT_EQ(tags.Artist(), u"Кино");
    EXPECT_EQ(tags.Album(), u"Звезда по имени Солнце");
    EXPECT_EQ(tags.Genre(), u"Rock");
    EXPECT_EQ(tags.Year(), "1988");
    EXPECT_EQ(tags.Track(), "7");
    EXPECT_GT(in.Bitrate(), 64000u);
    EXPECT_LT(in.Bitrate(), 256000u);

    in.SetFileName(Mp4("lc_stereo_48000.m4a")); // only the encoder's name
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(tags.Title().empty());
    EXPECT_TRUE(tags.Artist().empty());
    EXPECT_TRUE(tags.Album().empty());
    EXPECT_TRUE(tags.Genre().empty());
    EXPECT_TRUE(tags.Year().empty());
    EXPECT_TRUE(tags.Track().empty());
}

TEST(Mp4In, DecodesAnAssignedStreamAndRewindsIt) {
    TMemoryStream stream(ReadAll(Mp4("tagged.m4a")));
    TMP4In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes first = DecodeAll(in);
    EXPECT_EQ(first.size(), 44100u * 4);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_TRUE(DecodeAll(in) == first);
}

// ---------------------------------------------------------------------------------------
// Failures.

TEST(Mp4In, MissingFileAndForeignData) {
    TMP4In in;
    in.SetFileName(Mp4("does-not-exist.m4a"));
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(Message([&] { in.Channels(); }), "Failed to open stream");
    TMemoryStream flac(ReadAll(Media("flac/s16_mono_44100.flac")));
    in.SetStream(&flac);
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(Message([&] { in.Channels(); }), "Unable to open file.");
    uint8_t* p = nullptr;
    uint32_t n = 100;
    EXPECT_THROW(in.GetData(p, n), EAuException); // not running
}

// The stream's object type and its configuration decide whether a track is AAC.
TEST(Mp4In, TrackThatIsNotAacIsNotValid) {
    const TBytes file = ReadAll(Mp4("lc_stereo_44100.m4a"));
    const uint8_t esds[] = {'e', 's', 'd', 's'};
    const size_t at =
        static_cast<size_t>(std::search(file.begin(), file.end(), esds, esds + 4) - file.begin());
    ASSERT_LT(at, file.size());
    const uint8_t config[] = {0x04, 0x80, 0x80, 0x80};
    const size_t oti =
        static_cast<size_t>(std::search(file.begin() + at, file.end(), config, config + 4) - file.begin()) +
        5;
    const uint8_t asc[] = {0x05, 0x80, 0x80, 0x80};
    const size_t dsi =
        static_cast<size_t>(std::search(file.begin() + at, file.end(), asc, asc + 4) - file.begin()) + 5;
    ASSERT_EQ(file[oti], 0x40);
    ASSERT_EQ(file[dsi], 0x12);
    struct TPatch {
        size_t Offset;
        uint8_t Value;
        const char* Message;
    };
    for (const TPatch& p :
         {TPatch{oti, 0x6B, "Unable to decode the MP3 sound track in the MP4 file."}, // MPEG-1 audio
          TPatch{oti, 0x20, "The MP4 file's sound track is of a codec that cannot be decoded."},
          TPatch{dsi, 0x00, "Unable to find correct AAC sound track in the MP4 file."}}) {
        TBytes bytes = file;
        bytes[p.Offset] = p.Value;
        TMemoryStream stream(bytes);
        TMP4In in;
        in.SetStream(&stream);
        EXPECT_FALSE(in.Valid());
        EXPECT_EQ(Message([&] { in.Channels(); }), p.Message);
    }
}

struct TMissingCase {
    bool Mp4ff, Faad;
    const char* Message;
};

class Mp4MissingLibrary : public testing::TestWithParam<TMissingCase> {};

TEST_P(Mp4MissingLibrary, NamesTheMissingFile) {
    const TMissingCase c = GetParam();
    const std::string mp4ff = TMP4In::LibMp4ff().FileName(), faad = TMP4In::LibFaad().FileName();
    if (c.Mp4ff) TMP4In::LibMp4ff().OverrideFileName("missing-" + mp4ff);
    if (c.Faad) TMP4In::LibFaad().OverrideFileName("missing-" + faad);
    TMP4In in;
    in.SetFileName(Mp4("tagged.m4a"));
    EXPECT_FALSE(in.Valid());
    EXPECT_EQ(Message([&] { in.Channels(); }), c.Message);
    TMP4In::LibMp4ff().OverrideFileName(mp4ff);
    TMP4In::LibFaad().OverrideFileName(faad);
    EXPECT_TRUE(in.Valid());
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, Mp4MissingLibrary,
    testing::Values(TMissingCase{true, false, "missing-libmp4ff.so.0 library could not be loaded."},
                    TMissingCase{false, true, "missing-libfaad.so.2 library could not be loaded."},
                    TMissingCase{true, true, "missing-libmp4ff.so.0 library could not be loaded."}));

// Valid false, an EAuException, or some audio; never a crash, a hang or a read out of
// bounds (this runs under AddressSanitizer). Limit: bytes of PCM the undamaged file holds,
// give or take the frames that a damaged length estimate may add.
void PlayDamaged(const TBytes& Bytes, size_t Limit, int& Valid) {
    TMemoryStream stream(Bytes);
    TMP4In in;
    in.SetStream(&stream);
    if (!in.Valid()) return;
    ++Valid;
    try {
        in.Init();
        EXPECT_LE(Drain(in, 4096, Limit * 2).size(), Limit + Limit / 50);
        in.Seek(in.TotalSamples() / 2);
        Drain(in, 4096, Limit * 2);
        in.Profile();
    } catch (const EAuException& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
    in.Flush();
}

TEST(Mp4In, DamagedInputIsHandled) {
    for (const char* name : {"moov_first.m4a", "lc_stereo_44100.m4a"}) {
        const TBytes file = ReadAll(Mp4(name));
        int valid = 0;
        for (auto& [what, bytes] : DamagedCopies(file, std::string("\0\0\0\x20"
                                                                   "ftypisom",
                                                                   12))) {
            SCOPED_TRACE(std::string(name) + ": " + what);
            PlayDamaged(bytes, 132300 * 4, valid);
        }
        EXPECT_GT(valid, 0) << name;
    }
}

// Every box header of the movie gets a hostile size: larger than its parent and the file,
// zero, one (a 64-bit size follows), below the header's own size.
TEST(Mp4In, HostileBoxSizesAreHandled) {
    const TBytes file = ReadAll(Mp4("moov_first.m4a"));
    const uint8_t moov[] = {'m', 'o', 'o', 'v'};
    const size_t start =
        static_cast<size_t>(std::search(file.begin(), file.end(), moov, moov + 4) - file.begin()) - 4;
    const size_t end = start + (size_t{file[start]} << 24 | size_t{file[start + 1]} << 16 |
                                size_t{file[start + 2]} << 8 | file[start + 3]);
    ASSERT_LT(end, file.size());
    // Box headers: a size then four letters or the copyright sign.
    int boxes = 0, valid = 0;
    for (size_t at = start; at + 8 <= end; ++at) {
        bool type = true;
        for (size_t i = 4; i < 8; ++i)
            type = type && ((file[at + i] >= 'a' && file[at + i] <= 'z') || file[at + i] == 0xA9 ||
                            (file[at + i] >= '0' && file[at + i] <= '9'));
        const uint32_t size = uint32_t{file[at]} << 24 | uint32_t{file[at + 1]} << 16 |
                              uint32_t{file[at + 2]} << 8 | file[at + 3];
        if (!type || size < 8 || size > end - at) continue;
        ++boxes;
        for (uint32_t hostile : {0xFFFFFFF0u, 0u, 1u, 7u, size + 1}) {
            TBytes bytes = file;
            bytes[at] = static_cast<uint8_t>(hostile >> 24);
            bytes[at + 1] = static_cast<uint8_t>(hostile >> 16);
            bytes[at + 2] = static_cast<uint8_t>(hostile >> 8);
            bytes[at + 3] = static_cast<uint8_t>(hostile);
            SCOPED_TRACE(std::string(reinterpret_cast<const char*>(&file[at + 4]), 4) + " size " +
                         std::to_string(hostile));
            PlayDamaged(bytes, 132300 * 4, valid);
        }
    }
    EXPECT_GT(boxes, 20);
    EXPECT_GT(valid, 0);
}

// Sample tables that disagree with the file: a count of zero, sizes or offsets beyond it.
TEST(Mp4In, HostileSampleTablesAreHandled) {
    const TBytes file = ReadAll(Mp4("moov_first.m4a"));
    auto find = [&](const char* Type) {
        return static_cast<size_t>(std::search(file.begin(), file.end(), Type, Type + 4) - file.begin());
    };
    auto put32 = [](TBytes& B, size_t At, uint32_t V) {
        for (int i = 0; i < 4; ++i)
            B[At + static_cast<size_t>(i)] = static_cast<uint8_t>(V >> (24 - 8 * i));
    };
    const size_t stsz = find("stsz"), stco = find("stco"), stsc = find("stsc");
    struct TPatch {
        const char* What;
        size_t At;
        uint32_t Value;
    };
    const TPatch patches[] = {
        {"no samples", stsz + 12, 0},
        {"constant size beyond the file", stsz + 8, 0x7FFFFFF0},
        {"count beyond the table", stsz + 12, 0x7FFFFFFF},
        {"first chunk offset beyond the file", stco + 12, 0xFFFFFF00},
        {"chunk count beyond the table", stco + 8, 0x40000000},
        {"no samples per chunk", stsc + 16, 0},
        {"chunk runs beyond the table", stsc + 8, 0x10000000},
        {"first size huge", stsz + 16, 0xFFFFFFF0},
    };
    int valid = 0;
    for (const TPatch& p : patches) {
        SCOPED_TRACE(p.What);
        TBytes bytes = file;
        put32(bytes, p.At, p.Value);
        PlayDamaged(bytes, 132300 * 4, valid);
    }
}

} // namespace
