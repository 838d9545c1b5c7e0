#pragma once
// One sound device as the layer lists it.

#include "output/DSoundDefs.h"

#include <string>

namespace tarvio {

enum class TDSDeviceKind { dkAlsa, dkNull, dkWaveFile };

struct TDSDeviceInfo {
    TDSDeviceKind Kind = TDSDeviceKind::dkNull;
    // False for the default device, which is announced without a GUID.
    bool HasGuid = false;
    GUID Guid{};
    // ALSA: the PCM name ("default", "hw:CARD=...,DEV=0"); wave file: the file path.
    std::string Name;
    std::u16string Description;
};

} // namespace tarvio
