#include "PhysicalDrives.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>

#include "CvTrace.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"

namespace {

const wchar_t* const WalkFunction = L"GetPhysicalDrivesInfo";
const DWORD AssertionFailure = 668;  // ERROR_ASSERTION_FAILURE

// A step of the disk walk that failed: its name and number as the console
// line shows them, and the Windows error code (0 for a call that succeeded
// with another byte count than required).
struct StepFailure {
    const char* Name;
    unsigned Number;
    DWORD Code;
};

void Print(const StepFailure& failure) {
    if (failure.Code)
        console::echo::text(L"%S failed at %u: Error Code - %u\n", failure.Name, failure.Number, failure.Code);
}

std::unique_ptr<BYTE[]> ZeroedBuffer(size_t size) { return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[size]()); }

// One control request that must fill exactly the output size.
std::optional<StepFailure> Ask(const HardwareCalls& calls, HANDLE disk, DWORD code, void* in, DWORD inSize, void* out,
                               DWORD outSize, const char* name, unsigned number) {
    DWORD returned = 0;
    if (!calls.DeviceIoControl(disk, code, in, inSize, out, outSize, &returned, nullptr))
        return StepFailure{name, number, GetLastError()};
    if (returned != outSize) return StepFailure{name, number, 0};
    return std::nullopt;
}

// The NUL-terminated text at an offset of the descriptor; none for the offset 0.
std::optional<std::string> DescriptorText(const BYTE* descriptor, size_t size, DWORD offset) {
    if (offset == 0) return std::nullopt;
    if (offset >= size) return std::string();
    const char* text = reinterpret_cast<const char*>(descriptor + offset);
    return std::string(text, std::find(text, text + (size - offset), '\0'));
}

// Room for more partitions than any disk has: a driver that asks for still more is not believed.
const size_t MostPartitions = 128;

// The recognised partitions of the partition table, or none when the table
// cannot be read: its buffer grows by one entry as long as the driver asks for more.
void ReadPartitions(const HardwareCalls& calls, HANDLE disk, std::vector<PARTITION_INFORMATION>& partitions) {
    for (size_t entries = 1;; ++entries) {
        if (entries > MostPartitions) {
            GetTrace().Trace(4, L"[%s] DeviceIoControl, IOCTL_DISK_GET_DRIVE_LAYOUT: more than %u partitions asked for",
                             WalkFunction, static_cast<unsigned>(MostPartitions));
            return;
        }
        const size_t size =
            offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) + entries * sizeof(PARTITION_INFORMATION);
        std::unique_ptr<BYTE[]> buffer = ZeroedBuffer(size);
        DWORD returned = 0;
        const DWORD code = !buffer ? ERROR_NOT_ENOUGH_MEMORY
                           : calls.DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buffer.get(),
                                                   static_cast<DWORD>(size), &returned, nullptr)
                               ? ERROR_SUCCESS
                               : GetLastError();
        if (code == ERROR_INSUFFICIENT_BUFFER) continue;
        if (code != ERROR_SUCCESS) {
            GetTrace().Trace(4, L"[%s] DeviceIoControl, IOCTL_DISK_GET_DRIVE_LAYOUT: 0x%08X", WalkFunction, code);
            return;
        }
        const DRIVE_LAYOUT_INFORMATION* layout = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION*>(buffer.get());
        const size_t count = std::min<size_t>(layout->PartitionCount, entries);
        for (size_t i = 0; i < count; ++i)
            if (layout->PartitionEntry[i].RecognizedPartition) partitions.push_back(layout->PartitionEntry[i]);
        return;
    }
}

// Everything the driver of one open disk tells.
std::optional<StepFailure> ReadDisk(const HardwareCalls& calls, HANDLE disk, PhysicalDriveInfo& drive) {
    STORAGE_DEVICE_NUMBER number = {};
    if (auto failure = Ask(calls, disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof(number),
                           "DeviceIoControl, IOCTL_STORAGE_GET_DEVICE_NUMBER", 404))
        return failure;
    drive.DiskNumber = number.DeviceNumber;

    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header = {};
    if (auto failure = Ask(calls, disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, sizeof(header),
                           "DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY - 1", 425))
        return failure;
    // The fixed part stays readable (zero) when the driver describes less.
    const size_t room = std::max<size_t>(header.Size, sizeof(STORAGE_DEVICE_DESCRIPTOR));
    std::unique_ptr<BYTE[]> descriptor = ZeroedBuffer(room);
    if (!descriptor) return StepFailure{"unique_ptr, spStorageDescriptor", 429, ERROR_NOT_ENOUGH_MEMORY};
    if (auto failure = Ask(calls, disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), descriptor.get(),
                           header.Size, "DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY - 2", 441))
        return failure;
    const STORAGE_DEVICE_DESCRIPTOR* device = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.get());
    drive.BusType = device->BusType;
    const std::optional<std::string> serial = DescriptorText(descriptor.get(), header.Size, device->SerialNumberOffset);
    drive.SerialNumber = serial ? SerialNumber::Decode(serial->c_str()) : "n/a";
    drive.ProductId = DescriptorText(descriptor.get(), header.Size, device->ProductIdOffset).value_or("n/a");

    GET_LENGTH_INFORMATION length = {};
    if (auto failure = Ask(calls, disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length),
                           "DeviceIoControl, IOCTL_DISK_GET_LENGTH_INFO", 470))
        return failure;
    drive.Length = length.Length.QuadPart;

    ReadPartitions(calls, disk, drive.Partitions);
    return std::nullopt;
}

