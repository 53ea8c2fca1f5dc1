// The classic event logs, the product's security log and the event channels,
// saved into the working folder and listed for the archive's folder "Events".
#include "EventLogs.h"

#include <memory>

#include "CvSrvClass.h"
#include "DiagReport.h"
#include "TimedWork.h"
#include "Win32Objects.h"
#include "cvexception.h"

extern "C" __declspec(dllimport) void WINAPI RtlGetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build);

const EventLogCalls EventLogCalls::System = {
    &::OpenEventLogW, &::BackupEventLogW, &::CloseEventLog, &::EvtExportLog, &::RtlGetNtVersionNumbers,
};

namespace {

const wchar_t* const ClassicLogs[] = {L"Application", L"System", L"Security", L"TerminalStation"};

struct Channel {
    const wchar_t* Path;
    const wchar_t* Stem;
};

const Channel Channels[] = {
    {L"Microsoft-Windows-PrintService/Admin", L"PrintService (Admin)"},
    {L"Microsoft-Windows-PrintService/Operational", L"PrintService (Operational)"},
    {L"Microsoft-Windows-PrintService/Debug", L"PrintService (Debug)"},
    {L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Admin", L"RemoteDesktopServices-RdpCoreTS (Admin)"},
    {L"Microsoft-Windows-RemoteDesktopServices-RdpCoreTS/Operational",
     L"RemoteDesktopServices-RdpCoreTS (Operational)"},
    {L"Microsoft-Windows-RemoteDesktopServices-RemoteDesktopSessionManager/Admin",
     L"RemoteDesktopServices-RemoteDesktopSessionManager (Admin)"},
    {L"Microsoft-Windows-TerminalServices-ClientUSBDevices/Admin", L"TerminalServices-ClientUSBDevices (Admin)"},
    {L"Microsoft-Windows-TerminalServices-ClientUSBDevices/Analytic", L"TerminalServices-ClientUSBDevices (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-ClientUSBDevices/Debug", L"TerminalServices-ClientUSBDevices (Debug)"},
    {L"Microsoft-Windows-TerminalServices-ClientUSBDevices/Operational",
     L"TerminalServices-ClientUSBDevices (Operational)"},
    {L"Microsoft-Windows-TerminalServices-LocalSessionManager/Admin", L"TerminalServices-LocalSessionManager (Admin)"},
    {L"Microsoft-Windows-TerminalServices-LocalSessionManager/Analytic",
     L"TerminalServices-LocalSessionManager (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-LocalSessionManager/Debug", L"TerminalServices-LocalSessionManager (Debug)"},
    {L"Microsoft-Windows-TerminalServices-LocalSessionManager/Operational",
     L"TerminalServices-LocalSessionManager (Operational)"},
    {L"Microsoft-Windows-TerminalServices-MediaRedirection/Analytic", L"TerminalServices-MediaRedirection (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-PnPDevices/Admin", L"TerminalServices-PnPDevices (Admin)"},
    {L"Microsoft-Windows-TerminalServices-PnPDevices/Analytic", L"TerminalServices-PnPDevices (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-PnPDevices/Debug", L"TerminalServices-PnPDevices (Debug)"},
    {L"Microsoft-Windows-TerminalServices-PnPDevices/Operational", L"TerminalServices-PnPDevices (Operational)"},
    {L"Microsoft-Windows-TerminalServices-RDPClient/Analytic", L"TerminalServices-RDPClient (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-RDPClient/Debug", L"TerminalServices-RDPClient (Debug)"},
    {L"Microsoft-Windows-TerminalServices-RDPClient/Operational", L"TerminalServices-RDPClient (Operational)"},
    {L"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Admin",
     L"TerminalServices-RemoteConnectionManager (Admin)"},
    {L"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Analytic",
     L"TerminalServices-RemoteConnectionManager (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Debug",
     L"TerminalServices-RemoteConnectionManager (Debug)"},
    {L"Microsoft-Windows-TerminalServices-RemoteConnectionManager/Operational",
     L"TerminalServices-RemoteConnectionManager (Operational)"},
    {L"Microsoft-Windows-TerminalServices-ServerUSBDevices/Admin", L"TerminalServices-ServerUSBDevices (Admin)"},
    {L"Microsoft-Windows-TerminalServices-ServerUSBDevices/Analytic", L"TerminalServices-ServerUSBDevices (Analytic)"},
    {L"Microsoft-Windows-TerminalServices-ServerUSBDevices/Debug", L"TerminalServices-ServerUSBDevices (Debug)"},
    {L"Microsoft-Windows-TerminalServices-ServerUSBDevices/Operational",
     L"TerminalServices-ServerUSBDevices (Operational)"},
};

// The working folder's file of a stem and an extension.
std::wstring SavedFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension) {
    return JoinPath(folder.c_str(), (std::wstring(stem) + extension).c_str(), L'\\');
}

}  // namespace

