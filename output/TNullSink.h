#pragma once
// The null device: plays in real time by the clock and discards the sound.

#include "output/TDSSink.h"

namespace tarvio {

class TNullSink : public TDSSink {
public:
    bool DevicePaced() const override { return false; }
    bool ConsumesData() const override { return false; }
    HRESULT Open(const WAVEFORMATEX& Format, uint32_t RingFrames) override;
    bool Write(const uint8_t* Data, uint32_t Frames) override;
};

} // namespace tarvio
