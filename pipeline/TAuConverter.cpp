#include "pipeline/TAuConverter.h"

namespace tarvio {

void TAuConverter::GetData(uint8_t*& Buffer, uint32_t& Bytes) {
    std::lock_guard<std::recursive_mutex> lock(DataCS);
    if (_EndOfStream) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    GetDataInternal(Buffer, Bytes);
    FPosition += Bytes;
    int64_t size = FSize;
    if (size > 0 && FPosition > size) {
        int64_t excess = FPosition - size;
        Bytes = excess >= Bytes ? 0 : Bytes - static_cast<uint32_t>(excess);
        _EndOfStream = true;
    }
    if (Bytes == 0) {
        _EndOfStream = true;
        Buffer = nullptr;
    }
}

void TAuConverter::_Pause() {
    if (TAuInput* in = FInput) in->_Pause();
}

void TAuConverter::_Resume() {
    if (TAuInput* in = FInput) in->_Resume();
}

void TAuConverter::_Jump(int32_t Offs) {
    if (TAuInput* in = FInput) in->_Jump(Offs);
}

uint32_t TAuConverter::GetBitsPerSample() {
    TAuInput* in = FInput;
    if (!in) return 0;
    uint32_t bps = in->BitsPerSample();
    return FFloatRequested ? bps : (bps & ~128u);
}

uint32_t TAuConverter::GetChannels() {
    TAuInput* in = FInput;
    return in ? in->Channels() : 0;
}

uint32_t TAuConverter::GetSampleRate() {
    TAuInput* in = FInput;
    return in ? in->SampleRate() : 0;
}

void TAuConverter::SetInputInternal(TAuInput* Value) {
    if (Value == this) return;
    TAuInputLock lock(*this);
    TAuInput* old = FInput;
    if (Busy) {
        if (old) old->Flush();
        if (Value) Value->Init();
    }
    FInput = Value;
}

void TAuConverter::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == TOperation::opRemove && AComponent == FInput) {
        // The input is being destroyed: forget it without calling into it.
        TAuInputLock lock(*this);
        FInput = nullptr;
    }
    TAuInput::Notification(AComponent, Operation);
}

} // namespace tarvio
