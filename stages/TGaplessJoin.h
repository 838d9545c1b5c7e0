#pragma once
// A converter that plays one input after another without a gap. While the current input
// is being read, its owner names the input to follow (SetNext). When the current input
// ends and the named one has the same sample rate, channels and sample size, the join
// initialises it, flushes the ended one and goes on with the new one's data in the same
// stream, so the consumer sees no end. With no input named, or one of another format, or
// one that fails to start, the stream ends with the current input, as any converter's.
//
// Threads: SetNext, ClearNext, TakeJoint and SetOnJoint on the owner's (GUI) thread;
// GetData, Init and Flush on the consumer's. Inputs are never owned: an input named by
// SetNext must live until a joint to it has been taken (and then as long as it plays) or
// until ClearNext has returned it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "pipeline/TAuConverter.h"

namespace tarvio {

class TGaplessJoin : public TAuConverter {
public:
    // One change of input inside the stream.
    struct TJoint {
        TAuInput* From = nullptr; // the ended input, already flushed
        TAuInput* To = nullptr;   // the input that delivers from Position on
        int64_t Position = 0;     // bytes of this stream (since Init) before To's first byte
    };

    explicit TGaplessJoin(TComponent* AOwner = nullptr);
    ~TGaplessJoin() override;

    // Names the input to follow the current one: its file set and open (Valid), not yet
    // initialised. Returns the input named before, which is no longer used (null if none).
    TAuInput* SetNext(TAuInput* Next);
    // Forgets the named input and returns it (null if none, or if it has been joined).
    TAuInput* ClearNext();
    // While set, the end of the current input with no input named waits up to
    // NextWaitLimit for SetNext (the cache reads far ahead of what plays, so the wait is
    // not heard, unless the input is shorter than the wait). Clear it before stopping the
    // consumer, so that its stop does not wait, and for a run that joins nothing.
    void ExpectNext(bool Value);
    // Whether an end would wait for a named input now (any thread).
    bool ExpectsNext() const;
    static constexpr std::chrono::milliseconds NextWaitLimit{2000};
    // The oldest joint not yet taken, in stream order; none when there is none. A new
    // input set with SetInput drops the joints not taken.
    std::optional<TJoint> TakeJoint();
    // Posted to the GUI thread through the event dispatcher after each joint, from the
    // consumer's thread; the handler calls TakeJoint.
    void SetOnJoint(TNotifyEvent Value);

protected:
    // Inits the current input and takes its format as the stream's. Raises "Input is not
    // assigned". The stream's size is unknown (0): it lasts as long as inputs follow.
    void InitInternal() override;
    void FlushInternal() override;
    // Reads the current input; at its end, moves to the named input when it may.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;
    void SetInputInternal(TAuInput* Value) override;

private:
    bool JoinNext();

    uint32_t FStreamBits = 0, FStreamChannels = 0, FStreamRate = 0; // consumer's thread
    mutable std::mutex FLock;                                       // FNext, FExpectNext, FJoints, FOnJoint
    std::condition_variable FNextNamed;
    TAuInput* FNext = nullptr;
    bool FExpectNext = false;
    std::deque<TJoint> FJoints;
    TNotifyEvent FOnJoint;
};

} // namespace tarvio
