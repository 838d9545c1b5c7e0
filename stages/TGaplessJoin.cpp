#include "stages/TGaplessJoin.h"

#include <exception>

#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

TGaplessJoin::TGaplessJoin(TComponent* AOwner) : TAuConverter(AOwner) {}

TGaplessJoin::~TGaplessJoin() {
    // Queued joint events name this join as Sender.
    ClearPendingEvents(this);
    if (TEventHandler* h = EventHandler()) h->WaitWhileDelivering(this);
}

TAuInput* TGaplessJoin::SetNext(TAuInput* Next) {
    TAuInput* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(FLock);
        old = FNext;
        FNext = Next;
    }
    FNextNamed.notify_all();
    return old;
}

void TGaplessJoin::ExpectNext(bool Value) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FExpectNext = Value;
    }
    FNextNamed.notify_all();
}

bool TGaplessJoin::ExpectsNext() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FExpectNext;
}

TAuInput* TGaplessJoin::ClearNext() {
    return SetNext(nullptr);
}

std::optional<TGaplessJoin::TJoint> TGaplessJoin::TakeJoint() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FJoints.empty()) return std::nullopt;
    TJoint joint = FJoints.front();
    FJoints.pop_front();
    return joint;
}

void TGaplessJoin::SetOnJoint(TNotifyEvent Value) {
    std::lock_guard<std::mutex> lock(FLock);
    FOnJoint = std::move(Value);
}

void TGaplessJoin::InitInternal() {
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned");
    in->Init();
    FStreamBits = in->BitsPerSample();
    FStreamChannels = in->Channels();
    FStreamRate = in->SampleRate();
    FSampleSize = static_cast<uint16_t>((FStreamBits / 8) * FStreamChannels);
    FPosition = 0;
    FSize = 0;
    Busy = true;
}

void TGaplessJoin::FlushInternal() {
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TGaplessJoin::SetInputInternal(TAuInput* Value) {
    TAuConverter::SetInputInternal(Value);
    std::lock_guard<std::mutex> lock(FLock);
    FJoints.clear();
}

void TGaplessJoin::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    const uint32_t wanted = Bytes;
    for (;;) {
        TAuInput* in = FInput;
        Bytes = in ? wanted : 0;
        if (in) in->GetData(Buffer, Bytes);
        if (Bytes != 0) return;
        Buffer = nullptr;
        // Each joint takes the named input, so this ends after one input that is empty
        // from its start.
        if (!in || !JoinNext()) return;
    }
}

bool TGaplessJoin::JoinNext() {
    TNotifyEvent handler;
    {
        // Held while the named input starts, so that the owner cannot free it meanwhile.
        std::unique_lock<std::mutex> lock(FLock);
        FNextNamed.wait_for(lock, NextWaitLimit, [this] { return FNext != nullptr || !FExpectNext; });
        TAuInput* next = FNext;
        if (!next) return false;
        try {
            // The stream keeps one format: another one ends it, and the owner starts the
            // next input on its own.
            if (next->BitsPerSample() != FStreamBits || next->Channels() != FStreamChannels ||
                next->SampleRate() != FStreamRate)
                return false;
            next->Init();
        } catch (const std::exception&) {
            // An input that cannot start ends the stream here; started on its own, it will
            // say why.
            return false;
        }
        TAuInput* ended = FInput;
        try {
            ended->Flush();
        } catch (const std::exception&) {
            // Its data has all been delivered; failing to release it changes nothing here.
        }
        FInput = next;
        FNext = nullptr;
        FJoints.push_back({ended, next, FPosition.load()});
        handler = FOnJoint;
    }
    if (handler) PostGenericEventIfDispatching(this, handler);
    return true;
}

} // namespace tarvio
