#pragma once
// Base of every decoder: a data stream, start and end frame, looping and seeking.

#include <cstdint>
#include <memory>

#include "pipeline/TAuInput.h"
#include "pipeline/TStream.h"

namespace tarvio {

class TAuStreamedInput : public TAuInput {
public:
    explicit TAuStreamedInput(TComponent* AOwner = nullptr);

    // A caller-supplied stream (not owned; must outlive its use), or none to go back to
    // the file name.
    TStream* Stream() const { return FStream; }
    void SetStream(TStream* Value) { SetStreamInternal(Value); }
    bool Loop() const { return FLoop; }
    void SetLoop(bool Value) { FLoop = Value; }
    // First and last (inclusive) frame of the next run; -1 = up to the end. Reset by Flush.
    int64_t StartSample() const { return FStartSample; }
    void SetStartSample(int64_t Value) { FStartSample = Value; }
    int64_t EndSample() const { return FEndSample; }
    void SetEndSample(int64_t Value) { FEndSample = Value; }

    // Before a run: the frame where playing starts. During a run: moves to SampleNum frames
    // after the run's start frame. False when not seekable, beyond the length, or the
    // decoder fails (its exception is swallowed); the position then stays as it was.
    // A decoder's SeekInternal that fails leaves its own position alone too, or ends.
    bool Seek(int64_t SampleNum);

    // Ends the stream at the known size (>=), trimming any surplus; with Loop set, starts
    // over within the same call instead of ending.
    void GetData(uint8_t*& Buffer, uint32_t& Bytes) override;

protected:
    virtual void SetStreamInternal(TStream* Value);
    // Positions the decoder so that the next data starts at frame SampleNum of the file;
    // may set SampleNum to the frame actually reached. Called under the data lock.
    virtual bool SeekInternal(int64_t& SampleNum) = 0;

    // Init clears a pending loop restart along with the end of stream.
    bool FLoopRestartPending = false;

    TStream* FStream = nullptr;
    std::unique_ptr<TStream> FOwnedStream; // set when the input opened the stream itself
    bool FStreamAssigned = false;
    std::atomic<int64_t> FStartSample{0};
    std::atomic<int64_t> FEndSample{-1};
    std::atomic<bool> FLoop{false};
    std::atomic<int64_t> FTotalSamples{0};

private:
    void RestartForLoop();
    bool CountDelivered(uint32_t& Bytes);
};

} // namespace tarvio
