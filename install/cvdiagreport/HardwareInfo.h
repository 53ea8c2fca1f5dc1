// The processor and operating system block of the report, read over WMI.
#pragma once

#include <optional>
#include <string>

#include "Wmi.h"

struct ProcessorInfo {
    std::optional<std::wstring> Caption;
    std::optional<std::wstring> Name;
    std::optional<unsigned long long> MaxClockSpeed;  // MHz
};

struct OperatingSystemInfo {
    std::optional<std::wstring> Caption;
    std::optional<std::wstring> CSDVersion;
    std::optional<std::wstring> BuildType;
    std::optional<std::wstring> CountryCode;
    std::optional<std::wstring> Locale;
    std::optional<std::wstring> TotalVirtualMemorySize;  // kilobytes as decimal text
    bool Is64Bit = false;
};

// The processor "CPU0"; none when WMI has no such object.
std::optional<ProcessorInfo> ReadProcessor(IWbemServices* services);
// The first operating system object; none when there is none within a minute.
std::optional<OperatingSystemInfo> ReadOperatingSystem(IWbemServices* services);

// "CPU:" and the processor lines.
std::wstring FormatProcessor(const std::optional<ProcessorInfo>& processor);
// An empty line, "Operating system:" and the operating system lines.
std::wstring FormatOperatingSystem(const std::optional<OperatingSystemInfo>& system);
