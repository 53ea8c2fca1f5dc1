// The computer role, drivers and services and installed software sections:
// their fixed-width lines from fixture records, and the sections read from
// the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "ComputerRole.h"
#include "DiagReport.h"
#include "SoftwareInventory.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const std::wstring Rule(180, L'-');
std::wstring Blanks(size_t n) { return std::wstring(n, L' '); }

// --- computer role -----------------------------------------------------------

TEST(ComputerRole, LinesPerTypeInTableOrder) {
    const struct {
        DWORD type;
        const wchar_t* text;
    } cases[] = {
        {0x00001003,
         L"A LAN Manager workstation\r\nA LAN Manager server\r\n"
         L"Windows NT/Windows 2000/Windows XP workstation or server\r\nAll servers\r\n"},
        {0x80000000, L"Primary domain\r\nAll servers\r\n"},
        {0x40000100, L"LAN Manager 2.x domain member\r\nServers maintained by the browser\r\nAll servers\r\n"},
        {0x00100000, L"All servers\r\n"},  // a bit without a row of its own
        {0, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, ComputerRoleText(c.type)) << std::hex << c.type;
}

// Every role alone: its own line and "All servers", whose mask every type
// matches, in table order.
TEST(ComputerRole, EveryRoleByItsMask) {
    const wchar_t* const All = L"All servers\r\n";
    const struct {
        DWORD mask;
        const wchar_t* role;
    } rows[] = {
        {0x00000001, L"A LAN Manager workstation"},
        {0x00000002, L"A LAN Manager server"},
        {0x00000004, L"Any server running with Microsoft SQL Server"},
        {0x00000008, L"Primary domain controller"},
        {0x00000010, L"Backup domain controller"},
        {0x00000020, L"Server running the Timesource service"},
        {0x00000040, L"Apple File Protocol server"},
        {0x00000080, L"Novell server"},
        {0x00000100, L"LAN Manager 2.x domain member"},
        {0x40000000, L"Servers maintained by the browser"},
        {0x00000200, L"Server sharing print queue"},
        {0x00000400, L"Server running dial-in service"},
        {0x00000800, L"Xenix server"},
        {0x00004000, L"Microsoft File and Print for NetWare"},
        {0x00001000, L"Windows NT/Windows 2000/Windows XP workstation or server"},
        {0x00002000, L"Server running Windows for Workgroups"},
        {0x00008000, L"Windows NT/Windows 2000 server that is not a domain controller"},
        {0x00010000, L"Server that can run the browser service"},
        {0x00020000, L"Server running a browser service as backup"},
        {0x00040000, L"Server running the master browser service"},
        {0x00080000, L"Server running the domain master browser"},
        {0x80000000, L"Primary domain"},
        {0x00400000, L"Windows 95 or later"},
        {0x02000000, L"Terminal Server"},
        {0x01000000, L"Server clusters available in the domain"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::wstring line = std::wstring(rows[i].role) + L"\r\n";
        // The last two rows of the table come after "All servers".
        const std::wstring expected = i < std::size(rows) - 2 ? line + All : All + line;
        EXPECT_EQ(expected, ComputerRoleText(rows[i].mask)) << std::hex << rows[i].mask;
    }
}

// Answers of NetServerGetInfo, as the tests set them.
struct FakeServer {
    static NET_API_STATUS Status;
    static DWORD Type;
    static SERVER_INFO_101 Info;
    static int Freed;
    static NET_API_STATUS NET_API_FUNCTION GetInfo(LMSTR server, DWORD level, LPBYTE* buffer) {
        EXPECT_EQ(nullptr, server);
        EXPECT_EQ(101u, level);
        if (Status != NERR_Success) return Status;
        Info.sv101_type = Type;
        *buffer = reinterpret_cast<LPBYTE>(&Info);
        return NERR_Success;
    }
    static NET_API_STATUS NET_API_FUNCTION Free(LPVOID buffer) {
        EXPECT_EQ(&Info, buffer);
        ++Freed;
        return NERR_Success;
    }
};
NET_API_STATUS FakeServer::Status;
DWORD FakeServer::Type;
SERVER_INFO_101 FakeServer::Info;
int FakeServer::Freed;

TEST(ComputerRole, ServerTypeThroughTheCalls) {
    const ServerInfoCalls calls = {FakeServer::GetInfo, FakeServer::Free};
    const struct {
        NET_API_STATUS status;
        DWORD type, expected;
        int freed;
    } cases[] = {
        {NERR_Success, 0x00001003, 0x00001003, 1},
        {NERR_Success, 0x80000000, 0x80000000, 1},
        {ERROR_ACCESS_DENIED, 0x00001003, 0, 0},
    };
    for (const auto& c : cases) {
        FakeServer::Status = c.status;
        FakeServer::Type = c.type;
        FakeServer::Freed = 0;
        EXPECT_EQ(c.expected, ReadServerType(calls));
        EXPECT_EQ(c.freed, FakeServer::Freed);
    }
}

TEST(ComputerRole, SectionWithWhatThisComputerReports) {
    DiagReport report;
    std::wostringstream out;
    report.LogInfo_ComputerRole(out);
    // Wine reports a Windows NT workstation (0x00001000).
    EXPECT_EQ(L"\nComputer role:\nWindows NT/Windows 2000/Windows XP workstation or server\r\nAll servers\r\n",
              out.str());
}

NET_API_STATUS NET_API_FUNCTION HungGetInfo(LMSTR, DWORD, LPBYTE*) {
    Sleep(INFINITE);
    return NERR_Success;
}

TEST(ComputerRole, HungServerQueryLeavesTheHeadingAlone) {
    const std::wstring folder = MakeTempFolder(L"cv-role");
    {
        TraceCapture trace(folder);
        const ServerInfoCalls hung = {&HungGetInfo, FakeServer::Free};
        DiagReport report;
        report.ServerInfo = &hung;
        report.Limits.Call = 300;
        std::wostringstream out;
        report.LogInfo_ComputerRole(out);
        EXPECT_EQ(L"\nComputer role:\n", out.str());
        EXPECT_TRUE(HasTracedLine(trace.Lines(),
                                  "[DiagReport::LogInfo_ComputerRole] NetServerGetInfo: expired (0#300 sec), abandoned"));
    }
    DeleteTree(folder);
}

// --- installed software --------------------------------------------------------

TEST(InstalledSoftware, FixedWidthLines) {
    SoftwareEntry empty;
    empty.Key = L"{Empty}";
    EXPECT_EQ(L"{Empty}" + Blanks(53) + L": [" + Blanks(80) + L"]  version [" + Blanks(15) + L"] from [" +
                  Blanks(30) + L"] installed on [" + Blanks(10) + L"]. UninstallString:[]",
              SoftwareLine(empty));

    SoftwareEntry full{L"Corvane Studio", L"Corvane Studio 8", L"8.3.1406.0", L"Meridyne", L"20240514",
                       L"MsiExec.exe /X{A1}"};
    EXPECT_EQ(L"Corvane Studio" + Blanks(46) + L": [Corvane Studio 8" + Blanks(64) + L"]  version [8.3.1406.0" +
                  Blanks(5) + L"] from [Meridyne" + Blanks(22) + L"] installed on [20240514  ]. " +
                  L"UninstallString:[MsiExec.exe /X{A1}]",
              SoftwareLine(full));

    // Longer values than their fields are written whole and push the rest on.
    SoftwareEntry longName;
    longName.Key = std::wstring(61, L'k');
    longName.DisplayName = std::wstring(90, L'n');
    longName.DisplayVersion = L"1";
    EXPECT_EQ(std::wstring(61, L'k') + L": [" + std::wstring(90, L'n') + L"]  version [1" + Blanks(14) +
                  L"] from [" + Blanks(30) + L"] installed on [" + Blanks(10) + L"]. UninstallString:[]",
              SoftwareLine(longName));
}

// --- drivers and services ------------------------------------------------------

TEST(Services, FixedWidthLines) {
    const struct {
        ServiceEntry entry;
        std::wstring line;
    } cases[] = {
        {{L"cvcc0", L"system32\\drivers\\cvcc0.sys", 1, 3},
         L"cvcc0" + Blanks(35) + L";system32\\drivers\\cvcc0.sys" + Blanks(74) + L";1 ;3 "},
        {{L"NoPath", L"-", 16, 2}, L"NoPath" + Blanks(34) + L";-" + Blanks(99) + L";16;2 "},
        {{L"NumericPath", L"", 0, 0}, L"NumericPath" + Blanks(29) + L";" + Blanks(100) + L";0 ;0 "},
        {{std::wstring(41, L's'), std::wstring(101, L'p'), 272, 4},
         std::wstring(41, L's') + L";" + std::wstring(101, L'p') + L";272;4 "},
    };
    for (const auto& c : cases) EXPECT_EQ(c.line, ServiceLine(c.entry)) << Narrow(c.entry.Name);
}

// The lines of a section after its title block; each must end with CR LF.
std::vector<std::wstring> EntryLines(const std::wstring& text, const std::wstring& title) {
    const std::wstring block = L"\n" + Rule + L"\n" + title + L"\n" + Rule + L"\n";
    EXPECT_EQ(0u, text.find(block)) << "title block";
    std::vector<std::wstring> lines;
    size_t start = block.size();
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(text.size(), start) << "text after the last CR LF";
    for (const std::wstring& line : lines) EXPECT_EQ(std::wstring::npos, line.find(L'\n')) << Narrow(line);
    return lines;
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t SubkeyCount(const wchar_t* path) {
    HKEY key = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return count;
}

const wchar_t ServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t UninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

TEST(Services, SectionFromTheRegistry) {
    SavedKey noPath(ServicesKey + std::wstring(L"CvTestNoPath"));
    SavedKey numericPath(ServicesKey + std::wstring(L"CvTestNumericPath"));
    SavedKey driver(ServicesKey + std::wstring(L"CvTestDriver"));
    noPath.SetDword(L"Type", 1);
    noPath.SetDword(L"Start", 3);
    numericPath.SetDword(L"ImagePath", 7);
    numericPath.SetString(L"Start", L"2");  // not a number: 0
    driver.SetString(L"ImagePath", L"%SystemRoot%\\drivers\\cvtest.sys", REG_EXPAND_SZ);
    driver.SetDword(L"Type", 1);
    driver.SetDword(L"Start", 4);

    DiagReport report;
    std::wostringstream out;
    report.LogInfo_Services(out);
    const std::vector<std::wstring> lines = EntryLines(out.str(), L"Drivers & Services");
    EXPECT_TRUE(Contains(lines, ServiceLine({L"CvTestNoPath", L"-", 1, 3})));
    EXPECT_TRUE(Contains(lines, ServiceLine({L"CvTestNumericPath", L"", 0, 0})));
    EXPECT_TRUE(Contains(lines, ServiceLine({L"CvTestDriver", L"%SystemRoot%\\drivers\\cvtest.sys", 1, 4})));
    // Every subkey has its line, the prefix's own services too.
    EXPECT_EQ(SubkeyCount(L"SYSTEM\\CurrentControlSet\\Services"), lines.size());
}

TEST(InstalledSoftware, SectionFromTheRegistry) {
    SavedKey empty(UninstallKey + std::wstring(L"CvTestEmpty"));
    SavedKey product(UninstallKey + std::wstring(L"CvTestProduct"));
    empty.SetDword(L"DisplayName", 5);  // not text: empty
    product.SetString(L"DisplayName", std::wstring(85, L'N'));
    product.SetString(L"DisplayVersion", L"8.3.1406.0");
    product.SetString(L"Publisher", L"Meridyne");
    product.SetString(L"InstallDate", L"20240514");
    product.SetString(L"UninstallString", L"%ProgramFiles%\\Corvane\\uninstall.exe", REG_EXPAND_SZ);

    DiagReport report;
    std::wostringstream out;
    report.LogInfo_InstalledSoftware(out);
    const std::vector<std::wstring> lines = EntryLines(out.str(), L"Installed software");
    SoftwareEntry emptyEntry;
    emptyEntry.Key = L"CvTestEmpty";
    EXPECT_TRUE(Contains(lines, SoftwareLine(emptyEntry)));
    EXPECT_TRUE(Contains(lines, SoftwareLine({L"CvTestProduct", std::wstring(85, L'N'), L"8.3.1406.0", L"Meridyne",
                                              L"20240514", L"%ProgramFiles%\\Corvane\\uninstall.exe"})));
    EXPECT_EQ(SubkeyCount(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"), lines.size());
}

// Subkeys whose names the registry lists in another order than a sort would:
// Wine lists keys by their lower-case names, so that "-" and "_" come before
// the letters and a capital letter with an accent after the multiplication
// sign; by code point, by name without regard to ASCII case and by the
// locale's collation they come in three other orders.
const wchar_t* const UnsortedNames[] = {L"CvTestOrderB", L"cvtestorderA", L"CvTestOrder_c", L"CvTestOrder-d",
                                        L"CvTestOrder\u00C0", L"CvTestOrder\u00D7"};

bool IsOrderName(const std::wstring& name) { return _wcsnicmp(name.c_str(), L"CvTestOrder", 11) == 0; }

// The fixture's subkeys of HKLM\path in the order that the registry lists them.
std::vector<std::wstring> RegistryOrder(const wchar_t* path) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    DWORD length = 256;
    for (DWORD i = 0; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = 256)
        if (IsOrderName(name)) names.push_back(name);
    RegCloseKey(key);
    return names;
}

// The fixture's names in the order of the section's lines.
std::vector<std::wstring> LineOrder(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> names;
    for (const std::wstring& line : lines) {
        const std::wstring name = line.substr(0, line.find_first_of(L" ;:"));
        if (IsOrderName(name)) names.push_back(name);
    }
    return names;
}

TEST(InventorySections, LinesInTheRegistrysOrder) {
    const struct {
        const wchar_t* parent;
        const wchar_t* title;
        void (DiagReport::*section)(std::wostream&);
    } cases[] = {
        {L"SYSTEM\\CurrentControlSet\\Services", L"Drivers & Services", &DiagReport::LogInfo_Services},
        {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", L"Installed software",
         &DiagReport::LogInfo_InstalledSoftware},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.title));
        std::vector<std::unique_ptr<SavedKey>> keys;
        for (const wchar_t* name : UnsortedNames) {
            keys.emplace_back(new SavedKey(std::wstring(c.parent) + L"\\" + name));
            keys.back()->SetDword(L"Start", 3);
        }
        const std::vector<std::wstring> listed = RegistryOrder(c.parent);
        ASSERT_EQ(std::size(UnsortedNames), listed.size());
        std::vector<std::wstring> sorted = listed;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_NE(sorted, listed) << "the fixture lies in sorted order";

        DiagReport report;
        std::wostringstream out;
        (report.*c.section)(out);
        EXPECT_EQ(listed, LineOrder(EntryLines(out.str(), c.title)));
    }
}

}  // namespace
