#include "Entry.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "CvTrace.h"
#include "cvexception.h"
#include "dlls.h"
#include "output.h"
#include "utility.h"

namespace {
// The 32-bit image runs on 64-bit Windows.
const DWORD WowAssertion = 670;
}  // namespace

DiagReport::DiagReport() : Console(GetStdHandle(STD_OUTPUT_HANDLE)) {
    console::set__text_color__safe(Console, console::Grey, true);
}

DiagReport::~DiagReport() { console::set__text_color__safe(Console, console::Grey, true); }

void DiagReport::RunMode::Parse(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i)
        if (lstrcmpiW(argv[i], L"-q") == 0) IsWaitOnExit = false;
    Dump();
}

void DiagReport::RunMode::Dump() const {
    GetTrace().Trace(2, L"[%s] IsWaitOnExit: %c", L"DiagReport::RunMode::Dump", IsWaitOnExit ? L'Y' : L'N');
}

int RunDiagReport(int argc, wchar_t** argv, const EntrySteps& steps) {
    // Libraries that the bound libraries load are not looked for in the current folder.
    if (!CvBase::RestrictLibrarySearch())
        GetTrace().Trace(4, L"[%s] SetDllDirectory(), 0x%08X", L"wmain", GetLastError());
    int exitCode = 0;
    DiagReport report;
    try {
        if (_setmode(_fileno(stdout), _O_U16TEXT) == -1)
            GetTrace().Trace(4, L"[%s] Setting console mode to UTF-16", L"wmain");
        console::echo::banner();
        console::echo::step(L"Starting execution");
        if (steps.IsWow()) {
            GetTrace().Trace(4, L"[%s] Bitness::IsWow_Process(): Y", L"wmain");
            CvBase::ThrowError(WowAssertion, L"CvDiagReport", __LINE__, L"wmain");
        }
        GetTrace().Trace(2, L"[%s] Bitness::IsWow_Process(): N", L"wmain");
        report.RunMode.Parse(argc, argv);
        console::echo::ok(report.Console);
        steps.Collect(report);
        steps.OpenFolder(report.WorkFolder);
    } catch (const CvBase::CCvError& error) {
        exitCode = static_cast<int>(error.GetCode());
        GetTrace().Trace(4, L"[%s] %s", L"wmain", error.GetDump());
        console::echo::string(L" error ");
        console::set__text_color__safe(report.Console, console::Red);
        console::echo::hex_code(error.GetCode());
        if (error.GetCode() == WowAssertion) {
            console::echo::string(L" (ERROR_WOW_ASSERTION)");
            console::set__text_color__safe(report.Console, console::Grey);
            console::echo::string(L"\nDescription: ");
            console::set__text_color__safe(report.Console, console::Red);
            console::echo::string(L"Launching 32-bit image of this utility on 64-bit Windows is not allowed. "
                                  L"Please, obtain and use 64-bit image instead!");
        } else {
            console::set__text_color__safe(report.Console, console::Grey);
            console::echo::string(L"\nDescription: ");
            console::set__text_color__safe(report.Console, console::Red);
            console::echo::string(error.GetDescription());
        }
        console::echo::string(L"\n\n");
    } catch (...) {
        exitCode = -1;
        GetTrace().Trace(4, L"[%s] Unknown exception", L"wmain");
        console::echo::string(L" error ");
        console::set__text_color__safe(report.Console, console::Red);
        console::echo::string(L" ? (UNKNOWN_EXCEPTION)\n\n");
    }
    if (report.RunMode.IsWaitOnExit) {
        console::set__text_color__safe(report.Console, console::Grey);
        console::echo::step(L"Press [ESC] for exit");
        WaitForKey(27);
        console::echo::ok(report.Console);
    }
    GetTrace().Trace(exitCode == 0 ? 2 : 4, L"[%s] ExitCode: 0x%08X (%li)", L"wmain", static_cast<unsigned>(exitCode),
                     static_cast<long>(exitCode));
    return exitCode;
}
