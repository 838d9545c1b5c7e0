#include "stages/TReplayGain.h"

#include "StageTestInputs.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace tarvio;
using namespace tarvio::test;

namespace {

double Db(double Factor) {
    return 20.0 * std::log10(Factor);
}

TReplayGainTags Tags(std::optional<double> TrackGain, std::optional<double> TrackPeak,
                     std::optional<double> AlbumGain = {}, std::optional<double> AlbumPeak = {}) {
    TReplayGainTags t;
    t.TrackGain = TrackGain;
    t.TrackPeak = TrackPeak;
    t.AlbumGain = AlbumGain;
    t.AlbumPeak = AlbumPeak;
    return t;
}

struct TFactorCase {
    const char* Name;
    TReplayGainMode Mode;
    double PreampDb;
    TReplayGainTags Tags;
    double WantDb;
};

class ReplayGainFactor : public testing::TestWithParam<TFactorCase> {};

TEST_P(ReplayGainFactor, FollowsTheModeAndThePeak) {
    const TFactorCase& c = GetParam();
    EXPECT_NEAR(Db(TReplayGain::Factor(c.Mode, c.PreampDb, c.Tags)), c.WantDb, 1e-9);
}

using M = TReplayGainMode;
INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayGainFactor,
    testing::Values(TFactorCase{"off_ignores_tags_and_preamp", M::rgOff, -6, Tags(-3, 0.5), 0},
                    TFactorCase{"track", M::rgTrack, -6, Tags(-3.5, 0.5, -8, 0.9), -3.5},
                    TFactorCase{"album", M::rgAlbum, -6, Tags(-3.5, 0.5, -8, 0.9), -8},
                    TFactorCase{"album_without_album_gain_takes_track", M::rgAlbum, 0, Tags(-2, {}), -2},
                    TFactorCase{"track_without_track_gain_takes_album", M::rgTrack, 0, Tags({}, {}, -4, {}),
                                -4},
                    // +10 dB would take a peak of 0.5 to 1.58: capped at 1/0.5, +6.02 dB.
                    TFactorCase{"peak_limits_a_raise", M::rgTrack, 0, Tags(10, 0.5), Db(2.0)},
                    TFactorCase{"peak_above_full_scale_lowers", M::rgTrack, 0, Tags(0, 1.25), Db(0.8)},
                    TFactorCase{"untagged_plays_at_preamp", M::rgTrack, -4.5, Tags({}, {}), -4.5},
                    TFactorCase{"a_peak_alone_is_no_gain_tag", M::rgTrack, -1, Tags({}, 0.25), -1},
                    TFactorCase{"absurd_gain_is_held_at_60_db", M::rgTrack, 0, Tags(-500, {}), -60}),
    [](const testing::TestParamInfo<TFactorCase>& i) { return std::string(i.param.Name); });

// Little-endian samples of Bits bits.
std::vector<uint8_t> Pack(const std::vector<int32_t>& Samples, uint32_t Bits) {
    std::vector<uint8_t> out;
    for (int32_t s : Samples)
        for (uint32_t b = 0; b < Bits / 8; ++b)
            out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(s) >> (8 * b)));
    return out;
}

std::vector<int32_t> Unpack(const std::vector<uint8_t>& Bytes, uint32_t Bits) {
    std::vector<int32_t> out;
    const uint32_t n = Bits / 8;
    for (size_t i = 0; i + n <= Bytes.size(); i += n) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < n; ++b)
            v |= static_cast<uint32_t>(Bytes[i + b]) << (8 * b);
        if (Bits < 32 && (v >> (Bits - 1)) & 1) v |= ~0u << Bits;
        out.push_back(static_cast<int32_t>(v));
    }
    return out;
}

// A stereo sine of Frames frames at Level (1.0 = full scale).
std::vector<int32_t> Sine(uint32_t Bits, double Level, size_t Frames) {
    const double full = std::ldexp(1.0, static_cast<int>(Bits) - 1) - 1;
    std::vector<int32_t> out;
    for (size_t i = 0; i < Frames; ++i) {
        const auto v =
            static_cast<int32_t>(std::lrint(full * Level * std::sin(2 * M_PI * 997.0 * i / 44100.0)));
        out.push_back(v);
        out.push_back(-v);
    }
    return out;
}