// One disk interface of the set, from its detail to the closed disk.
std::optional<StepFailure> ReadInterface(const HardwareCalls& calls, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                         PhysicalDriveInfo& drive) {
    DWORD size = 0;
    if (calls.SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &size, nullptr))
        return StepFailure{"SetupDiGetDeviceInterfaceDetail - 1", 367, 0};
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return StepFailure{"SetupDiGetDeviceInterfaceDetail - 1", 367, GetLastError()};
    const size_t room = std::max<size_t>(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    std::unique_ptr<BYTE[]> buffer = ZeroedBuffer(room);
    if (!buffer) return StepFailure{"unique_ptr, spDeviceInterfaceDetailData", 371, ERROR_NOT_ENOUGH_MEMORY};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!calls.SetupDiGetDeviceInterfaceDetail(set, &data, detail, size, nullptr, nullptr))
        return StepFailure{"SetupDiGetDeviceInterfaceDetail - 2", 381, GetLastError()};

    CvBase::CWin32Handle disk(CreateFileW(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!disk.IsValid()) return StepFailure{"CreateFile", 391, GetLastError()};
    if (auto failure = ReadDisk(calls, disk.Get(), drive)) return failure;
    if (!CloseHandle(disk.Detach())) return StepFailure{"CloseHandle", 537, GetLastError()};
    return std::nullopt;
}

void WalkInterfaces(const HardwareCalls& calls, HDEVINFO set, std::vector<PhysicalDriveInfo>& drives) {
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!calls.SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, index, &data)) {
            const DWORD code = GetLastError();
            if (code != ERROR_NO_MORE_ITEMS) Print({"SetupDiEnumDeviceInterfaces", 547, code});
            return;
        }
        PhysicalDriveInfo drive;
        if (const std::optional<StepFailure> failure = ReadInterface(calls, set, data, drive))
            Print(*failure);
        else
            drives.push_back(std::move(drive));
    }
}

}  // namespace

void GetPhysicalDrivesInfo(std::vector<PhysicalDriveInfo>& drives, const HardwareCalls& calls) {
    HDEVINFO set =
        calls.SetupDiGetClassDevs(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        Print({"SetupDiGetClassDevs", 349, GetLastError()});
        return;
    }
    try {
        WalkInterfaces(calls, set, drives);
    } catch (...) {
        calls.SetupDiDestroyDeviceInfoList(set);
        throw;
    }
    if (!calls.SetupDiDestroyDeviceInfoList(set)) Print({"SetupDiDestroyDeviceInfoList", 552, GetLastError()});
}

namespace SerialNumber {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// The characters whose hexadecimal digits the text holds, blanks read as "0";
// none when another character or an unprintable byte comes. count: the
// characters read.
std::optional<std::string> ReadHexadecimal(const char* text, size_t& count) {
    std::string result;
    unsigned held = 0;
    size_t i = 0;
    for (; text[i]; ++i) {
        char c = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
        if (IsBlank(c)) c = '0';
        unsigned value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else
            return std::nullopt;
        if (i % 2 == 0) {
            held = value;
            continue;
        }
        const unsigned byte = held * 16 + value;
        if (!IsPrintable(static_cast<unsigned char>(byte))) return std::nullopt;
        result += static_cast<char>(byte);
    }
    count = i;
    return result;
}

}  // namespace

std::string Decode(const char* text) {
    const wchar_t* const function = L"SerialNumber::Decode";
    if (!text) {
        GetTrace().Trace(4, L"[%s] is null, assert( String )", function);
        CvBase::ThrowError(AssertionFailure, L"utility", 543, function);
    }
    GetTrace().Trace(2, L"[%s] s/n encoded: %S", function, text);
    size_t count = 0;
    std::string result;
    if (std::optional<std::string> read = ReadHexadecimal(text, count)) {
        result = std::move(*read);
    } else {
        while (IsPrintable(static_cast<unsigned char>(text[count]))) ++count;
        result.assign(text, count);
    }
    if (count == 0) return result;
    if (IsFlipped(text, count)) {
        for (size_t i = 0; i + 1 < result.size(); i += 2) std::swap(result[i], result[i + 1]);
        if (result.size() % 2)
            GetTrace().Trace(4, L"[%s] %S, odd length: %u", function, result.c_str(),
                             static_cast<unsigned>(result.size()));
    }
    const size_t first = result.find_first_not_of(" \t\n\v\f\r");
    if (first == std::string::npos) return std::string();
    return result.substr(first, result.find_last_not_of(" \t\n\v\f\r") - first + 1);
}

bool IsFlipped(const char* text, size_t count) {
    if (count == 0 || !text || !*text) {
        GetTrace().Trace(4, L"[%s] null length, assert( Length && *String )", L"SerialNumber::IsFlipped");
        CvBase::ThrowError(AssertionFailure, L"utility", 525, L"SerialNumber::IsFlipped");
    }
    return text[0] == ' ' || count > 20;
}

}  // namespace SerialNumber
