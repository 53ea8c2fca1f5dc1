#include "Policy.h"

#include <exception>

#include "CvGpe.h"
#include "CvTrace.h"
#include "DiagReport.h"
#include "TimedWork.h"
#include "Win32Objects.h"
#include "cvexception.h"

namespace Corvane {

Policy::Policy() {
    const DWORD status = CvLoadPolicy(0, &m_handle);
    if (status != 0) {
        GetTrace().Trace(4, L"[%s] CvLoadPolicy(), 0x%08X", L"Corvane::Policy::Policy", status);
        CvBase::ThrowError(status, L"utility", __LINE__, L"Corvane::Policy::Policy");
    }
}

Policy::~Policy() noexcept(false) {
    if (!m_handle) return;
    const DWORD status = CvFreePolicy(m_handle);
    if (status == 0) return;
    GetTrace().Trace(4, L"[%s] CvFreePolicy(), 0x%08X", L"Corvane::Policy::~Policy", status);
    // While an earlier failure is on its way out, that one is reported.
    if (std::uncaught_exceptions() == 0)
        CvBase::ThrowError(status, L"utility", __LINE__, L"Corvane::Policy::~Policy");
}

bool Policy::Export(const std::wstring& target) {
    const DWORD status = CvExportPolicy(m_handle, target.c_str());
    if (status == 0) return true;
    GetTrace().Trace(4, L"[%s] CvExportPolicy(), 0x%08X", L"Corvane::Policy::Export", status);
    return false;
}

}  // namespace Corvane

void DiagReport::LogInfo_CvPolicy(std::wostream& out, const std::wstring& fileName) {
    std::wstring title = L"Product policy - ";
    try {
        const std::wstring target = JoinPath(WorkFolder.c_str(), fileName.c_str(), L'\\');
        GetTrace().Trace(2, L"[%s] CvPolicy: \"%s\"", L"DiagReport::LogInfo_CvPolicy", target.c_str());
        const bool ended = CvBase::RunTimed(Limits.Call, L"DiagReport::LogInfo_CvPolicy", L"CvGpe.dll", [target] {
            Corvane::Policy policy;
            if (!policy.Export(target))
                CvBase::ThrowError(GetLastError(), L"SysReport", __LINE__, L"DiagReport::LogInfo_CvPolicy");
        });
        if (!ended) {
            AbandonedFiles.push_back(target);
            CvBase::ThrowError(WAIT_TIMEOUT, L"SysReport", __LINE__, L"DiagReport::LogInfo_CvPolicy");
        }
        PackList.push_back({target, L"", true});
        title += L"see file \"" + fileName + L"\"";
    } catch (const CvBase::CCvError& error) {
        wchar_t code[9];
        _snwprintf(code, 9, L"%08x", error.GetCode());
        code[8] = 0;
        title += code;
    } catch (...) {
        title += L"Unknown exception";
    }
    LogSectionTitle(out, title);
}
