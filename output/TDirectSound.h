#pragma once
// A sound device of the layer: made by DirectSoundCreate, it gives out the primary
// buffer and secondary buffers played by the device's backend.

#include "output/DSoundDefs.h"
#include "output/TDSDeviceInfo.h"
#include "output/TDSSink.h"

#include <memory>
#include <mutex>

namespace tarvio {

class TDirectSoundBuffer;

class TDirectSound {
public:
    // Opens the device; a sound card that cannot be opened gives DSERR_NODRIVER (or
    // DSERR_ALLOCATED when busy) and no object.
    static HRESULT Create(const TDSDeviceInfo& Device, std::shared_ptr<TDirectSound>& Out);
    ~TDirectSound();
    TDirectSound(const TDirectSound&) = delete;
    TDirectSound& operator=(const TDirectSound&) = delete;

    // Window must not be 0; Level is DSSCL_NORMAL to DSSCL_WRITEPRIMARY. No other effect.
    HRESULT SetCooperativeLevel(HWND Window, uint32_t Level);
    // Desc.dwFlags with DSBCAPS_PRIMARYBUFFER gives the device's one primary buffer
    // (no size, no format); otherwise a secondary buffer (see TDirectSoundBuffer).
    HRESULT CreateSoundBuffer(const DSBUFFERDESC* Desc, std::shared_ptr<TDirectSoundBuffer>& Out);

    const TDSDeviceInfo& Device() const { return FDevice; }

private:
    TDirectSound() = default;
    HRESULT MakeSink(std::unique_ptr<TDSSink>& Out);

    std::mutex FMutex;
    TDSDeviceInfo FDevice;
    uint32_t FLevel = 0;
    std::unique_ptr<TDSSink> FSpareSink; // the sound card opened by Create, for the first buffer
    std::shared_ptr<TDirectSoundBuffer> FPrimary;
};

} // namespace tarvio
