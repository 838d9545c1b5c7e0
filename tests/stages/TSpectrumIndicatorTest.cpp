#include "stages/TSpectrumIndicator.h"

#include <gtest/gtest.h>

#include <cmath>

#include "pipeline/TEventHandler.h"
#include "stages/StageTestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::vector<uint8_t> Silence(uint32_t Bits, size_t Samples) {
    uint32_t size = Bits / 8;
    return std::vector<uint8_t>(Samples * size, Bits == 8 ? 128 : 0);
}

// Full-scale 16-bit mono sine at a quarter of the sample rate: 0, +max, 0, -max, ...
std::vector<uint8_t> QuarterRateSine(size_t Frames) {
    std::vector<uint8_t> v(Frames * 2);
    for (size_t i = 0; i < Frames; ++i) {
        int16_t s = static_cast<int16_t>(std::lround(32767 * std::sin(2 * M_PI * double(i) / 4)));
        v[2 * i] = static_cast<uint8_t>(s & 0xFF);
        v[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
    }
    return v;
}

class SpectrumIndicatorTest : public testing::Test {
protected:
    void SetUp() override { AcquireEventHandler(); }
    void TearDown() override {
        Indicator.reset();
        ReleaseEventHandler();
    }

    void Attach(TMemorySource& Source, uint32_t Interval) {
        Indicator = std::make_unique<TSpectrumIndicator>();
        Indicator->SetInterval(Interval);
        Indicator->SetOnGainData([this, self = Indicator.get()](TComponent* Sender) {
            EXPECT_EQ(Sender, self);
            ++Events;
        });
        Indicator->SetInput(&Source);
        Indicator->Init();
    }

    // Requests of Bytes each; returns the bytes handed on.
    int64_t Pull(int Requests, uint32_t Bytes) {
        int64_t total = 0;
        for (int i = 0; i < Requests; ++i) {
            uint8_t* data = nullptr;
            uint32_t bytes = Bytes;
            Indicator->GetData(data, bytes);
            total += bytes;
        }
        return total;
    }

    // Every event posted so far has been delivered.
    void DeliverEvents() {
        ASSERT_TRUE(WaitUntil([] { return EventHandler()->QueuedEvents() == 0; }));
        EventHandler()->WaitWhileDelivering(Indicator.get());
    }

    std::unique_ptr<TSpectrumIndicator> Indicator;
    int Events = 0;
};

} // namespace

struct SilenceCase {
    uint32_t Bits;
    uint32_t Channels;
};

class IndicatorSilence : public SpectrumIndicatorTest, public testing::WithParamInterface<SilenceCase> {};

TEST_P(IndicatorSilence, DigitalSilenceIsMinus40InEveryBand) {
    auto [bits, channels] = GetParam();
    TMemorySource src(channels, bits, 44100, Silence(bits, 1536 * 8));
    Attach(src, 1);
    Pull(4, 1536 * bits / 8);
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_FLOAT_EQ(Indicator->GetLevel(k), -40.0f) << "band " << k;
}

INSTANTIATE_TEST_SUITE_P(SampleSizes, IndicatorSilence,
                         testing::Values(SilenceCase{8, 1}, SilenceCase{16, 2}, SilenceCase{24, 2},
                                         SilenceCase{32, 6}));

TEST_F(SpectrumIndicatorTest, QuarterRateSineLightsBandFour) {
    TMemorySource src(1, 16, 44100, QuarterRateSine(768 * 4));
    Attach(src, 1);
    Pull(4, 768 * 2);
    EXPECT_NEAR(Indicator->GetLevel(4), 114.6f, 0.3f);
    for (uint32_t k : {0u, 1u, 2u, 3u, 5u, 6u, 7u}) {
        EXPECT_GE(Indicator->GetLevel(k), -31.0f) << "band " << k;
        EXPECT_LE(Indicator->GetLevel(k), -25.0f) << "band " << k;
    }
    EXPECT_EQ(Indicator->GetLevel(8), 0.0f);
}

struct IntervalCase {
    uint32_t Interval;
    int Requests;
    int Events;
};

class IndicatorInterval : public SpectrumIndicatorTest, public testing::WithParamInterface<IntervalCase> {};

// 3072 bytes of 16-bit stereo are 768 frames, 1741 units of 10 microseconds at 44.1 kHz.
// Each request's event is delivered before the next request, so none is merged.
TEST_P(IndicatorInterval, OneEventPerIntervalOfAudio) {
    auto [interval, requests, events] = GetParam();
    TMemorySource src(2, 16, 44100, Silence(16, 1536 * 20));
    Attach(src, interval);
    for (int i = 0; i < requests; ++i) {
        EXPECT_EQ(Pull(1, 3072), 3072);
        DeliverEvents();
    }
    EXPECT_EQ(Events, events);
}

