#include <objbase.h>

#include <exception>
#include <sstream>

#include "CvTrace.h"
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

// Drops the failure being handled. An error of the product's own kind is
// expected and dropped quietly; anything else is traced.
void TraceDropped() {
    const wchar_t* const function = L"DiagReport::LogSysInfo";
    try {
        throw;
    } catch (const CvBase::CCvError&) {
    } catch (const std::exception& error) {
        GetTrace().Trace(4, L"[%s] exception: %S", function, error.what());
    } catch (...) {
        GetTrace().Trace(4, L"[%s] unknown exception", function);
    }
}

}  // namespace

void DiagReport::LogHeader(std::wostream& out) {
    out << ProductLine << L'\n' << VersionLine << L'\n' << L'\n' << Rule << L'\n';
}

void DiagReport::LogSectionTitle(std::wostream& out, const std::wstring& title) {
    out << L'\n' << Rule << L'\n' << title << L'\n' << Rule << L'\n';
}

// What the section wrote before it failed stays in the report.
void DiagReport::RunSection(const wchar_t* name, const std::function<void()>& section) {
    try {
        CvBase::RunGuarded(section);
    } catch (const CvBase::CCvError& error) {
        GetTrace().Trace(4, L"[%s] %s: %s", L"DiagReport::LogSysInfo", name, error.GetDump());
    } catch (const std::exception& error) {
        GetTrace().Trace(4, L"[%s] %s: exception: %S", L"DiagReport::LogSysInfo", name, error.what());
    } catch (...) {
        GetTrace().Trace(4, L"[%s] %s: Unknown exception", L"DiagReport::LogSysInfo", name);
    }
}

void DiagReport::LogSysInfo(const std::wstring& fileName) {
    const std::wstring path = WorkFolder + L"\\" + fileName;
    PackList.push_back({path, L"", true});
    try {
        CvBase::CSehCatcher faults;
        CvBase::CComErrorTranslator comErrors;
        ComScope com;
        std::wostringstream report;
        RunSection(L"Header", [&] { LogHeader(report); });
        RunSection(L"Hardware", [&] { LogHardwareInfo(report); });
        RunSection(L"ComputerRole", [&] { LogInfo_ComputerRole(report); });
        RunSection(L"RegKeys", [&] { LogInfo_RegKeys(report); });
        RunSection(L"Services", [&] { LogInfo_Services(report); });
        RunSection(L"InstalledSoftware", [&] { LogInfo_InstalledSoftware(report); });
        RunSection(L"Subsystems", [&] { LogInfo_Subsystems(report); });
        RunSection(L"Policy", [&] { LogInfo_CvPolicy(report, L"CvPolicy.inf"); });
        RunSection(L"SystemModules", [&] { LogInfo_SystemModules(L"CvSysMods.log", report); });
        const std::wstring text = report.str();
        CvBase::CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
        file.Write_Ex(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    } catch (...) {
        TraceDropped();
    }
}
