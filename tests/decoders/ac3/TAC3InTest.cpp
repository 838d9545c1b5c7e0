// TAC3In against ffmpeg's AC-3 decoder, plain and in program streams; the demultiplexer on
// real and hand-made sectors; layouts, rates, library loading and damaged input.

#include <gtest/gtest.h>

#include "decoders/DecoderTestMedia.h"
#include "decoders/PcmCompare.h"
#include "decoders/ac3/TAC3In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::string Ac3Path(const std::string& Name) {
    return Media("ac3/" + Name);
}

TBytes Decode(TBytes Bytes, TAC3VOBStream Stream = acvStreamFirst) {
    TMemoryStream stream(std::move(Bytes));
    TAC3In in;
    in.SetVobAudioSubstream(Stream);
    in.SetStream(&stream);
    EXPECT_TRUE(in.Valid());
    return DecodeAll(in);
}

bool IsValid(TBytes Bytes, TAC3VOBStream Stream = acvStreamFirst) {
    TMemoryStream stream(std::move(Bytes));
    TAC3In in;
    in.SetVobAudioSubstream(Stream);
    in.SetStream(&stream);
    return in.Valid();
}

// Everything the demultiplexer hands out of Vob, Chunk bytes per call.
TBytes Demux(const TBytes& Vob, TAC3VOBStream Stream, int32_t Chunk) {
    TMemoryStream source(Vob);
    TAuVOBAC3Demuxer demuxer(source);
    demuxer.Init(Stream);
    TBytes out, chunk(static_cast<size_t>(Chunk));
    for (;;) {
        const int32_t n = demuxer.Read(chunk.data(), Chunk);
        EXPECT_LE(n, Chunk);
        if (n <= 0) break;
        out.insert(out.end(), chunk.begin(), chunk.begin() + n);
    }
    return out;
}

// The private stream 1 sectors of Vob moved from substream From to To.
TBytes Resubstream(TBytes Vob, uint8_t From, uint8_t To) {
    for (size_t s = 0; s + 2048 <= Vob.size(); s += 2048) {
        size_t p = s + 14;
        while (p + 9 < s + 2048 && !(Vob[p] == 0 && Vob[p + 1] == 0 && Vob[p + 2] == 1 && Vob[p + 3] == 0xBD))
            p += 6 + ((size_t{Vob[p + 4]} << 8) | Vob[p + 5]);
        if (p + 9 < s + 2048 && Vob[p + 9 + Vob[p + 8]] == From) Vob[p + 9 + Vob[p + 8]] = To;
    }
    return Vob;
}

// ---------------------------------------------------------------------------------------
// Against ffmpeg's decoder: at least 40 dB per channel over the same number of frames.

struct TConformanceCase {
    const char* Name;
    uint32_t Channels, Rate, Chunk;
};

void PrintTo(const TConformanceCase& c, std::ostream* os) {
    *os << c.Name << " in requests of " << c.Chunk;
}

class AC3Conformance : public testing::TestWithParam<TConformanceCase> {};

TEST_P(AC3Conformance, MatchesFFmpegDecoder) {
    const TConformanceCase c = GetParam();
    const TBytes ref = ReadAll(Ac3Path(std::string(c.Name) + ".ref.raw"));
    ASSERT_FALSE(ref.empty());
    TAC3In in;
    in.SetFileName(Ac3Path(std::string(c.Name) + ".ac3"));
    EXPECT_GT(in.BitRate(), 0u); // before playback
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Channels(), c.Channels);
    EXPECT_EQ(in.SampleRate(), c.Rate);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_FALSE(in.Seekable());
    const TBytes out = DecodeAll(in, c.Chunk);
    EXPECT_EQ(out.size(), ref.size());
    for (uint32_t ch = 0; ch < c.Channels; ++ch)
        EXPECT_GE(SnrDb(out, ref, c.Channels, ch), 40.0) << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(Files, AC3Conformance,
                         testing::Values(TConformanceCase{"tones_48000", 6, 48000, 16384},
                                         TConformanceCase{"tones_48000", 6, 48000, 7},
                                         TConformanceCase{"tones_44100", 6, 44100, 5000},
                                         TConformanceCase{"tones_32000", 6, 32000, 16384},
                                         TConformanceCase{"stereo_48000", 2, 48000, 4099}),
                         [](const testing::TestParamInfo<TConformanceCase>& i) {
                             return std::string(i.param.Name) + "_" + std::to_string(i.param.Chunk);
                         });

