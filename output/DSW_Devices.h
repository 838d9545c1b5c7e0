#pragma once
// The output devices found by DSW_EnumDevices, in enumeration order.

#include "output/DSoundDefs.h"

#include <cstdint>

namespace tarvio {

constexpr int DSW_MaxDevices = 16;
constexpr int DSW_DescriptionChars = 128; // including the terminating zero

struct DSW_DeviceInfo {
    GUID guid;                           // all zero for the default device
    char16_t name[DSW_DescriptionChars]; // zero-terminated description
};

struct DSW_Devices {
    int32_t devcount; // valid entries, 0 to DSW_MaxDevices
    DSW_DeviceInfo dinfo[DSW_MaxDevices];
};

} // namespace tarvio
