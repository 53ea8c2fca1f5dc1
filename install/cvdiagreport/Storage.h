// The storage blocks of the report: physical disks with their partitions, and
// logical drives with their space, label, volume number and disk areas.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <optional>
#include <string>
#include <vector>

#include "DiagReport.h"
#include "HardwareCalls.h"
#include "PhysicalDrives.h"
#include "Wmi.h"

// One drive letter's volume.
struct Volume {
    wchar_t Letter = 0;
    std::wstring Label;
    DWORD NumberId = 0;
    std::vector<DISK_EXTENT> Extents;

    // Label and serial number; returns the Windows error code, 0 on success.
    DWORD GetLabelAndNumberId();
    // The disk areas of the volume; returns the Windows error code, 0 on
    // success, and raises 668 when the driver's answer does not add up.
    DWORD GetDiskInfo(const HardwareCalls& calls);
};

// What WMI and the volume tell of one drive letter.
struct LogicalDrive {
    std::optional<std::wstring> Caption;
    std::optional<unsigned long long> DriveType;
    std::optional<std::wstring> FileSystem;
    std::optional<std::wstring> Size;  // none: unreadable or null, which leaves out the rest
    std::optional<std::wstring> FreeSpace;
    std::optional<std::wstring> ProviderName;
    DWORD LabelError = 0;  // of Volume::GetLabelAndNumberId, asked when Size is there
    DWORD DiskError = 0;   // of Volume::GetDiskInfo, asked for a local disk with a Size
    Volume Volume;
};

// The drive list entry of a drive.
DriveEntry MakeDriveEntry(wchar_t letter, const LogicalDrive& drive);

// The lines of the disks, each followed by the lines of its partitions.
std::wstring FormatPhysicalDrives(const std::vector<PhysicalDriveInfo>& drives);
// The line of one drive letter, with its disk areas, and its line end.
std::wstring FormatLogicalDrive(const LogicalDrive& drive);

// Reads a drive letter from WMI and its volume; none when WMI has no object for it.
std::optional<LogicalDrive> ReadLogicalDrive(IWbemServices* services, wchar_t letter, const HardwareCalls& calls);
