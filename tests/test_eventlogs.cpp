// The export of event logs through fixtures that answer as Windows does: the
// extension by kind and Windows version, the packing list's entries in their
// order, failures skipped, every opened log closed; the product's log through
// the stand-in service.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "DiagReport.h"
#include "EventLogs.h"
#include "collector_util.h"
#include "cvexception.h"
#include "test_util.h"

namespace {

const wchar_t ServiceKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Service";

// What the fake system answers, and what it was asked.
struct FakeSystem {
    DWORD major = 10;
    std::set<std::wstring> unopenable;   // OpenEventLogW gives no handle
    std::set<std::wstring> unsaved;      // BackupEventLogW fails
    std::set<std::wstring> unexported;   // EvtExportLog fails (channel paths)
    std::set<std::wstring> hung;         // BackupEventLogW or EvtExportLog never returns
    std::vector<std::wstring> opened;    // log names, in handle order
    std::vector<std::wstring> closed;    // log names of the closed handles
    std::vector<std::wstring> backups;   // "log|target" of the backups made
    std::vector<std::wstring> exported;  // "path|target|flags", with null session and query only
} fake;

HANDLE WINAPI FakeOpen(LPCWSTR server, LPCWSTR name) {
    if (server || fake.unopenable.count(name)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    fake.opened.push_back(name);
    return reinterpret_cast<HANDLE>(fake.opened.size() * 4);
}

const std::wstring& LogOf(HANDLE log) { return fake.opened.at(reinterpret_cast<size_t>(log) / 4 - 1); }

// The calls run on threads of their own: one that hangs must not take the fake's lists with it.
void HangIfAsked(const std::wstring& name) {
    if (fake.hung.count(name)) Sleep(INFINITE);
}

BOOL WINAPI FakeBackup(HANDLE log, LPCWSTR target) {
    HangIfAsked(LogOf(log));
    if (fake.unsaved.count(LogOf(log))) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    fake.backups.push_back(LogOf(log) + L"|" + target);
    return TRUE;
}

BOOL WINAPI FakeClose(HANDLE log) {
    fake.closed.push_back(LogOf(log));
    return TRUE;
}

BOOL WINAPI FakeExport(EVT_HANDLE session, LPCWSTR path, LPCWSTR query, LPCWSTR target, DWORD flags) {
    HangIfAsked(path);
    if (session || query || fake.unexported.count(path)) {
        SetLastError(ERROR_EVT_CHANNEL_NOT_FOUND);
        return FALSE;
    }
    fake.exported.push_back(std::wstring(path) + L"|" + target + L"|" + std::to_wstring(flags));
    return TRUE;
}

void WINAPI FakeVersion(DWORD* major, DWORD* minor, DWORD* build) {
    *major = fake.major;
    *minor = 0;
    *build = 0xF0000000 | 19045;
}

const EventLogCalls Fake = {&FakeOpen, &FakeBackup, &FakeClose, &FakeExport, &FakeVersion};

const wchar_t* const ChannelStems[] = {
    L"PrintService (Admin)",
    L"PrintService (Operational)",
    L"PrintService (Debug)",
    L"RemoteDesktopServices-RdpCoreTS (Admin)",
    L"RemoteDesktopServices-RdpCoreTS (Operational)",
    L"RemoteDesktopServices-RemoteDesktopSessionManager (Admin)",
    L"TerminalServices-ClientUSBDevices (Admin)",
    L"TerminalServices-ClientUSBDevices (Analytic)",
    L"TerminalServices-ClientUSBDevices (Debug)",
    L"TerminalServices-ClientUSBDevices (Operational)",
    L"TerminalServices-LocalSessionManager (Admin)",
    L"TerminalServices-LocalSessionManager (Analytic)",
    L"TerminalServices-LocalSessionManager (Debug)",
    L"TerminalServices-LocalSessionManager (Operational)",
    L"TerminalServices-MediaRedirection (Analytic)",
    L"TerminalServices-PnPDevices (Admin)",
    L"TerminalServices-PnPDevices (Analytic)",
    L"TerminalServices-PnPDevices (Debug)",
    L"TerminalServices-PnPDevices (Operational)",
    L"TerminalServices-RDPClient (Analytic)",
    L"TerminalServices-RDPClient (Debug)",
    L"TerminalServices-RDPClient (Operational)",
    L"TerminalServices-RemoteConnectionManager (Admin)",
    L"TerminalServices-RemoteConnectionManager (Analytic)",
    L"TerminalServices-RemoteConnectionManager (Debug)",
    L"TerminalServices-RemoteConnectionManager (Operational)",
    L"TerminalServices-ServerUSBDevices (Admin)",
    L"TerminalServices-ServerUSBDevices (Analytic)",
    L"TerminalServices-ServerUSBDevices (Debug)",
    L"TerminalServices-ServerUSBDevices (Operational)",
};

// The channel path of a stem: "A-B (C)" is exported from "Microsoft-Windows-A-B/C".
std::wstring ChannelPath(const std::wstring& stem) {
    const size_t open = stem.find(L" (");
    return L"Microsoft-Windows-" + stem.substr(0, open) + L"/" + stem.substr(open + 2, stem.size() - open - 3);
}

// One entry as "folder|file name|delete mark"; the source must lie in the working folder.
std::vector<std::wstring> Entries(const DiagReport& report) {
    std::vector<std::wstring> entries;
    for (const PackItem& item : report.PackList) {
        const size_t slash = item.Source.rfind(L'\\');
        const std::wstring folder = item.Source.substr(0, slash);
        entries.push_back(item.Folder + L"|" + (folder == report.WorkFolder ? L"" : L"<elsewhere>") +
                          item.Source.substr(slash + 1) + (item.DeleteAfterPacking ? L"|delete" : L"|keep"));
    }
    return entries;
}

class EventLogExport : public ::testing::Test {
protected:
    void SetUp() override {
        fake = FakeSystem();
        m_service.SetDword(L"Installed", 1);
        m_report.WorkFolder = MakeTempFolder(L"cv-events");
    }
    void TearDown() override { DeleteTree(m_report.WorkFolder); }

    void Export() {
        m_report.ExportEventLogs(Fake);
        m_report.ExportEventChannels(Fake);
    }

    SavedKey m_service{ServiceKey};
    DiagReport m_report;
};

TEST(EventLogExt, ByKindAndWindowsVersion) {
    struct Case {
        int kind;
        DWORD major;
        const wchar_t* extension;
    };
    for (const Case& c : {Case{0, 5, L".evt"}, Case{0, 6, L".evtx"}, Case{0, 10, L".evtx"}, Case{1, 5, L".evtx"},
                          Case{1, 10, L".evtx"}, Case{2, 5, L".evt"}, Case{2, 10, L".evt"}}) {
        fake.major = c.major;
        EXPECT_STREQ(c.extension, DiagReport::GetEventLogExt(c.kind, Fake)) << c.kind << " on " << c.major;
    }
    for (int kind : {3, -1}) {
        try {
            DiagReport::GetEventLogExt(kind, Fake);
            ADD_FAILURE() << "kind " << kind << " has an extension";
        } catch (const CvBase::CCvError& error) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE), error.GetCode());
            ASSERT_NE(nullptr, error.FindEntry(L"Function"));
            EXPECT_EQ(L"DiagReport::GetEventLogExt", *error.FindEntry(L"Function"));
        }
    }
}

