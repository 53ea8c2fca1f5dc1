#include <objbase.h>

#include <sstream>

#include "DiagReport.h"
#include "SehCatcher.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"

namespace {

const std::wstring Rule(180, L'-');

// COM for the calling thread while the report is written.
class ComScope {
public:
    ComScope() { CoInitialize(nullptr); }
    ~ComScope() { CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};

}  // namespace

void DiagReport::LogHeader(std::wostream& out) {
    out << ProductLine << L'\n' << VersionLine << L'\n' << L'\n' << Rule << L'\n';
}

void DiagReport::LogSectionTitle(std::wostream& out, const std::wstring& title) {
    out << L'\n' << Rule << L'\n' << title << L'\n' << Rule << L'\n';
}

void DiagReport::LogSysInfo(const std::wstring& fileName) {
    const std::wstring path = WorkFolder + L"\\" + fileName;
    PackList.push_back({path, L"", true});
    try {
        CvBase::CSehCatcher faults;
        CvBase::CComErrorTranslator comErrors;
        ComScope com;
        std::wostringstream report;
        // A section that lets an error out ends the sections, but what was
        // gathered before it is still written.
        try {
            LogHeader(report);
            LogInfo_ComputerRole(report);
            LogInfo_RegKeys(report);
            LogInfo_Services(report);
            LogInfo_InstalledSoftware(report);
            LogInfo_Subsystems(report);
            LogInfo_CvPolicy(report, L"CvPolicy.inf");
            LogInfo_SystemModules(L"CvSysMods.log", report);
        } catch (const CvBase::CCvError&) {
        }
        const std::wstring text = report.str();
        CvBase::CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
        file.Write_Ex(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    } catch (const CvBase::CCvError&) {
    }
}