// While the GUI thread is busy, updates whose event is still queued post no more: a burst
// reaches the handler once or twice (one event may already be in delivery), and the last
// handler that runs reads the last update's levels.
TEST_F(SpectrumIndicatorTest, UpdatesWhileAnEventWaitsAreMergedIntoIt) {
    std::vector<uint8_t> pcm = Silence(16, 768 * 4);
    std::vector<uint8_t> sine = QuarterRateSine(768 * 2);
    pcm.insert(pcm.end(), sine.begin(), sine.end());
    TMemorySource src(1, 16, 44100, pcm);
    Attach(src, 1);
    float seen = 0;
    Indicator->SetOnGainData([&](TComponent*) {
        ++Events;
        seen = Indicator->GetLevel(4);
    });
    // This thread is the GUI thread: nothing is delivered until it pumps.
    EXPECT_EQ(Pull(6, 768 * 2), 768 * 2 * 6);
    EXPECT_LE(EventHandler()->QueuedEvents(), 1u);
    DeliverEvents();
    EXPECT_GE(Events, 1);
    EXPECT_LE(Events, 2);
    EXPECT_NEAR(seen, 114.6f, 0.3f);
}

INSTANTIATE_TEST_SUITE_P(Intervals, IndicatorInterval,
                         testing::Values(IntervalCase{1, 5, 5}, IntervalCase{100, 5, 0},
                                         IntervalCase{100, 6, 1}, IntervalCase{100, 12, 2}));

TEST_F(SpectrumIndicatorTest, RequestsAreLimitedTo1536SamplesAndPassedOnUntouched) {
    TMemorySource src(2, 16, 44100, Silence(16, 1536 * 4));
    Attach(src, 100);
    uint8_t* data = nullptr;
    uint32_t bytes = 100000;
    Indicator->GetData(data, bytes);
    EXPECT_EQ(bytes, 3072u);
    EXPECT_EQ(data, src.Base()); // the input's own buffer
    Indicator->GetData(data, bytes);
    EXPECT_EQ(data, src.Base() + 3072);
    EXPECT_EQ(Indicator->Position(), 6144);
}

// Some decoders do real work to answer for their format (a FLAC input refreshes its tags):
// the indicator asks once per run, not once per request of the output's worker.
TEST_F(SpectrumIndicatorTest, AsksItsInputForTheFormatOncePerRun) {
    struct TCountingSource : TMemorySource {
        using TMemorySource::TMemorySource;
        int Asks = 0;
        uint32_t GetChannels() override { return ++Asks, TMemorySource::GetChannels(); }
        uint32_t GetSampleRate() override { return ++Asks, TMemorySource::GetSampleRate(); }
    } src(2, 16, 44100, Silence(16, 1536 * 20));
    Attach(src, 1);
    const int atInit = src.Asks;
    EXPECT_EQ(Pull(20, 3072), 20 * 3072);
    EXPECT_EQ(src.Asks, atInit);
    EXPECT_FLOAT_EQ(Indicator->GetLevel(3), -40.0f); // the silence was analysed
}

// Only whole 16-frame blocks are analysed: 20 frames with a loud tail after frame 16 read as
// silence; 15 frames analyse nothing, so the levels keep their start value.
TEST_F(SpectrumIndicatorTest, OnlyWholeBlocksAreAnalysed) {
    std::vector<uint8_t> data = Silence(16, 20);
    for (size_t i = 16; i < 20; ++i)
        data[2 * i + 1] = (i % 2) ? 0x7F : 0x80;
    TMemorySource src(1, 16, 44100, data);
    Attach(src, 0);
    Pull(1, 40);
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_FLOAT_EQ(Indicator->GetLevel(k), -40.0f) << "band " << k;
    DeliverEvents();

    TMemorySource shortSrc(1, 16, 44100, Silence(16, 15));
    Attach(shortSrc, 0);
    Pull(1, 30);
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_EQ(Indicator->GetLevel(k), 0.0f) << "band " << k;
    DeliverEvents();
    EXPECT_EQ(Events, 2); // an update without blocks still posts its event
}

// A run stopped in the middle of an interval leaves no sums behind for the next run.
TEST_F(SpectrumIndicatorTest, NewRunStartsWithEmptySums) {
    std::vector<uint8_t> data = QuarterRateSine(768 * 3);
    std::vector<uint8_t> quiet = Silence(16, 768 * 10);
    data.insert(data.end(), quiet.begin(), quiet.end());
    TMemorySource src(1, 16, 44100, data);
    Attach(src, 100);
    Pull(3, 1536); // loud, no update yet
    Indicator->Flush();
    Indicator->Init(); // restarts the source: skip its loud part
    uint8_t* skip = nullptr;
    uint32_t n = 1536 * 3;
    src.GetData(skip, n);
    Pull(6, 1536); // silence, one update
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_FLOAT_EQ(Indicator->GetLevel(k), -40.0f) << "band " << k;
}
