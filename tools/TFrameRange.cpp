#include "tools/TFrameRange.h"

#include <algorithm>

#include "pipeline/EAuException.h"

namespace tarvio {

TFrameRange::~TFrameRange() = default;

void TFrameRange::SetDecoder(TAuFileIn* Decoder) {
    FDecoder = Decoder;
    SetInput(Decoder);
}

void TFrameRange::SetRange(int64_t Start, int64_t End) {
    FStart = Start < 0 ? 0 : Start;
    FEnd = End;
}

void TFrameRange::InitInternal() {
    FInputFailed = false;
    FStoppedAtDamage = false;
    try {
        Start();
    } catch (...) {
        FInputFailed = true;
        throw;
    }
}

void TFrameRange::Start() {
    TAuInput* in = FInput;
    if (!in || in != FDecoder) throw EAuException("Input is not assigned");
    Busy = true;
    FPosition = 0;
    FSize = -1;
    FPassed = 0;
    in->Init();
    const int64_t frame = int64_t{in->Channels()} * (in->BitsPerSample() / 8);
    FFrameBytes = frame;
    if (FStart > 0) {
        // A decoder that knows its length seeks; one that does not (a stream without a
        // sample count) may not find its way, so its first frames are read and dropped.
        if (FDecoder->Seekable() && FDecoder->TotalSamples() > 0) {
            if (!FDecoder->Seek(FStart)) throw EAuException("cannot seek to frame " + std::to_string(FStart));
        } else {
            Skip(FStart * frame);
        }
    }
    if (FEnd < 0)
        FBytesLeft = -1;
    else
        FBytesLeft = FEnd > FStart ? (FEnd - FStart) * frame : 0;
}

void TFrameRange::Skip(int64_t Bytes) {
    while (Bytes > 0) {
        uint8_t* data = nullptr;
        uint32_t got = static_cast<uint32_t>(std::min<int64_t>(Bytes, 1 << 20));
        FInput.load()->GetData(data, got);
        if (got == 0)
            throw EAuException("frame " + std::to_string(FStart) + " lies past the end of the data");
        Bytes -= got;
    }
}

void TFrameRange::FlushInternal() {
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TFrameRange::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    try {
        Pass(Buffer, Bytes);
    } catch (...) {
        FInputFailed = true;
        throw;
    }
}

void TFrameRange::Pass(uint8_t*& Buffer, uint32_t& Bytes) {
    TAuInput* in = FInput;
    if (!in || FBytesLeft == 0) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (FBytesLeft > 0 && Bytes > FBytesLeft) Bytes = static_cast<uint32_t>(FBytesLeft);
    in->GetData(Buffer, Bytes);
    if (FStopAtDamage && FDecoder->DamageCount() > 0 && FFrameBytes > 0) {
        // Keep what lies before the damage: the frames of this block up to its frame.
        const int64_t first = FStart + FPassed / FFrameBytes;
        const int64_t keep = std::max<int64_t>(FDecoder->FirstDamageFrame() - first, 0) * FFrameBytes;
        if (keep < Bytes) Bytes = static_cast<uint32_t>(keep);
        FBytesLeft = Bytes; // nothing after this block
        FStoppedAtDamage = true;
    }
    if (Bytes == 0) Buffer = nullptr;
    FPassed += Bytes;
    if (FBytesLeft > 0) FBytesLeft -= Bytes;
}

} // namespace tarvio
