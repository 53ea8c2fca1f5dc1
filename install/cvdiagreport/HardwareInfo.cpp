#include "HardwareInfo.h"

#include <memory>

#include "CvTrace.h"
#include "DiagReport.h"
#include "HardwareCalls.h"
#include "SehCatcher.h"
#include "Storage.h"
#include "TimedSection.h"
#include "cvexception.h"
#include "output.h"
#include "utility.h"

std::optional<ProcessorInfo> ReadProcessor(IWbemServices* services) {
    IWbemClassObjectPtr object = Wmi::GetObject(services, L"win32_processor.DeviceID=\"CPU0\"");
    if (!object) return std::nullopt;
    return ProcessorInfo{Wmi::ReadText(object, L"Caption"), Wmi::ReadText(object, L"Name"),
                         Wmi::ReadNumber(object, L"MaxClockSpeed")};
}

std::optional<OperatingSystemInfo> ReadOperatingSystem(IWbemServices* services) {
    IEnumWbemClassObjectPtr systems;
    if (FAILED(services->CreateInstanceEnum(_bstr_t(L"Win32_OperatingSystem"), 0, nullptr, &systems)))
        return std::nullopt;
    systems->Reset();
    IWbemClassObjectPtr object;
    ULONG returned = 0;
    if (FAILED(systems->Next(60000, 1, &object, &returned)) || returned != 1 || !object) return std::nullopt;
    OperatingSystemInfo system;
    system.Caption = Wmi::ReadText(object, L"Caption");
    system.CSDVersion = Wmi::ReadText(object, L"CSDVersion");
    system.BuildType = Wmi::ReadText(object, L"BuildType");
    system.CountryCode = Wmi::ReadText(object, L"CountryCode");
    system.Locale = Wmi::ReadText(object, L"Locale");
    system.TotalVirtualMemorySize = Wmi::ReadText(object, L"TotalVirtualMemorySize");
    // A 64-bit program, or a 32-bit one under WOW64, runs on a 64-bit system.
    system.Is64Bit = sizeof(void*) == 8 || Bitness::IsWow_Process();
    return system;
}

std::wstring FormatProcessor(const std::optional<ProcessorInfo>& processor) {
    std::wstring text = L"CPU:\n";
    if (!processor) return text;
    if (processor->Caption) text += L"Caption: " + *processor->Caption + L"\n";
    if (processor->Name) text += L"Name: " + *processor->Name + L"\n";
    if (processor->MaxClockSpeed) text += L"MaxClockSpeed: ~" + std::to_wstring(*processor->MaxClockSpeed) + L" MHz\n";
    return text;
}

std::wstring FormatOperatingSystem(const std::optional<OperatingSystemInfo>& system) {
    std::wstring text = L"\nOperating system:\n";
    if (!system) return text;
    if (system->Caption) text += L"Name: " + *system->Caption;
    if (system->CSDVersion && !system->CSDVersion->empty()) text += L"(" + *system->CSDVersion + L")";
    text += L"\n";
    if (system->BuildType) text += L"BuildType: " + *system->BuildType + L"\n";
    text += system->Is64Bit ? L"Bitness: x64\n" : L"Bitness: x32\n";
    if (system->CountryCode) text += L"Country: " + *system->CountryCode + L"\n";
    if (system->Locale) text += L"Locale: 0x" + *system->Locale + L"\n";
    if (system->TotalVirtualMemorySize)
        if (const auto kilobytes = Wmi::ParseDecimal(*system->TotalVirtualMemorySize))
            text += L"TotalVirtualMemorySize: " + FormatNumber(*kilobytes, L'\'') + L" KB\n";
    return text;
}

namespace {

// Processor, operating system and storage over WMI and the storage drivers, on the calling thread.
void WriteHardwareInfo(std::wostream& out, std::vector<DriveEntry>& drives, const HardwareCalls& hardware) {
    try {
        CvBase::CComErrorTranslator comErrors;
        ComScope com(COINIT_MULTITHREADED);
        // Fails when the process has set its security already, which is as good.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                             nullptr, EOAC_NONE, nullptr);
        IWbemLocatorPtr locator;
        if (FAILED(hardware.CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                             reinterpret_cast<void**>(&locator))))
            return;
        IWbemServicesPtr services;
        if (FAILED(locator->ConnectServer(_bstr_t(L"\\\\.\\root\\cimv2"), nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, &services)))
            return;
        CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);

        out << FormatProcessor(ReadProcessor(services));
        out << FormatOperatingSystem(ReadOperatingSystem(services));

        out << L"\nStorage (Physical Drives and Partitions):\n";
        std::vector<PhysicalDriveInfo> disks;
        GetPhysicalDrivesInfo(disks, hardware);
        out << FormatPhysicalDrives(disks);

        out << L"\nStorage (Logical Drives):\n";
        for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
            if (const std::optional<LogicalDrive> drive = ReadLogicalDrive(services, letter, hardware)) {
                drives.push_back(MakeDriveEntry(letter, *drive));
                out << FormatLogicalDrive(*drive);
            }
        }
    } catch (const CvBase::CCvError& error) {
        GetTrace().Trace(4, L"[%s] 0x%08X, %s", L"DiagReport::LogHardwareInfo", error.GetCode(),
                         error.GetDescription());
    }
}

}  // namespace

// WMI and the drivers answer on a thread of their own: a hung one costs the lines from it on.
void DiagReport::LogHardwareInfo(std::wostream& out) {
    Drives.clear();
    auto drives = std::make_shared<std::vector<DriveEntry>>();
    const HardwareCalls* hardware = Hardware;
    if (WriteTimed(out, Limits.Call, L"DiagReport::LogHardwareInfo", L"WMI and storage drivers",
                   [drives, hardware](std::wostream& text) { WriteHardwareInfo(text, *drives, *hardware); }))
        Drives = *drives;
}
