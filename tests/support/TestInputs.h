#pragma once
// Small inputs and helpers shared by tests.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/EAuException.h"
#include "pipeline/TAuConverter.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TMainThreadQueue.h"
#include "pipeline/TMemoryStream.h"

namespace tarvio::test {

// Byte i of a pattern stream.
inline uint8_t PatternByte(int64_t i) {
    return static_cast<uint8_t>((i * 7 + (i >> 8)) & 0xFF);
}

inline std::vector<uint8_t> Pattern(size_t Bytes, int64_t From = 0) {
    std::vector<uint8_t> v(Bytes);
    for (size_t i = 0; i < Bytes; ++i)
        v[i] = PatternByte(From + static_cast<int64_t>(i));
    return v;
}

// A decoder of raw PCM (format set by the test) read from the assigned stream or the
// named file. Delivers at most ChunkFrames frames per call.
class TRawPcmIn : public TAuFileIn {
public:
    explicit TRawPcmIn(TComponent* AOwner = nullptr, uint32_t Channels = 2, uint32_t Bits = 16,
                       uint32_t Rate = 44100)
        : TAuFileIn(AOwner), Chan(Channels), Bits(Bits), Rate(Rate) {}
    ~TRawPcmIn() override { CloseFile(); }

    uint32_t Chan, Bits, Rate;
    uint32_t ChunkFrames = 1000;
    bool CanSeek = true;
    bool EmptyIsValid = false; // an empty file is a valid file without data
    int OpenCount = 0;
    int64_t LastSeek = -1;

protected:
    void OpenFile() override {
        std::lock_guard<std::recursive_mutex> lock(OpenCS);
        if (FOpened > 0) return;
        ++OpenCount;
        OpenOwnStream();
        FOpened = 1;
        int64_t size = FStream->Size();
        FValid = size > 0 || EmptyIsValid;
        FBPS = Bits;
        FChan = Chan;
        FSR = Rate;
        FSize = size;
        FSeekable = CanSeek;
        FStream->Seek(0, TSeekOrigin::soBeginning);
    }
    void CloseFile() override {
        std::lock_guard<std::recursive_mutex> lock(OpenCS);
        if (FOpened <= 0) return;
        ReleaseOwnStream();
        FOpened = 0;
    }
    bool SeekInternal(int64_t& SampleNum) override {
        LastSeek = SampleNum;
        uint32_t frame = Chan * Bits / 8;
        return FStream->Seek(SampleNum * frame, TSeekOrigin::soBeginning) >= 0;
    }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        uint32_t frame = Chan * Bits / 8;
        uint32_t want = std::min<uint32_t>(Bytes, ChunkFrames * frame);
        want -= want % frame;
        Buf.resize(want);
        Bytes = static_cast<uint32_t>(FStream->Read(Buf.data(), static_cast<int32_t>(want)));
        Buffer = Bytes ? Buf.data() : nullptr;
    }

private:
    std::vector<uint8_t> Buf;
};

// A converter that passes its input's data through unchanged.
class TPassConverter : public TAuConverter {
public:
    using TAuConverter::TAuConverter;
    int Inits = 0;

protected:
    void InitInternal() override {
        ++Inits;
        Busy = true;
        FPosition = 0;
        if (TAuInput* in = FInput) {
            in->Init();
            FSize = in->Size();
        } else {
            FSize = 0;
        }
    }
    void FlushInternal() override {
        if (TAuInput* in = FInput) in->Flush();
        Busy = false;
    }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        TAuInput* in = FInput;
        if (!in) {
            Buffer = nullptr;
            Bytes = 0;
            return;
        }
        in->GetData(Buffer, Bytes);
    }
};

// The standard output of a shell command; empty when it cannot be started.
inline std::string CommandOutput(const std::string& Command) {
    std::string out;
    if (FILE* p = popen(Command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

// Runs CheckSynchronize on this (the GUI) thread until Done() or the time-out; returns Done().
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void PumpFor(int Ms) {
    PumpUntil([] { return false; }, Ms);
}

} // namespace tarvio::test
