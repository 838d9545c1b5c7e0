#include "pipeline/TAuFileIn.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileStream.h"

namespace tarvio {

TAuFileIn::TAuFileIn(TComponent* AOwner) : TAuStreamedInput(AOwner) {
    for (auto& frame : FDamageFrames)
        frame = -1;
}

TAuFileIn::~TAuFileIn() = default;

void TAuFileIn::SetFileName(const std::string& Value) {
    CloseFile();
    FWideFileName = Value;
    FFileName = Value;
}

void TAuFileIn::SetWideFileName(const std::string& Value) {
    CloseFile();
    FWideFileName = Value;
    FFileName.clear();
}

void TAuFileIn::SetStreamInternal(TStream* Value) {
    CloseFile();
    TAuStreamedInput::SetStreamInternal(Value);
}

void TAuFileIn::OpenOwnStream() {
    if (FStreamAssigned) return;
    FOwnedStream = std::make_unique<TAuFileStream>(FWideFileName, fmOpenRead | fmShareDenyWrite);
    FStream = FOwnedStream.get();
}

void TAuFileIn::ReleaseOwnStream() {
    if (FStreamAssigned) return;
    FStream = nullptr;
    FOwnedStream.reset();
}

bool TAuFileIn::Valid() {
    if (!FStreamAssigned && FWideFileName.empty()) return FValid;
    try {
        OpenFile();
    } catch (...) {
        FValid = false;
    }
    if (FValid) return true;
    if (FOpened != 0) {
        try {
            CloseFile();
        } catch (...) {
        }
    } else {
        std::lock_guard<std::recursive_mutex> lock(OpenCS);
        ReleaseOwnStream();
    }
    return false;
}

std::string TAuFileIn::DecodeCheck() {
    if (Busy) return {};
    std::string error;
    try {
        Init();
        uint8_t* data = nullptr;
        uint32_t bytes = 1 << 16;
        GetData(data, bytes);
    } catch (const std::exception& e) {
        error = e.what();
    }
    try {
        Flush();
    } catch (...) {
    }
    return error;
}

uint32_t TAuFileIn::GetBitsPerSample() {
    OpenFile();
    return FBPS;
}

uint32_t TAuFileIn::GetChannels() {
    OpenFile();
    return FChan;
}

uint32_t TAuFileIn::GetSampleRate() {
    OpenFile();
    return FSR;
}

uint32_t TAuFileIn::GetTotalTime() {
    OpenFile();
    uint32_t sr = SampleRate(), ch = Channels(), bps = BitsPerSample();
    int64_t size = FSize;
    if (sr == 0 || ch == 0 || bps / 8 == 0 || size <= 0) return 0;
    const double seconds =
        std::nearbyint(static_cast<double>(size) / (static_cast<double>(sr) * ch * (bps / 8)));
    // A length no 32-bit count of seconds holds is no length at all.
    if (!(seconds >= 0 && seconds <= static_cast<double>(UINT32_MAX))) return 0;
    return static_cast<uint32_t>(seconds);
}

int64_t TAuFileIn::PlausibleSize(int64_t Frames, uint32_t Channels, uint32_t BitsPerSample,
                                 uint32_t SampleRate) {
    const int64_t frameBytes = int64_t{Channels} * (BitsPerSample / 8);
    int64_t bytes = 0;
    if (Frames < 0 || frameBytes <= 0 || __builtin_mul_overflow(Frames, frameBytes, &bytes)) return -1;
    if (SampleRate > 0 && Frames / SampleRate >= int64_t{UINT32_MAX}) return -1;
    return bytes;
}

uint32_t TAuFileIn::DamageCount() const {
    uint32_t total = 0;
    for (const auto& count : FDamageCounts)
        total += count;
    return total;
}

TDamage TAuFileIn::Damage(TDamageKind Kind) const {
    if (Kind >= dkCount) return {};
    return {FDamageCounts[Kind], FDamageFrames[Kind]};
}

const char* TAuFileIn::DamageText(TDamageKind Kind) {
    switch (Kind) {
    case dkLostSync:
        return "lost sync";
    case dkBadHeader:
        return "bad frame header";
    case dkChecksum:
        return "frame checksum mismatch";
    case dkUnparseable:
        return "undecodable frame";
    case dkHole:
        return "gap in the data";
    case dkBadLink:
        return "damaged stream section";
    case dkFormatChange:
        return "a section in another format";
    case dkBadFrame:
        return "bad frame";
    case dkCutShort:
        return "the data ends early";
    default:
        return "damage";
    }
}

void TAuFileIn::ReportDamage(TDamageKind Kind, int64_t Frame) {
    if (Kind >= dkCount) return;
    if (FDamageCounts[Kind]++ == 0) FDamageFrames[Kind] = Frame;
    int64_t none = -1;
    FFirstDamage.compare_exchange_strong(none, Frame);
}

int64_t TAuFileIn::NextFrame() const {
    return FStartSample + (FSampleSize ? FPosition / FSampleSize : 0);
}

int64_t TAuFileIn::GetTotalSamples() {
    OpenFile();
    uint32_t frame = (FChan * FBPS) / 8;
    FTotalSamples = (FSize > 0 && frame > 0) ? FSize / frame : -1;
    return FTotalSamples;
}

void TAuFileIn::InitInternal() {
    if (Busy) throw EAuException("The component is Busy");
    if (!FStreamAssigned && FWideFileName.empty()) throw EAuException("The file name is not assigned");
    Busy = true;
    FPosition = 0;
    FLoopRestartPending = false;
    FExpectAudio = false;
    for (size_t kind = 0; kind < dkCount; ++kind) {
        FDamageCounts[kind] = 0;
        FDamageFrames[kind] = -1;
    }
    FFirstDamage = -1;
    OpenFile();
    if (!FValid) {
        FSampleSize = 8;
        FSR = 8000;
        FBPS = 8;
        FChan = 1;
        FTotalSamples = 0;
        FSize = 0;
        FTime = 0;
        return;
    }
    FSampleSize = static_cast<uint16_t>((FChan * FBPS) / 8);
    FTotalSamples = FSampleSize ? FSize / FSampleSize : 0;
    FTime = FSR ? static_cast<uint32_t>(FTotalSamples / FSR) : 0;
    if (FStartSample > 0) {
        Seek(0);
        FPosition = 0;
    }
    if (FStartSample > 0 || FEndSample != -1) {
        if (FEndSample > FTotalSamples) FEndSample = -1;
        if (FEndSample == -1)
            FTotalSamples = std::max<int64_t>(FTotalSamples - FStartSample, 0); // the frames that remain
        else
            FTotalSamples = std::max<int64_t>(FEndSample - FStartSample + 1, 0);
        FSize = FTotalSamples * FSampleSize;
    }
    FExpectAudio = FStartSample == 0 && FTotalSamples > 0;
    BufStart = 1;
    BufEnd = 0;
}

void TAuFileIn::FlushInternal() {
    CloseFile();
    FStartSample = 0;
    FEndSample = -1;
    Busy = false;
}

void TAuFileIn::Reset() {
    TAuStreamedInput::Reset();
    FOpened = 0;
}

void TAuFileIn::_Jump(int32_t Offs) {
    int64_t size = FSize;
    // Thousandths of an unknown length are no distance at all: a jump never rewinds.
    if (!FSeekable || size <= 0) return;
    double fraction = static_cast<double>(FPosition) / static_cast<double>(size) + Offs / 1000.0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    Seek(static_cast<int64_t>(std::nearbyint(static_cast<double>(FTotalSamples) * fraction)));
}

bool TAuFileIn::SetStartTime(uint32_t Minutes, uint32_t Seconds) {
    if (!FSeekable) return false;
    OpenFile();
    int64_t frame = (static_cast<int64_t>(Minutes) * 60 + Seconds) * FSR;
    if (frame > FTotalSamples) return false;
    FStartSample = frame;
    return true;
}

bool TAuFileIn::SetEndTime(uint32_t Minutes, uint32_t Seconds) {
    if (!FSeekable) return false;
    OpenFile();
    int64_t frame = (static_cast<int64_t>(Minutes) * 60 + Seconds) * FSR;
    if (frame > FTotalSamples) return false;
    FEndSample = frame;
    return true;
}

} // namespace tarvio
