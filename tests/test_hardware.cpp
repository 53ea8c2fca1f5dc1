// The hardware section of the report: processor, operating system and logical
// drives as Wine's WMI gives them; the physical disk walk and the disk areas of
// volumes from answers shaped as Windows drivers give them; the report lines
// from plain records; serial numbers.
#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "DiagReport.h"
#include "HardwareCalls.h"
#include "HardwareInfo.h"
#include "PhysicalDrives.h"
#include "Storage.h"
#include "collector_util.h"
#include "cvexception.h"
#include "utility.h"

namespace {

// ---- driver answers ----

template <typename T>
std::string Bytes(const T& value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// One answer of a driver to a control request. A buffer shorter than the
// answer gets its first bytes, and then success or the error for a short buffer.
struct Answer {
    DWORD error = 0;  // the request fails with it and gets nothing
    std::string bytes;
    DWORD shortError = 0;
    long returned = -1;  // the byte count told, when it is not the count written
};

Answer Fails(DWORD error) { return {error, "", 0, -1}; }

Answer DeviceNumber(DWORD number) { return {0, Bytes(STORAGE_DEVICE_NUMBER{FILE_DEVICE_DISK, number, 0}), 0, -1}; }

// A device descriptor with its texts after the fixed part; a null text has the offset 0.
Answer Descriptor(STORAGE_BUS_TYPE bus, const char* product, const char* serial) {
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    std::string texts;
    auto add = [&](const char* text) -> DWORD {
        if (!text) return 0;
        const DWORD offset = static_cast<DWORD>(sizeof descriptor + texts.size());
        texts += text;
        texts += '\0';
        return offset;
    };
    descriptor.Version = sizeof descriptor;
    descriptor.ProductIdOffset = add(product);
    descriptor.SerialNumberOffset = add(serial);
    descriptor.BusType = bus;
    descriptor.Size = static_cast<DWORD>(sizeof descriptor + texts.size());
    return {0, Bytes(descriptor) + texts, 0, -1};
}

Answer Length(unsigned long long length) {
    GET_LENGTH_INFORMATION info;
    info.Length.QuadPart = length;
    return {0, Bytes(info), 0, -1};
}

PARTITION_INFORMATION Partition(DWORD number, unsigned long long offset, unsigned long long length, BYTE type,
                                bool boot, bool recognized = true) {
    PARTITION_INFORMATION partition = {};
    partition.StartingOffset.QuadPart = offset;
    partition.PartitionLength.QuadPart = length;
    partition.PartitionNumber = number;
    partition.PartitionType = type;
    partition.BootIndicator = boot;
    partition.RecognizedPartition = recognized;
    return partition;
}

// A partition table; a buffer too short for it fails with ERROR_INSUFFICIENT_BUFFER.
Answer Layout(const std::vector<PARTITION_INFORMATION>& partitions) {
    std::string bytes = Bytes(static_cast<DWORD>(partitions.size())) + Bytes(DWORD(0x12345678));
    for (const PARTITION_INFORMATION& partition : partitions) bytes += Bytes(partition);
    return {0, bytes, ERROR_INSUFFICIENT_BUFFER, -1};
}

DISK_EXTENT Extent(DWORD disk, unsigned long long offset, unsigned long long length) {
    DISK_EXTENT extent;
    extent.DiskNumber = disk;
    extent.StartingOffset.QuadPart = offset;
    extent.ExtentLength.QuadPart = length;
    return extent;
}

// The disk areas of a volume, with the count told in the header; a buffer
// too short for them fails with ERROR_MORE_DATA.
Answer Extents(DWORD count, const std::vector<DISK_EXTENT>& extents) {
    std::string bytes = Bytes(count) + Bytes(DWORD(0));
    for (const DISK_EXTENT& extent : extents) bytes += Bytes(extent);
    return {0, bytes, ERROR_MORE_DATA, -1};
}

// A disk as the fake driver offers it: its device path (opened for real) and
// its answers by control code, in order (the last one repeats).
struct FakeDisk {
    std::wstring path;
    DWORD sizeError = ERROR_INSUFFICIENT_BUFFER;  // of the size query; 0: it succeeds
    DWORD detailError = 0;
    std::map<DWORD, std::vector<Answer>> answers;
};

struct FakeDriver {
    std::vector<FakeDisk> disks;
    DWORD classDevsError = 0;
    DWORD endError = ERROR_NO_MORE_ITEMS;  // of the enumeration after the last disk
    int destroyed = 0;
    DWORD destroyError = 0;
    std::vector<Answer> extents;  // of every volume; none: the system's own answer
    std::vector<std::pair<DWORD, DWORD>> requests;  // control code and output size
    size_t current = 0;
    std::map<std::pair<size_t, DWORD>, size_t> asked;
};

FakeDriver* driver = nullptr;
const HDEVINFO FakeSet = reinterpret_cast<HDEVINFO>(0x5E7);

HDEVINFO WINAPI FakeClassDevs(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    if (*guid != GUID_DEVINTERFACE_DISK || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (driver->classDevsError) {
        SetLastError(driver->classDevsError);
        return INVALID_HANDLE_VALUE;
    }
    return FakeSet;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
    if (set != FakeSet || data->cbSize != sizeof(*data)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= driver->disks.size()) {
        SetLastError(driver->endError);
        return FALSE;
    }
    data->Reserved = index;
    driver->current = index;
    return TRUE;
}

BOOL WINAPI FakeInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
    const FakeDisk& disk = driver->disks[data->Reserved];
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                            (disk.path.size() + 1) * sizeof(wchar_t));
    if (!detail) {
        *required = needed;
        if (!disk.sizeError) return TRUE;
        SetLastError(disk.sizeError);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || size < needed) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (disk.detailError) {
        SetLastError(disk.detailError);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, disk.path.c_str(), (disk.path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL WINAPI FakeDestroy(HDEVINFO set) {
    ++driver->destroyed;
    if (driver->destroyError) {
        SetLastError(driver->destroyError);
        return FALSE;
    }
    return set == FakeSet;
}

BOOL WINAPI FakeIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                          LPDWORD returned, LPOVERLAPPED overlapped) {
    const bool volume = code == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS;
    if (volume && driver->extents.empty())
        return ::DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
    driver->requests.push_back({code, outSize});
    const std::vector<Answer>& answers = volume ? driver->extents : driver->disks[driver->current].answers[code];
    if (answers.empty()) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    size_t& asked = driver->asked[{volume ? SIZE_MAX : driver->current, code}];
    const Answer& answer = answers[std::min(asked++, answers.size() - 1)];
    if (answer.error) {
        SetLastError(answer.error);
        return FALSE;
    }
    const DWORD written = std::min<DWORD>(outSize, static_cast<DWORD>(answer.bytes.size()));
    std::memcpy(out, answer.bytes.data(), written);
    *returned = answer.returned >= 0 ? static_cast<DWORD>(answer.returned) : written;
    if (written < answer.bytes.size() && answer.shortError) {
        SetLastError(answer.shortError);
        return FALSE;
    }
    return TRUE;
}

const HardwareCalls FakeCalls = {&::CoCreateInstance, &FakeClassDevs, &FakeEnumInterfaces,
                                 &FakeInterfaceDetail, &FakeDestroy,  &FakeIoControl};

// A disk that answers every request: disk number n, a SATA disk of n GiB
// with one partition.
FakeDisk Disk(DWORD number, const std::wstring& path) {
    FakeDisk disk;
    disk.path = path;
    const std::string name = "Disk" + std::to_string(number);
    disk.answers[IOCTL_STORAGE_GET_DEVICE_NUMBER] = {DeviceNumber(number)};
    disk.answers[IOCTL_STORAGE_QUERY_PROPERTY] = {Descriptor(BusTypeSata, name.c_str(), ("SN" + name).c_str())};
    disk.answers[IOCTL_DISK_GET_LENGTH_INFO] = {Length(number * 1073741824ull)};
    disk.answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Layout({Partition(1, 1048576, 104857600, 7, true)})};
    return disk;
}

std::vector<DWORD> DiskNumbers(const std::vector<PhysicalDriveInfo>& drives) {
    std::vector<DWORD> numbers;
    for (const PhysicalDriveInfo& drive : drives) numbers.push_back(drive.DiskNumber);
    return numbers;
}

std::vector<DWORD> OutputSizes(const FakeDriver& fake, DWORD code) {
    std::vector<DWORD> sizes;
    for (const auto& [requested, size] : fake.requests)
        if (requested == code) sizes.push_back(size);
    return sizes;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// The fake driver in place, and a file that stands for every disk's device.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        m_folder = MakeTempFolder(L"disks");
        m_device = m_folder + L"\\device";
        WriteBytes(m_device, "disk");
        driver = &m_driver;
    }
    void TearDown() override {
        driver = nullptr;
        DeleteTree(m_folder);
        CoUninitialize();
    }
    FakeDriver m_driver;
    std::wstring m_folder, m_device;
};

// ---- the physical disk walk ----

using DiskWalk = DriverTest;

TEST_F(DiskWalk, OneFailingDiskCostsOnlyItself) {
    struct Case {
        const char* name;
        std::function<void(FakeDriver&, const std::wstring& folder)> change;
        std::vector<DWORD> listed;
        const wchar_t* console;
    } cases[] = {
        {"every disk answers", [](FakeDriver&, const std::wstring&) {}, {0, 1, 2}, L""},
        {"device number fails",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].answers[IOCTL_STORAGE_GET_DEVICE_NUMBER] = {Fails(5)}; },
         {0, 2},
         L"DeviceIoControl, IOCTL_STORAGE_GET_DEVICE_NUMBER failed at 404: Error Code - 5\n"},
        {"device number with 8 bytes",
         [](FakeDriver& d, const std::wstring&) {
             d.disks[1].answers[IOCTL_STORAGE_GET_DEVICE_NUMBER][0].returned = 8;
         },
         {0, 2},
         L""},
        {"descriptor header fails",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].answers[IOCTL_STORAGE_QUERY_PROPERTY] = {Fails(1)}; },
         {0, 2},
         L"DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY - 1 failed at 425: Error Code - 1\n"},
        {"descriptor fails",
         [](FakeDriver& d, const std::wstring&) {
             d.disks[1].answers[IOCTL_STORAGE_QUERY_PROPERTY].push_back(Fails(31));
         },
         {0, 2},
         L"DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY - 2 failed at 441: Error Code - 31\n"},
        {"descriptor shorter than its size",
         [](FakeDriver& d, const std::wstring&) {
             std::vector<Answer>& query = d.disks[1].answers[IOCTL_STORAGE_QUERY_PROPERTY];
             query.push_back(query[0]);
             query[1].returned = 40;
         },
         {0, 2},
         L""},
        {"length fails",
         [](FakeDriver& d, const std::wstring&) { d.disks[2].answers[IOCTL_DISK_GET_LENGTH_INFO] = {Fails(1117)}; },
         {0, 1},
         L"DeviceIoControl, IOCTL_DISK_GET_LENGTH_INFO failed at 470: Error Code - 1117\n"},
        {"disk cannot be opened",
         [](FakeDriver& d, const std::wstring& folder) { d.disks[0].path = folder + L"\\gone"; },
         {1, 2},
         L"CreateFile failed at 391: Error Code - 2\n"},
        {"detail size cannot be read",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].sizeError = ERROR_INVALID_PARAMETER; },
         {0, 2},
         L"SetupDiGetDeviceInterfaceDetail - 1 failed at 367: Error Code - 87\n"},
        {"detail size query succeeds",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].sizeError = 0; },
         {0, 2},
         L""},
        {"detail cannot be read",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].detailError = 13; },
         {0, 2},
         L"SetupDiGetDeviceInterfaceDetail - 2 failed at 381: Error Code - 13\n"},
        {"two disks fail",
         [](FakeDriver& d, const std::wstring& folder) {
             d.disks[0].path = folder + L"\\gone";
             d.disks[2].answers[IOCTL_DISK_GET_LENGTH_INFO] = {Fails(21)};
         },
         {1},
         L"CreateFile failed at 391: Error Code - 2\n"
         L"DeviceIoControl, IOCTL_DISK_GET_LENGTH_INFO failed at 470: Error Code - 21\n"},
        {"card reader without media",
         [](FakeDriver& d, const std::wstring&) { d.disks[1].answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Fails(21)}; },
         {0, 1, 2},
         L""},
        {"enumeration breaks off",
         [](FakeDriver& d, const std::wstring&) { d.endError = ERROR_INVALID_DATA; },
         {0, 1, 2},
         L"SetupDiEnumDeviceInterfaces failed at 547: Error Code - 13\n"},
        {"set cannot be released",
         [](FakeDriver& d, const std::wstring&) { d.destroyError = ERROR_INVALID_HANDLE; },
         {0, 1, 2},
         L"SetupDiDestroyDeviceInfoList failed at 552: Error Code - 6\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_driver = FakeDriver();
        for (DWORD n = 0; n < 3; ++n) m_driver.disks.push_back(Disk(n, m_device));
        c.change(m_driver, m_folder);
        std::vector<PhysicalDriveInfo> drives;
        CapturedStdout out;
        EXPECT_NO_THROW(GetPhysicalDrivesInfo(drives, FakeCalls));
        EXPECT_EQ(c.console, out.Text());
        EXPECT_EQ(c.listed, DiskNumbers(drives));
        EXPECT_EQ(1, m_driver.destroyed);
    }
}

