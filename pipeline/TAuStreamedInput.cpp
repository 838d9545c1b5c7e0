#include "pipeline/TAuStreamedInput.h"

#include "pipeline/EAuException.h"

namespace tarvio {

TAuStreamedInput::TAuStreamedInput(TComponent* AOwner) : TAuInput(AOwner) {
    FSeekable = true;
}

void TAuStreamedInput::SetStreamInternal(TStream* Value) {
    FStream = Value;
    FStreamAssigned = Value != nullptr;
}

bool TAuStreamedInput::Seek(int64_t SampleNum) {
    if (!FSeekable) return false;
    // An estimated length may fall short of the data: the decoder finds out where it ends.
    if (!FLengthIsEstimate && FTotalSamples != 0 && SampleNum > FTotalSamples) return false;
    TAuInputLock lock(*this);
    if (!Busy) {
        FStartSample = SampleNum;
        FPosition = SampleNum * FSampleSize;
        FEndSample = -1;
        return true;
    }
    bool result = false;
    FLoopRestartPending = false;
    int64_t target = SampleNum + FStartSample;
    try {
        result = SeekInternal(target);
    } catch (...) {
        result = false;
    }
    // A failed seek leaves the position where it was.
    if (result) {
        FPosition = (target - FStartSample) * FSampleSize;
        FExpectAudio = false;
    }
    return result;
}

void TAuStreamedInput::RestartForLoop() {
    if (FSeekable) {
        int64_t start = FStartSample;
        SeekInternal(start);
    } else {
        // Flush forgets the range; every pass must cover the frames of the first.
        const int64_t start = FStartSample, end = FEndSample;
        Flush();
        FStartSample = start;
        FEndSample = end;
        Init();
    }
    FPosition = 0;
}

// Adds Bytes to the position and cuts what lies past a known size; true at the end.
bool TAuStreamedInput::CountDelivered(uint32_t& Bytes) {
    if (Bytes == 0) return true;
    FPosition += Bytes;
    int64_t size = FSize;
    if (FLengthIsEstimate && FEndSample == -1) return false;
    if (size > 0 && FPosition >= size) {
        if (FPosition > size) {
            int64_t excess = FPosition - size;
            Bytes = excess >= Bytes ? 0 : Bytes - static_cast<uint32_t>(excess);
            FPosition = size;
        }
        return true;
    }
    return false;
}

void TAuStreamedInput::GetData(uint8_t*& Buffer, uint32_t& Bytes) {
    TAuInputLock lock(*this);
    if (_EndOfStream) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const uint32_t requested = Bytes;
    if (FLoopRestartPending) {
        FLoopRestartPending = false;
        RestartForLoop();
    }
    GetDataInternal(Buffer, Bytes);
    bool atEnd = CountDelivered(Bytes);
    if (atEnd) {
        if (!FLoop) {
            _EndOfStream = true;
        } else if (Bytes > 0) {
            // Hand out the last piece now; the next call starts over.
            FLoopRestartPending = true;
        } else {
            RestartForLoop();
            Bytes = requested;
            GetDataInternal(Buffer, Bytes);
            if (Bytes == 0)
                _EndOfStream = true; // empty from its start: nothing to loop
            else if (CountDelivered(Bytes))
                FLoopRestartPending = true;
        }
    }
    if (Bytes > 0) FExpectAudio = false;
    if (Bytes == 0) {
        Buffer = nullptr;
        if (FExpectAudio && _EndOfStream) {
            FExpectAudio = false;
            const std::string reason = NoAudioReason();
            throw EAuException("no audio could be decoded" + (reason.empty() ? "" : ": " + reason));
        }
    }
}

} // namespace tarvio
