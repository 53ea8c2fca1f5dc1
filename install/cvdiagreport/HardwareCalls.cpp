// The system's own calls that the report's sections reach the system through.
#include "HardwareCalls.h"
#include "ComputerRole.h"

const HardwareCalls SystemHardwareCalls = {
    &::CoCreateInstance,
    &::SetupDiGetClassDevsW,
    &::SetupDiEnumDeviceInterfaces,
    &::SetupDiGetDeviceInterfaceDetailW,
    &::SetupDiDestroyDeviceInfoList,
    &::DeviceIoControl,
};

const ServerInfoCalls NetServerInfoCalls = {NetServerGetInfo, NetApiBufferFree};