const wchar_t* DiagReport::GetEventLogExt(int kind, const EventLogCalls& calls) {
    switch (kind) {
    case 0: {
        DWORD major = 0, minor = 0, build = 0;
        calls.RtlGetNtVersionNumbers(&major, &minor, &build);
        return major > 5 ? L".evtx" : L".evt";
    }
    case 1:
        return L".evtx";
    case 2:
        return L".evt";
    default:
        CvBase::ThrowError(ERROR_UNSUPPORTED_TYPE, L"SysReport", __LINE__, L"DiagReport::GetEventLogExt");
    }
}

// Saves one log through the event log service, under the time limit of one log: true when it was
// saved in time. After the service has once not answered in time, it is not asked again.
bool DiagReport::SaveEventLog(const std::wstring& target, std::function<bool()> save) {
    if (EventLogHung) return false;
    auto saved = std::make_shared<bool>(false);
    if (CvBase::RunTimed(Limits.EventLog, L"DiagReport::ExportEventLogs", target.c_str(),
                         [saved, save] { *saved = save(); }))
        return *saved;
    EventLogHung = true;
    AbandonedFiles.push_back(target);
    return false;
}

void DiagReport::ExportEventLogs(const EventLogCalls& calls) {
    const wchar_t* const extension = GetEventLogExt(0, calls);
    for (const wchar_t* name : ClassicLogs) {
        const std::wstring target = SavedFile(WorkFolder, name, extension);
        const bool saved = SaveEventLog(target, [calls, name, target] {
            const HANDLE log = calls.OpenEventLogW(nullptr, name);
            if (!log) return false;
            const bool backedUp = calls.BackupEventLogW(log, target.c_str()) != FALSE;
            calls.CloseEventLog(log);
            return backedUp;
        });
        if (saved) PackList.push_back({target, L"Events", true});
    }

    // The product's service library runs under the fault guard and the limit of a library call.
    const std::wstring target = SavedFile(WorkFolder, L"Corvane", GetEventLogExt(2, calls));
    try {
        if (CvBase::RunTimed(Limits.Call, L"DiagReport::ExportEventLogs", L"CvSrvApi.dll", [target] {
                CCvQuick service;
                service.Get().SnapshotSecurityLog(target.c_str());
            }))
            PackList.push_back({target, L"Events", true});
        else
            AbandonedFiles.push_back(target);
    } catch (const CvBase::CCvError&) {
        // Without the product's service, or when it refuses or faults, there is no product log.
    }
}

void DiagReport::ExportEventChannels(const EventLogCalls& calls) {
    const wchar_t* const extension = GetEventLogExt(1, calls);
    for (const Channel& channel : Channels) {
        const std::wstring target = SavedFile(WorkFolder, channel.Stem, extension);
        const wchar_t* const path = channel.Path;
        if (SaveEventLog(target, [calls, path, target] {
                return calls.EvtExportLog(nullptr, path, nullptr, target.c_str(), EvtExportLogChannelPath) != FALSE;
            }))
            PackList.push_back({target, L"Events\\Channels", true});
    }
}
