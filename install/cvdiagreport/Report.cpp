#include <objbase.h>

#include <exception>
#include <sstream>

#include "CvTrace.h"
#include "DiagReport.h"
#include "SehCatcher.h"
#include "TimedWork.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"
#include "utility.h"

namespace {

const std::wstring Rule(180, L'-');

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
RunRecord DiagReport::RunSection(const wchar_t* name, const std::function<void()>& section) {
    RunRecord record{name, L"ok"};
    const ULONGLONG start = GetTickCount64();
    const unsigned expired = CvBase::CTimedWork::ExpiredOnThisThread();
    try {
        CvBase::RunGuarded(section);
    } catch (const CvBase::CCvError& error) {
        GetTrace().Trace(4, L"[%s] %s: %s", L"DiagReport::LogSysInfo", name, error.GetDump());
        wchar_t code[24];
        _snwprintf(code, 24, L"error 0x%08x", error.GetCode());
        record.Result = error.FindEntry(L"MiniDumpFile") ? L"fault" : code;
    } catch (const std::exception& error) {
        GetTrace().Trace(4, L"[%s] %s: exception: %S", L"DiagReport::LogSysInfo", name, error.what());
        record.Result = L"error 0xffffffff";
    } catch (...) {
        GetTrace().Trace(4, L"[%s] %s: Unknown exception", L"DiagReport::LogSysInfo", name);
        record.Result = L"error 0xffffffff";
    }
    if (CvBase::CTimedWork::ExpiredOnThisThread() != expired) record.Result = L"timed out";
    record.Seconds = (GetTickCount64() - start) / 1000.0;
    return record;
}

void DiagReport::LogSysInfo(const std::wstring& fileName) {
    const std::wstring path = WorkFolder + L"\\" + fileName;
    PackList.push_back({path, L"", true});
    try {
        CvBase::CSehCatcher faults;
        CvBase::CComErrorTranslator comErrors;
        ComScope com(COINIT_APARTMENTTHREADED);  // as CoInitialize
        std::wostringstream report;
        const std::pair<const wchar_t*, std::function<void()>> sections[] = {
            {L"Header", [&] { LogHeader(report); }},
            {L"Hardware", [&] { LogHardwareInfo(report); }},
            {L"ComputerRole", [&] { LogInfo_ComputerRole(report); }},
            {L"RegKeys", [&] { LogInfo_RegKeys(report); }},
            {L"Services", [&] { LogInfo_Services(report); }},
            {L"InstalledSoftware", [&] { LogInfo_InstalledSoftware(report); }},
            {L"Subsystems", [&] { LogInfo_Subsystems(report); }},
            {L"Policy", [&] { LogInfo_CvPolicy(report, L"CvPolicy.inf"); }},
            {L"SystemModules", [&] { LogInfo_SystemModules(L"CvSysMods.log", report); }},
        };
        for (const auto& [name, section] : sections) Sections.push_back(RunSection(name, section));
        const std::wstring text = report.str();
        CvBase::CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
        file.Write_Ex(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    } catch (...) {
        TraceDropped();
    }
}