TEST_F(DiskWalk, SetOfInterfacesUnavailable) {
    m_driver.disks.push_back(Disk(0, m_device));
    m_driver.classDevsError = ERROR_ACCESS_DENIED;
    std::vector<PhysicalDriveInfo> drives;
    CapturedStdout out;
    GetPhysicalDrivesInfo(drives, FakeCalls);
    EXPECT_EQ(L"SetupDiGetClassDevs failed at 349: Error Code - 5\n", out.Text());
    EXPECT_TRUE(drives.empty());
    EXPECT_EQ(0, m_driver.destroyed);
}

TEST_F(DiskWalk, PartitionTableReadWithGrowingBuffer) {
    FakeDisk disk = Disk(3, m_device);
    disk.answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Layout({Partition(1, 0x100000, 0x6400000, 0x07, true),
                                                         Partition(0, 0, 0, 0x00, false, false),
                                                         Partition(2, 0x6500000, 0x3a3817d000, 0x0f, false)})};
    m_driver.disks = {disk};
    std::vector<PhysicalDriveInfo> drives;
    GetPhysicalDrivesInfo(drives, FakeCalls);
    EXPECT_EQ((std::vector<DWORD>{40, 72, 104}), OutputSizes(m_driver, IOCTL_DISK_GET_DRIVE_LAYOUT));
    ASSERT_EQ(1u, drives.size());
    ASSERT_EQ(2u, drives[0].Partitions.size());
    EXPECT_EQ(1u, drives[0].Partitions[0].PartitionNumber);
    EXPECT_EQ(2u, drives[0].Partitions[1].PartitionNumber);
    EXPECT_EQ(0x3a3817d000, drives[0].Partitions[1].PartitionLength.QuadPart);
}

