#pragma once
// A converter that passes on frames [Start, End) of a decoder's output: it seeks the
// decoder to Start when a run begins and ends the stream after End - Start frames. The
// bytes are the decoder's own, untouched. The decoder is not owned.

#include <cstdint>

#include "pipeline/TAuConverter.h"
#include "pipeline/TAuStreamedInput.h"

namespace tarvio {

class TFrameRange : public TAuConverter {
public:
    explicit TFrameRange(TComponent* AOwner = nullptr) : TAuConverter(AOwner) {}
    ~TFrameRange() override;

    // The decoder to read. Set while idle.
    void SetDecoder(TAuStreamedInput* Decoder);
    // First frame (0-based) and the frame after the last; End = -1 runs to the end of the
    // data. Set while idle; End < Start delivers nothing.
    void SetRange(int64_t Start, int64_t End);

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

    TAuStreamedInput* FDecoder = nullptr;
    int64_t FStart = 0;
    int64_t FEnd = -1;
    int64_t FBytesLeft = -1; // of this run; -1 = unlimited
};

} // namespace tarvio
