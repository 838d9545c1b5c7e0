#pragma once
// Base of every decoder: a data stream, start and end frame, looping and seeking.

#include <cstdint>
#include <memory>
#include <string>

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
    // Whether Size/TotalSamples are an estimate made at open rather than where the data
    // ends (the data may end before or after it).
    bool LengthIsEstimate() const { return FLengthIsEstimate; }
    bool Loop() const { return FLoop; }
    void SetLoop(bool Value) { FLoop = Value; }
    // First and last (inclusive) frame of the next run; -1 = up to the end. Reset by Flush.
    int64_t StartSample() const { return FStartSample; }
    void SetStartSample(int64_t Value) { FStartSample = Value; }
    int64_t EndSample() const { return FEndSample; }
    void SetEndSample(int64_t Value) { FEndSample = Value; }

    // Before a run: the frame where playing starts. During a run: moves to SampleNum frames
    // after the run's start frame. False when not seekable, beyond the length, or the
    // decoder fails (its exception is swallowed); the position then stays as it was. Beyond an
    // estimated length (FLengthIsEstimate) the decoder is asked all the same.
    // A decoder's SeekInternal that fails leaves its own position alone too, or ends.
    bool Seek(int64_t SampleNum);

    // Ends the stream at the known size (>=), trimming any surplus, unless the size is an
    // estimate (FLengthIsEstimate) and no end frame is set; with Loop set, starts over
    // within the same call instead of ending. Raises EAuException "no audio could be
    // decoded" (with NoAudioReason) when a run that expects audio ends before its first
    // byte.
    void GetData(uint8_t*& Buffer, uint32_t& Bytes) override;

protected:
    virtual void SetStreamInternal(TStream* Value);
    // Positions the decoder so that the next data starts at frame SampleNum of the file;
    // may set SampleNum to the frame actually reached. Called under the data lock.
    virtual bool SeekInternal(int64_t& SampleNum) = 0;

    // Why a file that states a length gave no audio, in the decoder's words; "" when it
    // has no reason to give. Read on the data thread when the run ends empty.
    virtual std::string NoAudioReason() const { return {}; }

    // Init clears a pending loop restart along with the end of stream.
    bool FLoopRestartPending = false;
    // FSize is the length a decoder estimated at open (shown as TotalSamples), not where
    // its data ends: data is delivered to the decoder's own end.
    bool FLengthIsEstimate = false;
    // Set at Init for a run from frame 0 of a file that states a length; cleared by the
    // first byte delivered and by a seek. The run ending while it is set is an error.
    bool FExpectAudio = false;

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
