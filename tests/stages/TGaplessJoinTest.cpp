#include "stages/TGaplessJoin.h"

#include <gtest/gtest.h>

#include <memory>

#include "pipeline/TEventHandler.h"
#include "stages/StageTestInputs.h"
#include "stages/TAudioCache.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::vector<uint8_t> Bytes(size_t N, uint32_t Seed) {
    std::vector<uint8_t> data(N);
    for (size_t i = 0; i < N; ++i)
        data[i] = StreamByte(static_cast<int64_t>(i), Seed);
    return data;
}

// A source that cannot start: its file went away after it was opened.
class TFailingSource : public TMemorySource {
public:
    using TMemorySource::TMemorySource;

protected:
    void InitInternal() override { throw EAuException("file is gone"); }
};

// Reads Input to its end in requests of Request bytes.
std::vector<uint8_t> ReadAll(TAuInput& Input, uint32_t Request = 3000) {
    std::vector<uint8_t> out;
    for (;;) {
        uint8_t* data = nullptr;
        uint32_t bytes = Request;
        Input.GetData(data, bytes);
        if (bytes == 0) return out;
        out.insert(out.end(), data, data + bytes);
    }
}

struct NextCase {
    const char* Name;
    uint32_t Channels, Bits, Rate;
    bool FailsToStart;
    bool Joins;
};

class GaplessJoinNext : public testing::TestWithParam<NextCase> {};

} // namespace

// The named input follows the current one in the same stream only when it can: same
// format, and it starts. Otherwise the stream ends with the current input and the named
// one is handed back untouched.
TEST_P(GaplessJoinNext, FollowsOnlyAnInputOfTheSameFormatThatStarts) {
    const NextCase c = GetParam();
    const std::vector<uint8_t> first = Bytes(10004, 1), second = Bytes(7000, 2);
    TMemorySource a(2, 16, 44100, first);
    std::unique_ptr<TMemorySource> b =
        c.FailsToStart ? std::make_unique<TFailingSource>(c.Channels, c.Bits, c.Rate, second)
                       : std::make_unique<TMemorySource>(c.Channels, c.Bits, c.Rate, second);
    TGaplessJoin join;
    join.SetInput(&a);
    join.Init();
    EXPECT_EQ(join.SetNext(b.get()), nullptr);
    const std::vector<uint8_t> got = ReadAll(join);

    std::vector<uint8_t> expected = first;
    if (c.Joins) expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
    const auto joint = join.TakeJoint();
    ASSERT_EQ(joint.has_value(), c.Joins);
    if (c.Joins) {
        EXPECT_EQ(joint->From, &a);
        EXPECT_EQ(joint->To, b.get());
        EXPECT_EQ(joint->Position, static_cast<int64_t>(first.size()));
        EXPECT_FALSE(a.IsBusy()) << "the ended input is flushed at the joint";
        EXPECT_EQ(join.ClearNext(), nullptr);
        EXPECT_EQ(join.Input(), b.get());
    } else {
        EXPECT_EQ(join.ClearNext(), b.get());
        EXPECT_EQ(join.Input(), &a);
    }
    EXPECT_FALSE(join.TakeJoint().has_value());
    join.Flush();
    EXPECT_FALSE(a.IsBusy());
    EXPECT_FALSE(b->IsBusy());
}

INSTANTIATE_TEST_SUITE_P(Cases, GaplessJoinNext,
                         testing::Values(NextCase{"SameFormat", 2, 16, 44100, false, true},
                                         NextCase{"OtherRate", 2, 16, 48000, false, false},
                                         NextCase{"OtherChannels", 1, 16, 44100, false, false},
                                         NextCase{"OtherWidth", 2, 24, 44100, false, false},
                                         NextCase{"FailsToStart", 2, 16, 44100, true, false}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(GaplessJoin, EndsWithTheCurrentInputWhenNoneIsNamed) {
    const std::vector<uint8_t> data = Bytes(5000, 3);
    TMemorySource a(2, 16, 44100, data);
    TGaplessJoin join;
    join.SetInput(&a);
    join.Init();
    EXPECT_EQ(ReadAll(join), data);
    EXPECT_FALSE(join.TakeJoint().has_value());
    join.Flush();
}

// Behind the audio cache, whose fill thread reads the join far ahead while the owner names
// each next input only when the previous joint is reported: three tracks come out as one
// stream.
TEST(GaplessJoin, ThreeTracksThroughTheCacheMakeOneStream) {
    AcquireEventHandler();
    std::vector<std::vector<uint8_t>> tracks = {Bytes(300004, 4), Bytes(200000, 5), Bytes(123456, 6)};
    std::vector<std::unique_ptr<TMemorySource>> sources;
    for (const auto& t : tracks)
        sources.push_back(std::make_unique<TMemorySource>(2, 16, 44100, t));
    {
        TGaplessJoin join;
        TAudioCache cache;
        size_t named = 1;
        join.SetOnJoint([&](TComponent*) {
            while (join.TakeJoint()) {
                if (named < sources.size()) join.SetNext(sources[named++].get());
                if (named == sources.size()) join.ExpectNext(false);
            }
        });
        join.SetInput(sources[0].get());
        join.SetNext(sources[named++].get());
        join.ExpectNext(true); // the owner names the third track only after the first joint
        cache.SetInput(&join);
        cache.Init();
        std::vector<uint8_t> got;
        ASSERT_TRUE(WaitUntil([&] {
            uint8_t* data = nullptr;
            uint32_t bytes = 40000;
            cache.GetData(data, bytes);
            if (bytes == 0) return true;
            got.insert(got.end(), data, data + bytes);
            return false;
        }));
        cache.Flush();
        std::vector<uint8_t> expected;
        for (const auto& t : tracks)
            expected.insert(expected.end(), t.begin(), t.end());
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
    ReleaseEventHandler();
}

// An owner that expected to name a next input and then stops expecting one (the player
// stops) releases the reader at once, not after the wait limit.
TEST(GaplessJoin, WithdrawnExpectationEndsTheWaitAtOnce) {
    const std::vector<uint8_t> data = Bytes(5000, 7);
    TMemorySource a(2, 16, 44100, data);
    TGaplessJoin join;
    join.SetInput(&a);
    join.ExpectNext(true);
    join.Init();
    std::thread owner([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        join.ExpectNext(false);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(join), data);
    EXPECT_LT(std::chrono::steady_clock::now() - start, TGaplessJoin::NextWaitLimit / 2);
    owner.join();
    join.Flush();
}