TEST_F(DiskWalk, DescriptorFields) {
    struct Case {
        const char* name;
        const char* product;
        const char* serial;
        std::string productId, serialNumber;
    } cases[] = {
        {"serial in hexadecimal", "ST1000DM003-1CH162", "3435363738", "ST1000DM003-1CH162", "45678"},
        {"serial with pairs exchanged", "WDC WD10EZEX", "2020202020203132333435363738393041424344", "WDC WD10EZEX",
         "2143658709BADC"},
        {"no texts", nullptr, nullptr, "n/a", "n/a"},
        {"empty serial", "USB Flash", "", "USB Flash", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_driver = FakeDriver();
        FakeDisk disk = Disk(1, m_device);
        disk.answers[IOCTL_STORAGE_QUERY_PROPERTY] = {Descriptor(BusTypeUsb, c.product, c.serial)};
        m_driver.disks = {disk};
        std::vector<PhysicalDriveInfo> drives;
        GetPhysicalDrivesInfo(drives, FakeCalls);
        ASSERT_EQ(1u, drives.size());
        EXPECT_EQ(c.productId, drives[0].ProductId);
        EXPECT_EQ(c.serialNumber, drives[0].SerialNumber);
        EXPECT_EQ(static_cast<DWORD>(BusTypeUsb), drives[0].BusType);
        EXPECT_EQ(1073741824u, drives[0].Length);
        const DWORD size = static_cast<DWORD>(disk.answers[IOCTL_STORAGE_QUERY_PROPERTY][0].bytes.size());
        EXPECT_EQ((std::vector<DWORD>{8, size}), OutputSizes(m_driver, IOCTL_STORAGE_QUERY_PROPERTY));
    }
}

TEST_F(DiskWalk, UnreadablePartitionTableIsTraced) {
    TraceCapture trace(m_folder);
    m_driver.disks = {Disk(0, m_device)};
    m_driver.disks[0].answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Fails(ERROR_NOT_READY)};
    std::vector<PhysicalDriveInfo> drives;
    GetPhysicalDrivesInfo(drives, FakeCalls);
    ASSERT_EQ(1u, drives.size());
    EXPECT_TRUE(drives[0].Partitions.empty());
    EXPECT_TRUE(
        HasLine(trace.Lines(), "[GetPhysicalDrivesInfo] DeviceIoControl, IOCTL_DISK_GET_DRIVE_LAYOUT: 0x00000015"));
}

