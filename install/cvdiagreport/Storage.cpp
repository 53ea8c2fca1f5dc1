#include "Storage.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>

#include "CvTrace.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"

namespace {

const DWORD AssertionFailure = 668;  // ERROR_ASSERTION_FAILURE

std::wstring Format(const wchar_t* format, ...) {
    wchar_t buffer[256];
    va_list args;
    va_start(args, format);
    const int length = _vsnwprintf(buffer, 255, format, args);
    va_end(args);
    return std::wstring(buffer, length < 0 ? 255 : length);
}

double Gigabytes(unsigned long long bytes) { return bytes / 1073741824.0; }

std::wstring Grouped(unsigned long long number) { return FormatNumber(number, L'\''); }

const wchar_t* DriveTypeText(unsigned long long type) {
    static const wchar_t* const texts[] = {L" ?",          L" (No Root Directory)", L" Removable Disk", L" Local Disk",
                                           L" Network Drive", L" Compact Disc",       L" RAM Disk"};
    return type < std::size(texts) ? texts[type] : L"";
}

// Text of the thread's ANSI code page, as the drivers describe disks.
std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    std::wstring wide(MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, &wide[0], static_cast<int>(wide.size()));
    return wide;
}

const wchar_t* BusTypeName(DWORD type) {
    static const wchar_t* const names[] = {L"Unknown", L"Scsi", L"Atapi", L"Ata",   L"1394",    L"Ssa",
                                           L"Fibre",   L"Usb",  L"RAID",  L"iScsi", L"Sas",     L"Sata",
                                           L"Sd",      L"Mmc",  L"Virtual", L"FileBackedVirtual"};
    return type < std::size(names) ? names[type] : L"?";
}

bool IsLocalOrNetwork(const LogicalDrive& drive) { return drive.DriveType == 3u || drive.DriveType == 4u; }

// ", Size: " with used and total bytes, or the total alone; empty when a
// figure is not a decimal number. Free space beyond the size counts as the
// size, so that nothing is shown as used.
std::wstring SizePart(const LogicalDrive& drive) {
    const std::optional<unsigned long long> size = Wmi::ParseDecimal(*drive.Size);
    const std::optional<unsigned long long> free =
        drive.FreeSpace ? Wmi::ParseDecimal(*drive.FreeSpace) : std::optional<unsigned long long>(0);
    if (!size || !free) return L"";
    const unsigned long long available = std::min(*free, *size), used = *size - available;
    const bool shared = IsLocalOrNetwork(drive);
    std::wstring text = L", Size: ";
    if (shared) text += Grouped(used) + L"/";
    text += Grouped(*size) + L" B (";
    if (shared) text += Format(L"%.1f/", Gigabytes(used));
    text += Format(L"%.1f GB)", Gigabytes(*size));
    if (shared && *size) text += Format(L", ~%.0f%% free", 100.0 * available / *size);
    return text;
}

// The assertions of Volume::GetDiskInfo: a trace line and error 668.
[[noreturn]] void DiskInfoAssertion(const wchar_t* text, unsigned line) {
    GetTrace().Trace(4, L"[%s] %s", L"Volume::GetDiskInfo", text);
    CvBase::ThrowError(AssertionFailure, L"SysReport", line, L"Volume::GetDiskInfo");
}

std::unique_ptr<BYTE[]> ExtentsBuffer(size_t size) {
    return std::unique_ptr<BYTE[]>(size > MAXDWORD ? nullptr : new (std::nothrow) BYTE[size]());
}

}  // namespace

DWORD Volume::GetLabelAndNumberId() {
    const std::wstring root = std::wstring(L"\\\\.\\") + Letter + L":\\";
    wchar_t label[MAX_PATH + 1] = {};
    DWORD number = 0;
    if (!GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &number, nullptr, nullptr, nullptr, 0)) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] GetVolumeInformation( \"%s\" ), 0x%08X", L"Volume::GetLabelAndNumberId",
                         root.c_str(), code);
        return code;
    }
    Label = label;
    NumberId = number;
    return 0;
}

