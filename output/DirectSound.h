#pragma once
// The entry points of the sound layer and the platform calls the wrapper uses.

#include "output/DSoundDefs.h"
#include "output/TDirectSound.h"

#include <memory>

namespace tarvio {

// Called once per device, in list order; returning false ends the enumeration. Guid is
// null for the default device. The strings are valid during the call only.
using LPDSENUMCALLBACKW = bool (*)(const GUID* Guid, const char16_t* Description, const char16_t* Module,
                                   void* Context);

// Lists the devices of TDSDeviceList; DS_OK (also when the callback ends early), or
// DSERR_INVALIDPARAM without a callback.
HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW Callback, void* Context);
// Creates the device Guid names (null or all zero: the default device). DSERR_NODRIVER
// when there is no such device or it cannot be opened; Outer must be null.
HRESULT DirectSoundCreate(const GUID* Guid, std::shared_ptr<TDirectSound>& Out, void* Outer);

// A window handle that stands for the whole screen.
HWND GetDesktopWindow();

// The counter of TDSClock::Current(). QueryPerformanceFrequency fails (and sets 0) when
// that clock says there is no performance counter.
bool QueryPerformanceCounter(int64_t& Count);
bool QueryPerformanceFrequency(int64_t& Frequency);

} // namespace tarvio
