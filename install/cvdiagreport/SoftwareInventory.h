// What is installed and what may run: the uninstall entries and the services
// key, one fixed-width line per subkey.
#pragma once

#include <windows.h>

#include <string>

// One subkey of the Windows uninstall key; text values empty when missing.
struct SoftwareEntry {
    std::wstring Key;
    std::wstring DisplayName;
    std::wstring DisplayVersion;
    std::wstring Publisher;
    std::wstring InstallDate;
    std::wstring UninstallString;
};

// One subkey of the Windows services key (a service, a driver or neither).
struct ServiceEntry {
    std::wstring Name;
    std::wstring ImagePath;  // "-" when the value is missing, empty when it is not text
    DWORD Type = 0;
    DWORD Start = 0;
};

// The lines without their CR LF; short fields are padded, long ones written whole.
std::wstring SoftwareLine(const SoftwareEntry& entry);
std::wstring ServiceLine(const ServiceEntry& entry);
