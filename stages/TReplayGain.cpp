#include "stages/TReplayGain.h"

#include <algorithm>
#include <cmath>

namespace tarvio {

TReplayGain::TReplayGain(TComponent* AOwner)
    : TAuConverter(AOwner), FBuf(std::make_unique<uint8_t[]>(BufSize)) {}

TReplayGain::~TReplayGain() = default;

void TReplayGain::SetMode(TReplayGainMode Value) {
    FMode = Value;
    FFactor = Factor(FMode, FPreampDb, FTags);
}

void TReplayGain::SetPreampDb(double Value) {
    FPreampDb = Value;
    FFactor = Factor(FMode, FPreampDb, FTags);
}

void TReplayGain::SetTags(const TReplayGainTags& Value) {
    FTags = Value;
    FFactor = Factor(FMode, FPreampDb, FTags);
}

double TReplayGain::Factor(TReplayGainMode Mode, double PreampDb, const TReplayGainTags& Tags) {
    if (Mode == TReplayGainMode::rgOff) return 1.0;
    const bool album = Mode == TReplayGainMode::rgAlbum;
    std::optional<double> gain = album ? Tags.AlbumGain : Tags.TrackGain;
    std::optional<double> peak = album ? Tags.AlbumPeak : Tags.TrackPeak;
    if (!gain) { // the other kind, when the file has only that
        gain = album ? Tags.TrackGain : Tags.AlbumGain;
        peak = album ? Tags.TrackPeak : Tags.AlbumPeak;
    }
    // Gains beyond +-60 dB are no real tags; they are taken as the limit.
    double factor = std::pow(10.0, std::clamp(gain ? *gain : PreampDb, -60.0, 60.0) / 20.0);
    if (gain && peak && *peak > 0) factor = std::min(factor, 1.0 / *peak);
    return factor;
}

void TReplayGain::InitInternal() {
    Busy = true;
    FPosition = 0;
    TAuInput* in = FInput;
    if (in) in->Init();
    FBits = in ? in->BitsPerSample() : 0;
    FFrameBytes = in ? (FBits / 8) * in->Channels() : 0;
    FRunFactor = FFactor;
    FDither = FRunFactor < 1.0;
    FSize = in ? in->Size() : 0;
    FSeekable = in && in->Seekable();
}

void TReplayGain::_Jump(int32_t Offs) {
    TAuInputLock lock(*this);
    TAuConverter::_Jump(Offs);
    if (TAuInput* in = FInput; in && Busy) FPosition = in->Position();
}

void TReplayGain::FlushInternal() {
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TReplayGain::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    TAuInput* in = FInput;
    if (!in) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const bool scale = FRunFactor != 1.0 && (FBits == 16 || FBits == 24 || FBits == 32) && FFrameBytes > 0;
    if (!scale) {
        in->GetData(Buffer, Bytes);
        return;
    }
    const uint32_t most = BufSize - BufSize % FFrameBytes;
    if (Bytes > most) Bytes = most;
    if (Bytes >= FFrameBytes) Bytes -= Bytes % FFrameBytes; // samples never split across calls
    uint8_t* data = nullptr;
    in->GetData(data, Bytes);
    if (!data || Bytes == 0) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const uint32_t sampleBytes = FBits / 8;
    const uint32_t samples = Bytes / sampleBytes;
    if (FBits == 16)
        Scale16(data, FBuf.get(), samples);
    else if (FBits == 24)
        Scale24(data, FBuf.get(), samples);
    else
        Scale32(data, FBuf.get(), samples);
    // A partial sample at the end (no decoder sends one) passes as it came.
    std::copy(data + samples * sampleBytes, data + Bytes, FBuf.get() + samples * sampleBytes);
    Buffer = FBuf.get();
}

float TReplayGain::Random() {
    FRandom ^= FRandom << 13;
    FRandom ^= FRandom >> 17;
    FRandom ^= FRandom << 5;
    return static_cast<float>(FRandom >> 8) * (1.0f / 16777216.0f);
}

void TReplayGain::Scale16(const uint8_t* In, uint8_t* Out, uint32_t Samples) {
    const float factor = static_cast<float>(FRunFactor);
    for (uint32_t i = 0; i < Samples; ++i) {
        const int16_t s = static_cast<int16_t>(In[2 * i] | (In[2 * i + 1] << 8));
        float x = static_cast<float>(s) * factor;
        if (FDither) x += Random() - Random(); // triangular, -1 to +1 LSB
        const int32_t v = std::clamp(static_cast<int32_t>(std::lrint(x)), -32768, 32767);
        Out[2 * i] = static_cast<uint8_t>(v);
        Out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

void TReplayGain::Scale24(const uint8_t* In, uint8_t* Out, uint32_t Samples) {
    const double factor = FRunFactor;
    for (uint32_t i = 0; i < Samples; ++i) {
        const uint8_t* p = In + 3 * i;
        int32_t s = p[0] | (p[1] << 8) | (p[2] << 16);
        if (s & 0x800000) s -= 0x1000000;
        const int32_t v = static_cast<int32_t>(
            std::clamp(std::lrint(static_cast<double>(s) * factor), -8388608L, 8388607L));
        uint8_t* q = Out + 3 * i;
        q[0] = static_cast<uint8_t>(v);
        q[1] = static_cast<uint8_t>(v >> 8);
        q[2] = static_cast<uint8_t>(v >> 16);
    }
}

void TReplayGain::Scale32(const uint8_t* In, uint8_t* Out, uint32_t Samples) {
    const double factor = FRunFactor;
    for (uint32_t i = 0; i < Samples; ++i) {
        const uint8_t* p = In + 4 * i;
        const int32_t s =
            static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
        const double x = std::clamp(static_cast<double>(s) * factor, -2147483648.0, 2147483647.0);
        const int32_t v = static_cast<int32_t>(std::llrint(x));
        uint8_t* q = Out + 4 * i;
        for (int b = 0; b < 4; ++b)
            q[b] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
    }
}

} // namespace tarvio
