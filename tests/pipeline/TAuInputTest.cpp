// The GetData contract and its three variants, Init/Flush life cycle, converters.

#include <gtest/gtest.h>

#include <deque>

#include "pipeline/EAuException.h"
#include "pipeline/TAuConverter.h"
#include "pipeline/TAuStreamedInput.h"
#include "support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// Returns the scripted byte counts one call at a time (0 once the script is used up).
struct Script {
    std::deque<uint32_t> Chunks;
    int Calls = 0;
    std::vector<uint8_t> Buf = std::vector<uint8_t>(1 << 16, 0x55);
    void Next(uint8_t*& Buffer, uint32_t& Bytes) {
        ++Calls;
        uint32_t n = Chunks.empty() ? 0 : Chunks.front();
        if (!Chunks.empty()) Chunks.pop_front();
        Bytes = std::min(Bytes, n);
        Buffer = Bytes ? Buf.data() : nullptr;
    }
};

class TScriptedStreamed : public TAuStreamedInput {
public:
    Script S;
    int64_t Size0 = -1;
    std::deque<uint32_t> Refill; // chunks put back at every seek (loop restart)
    int Seeks = 0;
    bool FailInit = false;
    using TAuStreamedInput::TAuStreamedInput;

protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return 44100; }
    void InitInternal() override {
        if (FailInit) throw std::runtime_error("cannot open the thing");
        FPosition = 0;
        FSize = Size0;
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override { S.Next(Buffer, Bytes); }
    bool SeekInternal(int64_t&) override {
        ++Seeks;
        S.Chunks = Refill;
        return true;
    }
};

class TScriptedConverter : public TAuConverter {
public:
    Script S;
    int64_t Size0 = -1;
    bool FailInit = false;
    using TAuConverter::TAuConverter;

protected:
    void InitInternal() override {
        if (FailInit) throw std::runtime_error("converter failed");
        FPosition = 0;
        FSize = Size0;
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override { S.Next(Buffer, Bytes); }
};

std::vector<uint32_t> Drain(TAuInput& In, uint32_t Ask, int MaxCalls = 20) {
    std::vector<uint32_t> got;
    for (int i = 0; i < MaxCalls; ++i) {
        uint8_t* b = nullptr;
        uint32_t n = Ask;
        In.GetData(b, n);
        got.push_back(n);
        if (n == 0) {
            EXPECT_EQ(b, nullptr);
            break;
        }
    }
    return got;
}

} // namespace

struct SizeCase {
    const char* Name;
    int64_t Size;
    std::deque<uint32_t> Chunks;
    std::vector<uint32_t> Streamed;  // what a streamed input delivers
    std::vector<uint32_t> Converter; // what a converter delivers
};

class GetDataVariants : public ::testing::TestWithParam<SizeCase> {};

