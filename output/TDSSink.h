#pragma once
// A device backend that plays what a secondary sound buffer hands it.

#include "output/DSoundDefs.h"

#include <cstdint>

namespace tarvio {

class TDSSink {
public:
    TDSSink() = default;
    virtual ~TDSSink() = default;
    TDSSink(const TDSSink&) = delete;
    TDSSink& operator=(const TDSSink&) = delete;

    // True: the device takes data at its own pace through blocking Write calls of
    // PeriodFrames frames (a sound card). False: the play cursor follows the clock.
    virtual bool DevicePaced() const = 0;
    // False when what plays is discarded without being looked at (the null device).
    virtual bool ConsumesData() const = 0;
    // Prepares the device for Format (a WAVEFORMATEXTENSIBLE when the tag says so);
    // RingFrames is the size of the buffer it will play from. Called once, before
    // any Write.
    virtual HRESULT Open(const WAVEFORMATEX& Format, uint32_t RingFrames) = 0;
    // Frames per Write of a device-paced sink.
    virtual uint32_t PeriodFrames() const { return 0; }
    // Plays Frames whole frames from Data; called on the buffer's device thread only.
    // Blocks until the device has taken them. False when the device has failed for good.
    virtual bool Write(const uint8_t* Data, uint32_t Frames) = 0;
    // Frames written that the device still holds and has not played, asked on the device
    // thread right after a Write. 0 for a device that takes data at once and keeps no
    // queue of its own (such a device is held to the clock by the buffer).
    virtual int64_t Delay() { return 0; }
};

} // namespace tarvio
