#pragma once
// The list of sound devices: ALSA's default device first, then the playback devices
// that ALSA's name hints list, then the null device. The environment variable
// TARVIO_AUDIO_DEVICE ("null" or "wav:PATH") replaces the whole list by that one device,
// announced as the default device, and makes every device lookup return it.

#include "output/TDSDeviceInfo.h"

#include <optional>
#include <vector>

namespace tarvio {

class TDSDeviceList {
public:
    // Reads the environment and ALSA's configuration at each call; any thread.
    static std::vector<TDSDeviceInfo> Enumerate();
    // The device a GUID names; null or all-zero selects the default device. Empty when
    // no device has that GUID.
    static std::optional<TDSDeviceInfo> Find(const GUID* Guid);
    // The device TARVIO_AUDIO_DEVICE selects, if any.
    static std::optional<TDSDeviceInfo> Override();

    static const GUID NullDeviceGuid;
    static const GUID WaveFileDeviceGuid;

private:
    static std::vector<TDSDeviceInfo> AlsaDevices();
    static TDSDeviceInfo NullDevice();
    static GUID GuidOfName(const std::string& Name);
};

} // namespace tarvio