// Full-scale square waves of 100 and 150 Hz decode with overshoots beyond full scale. They
// are clipped: a sample wrapped round to the other sign would add sign changes to the 200
// and 300 edges per second of the square waves (counted over the samples beyond half scale).
TEST(AC3In, OvershootsAreClippedNotWrapped) {
    const std::vector<int16_t> s = Samples(Decode(ReadAll(Ac3Path("loud_48000.ac3"))));
    for (uint32_t ch = 0; ch < 2; ++ch)
        EXPECT_NEAR(HalfScaleSignChanges(s, 2, ch), ch == 0 ? 200 : 300, 4) << "channel " << ch;
}

TEST(AC3In, BitRateBeforePlayback) {
    TAC3In in;
    in.SetFileName(Ac3Path("tones_48000.ac3"));
    EXPECT_EQ(in.BitRate(), 448000u);
}

TEST(AC3In, OutputChannelsChoosesTheLayout) {
    const size_t frames = Decode(ReadAll(Ac3Path("tones_48000.ac3"))).size() / 12;
    const std::pair<TAC3OutputChannels, uint32_t> cases[] = {{acc5dot1, 6}, {accStereo, 2}, {accMono, 1}};
    for (const auto& [layout, channels] : cases) {
        TAC3In in;
        in.SetOutputChannels(layout);
        in.SetFileName(Ac3Path("tones_48000.ac3"));
        ASSERT_TRUE(in.Valid()) << int{layout};
        EXPECT_EQ(in.Channels(), channels) << int{layout};
        const TBytes out = DecodeAll(in);
        EXPECT_EQ(out.size(), frames * channels * 2) << int{layout};
        const std::vector<int16_t> s = Samples(out);
        EXPECT_GT(*std::max_element(s.begin(), s.end()), 1000) << int{layout} << " is silent";
    }
}

// bsid 9 halves the rate: 22.05 kHz frames, which are never taken.
TEST(AC3In, HalfRateStreamIsNotValid) {
    TBytes bytes = ReadAll(Ac3Path("tones_44100.ac3"));
    for (size_t i = 0; i + 6 < bytes.size(); ++i)
        if (bytes[i] == 0x0B && bytes[i + 1] == 0x77 && (bytes[i + 5] >> 3) == 8)
            bytes[i + 5] = static_cast<uint8_t>((9 << 3) | (bytes[i + 5] & 7));
    TMemoryStream stream(bytes);
    TAC3In in;
    in.SetStream(&stream);
    EXPECT_FALSE(in.Valid());
}

// ---------------------------------------------------------------------------------------
// Program streams.

TEST(AC3In, ProgramStreamPlaysTheChosenSubstream) {
    const TBytes tones = Decode(ReadAll(Ac3Path("tones_48000.ac3")));
    const TBytes stereo = Decode(ReadAll(Ac3Path("stereo_48000.ac3")));
    const TBytes one = ReadAll(Ac3Path("one.vob")), two = ReadAll(Ac3Path("two.vob"));
    EXPECT_TRUE(Decode(one) == tones);
    EXPECT_TRUE(Decode(two) == tones);
    EXPECT_TRUE(Decode(two, acvStreamSecond) == stereo);
    EXPECT_FALSE(IsValid(one, acvStreamSecond));
    // The only stream in substream 0x81: it plays with acvStreamSecond only.
    const TBytes moved = Resubstream(one, 0x80, 0x81);
    EXPECT_FALSE(IsValid(moved, acvStreamFirst));
    EXPECT_TRUE(Decode(moved, acvStreamSecond) == tones);
    // By file name as well.
    TAC3In in;
    in.SetVobAudioSubstream(acvStreamSecond);
    in.SetFileName(Ac3Path("two.vob"));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_TRUE(DecodeAll(in) == stereo);
}

// The payload of every sector, the last one's included, in any request size.
TEST(AC3In, DemultiplexerDeliversThePayloadWithoutHeaders) {
    const TBytes one = ReadAll(Ac3Path("one.vob")), two = ReadAll(Ac3Path("two.vob"));
    const TBytes tones = ReadAll(Ac3Path("tones_48000.ac3")), stereo = ReadAll(Ac3Path("stereo_48000.ac3"));
    for (int32_t chunk : {1, 3, 1000, 2048, 100000}) {
        EXPECT_TRUE(Demux(one, acvStreamFirst, chunk) == tones) << chunk;
        EXPECT_TRUE(Demux(two, acvStreamFirst, chunk) == tones) << chunk;
        const TBytes second = Demux(two, acvStreamSecond, chunk);
        EXPECT_TRUE(second == stereo) << chunk << ": " << FirstDifference(second, stereo);
    }
}

// Hand-made sectors: a pack header, then packets.
struct TSector {
    // Where the payload of a packet made by Private starts in a sector of its own.
    static constexpr size_t PayloadStart = 14 + 6 + 3 + 5 + 4;

