#pragma once
// An input that takes its data from another input (not owned) and passes it on.

#include "pipeline/TAuInput.h"

namespace tarvio {

class TAuConverter : public TAuInput {
public:
    explicit TAuConverter(TComponent* AOwner = nullptr) : TAuInput(AOwner) {}

    TAuInput* Input() const { return FInput; }
    // While busy, flushes the old input and initialises the new one under this converter's
    // data lock, so a running chain can switch sources between two reads. Setting the
    // converter itself is ignored; setting none while busy flushes the old input and the
    // stream then ends.
    void SetInput(TAuInput* Value) { SetInputInternal(Value); }

    // Ends the stream when more than Size bytes would be delivered (Size > 0), or when the
    // hook returns 0 bytes.
    void GetData(uint8_t*& Buffer, uint32_t& Bytes) override;
    void _Pause() override;
    void _Resume() override;
    void _Jump(int32_t Offs) override;

protected:
    uint32_t GetBitsPerSample() override;
    uint32_t GetChannels() override;
    uint32_t GetSampleRate() override;
    virtual void SetInputInternal(TAuInput* Value);
    void Notification(TComponent* AComponent, TOperation Operation) override;

    std::atomic<TAuInput*> FInput{nullptr};
};

} // namespace tarvio