TEST_F(EventLogExport, EverySourceInOrder) {
    Export();
    std::vector<std::wstring> expected = {
        L"Events|Application.evtx|delete", L"Events|System.evtx|delete",  L"Events|Security.evtx|delete",
        L"Events|TerminalStation.evtx|delete", L"Events|Corvane.evt|delete",
    };
    std::vector<std::wstring> exported;
    for (const wchar_t* stem : ChannelStems) {
        expected.push_back(std::wstring(L"Events\\Channels|") + stem + L".evtx|delete");
        exported.push_back(ChannelPath(stem) + L"|" + m_report.WorkFolder + L"\\" + stem + L".evtx|1");
    }
    EXPECT_EQ(expected, Entries(m_report));
    EXPECT_EQ(exported, fake.exported);
    EXPECT_EQ(fake.opened, fake.closed);
    std::vector<std::wstring> backups;
    for (const wchar_t* log : {L"Application", L"System", L"Security", L"TerminalStation"})
        backups.push_back(std::wstring(log) + L"|" + m_report.WorkFolder + L"\\" + log + L".evtx");
    EXPECT_EQ(backups, fake.backups);

    // The product's log is the service's file.
    const std::string log = ReadBytes(m_report.WorkFolder + L"\\Corvane.evt");
    EXPECT_EQ("LfLe", log.substr(4, 4));
}

