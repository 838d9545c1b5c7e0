#pragma once
// A generated test signal as an input: Frames frames of a format chosen by the test,
// delivered in pieces of at most ChunkBytes. Can stall once (sleeping inside GetData)
// and records the jumps and pauses it is told of.

#include "pipeline/TAuInput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace tarvio::test {

class TToneIn : public TAuInput {
public:
    TToneIn(uint32_t Channels, uint32_t Bits, uint32_t Rate, uint32_t Frames)
        : FChannels(Channels), FBits(Bits), FRate(Rate), FData(size_t(Frames) * Channels * Bits / 8) {
        // A sawtooth per channel that never rests on the silence value.
        for (size_t i = 0; i < FData.size(); ++i)
            FData[i] = static_cast<uint8_t>(1 + (i * 37 + i / 251) % 253);
    }

    const std::vector<uint8_t>& Data() const { return FData; }

    uint32_t ChunkBytes = 4096;
    // The first read at or past StallAt bytes sleeps StallMs first.
    int64_t StallAt = -1;
    int StallMs = 0;
    std::atomic<int> Jumps{0};
    std::atomic<int32_t> LastJump{0};
    std::atomic<int> Pauses{0}, Resumes{0}, Flushes{0};
    std::atomic<int64_t> Delivered{0};

    void _Pause() override { ++Pauses; }
    void _Resume() override { ++Resumes; }
    void _Jump(int32_t Offs) override {
        TAuInputLock lock(*this);
        ++Jumps;
        LastJump = Offs;
        int64_t frame = FChannels * FBits / 8;
        int64_t to = FRead + int64_t(Offs) * int64_t(FData.size()) / 1000;
        FRead = std::clamp<int64_t>(to / frame * frame, 0, int64_t(FData.size()));
    }

protected:
    uint32_t GetBitsPerSample() override { return FBits; }
    uint32_t GetChannels() override { return FChannels; }
    uint32_t GetSampleRate() override { return FRate; }
    void InitInternal() override {
        FRead = 0;
        FPosition = 0;
        FSize = static_cast<int64_t>(FData.size());
        Busy = true;
    }
    void FlushInternal() override {
        ++Flushes;
        Busy = false;
    }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        if (StallAt >= 0 && FRead >= StallAt) {
            StallAt = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(StallMs));
        }
        int64_t left = int64_t(FData.size()) - FRead;
        Bytes = static_cast<uint32_t>(std::min<int64_t>({left, Bytes, ChunkBytes}));
        Buffer = Bytes ? FData.data() + FRead : nullptr;
        FRead += Bytes;
        FPosition += Bytes;
        Delivered += Bytes;
    }

private:
    uint32_t FChannels, FBits, FRate;
    std::vector<uint8_t> FData;
    int64_t FRead = 0;
};

} // namespace tarvio::test
