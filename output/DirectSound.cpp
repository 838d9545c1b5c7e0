#include "output/DirectSound.h"

#include "output/TDSClock.h"
#include "output/TDSDeviceList.h"

namespace tarvio {

HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW Callback, void* Context) {
    if (Callback == nullptr) return DSERR_INVALIDPARAM;
    static const char16_t module[] = u"";
    for (const TDSDeviceInfo& device : TDSDeviceList::Enumerate())
        if (!Callback(device.HasGuid ? &device.Guid : nullptr, device.Description.c_str(), module, Context))
            break;
    return DS_OK;
}

HRESULT DirectSoundCreate(const GUID* Guid, std::shared_ptr<TDirectSound>& Out, void* Outer) {
    Out.reset();
    if (Outer != nullptr) return DSERR_INVALIDPARAM;
    std::optional<TDSDeviceInfo> device = TDSDeviceList::Find(Guid);
    if (!device) return DSERR_NODRIVER;
    return TDirectSound::Create(*device, Out);
}

HWND GetDesktopWindow() {
    return 1;
}

bool QueryPerformanceCounter(int64_t& Count) {
    Count = TDSClock::Current().Counter();
    return true;
}

bool QueryPerformanceFrequency(int64_t& Frequency) {
    const TDSClock& clock = TDSClock::Current();
    Frequency = clock.HasPerformanceCounter() ? clock.Frequency() : 0;
    return Frequency != 0;
}

} // namespace tarvio