TEST_F(EventLogExport, FailuresAreLeftOutAndEveryHandleClosed) {
    fake.major = 5;
    fake.unopenable = {L"Security"};
    fake.unsaved = {L"System"};
    fake.unexported = {ChannelPath(ChannelStems[0]), ChannelPath(ChannelStems[29])};
    m_service.SetDword(L"Installed", 0);
    const std::wstring traceFolder = MakeTempFolder(L"cv-events-trace");
    std::vector<std::string> traced;
    {
        TraceCapture trace(traceFolder);
        Export();
        traced = trace.Lines();
    }
    RemoveDirectoryW(traceFolder.c_str());
    // Left out without a word.
    EXPECT_TRUE(traced.empty() || traced == std::vector<std::string>{"<missing>"}) << traced.front();

    std::vector<std::wstring> expected = {L"Events|Application.evt|delete", L"Events|TerminalStation.evt|delete"};
    for (size_t i = 1; i < 29; ++i)
        expected.push_back(std::wstring(L"Events\\Channels|") + ChannelStems[i] + L".evtx|delete");
    EXPECT_EQ(expected, Entries(m_report));
    EXPECT_EQ((std::vector<std::wstring>{L"Application", L"System", L"TerminalStation"}), fake.closed);
    EXPECT_FALSE(FileExists(m_report.WorkFolder + L"\\Corvane.evt"));
}

TEST_F(EventLogExport, NothingSavedNothingListed) {
    fake.unopenable = {L"Application", L"System", L"Security", L"TerminalStation"};
    for (const wchar_t* stem : ChannelStems) fake.unexported.insert(ChannelPath(stem));
    m_service.Remove();
    Export();
    EXPECT_TRUE(m_report.PackList.empty());
    EXPECT_TRUE(fake.closed.empty());
}


// A log the event log service never saves costs the step once: nothing more is asked of the
// service, its file is left to the cleaning, and the product's log is saved all the same.
TEST_F(EventLogExport, HungServiceIsAskedNoMoreAfterItsLimit) {
    struct Case {
        const char* name;
        std::wstring hung;
        std::vector<std::wstring> listed;
        std::wstring abandoned;
        size_t exported;
    } cases[] = {
        {"classic log", L"System", {L"Events|Application.evtx|delete", L"Events|Corvane.evt|delete"}, L"System.evtx", 0},
        {"channel", ChannelPath(ChannelStems[2]),
         {L"Events|Application.evtx|delete", L"Events|System.evtx|delete", L"Events|Security.evtx|delete",
          L"Events|TerminalStation.evtx|delete", L"Events|Corvane.evt|delete",
          std::wstring(L"Events\\Channels|") + ChannelStems[0] + L".evtx|delete",
          std::wstring(L"Events\\Channels|") + ChannelStems[1] + L".evtx|delete"},
         std::wstring(ChannelStems[2]) + L".evtx", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = FakeSystem();
        fake.hung = {c.hung};
        DiagReport report;
        report.WorkFolder = m_report.WorkFolder;
        report.Limits.EventLog = 300;
        std::vector<std::string> traced;
        {
            TraceCapture trace(m_report.WorkFolder);
            report.ExportEventLogs(Fake);
            report.ExportEventChannels(Fake);
            traced = trace.Lines();
        }
        EXPECT_EQ(c.listed, Entries(report));
        EXPECT_EQ(std::vector<std::wstring>{m_report.WorkFolder + L"\\" + c.abandoned}, report.AbandonedFiles);
        EXPECT_EQ(c.exported, fake.exported.size());
        EXPECT_TRUE(HasTracedLine(traced, "[DiagReport::ExportEventLogs] " + Narrow(m_report.WorkFolder) + "\\" +
                                              Narrow(c.abandoned) + ": expired (0#300 sec), abandoned"));
    }
}


}  // namespace
