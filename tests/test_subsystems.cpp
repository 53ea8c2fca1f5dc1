// The product subsystems section: its lines, and the section with the
// stand-in driver installer library, without it and without its export.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "DiagReport.h"
#include "Subsystems.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const std::wstring Rule(180, L'-');
const std::wstring TitleBlock = L"\n" + Rule + L"\nCorvane Subsystems Status\n" + Rule + L"\n";

const wchar_t AllOn[] =
    L"CvEraser  : On\nCvExeQuota: On\nCvDacs    : On\nCvDiskEnc : On\nCvMC5xx   : On\n"
    L"CvPrnCtrl : On\nCvScpCtrl : On\nCvFDC     : On\n";

TEST(Subsystems, LinePaddedToTheLongestName) {
    const struct {
        size_t row;
        unsigned long answer;
        const wchar_t* line;
    } cases[] = {
        {0, 0, L"CvEraser  : On"},
        {1, ERROR_SERVICE_DISABLED, L"CvExeQuota: Off"},
        {7, 1, L"CvFDC     : Off"},
        {3, 0, L"CvDiskEnc : On"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.line, SubsystemLine(Subsystems[c.row], c.answer));
}

// The driver settings that the stand-in library answers from, in table order.
class DriverKeys {
public:
    DriverKeys() {
        for (const wchar_t* name :
             {L"cveraser", L"cvexequota", L"cvdacs", L"cvdiskenc", L"cvmc5xx", L"cvprnctrl", L"cvscpctrl", L"cvfdc"})
            m_keys.emplace_back(new SavedKey(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name));
    }
    // Start modes in table order; 0 leaves the driver's key out.
    void Set(const std::vector<DWORD>& starts) {
        for (size_t row = 0; row < starts.size(); ++row) {
            SavedKey& key = *m_keys[row];
            key.Remove();
            if (starts[row]) key.SetDword(L"Start", starts[row]);
        }
    }

private:
    std::vector<std::unique_ptr<SavedKey>> m_keys;
};

TEST(Subsystems, SectionWithTheLibrary) {
    DriverKeys drivers;
    const struct {
        std::vector<DWORD> starts;
        const wchar_t* lines;
    } cases[] = {
        {{3, 3, 3, 3, 3, 3, 3, 3}, AllOn},
        {{3, 4, 2, 0, 1, 4, 3, 0},
         L"CvEraser  : On\nCvExeQuota: Off\nCvDacs    : On\nCvDiskEnc : Off\nCvMC5xx   : On\n"
         L"CvPrnCtrl : Off\nCvScpCtrl : On\nCvFDC     : Off\n"},
    };
    for (const auto& c : cases) {
        drivers.Set(c.starts);
        DiagReport report;
        std::wostringstream out;
        report.LogInfo_Subsystems(out);
        EXPECT_EQ(TitleBlock + c.lines, out.str());
    }
}

// The section run by the probe from a folder of its own, next to the given
// library (or none) under the name CvDriverInstaller.dll.
std::wstring SectionBeside(const wchar_t* library) {
    const std::wstring app = MakeTempFolder(L"subsystems-app");
    CopyFileW((ExeFolder() + L"\\report_probe.exe").c_str(), (app + L"\\report_probe.exe").c_str(), FALSE);
    CopyFileW((ExeFolder() + L"\\CvGpe.dll").c_str(), (app + L"\\CvGpe.dll").c_str(), FALSE);
    if (library)
        CopyFileW((ExeFolder() + L"\\" + library).c_str(), (app + L"\\CvDriverInstaller.dll").c_str(), FALSE);
    DWORD exitCode = 1;
    RunAndCapture(L"\"" + app + L"\\report_probe.exe\" subsystems \"" + app + L"\"", &exitCode, app.c_str());
    EXPECT_EQ(0u, exitCode);
    const std::string bytes = ReadBytes(app + L"\\probe.txt");
    DeleteTree(app);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

TEST(Subsystems, TitleAloneWithoutTheLibraryOrItsExport) {
    DriverKeys drivers;
    drivers.Set({3, 3, 3, 3, 3, 3, 3, 3});
    EXPECT_EQ(TitleBlock, SectionBeside(nullptr));
    EXPECT_EQ(TitleBlock, SectionBeside(L"CvGpe.dll"));  // a library without the export
    // The same run with the library beside the probe shows the lines.
    EXPECT_EQ(TitleBlock + AllOn, SectionBeside(L"CvDriverInstaller.dll"));
}

TEST(Subsystems, ErrorOfTheLibraryPartWayKeepsTheLinesWritten) {
    EXPECT_EQ(TitleBlock + L"CvEraser  : On\nCvExeQuota: On\nCvDacs    : On\n",
              SectionBeside(L"driver_installer_throws.dll"));
}

}  // namespace