    TBytes Bytes;
    TSector() {
        const uint8_t pack[] = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0x27, 0x0F, 0xF8};
        Bytes.assign(std::begin(pack), std::end(pack));
    }
    // A packet of stream Id with Length in its header and Body after it.
    TSector& Packet(uint8_t Id, uint32_t Length, const TBytes& Body) {
        const uint8_t head[] = {0, 0, 1, Id, static_cast<uint8_t>(Length >> 8), static_cast<uint8_t>(Length)};
        Bytes.insert(Bytes.end(), std::begin(head), std::end(head));
        Bytes.insert(Bytes.end(), Body.begin(), Body.end());
        return *this;
    }
    // A private stream 1 packet of substream Sub: 5 bytes of header data, the substream
    // header, Payload. Length and HeaderLength, when not -1, replace the values the packet
    // header states.
    TSector& Private(uint8_t Sub, const TBytes& Payload, int Length = -1, int HeaderLength = -1) {
        TBytes body = {0x81, 0x80, static_cast<uint8_t>(HeaderLength < 0 ? 5 : HeaderLength)};
        body.insert(body.end(), 5, 0x21);
        body.insert(body.end(), {Sub, 1, 0, 1});
        body.insert(body.end(), Payload.begin(), Payload.end());
        return Packet(0xBD, Length < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(Length),
                      body);
    }
    // The whole sector, the rest filled by a padding packet.
    TBytes Padded() {
        const size_t rest = 2048 - Bytes.size() - 6;
        return Packet(0xBE, static_cast<uint32_t>(rest), TBytes(rest, 0xFF)).Bytes;
    }
};

// Each case is framed by sectors of known payload, so nothing may leak across sectors.
TEST(AC3In, DemultiplexerReadsEverySectorByItsLengths) {
    const TBytes a(100, 0xA1), b(50, 0xB2), full(2048 - TSector::PayloadStart, 0xD4), marker(20, 0x5A);
    const TBytes toEnd = TSector().Private(0x80, b, 0).Padded();
    const TBytes beyond = TSector().Private(0x80, b, 0xFFFF).Padded();
    const TBytes shifted = Concat(TBytes(14, 0), TSector().Private(0x80, a).Padded());
    struct TCase {
        const char* What;
        TBytes Sector, Payload;
    } cases[] = {
        {"payload up to the packet's end, padding after it", TSector().Private(0x80, a).Padded(), a},
        {"a system header before the packet",
         TSector().Packet(0xBB, 12, TBytes(12, 0x80)).Private(0x80, b).Padded(), b},
        {"another substream", TSector().Private(0x81, a).Padded(), {}},
        {"a packet that fills the sector", TSector().Private(0x80, full).Bytes, full},
        {"length 0: to the end of the sector", toEnd,
         TBytes(toEnd.begin() + TSector::PayloadStart, toEnd.end())},
        {"a length beyond the sector", beyond, TBytes(beyond.begin() + TSector::PayloadStart, beyond.end())},
        {"header data beyond the packet", TSector().Private(0x80, b, -1, 200).Padded(), {}},
        {"no pack header at the start", TBytes(shifted.begin(), shifted.begin() + 2048), {}},
    };
    const TBytes frame = TSector().Private(0x80, marker).Padded();
    for (const TCase& t : cases) {
        ASSERT_EQ(t.Sector.size(), 2048u) << t.What;
        const TBytes vob = Concat(Concat(frame, t.Sector), frame);
        const TBytes expected = Concat(Concat(marker, t.Payload), marker);
        for (int32_t chunk : {1, 7, 4096}) {
            const TBytes out = Demux(vob, acvStreamFirst, chunk);
            EXPECT_TRUE(out == expected)
                << t.What << " in requests of " << chunk << ": " << FirstDifference(out, expected);
        }
    }
    // A last sector cut short still hands out what it holds.
    const TBytes cut = Concat(frame, TSector().Private(0x80, a).Bytes);
    EXPECT_TRUE(Demux(cut, acvStreamFirst, 3) == Concat(marker, a));
}

// ---------------------------------------------------------------------------------------
// Library loading.

TEST(AC3In, MissingLibraryOrEntryPointIsReported) {
    ExpectMissingLibraryNamed<TAC3In>(TAC3In::LibA52(), Ac3Path("tones_48000.ac3"),
                                      {"liba52-missing.so", "libm.so.6"});
}

// ---------------------------------------------------------------------------------------
// Damaged input: a frame the library cannot decode (a scratch) plays as silence for its
// 1536 frames, so the file keeps its length, and is reported where it starts. Only a
// stream of which nothing decodes raises.