TEST_P(GetDataVariants, TrimAndEndOfStream) {
    const SizeCase& c = GetParam();
    TScriptedStreamed s;
    s.Size0 = c.Size;
    s.S.Chunks = c.Chunks;
    s.Init();
    EXPECT_EQ(Drain(s, 100), c.Streamed);
    if (c.Size > 0) {
        EXPECT_LE(s.Position(), c.Size);
    }

    TScriptedConverter v;
    v.Size0 = c.Size;
    v.S.Chunks = c.Chunks;
    v.Init();
    EXPECT_EQ(Drain(v, 100), c.Converter);
    // After the end, no more hook calls.
    int calls = v.S.Calls;
    uint8_t* b = reinterpret_cast<uint8_t*>(1);
    uint32_t n = 100;
    v.GetData(b, n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(v.S.Calls, calls);
}

INSTANTIATE_TEST_SUITE_P(Cases, GetDataVariants,
                         ::testing::Values(
                             // Size reached exactly: streamed ends on that call (>=); a converter only sees
                             // the end when the next call exceeds the size (>).
                             SizeCase{"ExactSize", 200, {100, 100, 100}, {100, 100, 0}, {100, 100, 0}},
                             SizeCase{"ExactSizeThenHookEnds", 200, {100, 100}, {100, 100, 0}, {100, 100, 0}},
                             // A hook that delivers past the size: the surplus is cut.
                             SizeCase{"Surplus", 150, {100, 100, 100}, {100, 50, 0}, {100, 50, 0}},
                             // Unknown or zero size: only a 0-byte hook ends the stream.
                             SizeCase{"Unknown", -1, {100, 100}, {100, 100, 0}, {100, 100, 0}},
                             SizeCase{"ZeroSize", 0, {100, 100}, {100, 100, 0}, {100, 100, 0}},
                             SizeCase{"Empty", 300, {}, {0}, {0}}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(TAuInput, StreamedPositionIsSetBackToSize) {
    TScriptedStreamed s;
    s.Size0 = 150;
    s.S.Chunks = {100, 100};
    s.Init();
    Drain(s, 100);
    EXPECT_EQ(s.Position(), 150);
}

TEST(TAuInput, LoopStartsOverWithinTheSameCall) {
    TScriptedStreamed s;
    s.Size0 = 200;
    s.S.Chunks = {100, 100};
    s.Refill = {100, 100};
    s.SetLoop(true);
    s.Init();
    auto got = Drain(s, 100, 9);
    EXPECT_EQ(got, std::vector<uint32_t>(9, 100u)); // never ends
    EXPECT_GE(s.Seeks, 3);

    // Data that is empty from its start ends even with Loop set.
    TScriptedStreamed empty;
    empty.SetLoop(true);
    empty.Init();
    EXPECT_EQ(Drain(empty, 100), std::vector<uint32_t>{0});
}

TEST(TAuInput, FailedInitRaisesWithTheHookMessageAndReadsEmpty) {
    TScriptedStreamed s;
    s.FailInit = true;
    s.S.Chunks = {100};
    try {
        s.Init();
        FAIL() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "cannot open the thing");
    }
    EXPECT_EQ(Drain(s, 100), std::vector<uint32_t>{0});
    EXPECT_EQ(s.S.Calls, 0);

    TScriptedConverter v;
    v.FailInit = true;
    EXPECT_THROW(v.Init(), EAuException);
    EXPECT_EQ(Drain(v, 100), std::vector<uint32_t>{0});
}

TEST(TAuInput, FillBufferAndCopyData) {
    struct Case {
        std::deque<uint32_t> Chunks;
        uint32_t BufferSize;
        uint32_t Copied;
        bool Eof;
    };
    for (const Case& c : {Case{{30, 30, 40}, 100, 100, false}, Case{{30, 20}, 100, 50, true}}) {
        TScriptedStreamed s;
        s.S.Chunks = c.Chunks;
        s.Init();
        std::vector<uint8_t> buf(c.BufferSize);
        bool eof = !c.Eof;
        EXPECT_EQ(s.FillBuffer(buf.data(), c.BufferSize, eof), c.Copied);
        EXPECT_EQ(eof, c.Eof);
    }
    TScriptedStreamed s;
    s.S.Chunks = {30};
    s.Init();
    uint8_t buf[64] = {};
    EXPECT_EQ(s.CopyData(buf, 64), 30u);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(s.CopyData(buf, 64), 0u);

    TScriptedStreamed u;
    u.S.Chunks = {10, 10};
    u.Init();
    bool eof = false;
    EXPECT_EQ(u.FillBufferUnprotected(nullptr, 10, eof), 0u);
    EXPECT_EQ(u.FillBufferUnprotected(buf, 64, eof), 20u);
    EXPECT_TRUE(eof);
    EXPECT_EQ(u.Position(), 20);
}

TEST(TAuConverter, FormatWithoutInputAndFloatBit) {
    TPassConverter c;
    EXPECT_EQ(c.BitsPerSample(), 0u);
    EXPECT_EQ(c.Channels(), 0u);
    EXPECT_EQ(c.SampleRate(), 0u);
    TRawPcmIn in(nullptr, 2, 16 | 128, 48000); // a float flag in bit 7
    TMemoryStream ms(Pattern(400));
    in.SetStream(&ms);
    c.SetInput(&in);
    EXPECT_EQ(c.BitsPerSample(), 16u);
    c.SetRequestFloat(true);
    EXPECT_EQ(c.BitsPerSample(), 16u | 128u);
    EXPECT_EQ(c.SampleRate(), 48000u);
    c.SetInput(&c); // itself: ignored
    EXPECT_EQ(c.Input(), &in);
}

TEST(TAuConverter, SwitchingInputWhileBusyRestartsFromTheNewOne) {
    TMemoryStream a(Pattern(4000)), b(Pattern(4000, 1000000));
    TRawPcmIn ina, inb;
    ina.SetStream(&a);
    inb.SetStream(&b);
    TPassConverter c;
    c.SetInput(&ina);
    c.Init();
    uint8_t* p = nullptr;
    uint32_t n = 8;
    c.GetData(p, n);
    EXPECT_EQ(p[0], PatternByte(0));
    c.SetInput(&inb);
    EXPECT_FALSE(ina.IsBusy());
    EXPECT_TRUE(inb.IsBusy());
    n = 8;
    c.GetData(p, n);
    EXPECT_EQ(p[0], PatternByte(1000000));
    // To none while busy: the old input is flushed and the stream ends.
    c.SetInput(nullptr);
    EXPECT_FALSE(inb.IsBusy());
    n = 8;
    c.GetData(p, n);
    EXPECT_EQ(n, 0u);
    c.Flush();
}

TEST(TAuConverter, DestroyingTheInputClearsIt) {
    TComponent owner;
    auto* conv = new TPassConverter(&owner);
    auto* in = new TRawPcmIn(&owner);
    conv->SetInput(in);
    delete in;
    EXPECT_EQ(conv->Input(), nullptr);
}

TEST(TAuInput, ResetEndsIdleEvenWhenFlushFails) {
    struct TBadFlush : TScriptedStreamed {
        void FlushInternal() override { throw std::runtime_error("flush failed"); }
    } s;
    s.Init();
    EXPECT_TRUE(s.IsBusy());
    EXPECT_THROW(s.Flush(), std::runtime_error);
    EXPECT_NO_THROW(s.Reset());
    EXPECT_FALSE(s.IsBusy());
}
