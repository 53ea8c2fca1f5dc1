// CvDriverInstaller.dll: the product's driver installer library. The
// collector loads it at run time and asks it whether each protection
// subsystem's driver is enabled.
#pragma once

// The product's drivers, by subsystem.
enum _DRIVER_TYPE {
    DT_ERASER = 3,
    DT_EXEQUOTA = 4,
    DT_DACS = 5,
    DT_MC5XX = 8,
    DT_PRNCTRL = 11,
    DT_SCPCTRL = 13,
    DT_DISKENC = 20,
    DT_FDC = 21,
};

// 0 when the driver of that type is enabled; otherwise a Windows error code
// saying why not.
typedef unsigned long(__cdecl* DI_IsDeviceDriverEnabled_t)(enum _DRIVER_TYPE type);
