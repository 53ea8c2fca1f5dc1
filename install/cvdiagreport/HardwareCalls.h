// The calls of the hardware section that reach WMI and the storage drivers:
// the collector passes the system's own, tests pass answers of their own.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

struct HardwareCalls {
    decltype(&::CoCreateInstance) CoCreateInstance;
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevs;
    decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) SetupDiGetDeviceInterfaceDetail;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    decltype(&::DeviceIoControl) DeviceIoControl;
};

extern const HardwareCalls SystemHardwareCalls;
