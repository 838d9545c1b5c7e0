#pragma once
// Inputs and helpers for the stage tests.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestInputs.h"
#include "pipeline/EAuException.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuInput.h"
#include "pipeline/TMainThreadQueue.h"

namespace tarvio::test {

// Byte at offset P of a pseudo-random stream; Seed tells streams apart.
inline uint8_t StreamByte(int64_t P, uint32_t Seed = 0) {
    uint64_t x = static_cast<uint64_t>(P) * 0x9E3779B97F4A7C15ull + Seed * 0xD1B54A32D192ED03ull;
    return static_cast<uint8_t>((x ^ (x >> 29)) >> 24);
}

// A source with a scripted stream: Length bytes of StreamByte (Length < 0: endless), in
// pieces of at most Chunk bytes, reporting Size as given. Counts what it delivers;
// _Jump(Offs) moves the stream by Offs * JumpUnit bytes; raises ThrowMessage once
// ThrowAt bytes have been delivered.
class TScriptedSource : public TAuInput {
public:
    TScriptedSource(uint32_t Channels, uint32_t Bits, int64_t ReportedSize, int64_t Length, uint32_t Seed = 0)
        : Chan(Channels), Bits(Bits), ReportedSize(ReportedSize), Length(Length), Seed(Seed) {}

    const uint32_t Chan, Bits;
    const int64_t ReportedSize, Length;
    const uint32_t Seed;
    uint32_t Chunk = 0x10000;
    int64_t JumpUnit = 4000;
    int64_t ThrowAt = -1;
    std::string ThrowMessage = "decoder broke";

    int64_t Delivered() const { return FDelivered; }
    int64_t Offset() const { return FOffset; }
    int Jumps() const { return FJumps; }
    int64_t JumpTarget() const { return FJumpTarget; } // offset reached by the last jump

    void _Jump(int32_t Offs) override {
        TAuInputLock lock(*this);
        ++FJumps;
        FOffset = std::max<int64_t>(0, FOffset + Offs * JumpUnit);
        FPosition = FOffset.load();
        FJumpTarget = FOffset.load();
    }

protected:
    uint32_t GetBitsPerSample() override { return Bits; }
    uint32_t GetChannels() override { return Chan; }
    uint32_t GetSampleRate() override { return 44100; }
    void InitInternal() override {
        FOffset = 0;
        FDelivered = 0;
        FPosition = 0;
        FSize = ReportedSize;
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        if (ThrowAt >= 0 && FDelivered >= ThrowAt) throw EAuException(ThrowMessage);
        int64_t left = Length < 0 ? INT64_MAX : Length - FOffset;
        uint32_t n = static_cast<uint32_t>(std::max<int64_t>(0, std::min<int64_t>({Bytes, Chunk, left})));
        FBuf.resize(Chunk);
        for (uint32_t i = 0; i < n; ++i)
            FBuf[i] = StreamByte(FOffset + i, Seed);
        FOffset += n;
        FDelivered += n;
        FPosition += n;
        Bytes = n;
        Buffer = n ? FBuf.data() : nullptr;
    }

private:
    std::vector<uint8_t> FBuf;
    std::atomic<int64_t> FOffset{0};
    std::atomic<int64_t> FDelivered{0};
    std::atomic<int> FJumps{0};
    std::atomic<int64_t> FJumpTarget{0};
};

// A source that hands out its own copy of Data (at most the bytes asked for per call) and
// remembers where its buffer is.
class TMemorySource : public TAuInput {
public:
    TMemorySource(uint32_t Channels, uint32_t Bits, uint32_t Rate, std::vector<uint8_t> Data)
        : Chan(Channels), Bits(Bits), Rate(Rate), Data(std::move(Data)) {}

    const uint32_t Chan, Bits, Rate;
    const std::vector<uint8_t> Data;
    const uint8_t* Base() const { return Data.data(); }

protected:
    uint32_t GetBitsPerSample() override { return Bits; }
    uint32_t GetChannels() override { return Chan; }
    uint32_t GetSampleRate() override { return Rate; }
    void InitInternal() override {
        FPosition = 0;
        FSize = static_cast<int64_t>(Data.size());
        FAt = 0;
        Busy = true;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        Bytes = static_cast<uint32_t>(std::min<size_t>(Bytes, Data.size() - FAt));
        Buffer = Bytes ? const_cast<uint8_t*>(Data.data()) + FAt : nullptr;
        FAt += Bytes;
        FPosition += Bytes;
    }

private:
    size_t FAt = 0;
};

// A decoder of raw PCM files (format set by the test); an empty file is valid and has no data.
class TRawFileIn : public TRawPcmIn {
public:
    explicit TRawFileIn(TComponent* AOwner = nullptr, uint32_t Channels = 2, uint32_t Bits = 16)
        : TRawPcmIn(AOwner, Channels, Bits) {
        EmptyIsValid = true;
    }
};

// Waits for Done, pumping the GUI-thread queue (this is the GUI thread). The limit only
// keeps a broken build from hanging; it is not part of what a test checks.
inline bool WaitUntil(const std::function<bool()>& Done, int LimitMs = 30000) { return PumpUntil(Done, LimitMs); }

} // namespace tarvio::test