TEST_F(DiskWalk, PartitionTableThatNeverFitsEndsAtItsBound) {
    TraceCapture trace(m_folder);
    m_driver.disks = {Disk(0, m_device), Disk(1, m_device)};
    m_driver.disks[0].answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Fails(ERROR_INSUFFICIENT_BUFFER)};
    std::vector<PhysicalDriveInfo> drives;
    GetPhysicalDrivesInfo(drives, FakeCalls);
    ASSERT_EQ(2u, drives.size());
    EXPECT_TRUE(drives[0].Partitions.empty());
    EXPECT_EQ(1u, drives[1].Partitions.size()) << "the next disk is read as before";
    const std::vector<DWORD> sizes = OutputSizes(m_driver, IOCTL_DISK_GET_DRIVE_LAYOUT);
    ASSERT_EQ(128u + 1, sizes.size());  // 128 for the first disk, one for the second
    EXPECT_EQ(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) + 128 * sizeof(PARTITION_INFORMATION), sizes[127]);
    EXPECT_TRUE(HasLine(trace.Lines(),
                        "[GetPhysicalDrivesInfo] DeviceIoControl, IOCTL_DISK_GET_DRIVE_LAYOUT: more than 128 "
                        "partitions asked for"));
}

// ---- serial numbers ----

