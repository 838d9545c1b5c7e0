// TADTSIn against faad's own command-line tool, seeking by frame (exact after a scan, by the
// bit rate without one), the ID3v2 tag in front, and damaged or foreign input.

#include <gtest/gtest.h>

#include <cstring>

#include "decoders/DecoderTestMedia.h"
#include "decoders/mp4/TADTSIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string Aac(const std::string& Name) {
    return Media("mp4/" + Name);
}

// The channels of Pcm (16-bit, Channels wide) that Keep lists, in that order.
TBytes Channels16(const TBytes& Pcm, uint32_t Channels, uint32_t Keep) {
    TBytes out;
    for (size_t f = 0; f + 2 * Channels <= Pcm.size(); f += 2 * Channels)
        out.insert(out.end(), Pcm.begin() + static_cast<ptrdiff_t>(f),
                   Pcm.begin() + static_cast<ptrdiff_t>(f + 2 * Keep));
    return out;
}

struct TFaadCase {
    const char* File;
    uint32_t Channels, Rate;
    uint32_t Chunk;
};

void PrintTo(const TFaadCase& c, std::ostream* os) {
    *os << c.File;
}

class AdtsAgainstFaad : public testing::TestWithParam<TFaadCase> {};

// Bit-exact; faad writes a mono stream as two equal channels, of which the first is compared.
TEST_P(AdtsAgainstFaad, MatchesTheTool) {
    const TFaadCase c = GetParam();
    const std::string stem = std::string(c.File).substr(0, std::strlen(c.File) - 4);
    const TWave ref = ReadWave(Aac(stem + ".faad.wav"));
    TADTSIn in;
    in.SetFileName(Aac(c.File));
    ASSERT_TRUE(in.Valid());
    EXPECT_TRUE(in.Scanned());
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_GT(in.Bitrate(), 8000u);
    const TBytes expected =
        ref.Channels == c.Channels ? ref.Data : Channels16(ref.Data, ref.Channels, c.Channels);
    EXPECT_EQ(in.TotalSamples() * c.Channels * 2, static_cast<int64_t>(expected.size()));
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_TRUE(out == expected) << FirstDifference(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, AdtsAgainstFaad,
                         testing::Values(TFaadCase{"adts_stereo_44100.aac", 2, 44100, 4096},
                                         TFaadCase{"adts_6ch_48000.aac", 6, 48000, 1001},
                                         TFaadCase{"adts_mono_32000.aac", 1, 32000, 16384},
                                         TFaadCase{"adts_id3.aac", 2, 44100, 777}),
                         [](const testing::TestParamInfo<TFaadCase>& i) {
                             std::string n = i.param.File;
                             return n.substr(0, n.size() - 4);
                         });

// After a scan a seek is exact: what follows equals a decode from the start. Without one
// (a scan limit below the file's size) the bit rate picks the frame, and the output from
// there is that frame's, whole.
struct TSeekCase {
    int64_t ScanLimit;
    bool Exact;
};

class AdtsSeek : public testing::TestWithParam<TSeekCase> {};

TEST_P(AdtsSeek, LandsByFrame) {
    const TSeekCase c = GetParam();
    TADTSIn in;
    in.SetFileName(Aac("adts_stereo_44100.aac"));
    const TBytes all = DecodeAll(in);
    const int64_t frames = static_cast<int64_t>(all.size() / 4);
    in.SetScanLimit(c.ScanLimit);
    in.SetFileName(Aac("adts_stereo_44100.aac"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Scanned(), c.Exact);
    if (c.Exact)
        EXPECT_EQ(in.TotalSamples(), frames);
    else
        EXPECT_NEAR(static_cast<double>(in.TotalSamples()), static_cast<double>(frames), frames * 0.1);
    in.Init();
    for (int64_t target :
         {frames / 2, int64_t{0}, int64_t{1}, int64_t{1023}, int64_t{1024}, int64_t{5000}, frames - 1}) {
        ASSERT_TRUE(in.Seek(target)) << target;
        uint8_t* p = nullptr;
        uint32_t n = 1000;
        in.GetData(p, n);
        ASSERT_GT(n, 0u) << target;
        if (c.Exact) {
            EXPECT_EQ(0, std::memcmp(p, all.data() + target * 4, n)) << "after a seek to " << target;
        } else {
            // Some frame's audio: it matches the full decode at a whole frame's offset.
            bool found = false;
            for (int64_t at = target % 1024; !found && static_cast<size_t>(at * 4 + n) <= all.size();
                 at += 1024)
                found = std::memcmp(p, all.data() + at * 4, n) == 0;
            EXPECT_TRUE(found) << "after a seek to " << target;
        }
    }
    in.Flush();
}

INSTANTIATE_TEST_SUITE_P(Modes, AdtsSeek,
                         testing::Values(TSeekCase{TADTSIn::ScanLimit, true}, TSeekCase{1000, false}),
                         [](const testing::TestParamInfo<TSeekCase>& i) {
                             return std::string(i.param.Exact ? "Scanned" : "Estimated");
                         });

// Valid false, an EAuException, or some audio, never more than the undamaged file holds
// (give or take a frame); never a crash, a hang or a read out of bounds.
TEST(AdtsIn, DamagedInputIsHandled) {
    const TBytes file = ReadAll(Aac("adts_stereo_44100.aac"));
    TADTSIn clean;
    clean.SetFileName(Aac("adts_stereo_44100.aac"));
    const size_t limit = DecodeAll(clean).size() + 1024 * 4;
    int valid = 0;
    for (auto& [what, bytes] : DamagedCopies(file, std::string("\xFF\xF1", 2))) {
        SCOPED_TRACE(what);
        TMemoryStream stream(bytes);
        TADTSIn in;
        in.SetStream(&stream);
        if (!in.Valid()) continue;
        ++valid;
        try {
            in.Init();
            EXPECT_LE(Drain(in, 4096, limit * 2).size(), limit);
            in.Seek(in.TotalSamples() / 2);
            Drain(in, 4096, limit * 2);
        } catch (const EAuException& e) {
            EXPECT_NE(std::string(e.what()), "");
        }
        in.Flush();
    }
    EXPECT_GT(valid, 0);
}

// Bytes between two frames are skipped: the frames after them still play.
TEST(AdtsIn, GarbageBetweenFramesIsSkipped) {
    const TBytes file = ReadAll(Aac("adts_stereo_44100.aac"));
    TADTSIn clean;
    clean.SetFileName(Aac("adts_stereo_44100.aac"));
    const TBytes all = DecodeAll(clean);
    // The tenth frame's start, found by the frame lengths.
    size_t at = 0;
    for (int i = 0; i < 10; ++i)
        at += (size_t{file[at + 3]} & 3) << 11 | size_t{file[at + 4]} << 3 | file[at + 5] >> 5;
    TBytes bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(at));
    bytes.insert(bytes.end(), 333, 0x5A);
    bytes.insert(bytes.end(), file.begin() + static_cast<ptrdiff_t>(at), file.end());
    TMemoryStream stream(bytes);
    TADTSIn in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    ASSERT_GE(out.size(), all.size() - 2 * 4096);
    // The end is the same audio.
    EXPECT_EQ(0, std::memcmp(out.data() + out.size() - 40000, all.data() + all.size() - 40000, 40000));
}

TEST(AdtsIn, ForeignDataIsNotValid) {
    for (const char* name : {"flac/s16_mono_44100.flac", "mp4/lc_stereo_44100.m4a"}) {
        TMemoryStream stream(ReadAll(Media(name)));
        TADTSIn in;
        in.SetStream(&stream);
        EXPECT_FALSE(in.Valid()) << name;
        EXPECT_EQ(ErrorText([&] { in.Channels(); }), "Unable to find an ADTS frame in the AAC file.") << name;
    }
    TADTSIn missing;
    missing.SetFileName(Aac("does-not-exist.aac"));
    EXPECT_FALSE(missing.Valid());
}

} // namespace