// Inverts 380 bytes of the audio of the Nth frame (by its sync word) that lies whole in a
// 2048-byte sector, past the frame's header.
TBytes WithDamagedFrame(TBytes Data, size_t N) {
    size_t found = 0;
    for (size_t at = 0; at + 400 < Data.size(); ++at) {
        if (Data[at] != 0x0B || Data[at + 1] != 0x77 || at % 2048 + 400 > 2048) continue;
        if (found++ < N) continue;
        for (size_t i = at + 20; i < at + 400; ++i)
            Data[i] = static_cast<uint8_t>(~Data[i]);
        break;
    }
    EXPECT_GT(found, N) << "no such frame";
    return Data;
}

class AC3DamagedFrame : public testing::TestWithParam<const char*> {};

TEST_P(AC3DamagedFrame, PlaysAsSilenceAndIsReported) {
    const TBytes bytes = ReadAll(Ac3Path(GetParam()));
    const TBytes full = Decode(bytes);
    TMemoryStream stream(WithDamagedFrame(bytes, 5));
    TAC3In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    EXPECT_EQ(out.size(), full.size()) << "the length holds";
    EXPECT_EQ(in.Damage(dkBadFrame).Count, 1u);
    const int64_t at = in.Damage(dkBadFrame).FirstFrame;
    const size_t frameBytes = size_t{in.Channels()} * 2;
    ASSERT_GT(at, 0);
    EXPECT_EQ(at % 256, 0) << "a block's start";
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + at * frameBytes, full.begin())) << "intact before";
    const size_t end = (at / 1536 + 1) * 1536 * frameBytes;
    ASSERT_LE(end, out.size());
    EXPECT_TRUE(std::all_of(out.begin() + at * frameBytes, out.begin() + end, [](uint8_t b) {
        return b == 0;
    })) << "silent to the frame's end";
    EXPECT_TRUE(std::equal(out.begin() + end, out.end(), full.begin() + end) ||
                SnrDb(TBytes(out.begin() + end, out.end()), TBytes(full.begin() + end, full.end()),
                      in.Channels(), 0) > 20)
        << "the frames after it decode again";
}

INSTANTIATE_TEST_SUITE_P(Files, AC3DamagedFrame, testing::Values("tones_48000.ac3", "one.vob"),
                         FileParamName);

TEST(AC3In, StreamOfWhichNothingDecodesRaises) {
    TBytes bytes = ReadAll(Ac3Path("tones_48000.ac3"));
    constexpr size_t FrameBytes = 1792; // 448 kbit/s at 48 kHz
    ASSERT_EQ(bytes[FrameBytes], 0x0B);
    for (size_t at = 0; at + FrameBytes <= bytes.size(); at += FrameBytes)
        for (size_t i = at + 20; i < at + 400; ++i)
            bytes[i] = static_cast<uint8_t>(~bytes[i]);
    TMemoryStream stream(bytes);
    TAC3In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    in.Init();
    try {
        Drain(in);
        ADD_FAILURE() << "no error";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Error reading AC3 frame");
    }
    in.Flush();
}

// A cut inside the last frame drops it and reports data that ends early.
TEST(AC3In, IncompleteLastFrameIsReported) {
    const TBytes bytes = ReadAll(Ac3Path("tones_48000.ac3"));
    const TBytes full = Decode(bytes);
    TMemoryStream stream(TBytes(bytes.begin(), bytes.end() - 1000));
    TAC3In in;
    in.SetStream(&stream);
    ASSERT_TRUE(in.Valid());
    const TBytes out = DecodeAll(in);
    EXPECT_EQ(out.size(), full.size() - 1536 * 12);
    EXPECT_EQ(in.DamageCount(), 1u);
    EXPECT_EQ(in.Damage(dkCutShort).FirstFrame, static_cast<int64_t>(out.size() / 12));
}

class AC3Damaged : public testing::TestWithParam<const char*> {};

TEST_P(AC3Damaged, NeverCrashes) {
    for (auto& [what, bytes] : DamagedCopies(ReadAll(Ac3Path(GetParam())), "\x0B\x77")) {
        for (TAC3VOBStream stream : {acvStreamFirst, acvStreamSecond}) {
            TMemoryStream source(bytes);
            TAC3In in;
            in.SetVobAudioSubstream(stream);
            in.SetStream(&source);
            if (!in.Valid()) continue;
            try {
                in.Init();
                Drain(in, 9999);
            } catch (const EAuException& e) {
                EXPECT_STREQ(e.what(), "Error reading AC3 frame") << what; // nothing decoded
            }
            in.Flush();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, AC3Damaged, testing::Values("tones_48000.ac3", "two.vob"), FileParamName);

} // namespace
