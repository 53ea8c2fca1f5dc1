#include "HardwareCalls.h"

const HardwareCalls SystemHardwareCalls = {
    &::CoCreateInstance,
    &::SetupDiGetClassDevsW,
    &::SetupDiEnumDeviceInterfaces,
    &::SetupDiGetDeviceInterfaceDetailW,
    &::SetupDiDestroyDeviceInfoList,
    &::DeviceIoControl,
};
