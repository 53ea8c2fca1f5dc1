// A driver is enabled when its service key exists and its start mode is not
// "disabled" (4).
#include "CvDriverInstaller.h"

#include <windows.h>

#include "StandInWin32.h"

namespace {

struct Driver {
    _DRIVER_TYPE type;
    const wchar_t* serviceKey;
};

const Driver Drivers[] = {
    {DT_ERASER, L"SYSTEM\\CurrentControlSet\\Services\\cveraser"},
    {DT_EXEQUOTA, L"SYSTEM\\CurrentControlSet\\Services\\cvexequota"},
    {DT_DACS, L"SYSTEM\\CurrentControlSet\\Services\\cvdacs"},
    {DT_MC5XX, L"SYSTEM\\CurrentControlSet\\Services\\cvmc5xx"},
    {DT_PRNCTRL, L"SYSTEM\\CurrentControlSet\\Services\\cvprnctrl"},
    {DT_SCPCTRL, L"SYSTEM\\CurrentControlSet\\Services\\cvscpctrl"},
    {DT_DISKENC, L"SYSTEM\\CurrentControlSet\\Services\\cvdiskenc"},
    {DT_FDC, L"SYSTEM\\CurrentControlSet\\Services\\cvfdc"},
};

}  // namespace

// The DWORD "StandInDriverHang" = 1 under the product's key makes every query
// never return, as a driver that does not answer would.
extern "C" __declspec(dllexport) unsigned long __cdecl DI_IsDeviceDriverEnabled(enum _DRIVER_TYPE type) {
    StandIn::HangIfAsked(L"StandInDriverHang", 1);
    for (const Driver& driver : Drivers) {
        if (driver.type != type) continue;
        StandIn::RegKey key;
        if (key.OpenLocalMachine(driver.serviceKey, KEY_QUERY_VALUE) != ERROR_SUCCESS)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        DWORD start = 0;
        DWORD size = sizeof(start);
        DWORD valueType = REG_NONE;
        if (RegQueryValueExW(key.Get(), L"Start", nullptr, &valueType, reinterpret_cast<BYTE*>(&start), &size) !=
                ERROR_SUCCESS ||
            valueType != REG_DWORD)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        return start == SERVICE_DISABLED ? ERROR_SERVICE_DISABLED : ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}
