#pragma once
// A converter that passes on frames [Start, End) of a decoder's output: it seeks the
// decoder to Start when a run begins and ends the stream after End - Start frames. The
// bytes are the decoder's own, untouched. The decoder is not owned. With StopAtDamage it
// also ends the stream at the first damage the decoder reports, after the last frame
// before it.

#include <cstdint>

#include "pipeline/TAuConverter.h"
#include "pipeline/TAuFileIn.h"

namespace tarvio {

class TFrameRange : public TAuConverter {
public:
    explicit TFrameRange(TComponent* AOwner = nullptr) : TAuConverter(AOwner) {}
    ~TFrameRange() override;

    // The decoder to read. Set while idle.
    void SetDecoder(TAuFileIn* Decoder);
    // First frame (0-based) and the frame after the last; End = -1 runs to the end of the
    // data. Set while idle; End < Start delivers nothing.
    void SetRange(int64_t Start, int64_t End);
    // End the stream where the decoder first reports damage. Set while idle.
    void SetStopAtDamage(bool Value) { FStopAtDamage = Value; }
    // After a run: the stream ended at damage (StopAtDamage).
    bool StoppedAtDamage() const { return FStoppedAtDamage; }
    // After a run that raised: the failure came from the decoder or from this range (the
    // input side), not from what the output does with the data.
    bool InputFailed() const { return FInputFailed; }

protected:
    // Inits the decoder and moves it to Start: by seeking when it knows its length, else
    // by reading and dropping the frames before Start. Raises EAuException when the
    // decoder cannot get there (Start lies past its data, or the seek fails).
    void InitInternal() override;
    void FlushInternal() override;
    // Called by the thread that pulls the chain; 0 bytes once End is reached or the
    // decoder ends.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    // Reads and drops Bytes of the decoder's data; raises when it ends first.
    void Skip(int64_t Bytes);
    void Start();
    void Pass(uint8_t*& Buffer, uint32_t& Bytes);

    TAuFileIn* FDecoder = nullptr;
    int64_t FStart = 0;
    int64_t FEnd = -1;
    int64_t FBytesLeft = -1; // of this run; -1 = unlimited
    int64_t FPassed = 0;     // bytes passed on in this run
    int64_t FFrameBytes = 0;
    bool FStopAtDamage = false;
    bool FStoppedAtDamage = false;
    bool FInputFailed = false;
};

} // namespace tarvio