DWORD Volume::GetDiskInfo(const HardwareCalls& calls) {
    const wchar_t* const function = L"Volume::GetDiskInfo";
    const std::wstring path = std::wstring(L"\\\\.\\") + Letter + L":";
    CvBase::CWin32Handle volume(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!volume.IsValid()) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] CreateFile( '%s' ), 0x%08X", function, path.c_str(), code);
        return code;
    }
    size_t size = sizeof(VOLUME_DISK_EXTENTS);
    std::unique_ptr<BYTE[]> buffer = ExtentsBuffer(size);
    if (!buffer) DiskInfoAssertion(L"std::unique_ptr( new ), assert( pVolumeDiskExtents )", 626);
    DWORD returned = 0;
    auto ask = [&] {
        return calls.DeviceIoControl(volume.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.get(),
                                     static_cast<DWORD>(size), &returned, nullptr)
                   ? ERROR_SUCCESS
                   : GetLastError();
    };
    DWORD code = ask();
    if (code == ERROR_MORE_DATA) {
        const DWORD count = reinterpret_cast<VOLUME_DISK_EXTENTS*>(buffer.get())->NumberOfDiskExtents;
        if (count <= 1) DiskInfoAssertion(L"is_greater, assert( pVolumeDiskExtents->NumberOfDiskExtents > 1 )", 646);
        size = offsetof(VOLUME_DISK_EXTENTS, Extents) + static_cast<size_t>(count) * sizeof(DISK_EXTENT);
        buffer = ExtentsBuffer(size);
        if (!buffer) DiskInfoAssertion(L"std::unique_ptr( new ), assert( pVolumeDiskExtents )", 651);
        code = ask();
    }
    if (code != ERROR_SUCCESS) {
        GetTrace().Trace(4, L"[%s] DeviceIoControl(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0x%08X", function, code);
        return code;
    }
    if (returned != size) DiskInfoAssertion(L"is_equil, assert( BytesReturned == Size )", 671);
    const VOLUME_DISK_EXTENTS* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.get());
    const size_t room = (size - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
    Extents.assign(extents->Extents, extents->Extents + std::min<size_t>(extents->NumberOfDiskExtents, room));
    return 0;
}

std::wstring FormatPhysicalDrives(const std::vector<PhysicalDriveInfo>& drives) {
    std::wstring text;
    for (const PhysicalDriveInfo& drive : drives) {
        text += Format(L"Disk %u - ", drive.DiskNumber) + Widen(drive.ProductId) + L", Serial: " +
                Widen(drive.SerialNumber) + L", Type: " + BusTypeName(drive.BusType) +
                Format(L", Size: 0x%016llx B (%.1f GB)\n", drive.Length, Gigabytes(drive.Length));
        for (const PARTITION_INFORMATION& partition : drive.Partitions)
            text += Format(L"    Partition: %u, StartingOffset: 0x%016llx, Length: 0x%016llx, Type: 0x%02x, IsBoot: %c\n",
                           partition.PartitionNumber, partition.StartingOffset.QuadPart,
                           partition.PartitionLength.QuadPart, partition.PartitionType,
                           partition.BootIndicator ? L'Y' : L'N');
    }
    return text;
}

DriveEntry MakeDriveEntry(wchar_t letter, const LogicalDrive& drive) {
    return {letter, drive.DriveType == 3u, IsLocalOrNetwork(drive)};
}

std::wstring FormatLogicalDrive(const LogicalDrive& drive) {
    std::wstring line;
    if (drive.Caption) line += *drive.Caption;
    if (drive.DriveType) line += DriveTypeText(*drive.DriveType);
    if (drive.FileSystem) line += L" - " + *drive.FileSystem;
    if (drive.Size) {
        line += SizePart(drive);
        if (drive.ProviderName) line += L", Provider: \"" + *drive.ProviderName + L"\"";
        if (drive.LabelError == 0)
            line += L", Label: " + (drive.Volume.Label.empty() ? L"n/a" : L"\"" + drive.Volume.Label + L"\"") +
                    Format(L", Number-Id: 0x%08X", drive.Volume.NumberId);
        if (drive.DriveType == 3u) {
            if (drive.DiskError)
                line += Format(L"\n\n    Can't get disk information (Error: %u)", drive.DiskError);
            else
                for (const DISK_EXTENT& extent : drive.Volume.Extents)
                    line += Format(L"\n    Disk: %u, StartingOffset: 0x%016llx, ExtentLength: 0x%016llx",
                                   extent.DiskNumber, extent.StartingOffset.QuadPart, extent.ExtentLength.QuadPart);
        }
    }
    return line + L"\n";
}

std::optional<LogicalDrive> ReadLogicalDrive(IWbemServices* services, wchar_t letter, const HardwareCalls& calls) {
    IWbemClassObjectPtr object = Wmi::GetObject(services, std::wstring(L"Win32_LogicalDisk.DeviceID=\"") + letter + L":\"");
    if (!object) return std::nullopt;
    LogicalDrive drive;
    drive.Caption = Wmi::ReadText(object, L"Caption");
    drive.DriveType = Wmi::ReadNumber(object, L"DriveType");
    drive.FileSystem = Wmi::ReadText(object, L"FileSystem");
    drive.Size = Wmi::ReadText(object, L"Size");
    if (!drive.Size) return drive;
    drive.FreeSpace = Wmi::ReadText(object, L"FreeSpace");
    drive.ProviderName = Wmi::ReadText(object, L"ProviderName");
    drive.Volume.Letter = letter;
    drive.LabelError = drive.Volume.GetLabelAndNumberId();
    if (drive.DriveType == 3u) {
        // A driver answer that does not add up costs this drive's disk areas only.
        try {
            drive.DiskError = drive.Volume.GetDiskInfo(calls);
        } catch (const CvBase::CCvError& error) {
            drive.DiskError = error.GetCode();
        }
    }
    return drive;
}
