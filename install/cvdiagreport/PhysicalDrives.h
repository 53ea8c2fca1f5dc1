// The physical disks as their drivers describe them, and the decoding of
// their serial numbers.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "HardwareCalls.h"

struct PhysicalDriveInfo {
    DWORD DiskNumber = 0;
    std::string ProductId;
    DWORD BusType = 0;  // STORAGE_BUS_TYPE
    std::string SerialNumber;
    unsigned long long Length = 0;
    std::vector<PARTITION_INFORMATION> Partitions;  // the recognised ones, in table order
};

// Appends one record per disk interface of the disk class, in interface
// order. A step that fails for one disk prints its line on the console and
// the walk goes on with the next disk; a disk whose partition table cannot be
// read is listed without partitions.
void GetPhysicalDrivesInfo(std::vector<PhysicalDriveInfo>& drives, const HardwareCalls& calls);

namespace SerialNumber {
// A serial number as readable text: hexadecimal digits of its characters are
// read as those characters, and pairs of characters exchanged by the driver are
// put back in order. Raises 668 for a null text.
std::string Decode(const char* text);
// Whether the driver exchanged the characters of each pair: the text begins
// with a blank or more than 20 characters were read. Raises 668 for an empty text.
bool IsFlipped(const char* text, size_t count);
}  // namespace SerialNumber