// Pulls the stage to the end; Buffers gets the buffer of each data call.
std::vector<uint8_t> PullAll(TReplayGain& Stage, std::vector<const uint8_t*>* Buffers = nullptr) {
    std::vector<uint8_t> out;
    Stage.Init();
    for (;;) {
        uint8_t* data = nullptr;
        uint32_t bytes = 10000; // not a multiple of a 24-bit stereo frame
        Stage.GetData(data, bytes);
        if (bytes == 0) break;
        if (Buffers) Buffers->push_back(data);
        out.insert(out.end(), data, data + bytes);
    }
    Stage.Flush();
    return out;
}

double Rms(const std::vector<int32_t>& S) {
    double sum = 0;
    for (int32_t v : S)
        sum += static_cast<double>(v) * v;
    return std::sqrt(sum / static_cast<double>(S.size()));
}

struct TScaleCase {
    const char* Name;
    uint32_t Bits;
    double Level;  // of the input sine
    double GainDb; // a track gain tag, no peak
    double Slack;  // allowed distance from the exact product, in LSB
};

class ReplayGainScaling : public testing::TestWithParam<TScaleCase> {};

TEST_P(ReplayGainScaling, ScalesEverySampleAndSaturates) {
    const TScaleCase& c = GetParam();
    const std::vector<int32_t> in = Sine(c.Bits, c.Level, 20000);
    TMemorySource source(2, c.Bits, 44100, Pack(in, c.Bits));
    TReplayGain stage;
    stage.SetMode(M::rgTrack);
    stage.SetTags(Tags(c.GainDb, {}));
    stage.SetInput(&source);
    const std::vector<int32_t> out = Unpack(PullAll(stage), c.Bits);
    ASSERT_EQ(out.size(), in.size());
    const double factor = std::pow(10.0, c.GainDb / 20.0);
    const double lo = -std::ldexp(1.0, static_cast<int>(c.Bits) - 1), hi = -lo - 1;
    for (size_t i = 0; i < in.size(); ++i) {
        const double want = std::clamp(in[i] * factor, lo, hi);
        ASSERT_LE(std::fabs(out[i] - want), c.Slack) << "sample " << i << " of " << in[i];
    }
    if (c.Level * factor < 1.0) {
        EXPECT_NEAR(Db(Rms(out) / Rms(in)), c.GainDb, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ReplayGainScaling,
    testing::Values(
        // Lowering 16-bit audio adds TPDF dither: up to 1 LSB beside rounding.
        // Rounding is to the nearest value, 16-bit ones in single precision.
        TScaleCase{"lower_16", 16, 0.5, -6.0, 1.51}, TScaleCase{"lower_24", 24, 0.5, -6.0, 0.5},
        TScaleCase{"raise_16", 16, 0.25, 6.0, 0.51}, TScaleCase{"lower_32", 32, 0.5, -3.0, 1.0},
        // 0.9 raised by 6 dB is beyond full scale: held there, never wrapped.
        TScaleCase{"raise_past_full_scale_16", 16, 0.9, 6.0, 0.51},
        TScaleCase{"raise_past_full_scale_24", 24, 0.9, 6.0, 0.5}),
    [](const testing::TestParamInfo<TScaleCase>& i) { return std::string(i.param.Name); });

TEST(ReplayGain, LoweringSixteenBitSilenceLeavesOnlyTheDither) {
    TMemorySource source(2, 16, 44100, std::vector<uint8_t>(40000, 0));
    TReplayGain stage;
    stage.SetMode(M::rgTrack);
    stage.SetTags(Tags(-3, {}));
    stage.SetInput(&source);
    const std::vector<int32_t> out = Unpack(PullAll(stage), 16);
    int nonZero = 0;
    for (int32_t v : out) {
        ASSERT_LE(std::abs(v), 1);
        nonZero += v != 0;
    }
    // Triangular noise of +-1 LSB rounds to a non-zero value a quarter of the time.
    EXPECT_NEAR(nonZero / static_cast<double>(out.size()), 0.25, 0.03);
}

TEST(ReplayGain, UnityGainAndOtherFormatsPassTheInputsOwnBuffer) {
    for (const auto& [bits, gain] : {std::pair{16u, 0.0}, std::pair{8u, -6.0}}) {
        TMemorySource source(2, bits, 44100, std::vector<uint8_t>(4000, 0x55));
        TReplayGain stage;
        stage.SetMode(M::rgTrack);
        stage.SetTags(Tags(gain, {}));
        stage.SetInput(&source);
        std::vector<const uint8_t*> buffers;
        EXPECT_EQ(PullAll(stage, &buffers), source.Data) << bits << " bits";
        ASSERT_FALSE(buffers.empty());
        EXPECT_EQ(buffers.front(), source.Base()) << bits << " bits";
    }
}

} // namespace
