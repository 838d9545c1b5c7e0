#include "pipeline/TAuStreamedInput.h"

namespace tarvio {

TAuStreamedInput::TAuStreamedInput(TComponent* AOwner) : TAuInput(AOwner) { FSeekable = true; }

void TAuStreamedInput::SetStreamInternal(TStream* Value) {
    FStream = Value;
    FStreamAssigned = Value != nullptr;
}

bool TAuStreamedInput::Seek(int64_t SampleNum) {
    if (!FSeekable) return false;
    if (FTotalSamples != 0 && SampleNum > FTotalSamples) return false;
    TAuInputLock lock(*this);
    if (!Busy) {
        FStartSample = SampleNum;
        FPosition = SampleNum * FSampleSize;
        FEndSample = -1;
        return true;
    }
    bool result = false;
    int64_t target = SampleNum + FStartSample;
    try {
        result = SeekInternal(target);
        FPosition = (target - FStartSample) * FSampleSize;
    } catch (...) {
        result = false;
    }
    return result;
}

void TAuStreamedInput::GetData(uint8_t*& Buffer, uint32_t& Bytes) {
    TAuInputLock lock(*this);
    const uint32_t requested = Bytes;
    if (_EndOfStream) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    GetDataInternal(Buffer, Bytes);
    if (Bytes == 0) {
        _EndOfStream = true;
    } else {
        FPosition += Bytes;
        int64_t size = FSize;
        if (size > 0 && FPosition >= size) {
            _EndOfStream = true;
            if (FPosition > size) {
                int64_t excess = FPosition - size;
                Bytes = excess >= Bytes ? 0 : Bytes - static_cast<uint32_t>(excess);
                FPosition = size;
            }
        }
    }
    if (_EndOfStream && FLoop) {
        _EndOfStream = false;
        if (FSeekable) {
            int64_t start = FStartSample;
            SeekInternal(start);
        } else {
            Flush();
            Init();
        }
        FPosition = 0;
        Bytes = requested;
        GetDataInternal(Buffer, Bytes);
        if (Bytes == 0) {
            _EndOfStream = true; // empty from its start: nothing to loop
        } else {
            // Data shorter than one request: cut at the end frame; the next call finds
            // the end and starts over again.
            FPosition += Bytes;
            int64_t size = FSize;
            if (size > 0 && FPosition > size) {
                int64_t excess = FPosition - size;
                Bytes = excess >= Bytes ? 0 : Bytes - static_cast<uint32_t>(excess);
                FPosition = size;
            }
        }
    }
    if (Bytes == 0) Buffer = nullptr;
}

} // namespace tarvio
