// The on/off state of the product's protection subsystems, as the product's
// driver installer library tells it.
#pragma once

#include <string>

#include "CvDriverInstaller.h"

struct Subsystem {
    const wchar_t* Name;  // the subsystem's driver, as the report names it
    _DRIVER_TYPE Type;
};

extern const Subsystem Subsystems[8];

// A subsystem's line without its line end: the name padded to the longest
// name, ": ", and "On" when the library answered 0, "Off" otherwise.
std::wstring SubsystemLine(const Subsystem& subsystem, unsigned long answer);