TEST(SerialNumberDecode, ReadableText) {
    struct Case {
        const char* encoded;
        const char* decoded;
    } cases[] = {
        {"3435363738", "45678"},
        {"2020202020203132333435363738393041424344", "2143658709BADC"},
        {" 1234", "1 324"},
        {"414", "A"},
        {"", ""},
        {"WD-WCAV12345678", "WD-WCAV12345678"},
        {"ghijklmnopqrstuvwxyzAB", "hgjilknmporqtsvuxwzyBA"},
        {"AB\x01"
         "CD",
         "AB"},
        {"  S1234", "1S324"},
        {"20203A3B", ":;"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.decoded, SerialNumber::Decode(c.encoded)) << c.encoded;
}

CvBase::CCvError Raised(const std::function<void()>& call) {
    try {
        call();
    } catch (const CvBase::CCvError& error) {
        return error;
    }
    return CvBase::CCvError(0, nullptr, 0, nullptr);
}

std::wstring Entry(const CvBase::CCvError& error, const wchar_t* name) {
    const std::wstring* text = error.FindEntry(name);
    return text ? *text : L"<none>";
}

TEST(SerialNumberDecode, NullTextAndEmptyCountRaise) {
    const CvBase::CCvError null = Raised([] { SerialNumber::Decode(nullptr); });
    EXPECT_EQ(668u, null.GetCode());
    EXPECT_EQ(L"543", Entry(null, L"Line"));
    for (const auto& [text, count] : {std::pair<const char*, size_t>{"12", 0}, {"", 4}}) {
        const CvBase::CCvError empty = Raised([&] { SerialNumber::IsFlipped(text, count); });
        EXPECT_EQ(668u, empty.GetCode());
        EXPECT_EQ(L"525", Entry(empty, L"Line"));
    }
}

TEST(SerialNumberIsFlipped, LeadingBlankOrLongCount) {
    EXPECT_TRUE(SerialNumber::IsFlipped(" 1", 2));
    EXPECT_TRUE(SerialNumber::IsFlipped("12", 21));
    EXPECT_FALSE(SerialNumber::IsFlipped("12", 20));
}

TEST(SerialNumberDecode, OddLengthIsTraced) {
    const std::wstring folder = MakeTempFolder(L"serial");
    {
        TraceCapture trace(folder);
        SerialNumber::Decode(" 1234");
        const std::vector<std::string> lines = trace.Lines();
        EXPECT_TRUE(HasLine(lines, "[SerialNumber::Decode] s/n encoded:  1234"));
        EXPECT_TRUE(HasLine(lines, "[SerialNumber::Decode] 1 324, odd length: 5"));
    }
    DeleteTree(folder);
}

// ---- disk areas of a volume ----

using VolumeDiskInfo = DriverTest;

TEST_F(VolumeDiskInfo, DriverAnswers) {
    const std::vector<DISK_EXTENT> three = {Extent(0, 0x100000, 0x40000000), Extent(1, 0x100000, 0x80000000),
                                            Extent(12, 0x8000, 0x1000)};
    Answer short8 = Extents(1, {three[0]});
    short8.returned = 8;
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        DWORD result;
        unsigned raisedLine;  // 0: nothing raised
        std::vector<DWORD> sizes;
        size_t extents;
    } cases[] = {
        {"one area", {Extents(1, {three[0]})}, 0, 0, {32}, 1},
        {"three areas", {Extents(3, three)}, 0, 0, {32, 80}, 3},
        {"driver refuses", {Fails(ERROR_INVALID_FUNCTION)}, ERROR_INVALID_FUNCTION, 0, {32}, 0},
        {"more data for one area", {Extents(1, three)}, 0, 646, {32}, 0},
        {"byte count short", {short8}, 0, 671, {32}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_driver = FakeDriver();
        m_driver.extents = c.answers;
        Volume volume;
        volume.Letter = L'C';
        DWORD result = 0;
        const CvBase::CCvError raised = Raised([&] { result = volume.GetDiskInfo(FakeCalls); });
        EXPECT_EQ(c.sizes, OutputSizes(m_driver, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS));
        if (c.raisedLine) {
            EXPECT_EQ(668u, raised.GetCode());
            EXPECT_EQ(std::to_wstring(c.raisedLine), Entry(raised, L"Line"));
            continue;
        }
        EXPECT_EQ(0u, raised.GetCode());
        EXPECT_EQ(c.result, result);
        ASSERT_EQ(c.extents, volume.Extents.size());
        for (size_t i = 0; i < c.extents; ++i) {
            EXPECT_EQ(three[i].DiskNumber, volume.Extents[i].DiskNumber);
            EXPECT_EQ(three[i].StartingOffset.QuadPart, volume.Extents[i].StartingOffset.QuadPart);
            EXPECT_EQ(three[i].ExtentLength.QuadPart, volume.Extents[i].ExtentLength.QuadPart);
        }
    }
}

TEST_F(VolumeDiskInfo, VolumeThatCannotBeOpened) {
    Volume volume;
    volume.Letter = L'K';  // no such drive in the test prefix
    EXPECT_NE(0u, volume.GetDiskInfo(FakeCalls));
    EXPECT_TRUE(m_driver.requests.empty());
    EXPECT_NE(0u, volume.GetLabelAndNumberId());
}

// ---- report lines from records ----

TEST(FormatPhysicalDrives, DiskAndPartitionLines) {
    PhysicalDriveInfo first;
    first.DiskNumber = 0;
    first.ProductId = "Samsung SSD 860 EVO 2TB";
    first.BusType = BusTypeSata;
    first.SerialNumber = "S3YVNB0K123456A";
    first.Length = 2000398934016;
    first.Partitions = {Partition(1, 0x100000, 0x1f400000, 0x07, true),
                        Partition(12, 0x1f500000, 0x1d1a1000000, 0x0f, false)};
    PhysicalDriveInfo second;
    second.DiskNumber = 11;
    second.ProductId = "n/a";
    second.BusType = 42;
    second.SerialNumber = "n/a";
    second.Length = 0;
    EXPECT_EQ(
        L"Disk 0 - Samsung SSD 860 EVO 2TB, Serial: S3YVNB0K123456A, Type: Sata, Size: 0x000001d1c1116000 B (1863.0 GB)\n"
        L"    Partition: 1, StartingOffset: 0x0000000000100000, Length: 0x000000001f400000, Type: 0x07, IsBoot: Y\n"
        L"    Partition: 12, StartingOffset: 0x000000001f500000, Length: 0x000001d1a1000000, Type: 0x0f, IsBoot: N\n"
        L"Disk 11 - n/a, Serial: n/a, Type: ?, Size: 0x0000000000000000 B (0.0 GB)\n",
        FormatPhysicalDrives({first, second}));
}

TEST(FormatPhysicalDrives, BusTypeNames) {
    const wchar_t* names[] = {L"Unknown", L"Scsi", L"Atapi", L"Ata", L"1394", L"Ssa", L"Fibre",   L"Usb",
                              L"RAID",    L"iScsi", L"Sas",  L"Sata", L"Sd",  L"Mmc", L"Virtual", L"FileBackedVirtual"};
    for (DWORD type = 0; type < 16; ++type) {
        PhysicalDriveInfo drive;
        drive.BusType = type;
        const std::wstring line = FormatPhysicalDrives({drive});
        EXPECT_NE(std::wstring::npos, line.find(std::wstring(L", Type: ") + names[type] + L", ")) << Narrow(line);
    }
}

LogicalDrive Drive(const wchar_t* caption, unsigned long long type, const wchar_t* fileSystem, const wchar_t* size,
                   const wchar_t* free) {
    LogicalDrive drive;
    drive.Caption = caption;
    drive.DriveType = type;
    if (fileSystem) drive.FileSystem = fileSystem;
    if (size) drive.Size = size;
    if (free) drive.FreeSpace = free;
    drive.Volume.Letter = caption[0];
    return drive;
}

TEST(FormatLogicalDrive, Lines) {
    LogicalDrive system = Drive(L"C:", 3, L"NTFS", L"128034672640", L"48034672640");
    system.Volume.Label = L"System";
    system.Volume.NumberId = 0x1A2B3C4D;
    system.Volume.Extents = {Extent(0, 0x100000, 0x1dcf000000), Extent(11, 0x8000, 0xff000)};
    LogicalDrive network = Drive(L"Z:", 4, L"NTFS", L"1099511627776", L"549755813888");
    network.ProviderName = L"\\\\server\\share";
    network.Volume.NumberId = 0xabc;
    network.Volume.Extents = {Extent(0, 0x100000, 0x1000)};  // not asked for a network drive, never shown
    LogicalDrive optical = Drive(L"D:", 5, L"CDFS", L"734003200", L"0");
    optical.Volume.Label = L"DISC";
    LogicalDrive wine = Drive(L"C:", 3, L"NTFS", L"1000", L"3000");
    LogicalDrive empty = Drive(L"E:", 3, L"NTFS", L"0", L"0");
    LogicalDrive noFree = Drive(L"F:", 4, nullptr, L"2048", nullptr);
    LogicalDrive oddSize = Drive(L"G:", 3, L"FAT32", L"12a", L"0");
    oddSize.Volume.NumberId = 0xFFFFFFFF;
    LogicalDrive oddFree = Drive(L"H:", 4, L"FAT32", L"1024", L"-1");
    LogicalDrive broken = Drive(L"I:", 3, L"NTFS", L"1024", L"512");
    broken.Volume.NumberId = 0xABCD;
    broken.DiskError = 668;
    LogicalDrive noLabel = Drive(L"J:", 3, L"NTFS", L"1024", L"512");
    noLabel.LabelError = ERROR_NOT_READY;
    noLabel.DiskError = ERROR_NOT_READY;
    LogicalDrive removable = Drive(L"A:", 2, nullptr, nullptr, nullptr);
    LogicalDrive noRoot = Drive(L"M:", 1, nullptr, nullptr, nullptr);
    LogicalDrive ramDisk = Drive(L"R:", 6, L"FAT32", L"1048576", L"524288");
    ramDisk.Volume.Label = L"RAM";
    LogicalDrive unknown = Drive(L"K:", 0, L"UDF", nullptr, nullptr);
    LogicalDrive odd = Drive(L"L:", 9, nullptr, nullptr, nullptr);
    LogicalDrive bare;
    struct Case {
        const char* name;
        const LogicalDrive& drive;
        const wchar_t* line;
    } cases[] = {
        {"local disk with two areas", system,
         L"C: Local Disk - NTFS, Size: 80'000'000'000/128'034'672'640 B (74.5/119.2 GB), ~38% free, "
         L"Label: \"System\", Number-Id: 0x1A2B3C4D\n"
         L"    Disk: 0, StartingOffset: 0x0000000000100000, ExtentLength: 0x0000001dcf000000\n"
         L"    Disk: 11, StartingOffset: 0x0000000000008000, ExtentLength: 0x00000000000ff000\n"},
        {"network drive", network,
         L"Z: Network Drive - NTFS, Size: 549'755'813'888/1'099'511'627'776 B (512.0/1024.0 GB), ~50% free, "
         L"Provider: \"\\\\server\\share\", Label: n/a, Number-Id: 0x00000ABC\n"},
        {"optical drive with media", optical,
         L"D: Compact Disc - CDFS, Size: 734'003'200 B (0.7 GB), Label: \"DISC\", Number-Id: 0x00000000\n"},
        {"more free than size", wine,
         L"C: Local Disk - NTFS, Size: 0/1'000 B (0.0/0.0 GB), ~100% free, Label: n/a, Number-Id: 0x00000000\n"},
        {"size 0", empty, L"E: Local Disk - NTFS, Size: 0/0 B (0.0/0.0 GB), Label: n/a, Number-Id: 0x00000000\n"},
        {"free space null", noFree,
         L"F: Network Drive, Size: 2'048/2'048 B (0.0/0.0 GB), ~0% free, Label: n/a, Number-Id: 0x00000000\n"},
        {"size not a number", oddSize, L"G: Local Disk - FAT32, Label: n/a, Number-Id: 0xFFFFFFFF\n"},
        {"free space not a number", oddFree, L"H: Network Drive - FAT32, Label: n/a, Number-Id: 0x00000000\n"},
        {"disk areas fail", broken,
         L"I: Local Disk - NTFS, Size: 512/1'024 B (0.0/0.0 GB), ~50% free, Label: n/a, Number-Id: 0x0000ABCD\n"
         L"\n"
         L"    Can't get disk information (Error: 668)\n"},
        {"label and disk areas fail", noLabel,
         L"J: Local Disk - NTFS, Size: 512/1'024 B (0.0/0.0 GB), ~50% free\n"
         L"\n"
         L"    Can't get disk information (Error: 21)\n"},
        {"size null", removable, L"A: Removable Disk\n"},
        {"no root directory", noRoot, L"M: (No Root Directory)\n"},
        {"RAM disk", ramDisk,
         L"R: RAM Disk - FAT32, Size: 1'048'576 B (0.0 GB), Label: \"RAM\", Number-Id: 0x00000000\n"},
        {"type 0 and size null", unknown, L"K: ? - UDF\n"},
        {"type beyond the table", odd, L"L:\n"},
        {"nothing read", bare, L"\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.line, FormatLogicalDrive(c.drive)) << c.name;
}

// The disk of a drive letter as the storage driver tells it (Wine puts every
// drive of a prefix on disk 0); a letter without a drive raises the error of
// its opening, traced with the path.
TEST(GetDiskIdByDriveLetter, DiskOfADriveAndTheErrorOfAMissingOne) {
    const DWORD drives = GetLogicalDrives();
    wchar_t missing = L'Y';
    while (missing > L'D' && (drives & (1u << (missing - L'A')))) --missing;
    ASSERT_GT(missing, L'D') << "no free drive letter";
    const std::wstring folder = MakeTempFolder(L"disk-id");
    std::vector<std::string> lines;
    {
        TraceCapture trace(folder);
        EXPECT_EQ(0u, GetDiskIdByDriveLetter(L'C'));
        try {
            GetDiskIdByDriveLetter(missing);
            ADD_FAILURE() << "a disk for a missing drive";
        } catch (const CvBase::CCvError& error) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error.GetCode());
            ASSERT_TRUE(error.FindEntry(L"Function") && error.FindEntry(L"Line"));
            EXPECT_EQ(L"GetDiskIdByDriveLetter", *error.FindEntry(L"Function"));
            EXPECT_EQ(L"379", *error.FindEntry(L"Line"));
        }
        lines = trace.Lines();
    }
    DeleteTree(folder);
    const std::vector<std::string> expected = {"W> [GetDiskIdByDriveLetter] CreateFile( \"\\\\.\\" +
                                               std::string(1, static_cast<char>(missing)) + ":\" ), 0x00000002"};
    EXPECT_EQ(expected, lines);
}

TEST(MakeDriveEntry, MarksByDriveType) {
    for (unsigned long long type = 0; type <= 7; ++type) {
        const DriveEntry entry = MakeDriveEntry(L'Q', Drive(L"Q:", type, nullptr, nullptr, nullptr));
        EXPECT_EQ(L'Q', entry.Letter);
        EXPECT_EQ(type == 3, entry.IsLocalDisk) << type;
        EXPECT_EQ(type == 3 || type == 4, entry.IsLocalOrNetwork) << type;
    }
    const DriveEntry untyped = MakeDriveEntry(L'R', LogicalDrive());
    EXPECT_FALSE(untyped.IsLocalDisk || untyped.IsLocalOrNetwork);
}

TEST(FormatProcessor, LinesOfWhatWasRead) {
    EXPECT_EQ(L"CPU:\n", FormatProcessor(std::nullopt));
    EXPECT_EQ(L"CPU:\nCaption: Intel64 Family 6 Model 158 Stepping 10\nName: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\n"
              L"MaxClockSpeed: ~3600 MHz\n",
              FormatProcessor(ProcessorInfo{L"Intel64 Family 6 Model 158 Stepping 10",
                                            L"Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz", 3600}));
    EXPECT_EQ(L"CPU:\nMaxClockSpeed: ~12345 MHz\n", FormatProcessor(ProcessorInfo{std::nullopt, std::nullopt, 12345}));
}

TEST(FormatOperatingSystem, LinesOfWhatWasRead) {
    OperatingSystemInfo full;
    full.Caption = L"Microsoft Windows 7 Professional";
    full.CSDVersion = L"Service Pack 1";
    full.BuildType = L"Multiprocessor Free";
    full.CountryCode = L"7";
    full.Locale = L"0419";
    full.TotalVirtualMemorySize = L"16666344";
    full.Is64Bit = true;
    OperatingSystemInfo noPack = full;
    noPack.CSDVersion.reset();
    noPack.TotalVirtualMemorySize = L"0";
    OperatingSystemInfo emptyPack = full;
    emptyPack.CSDVersion = L"";
    emptyPack.TotalVirtualMemorySize = L"16 GB";
    OperatingSystemInfo packOnly;
    packOnly.CSDVersion = L"Service Pack 2";
    const OperatingSystemInfo nothing;
    struct Case {
        const char* name;
        std::optional<OperatingSystemInfo> system;
        const wchar_t* text;
    } cases[] = {
        {"every property", full,
         L"\nOperating system:\nName: Microsoft Windows 7 Professional(Service Pack 1)\nBuildType: Multiprocessor Free\n"
         L"Bitness: x64\nCountry: 7\nLocale: 0x0419\nTotalVirtualMemorySize: 16'666'344 KB\n"},
        {"no service pack", noPack,
         L"\nOperating system:\nName: Microsoft Windows 7 Professional\nBuildType: Multiprocessor Free\n"
         L"Bitness: x64\nCountry: 7\nLocale: 0x0419\nTotalVirtualMemorySize: 0 KB\n"},
        {"empty service pack, memory not a number", emptyPack,
         L"\nOperating system:\nName: Microsoft Windows 7 Professional\nBuildType: Multiprocessor Free\n"
         L"Bitness: x64\nCountry: 7\nLocale: 0x0419\n"},
        {"service pack alone", packOnly, L"\nOperating system:\n(Service Pack 2)\nBitness: x32\n"},
        {"nothing readable", nothing, L"\nOperating system:\n\nBitness: x32\n"},
        {"no object", std::nullopt, L"\nOperating system:\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, FormatOperatingSystem(c.system)) << c.name;
}

// ---- the whole section ----

using LogHardwareInfo = DriverTest;

std::string Section(const std::wstring& text, const std::wstring& from, const std::wstring& to) {
    const size_t begin = text.find(from);
    if (begin == std::wstring::npos) return "<no " + Narrow(from) + ">";
    const size_t end = text.find(to, begin + from.size());
    if (end == std::wstring::npos) return "<no " + Narrow(to) + ">";
    return Narrow(text.substr(begin + from.size(), end - begin - from.size()));
}

TEST_F(LogHardwareInfo, WineComputer) {
    DiagReport report;
    report.Drives.push_back({L'Q', false, false});  // from an earlier run: refilled
    std::wostringstream out;
    report.LogHardwareInfo(out);
    const std::string text = Narrow(out.str());
    EXPECT_TRUE(std::regex_search(text, std::regex("^CPU:\nCaption: [^\n]+\nName: [^\n]+\nMaxClockSpeed: ~[0-9]+ MHz\n"
                                                   "\nOperating system:\nName: [^\n]+\\(Service Pack 1\\)\n"
                                                   "BuildType: [^\n]*\nBitness: x64\nCountry: [^\n]+\nLocale: 0x0409\n"
                                                   "TotalVirtualMemorySize: [0-9]{1,3}('[0-9]{3})* KB\n"
                                                   "\nStorage \\(Physical Drives and Partitions\\):\n"
                                                   "\nStorage \\(Logical Drives\\):\n")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\nC: Local Disk - [A-Za-z0-9]+, Size: [0-9']+/[0-9']+ B "
                                                   "\\([0-9.]+/[0-9.]+ GB\\), ~[0-9]+% free, Label: n/a, "
                                                   "Number-Id: 0x[0-9A-F]{8}\n")))
        << text;
    ASSERT_FALSE(report.Drives.empty());
    for (size_t i = 1; i < report.Drives.size(); ++i) EXPECT_LT(report.Drives[i - 1].Letter, report.Drives[i].Letter);
    bool systemDrive = false;
    for (const DriveEntry& drive : report.Drives) {
        EXPECT_NE(L'Q', drive.Letter);
        EXPECT_NE(std::string::npos, text.find(std::string("\n") + char(drive.Letter) + ":"));
        if (drive.Letter != L'C') continue;
        systemDrive = true;
        EXPECT_TRUE(drive.IsLocalDisk);
        EXPECT_TRUE(drive.IsLocalOrNetwork);
    }
    EXPECT_TRUE(systemDrive);
}

HRESULT WINAPI NoLocator(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* object) {
    *object = nullptr;
    return REGDB_E_CLASSNOTREG;
}

TEST_F(LogHardwareInfo, WmiUnreachable) {
    HardwareCalls calls = FakeCalls;
    calls.CoCreateInstance = &NoLocator;
    m_driver.disks = {Disk(0, m_device)};
    DiagReport report;
    report.Hardware = &calls;
    report.Drives.push_back({L'C', true, true});
    std::wostringstream out;
    CapturedStdout console;
    report.LogHardwareInfo(out);
    EXPECT_EQ(L"", console.Text());
    EXPECT_EQ(L"", out.str());
    EXPECT_TRUE(report.Drives.empty());
    EXPECT_TRUE(m_driver.requests.empty());
}

// A disk without a readable partition table and volumes whose disk areas do
// not add up cost neither the other disks nor the other drive letters.
TEST_F(LogHardwareInfo, FailingDevicesCostOnlyThemselves) {
    DiagReport plain;
    std::wostringstream plainOut;
    plain.LogHardwareInfo(plainOut);

    m_driver.disks = {Disk(0, m_device), Disk(1, m_device)};
    m_driver.disks[0].answers[IOCTL_DISK_GET_DRIVE_LAYOUT] = {Fails(ERROR_NOT_READY)};
    Answer mismatch = Extents(1, {Extent(0, 0x100000, 0x1000)});
    mismatch.returned = 8;
    m_driver.extents = {mismatch};
    DiagReport report;
    report.Hardware = &FakeCalls;
    std::wostringstream out;
    report.LogHardwareInfo(out);
    const std::wstring text = out.str();

    EXPECT_EQ("Disk 0 - Disk0, Serial: SNDisk0, Type: Sata, Size: 0x0000000000000000 B (0.0 GB)\n"
              "Disk 1 - Disk1, Serial: SNDisk1, Type: Sata, Size: 0x0000000040000000 B (1.0 GB)\n"
              "    Partition: 1, StartingOffset: 0x0000000000100000, Length: 0x0000000006400000, Type: 0x07, IsBoot: Y\n",
              Section(text, L"Storage (Physical Drives and Partitions):\n", L"\nStorage (Logical Drives):\n"));
    ASSERT_EQ(plain.Drives.size(), report.Drives.size());
    size_t localDisks = 0;
    for (size_t i = 0; i < report.Drives.size(); ++i) {
        EXPECT_EQ(plain.Drives[i].Letter, report.Drives[i].Letter);
        EXPECT_EQ(plain.Drives[i].IsLocalDisk, report.Drives[i].IsLocalDisk);
        if (!report.Drives[i].IsLocalDisk) continue;
        ++localDisks;
        const std::wstring line = L"\n" + std::wstring(1, report.Drives[i].Letter) + L": ";
        const size_t at = text.find(line);
        ASSERT_NE(std::wstring::npos, at) << "no line for " << Narrow(line);
        const size_t error = text.find(L"\n\n    Can't get disk information (Error: 668)\n", at);
        EXPECT_NE(std::wstring::npos, error) << Narrow(line);
        EXPECT_EQ(text.find(L'\n', at + 1), error) << "not right after " << Narrow(line);
    }
    EXPECT_GE(localDisks, 1u);
    EXPECT_EQ(localDisks, OutputSizes(m_driver, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS).size());
}


HRESULT WINAPI HungLocator(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) {
    Sleep(INFINITE);
    return E_FAIL;
}

// The partition table's request never returns; every other goes to the fake driver.
BOOL WINAPI HungLayout(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       LPDWORD returned, LPOVERLAPPED overlapped) {
    if (code == IOCTL_DISK_GET_DRIVE_LAYOUT) Sleep(INFINITE);
    return FakeIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
}

// WMI or a driver that never answers costs the section the lines from it on, once; the drive
// list stays empty, since it cannot be known whole.
TEST_F(LogHardwareInfo, HungWmiOrDriverEndsTheSectionAtItsLimit) {
    struct Case {
        const char* name;
        decltype(HardwareCalls::CoCreateInstance) locator;
        decltype(HardwareCalls::DeviceIoControl) control;
        DWORD limit;
        const char* kept;  // the text kept, as a pattern
        const char* traced;
    } cases[] = {
        {"WMI", &HungLocator, &FakeIoControl, 500, "^$", "expired (0#500 sec), abandoned"},
        // Long enough for WMI's answers on a busy machine.
        {"partition table", &::CoCreateInstance, &HungLayout, 8000,
         "^CPU:\n(.*\n)*\nOperating system:\n(.*\n)*\nStorage \\(Physical Drives and Partitions\\):\n$",
         "expired (8#000 sec), abandoned"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace(m_folder);
        m_driver = FakeDriver();
        m_driver.disks = {Disk(0, m_device)};
        HardwareCalls calls = FakeCalls;
        calls.CoCreateInstance = c.locator;
        calls.DeviceIoControl = c.control;
        DiagReport report;
        report.Hardware = &calls;
        report.Limits.Call = c.limit;
        report.Drives.push_back({L'C', true, true});
        std::wostringstream out;
        report.LogHardwareInfo(out);
        const std::string text = Narrow(out.str());
        EXPECT_TRUE(std::regex_search(text, std::regex(c.kept))) << text;
        EXPECT_TRUE(report.Drives.empty());
        EXPECT_TRUE(HasTracedLine(trace.Lines(),
                                  std::string("[DiagReport::LogHardwareInfo] WMI and storage drivers: ") + c.traced));
    }
}

}  // namespace
