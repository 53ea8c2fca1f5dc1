#include "Subsystems.h"

#include <algorithm>
#include <cwchar>

#include "DiagReport.h"
#include "TimedSection.h"
#include "dlls.h"

namespace {

// The library's export as the product's errors spell its type.
struct DriverEnabledSpelling {
    static constexpr const wchar_t* FnTypeName = L"unsigned long (__cdecl*)(enum _DRIVER_TYPE)";
};

size_t NameWidth_Impl() {
    size_t width = 0;
    for (const Subsystem& subsystem : Subsystems) width = std::max(width, wcslen(subsystem.Name));
    return width;
}

size_t NameWidth() {
    static const size_t width = NameWidth_Impl();
    return width;
}

}  // namespace

const Subsystem Subsystems[8] = {
    {L"CvEraser", DT_ERASER},   {L"CvExeQuota", DT_EXEQUOTA}, {L"CvDacs", DT_DACS},
    {L"CvDiskEnc", DT_DISKENC}, {L"CvMC5xx", DT_MC5XX},       {L"CvPrnCtrl", DT_PRNCTRL},
    {L"CvScpCtrl", DT_SCPCTRL}, {L"CvFDC", DT_FDC},
};

std::wstring SubsystemLine(const Subsystem& subsystem, unsigned long answer) {
    std::wstring line = subsystem.Name;
    line.append(NameWidth() - std::min(NameWidth(), line.size()), L' ');
    return line + L": " + (answer == 0 ? L"On" : L"Off");
}

void DiagReport::LogInfo_Subsystems(std::wostream& out) {
    try {
        LogSectionTitle(out, L"Corvane Subsystems Status");
        // A driver query that hangs costs the rows from it on, once.
        WriteTimed(out, Limits.Call, L"DiagReport::LogInfo_Subsystems", L"CvDriverInstaller.dll", [](std::wostream& rows) {
            CvBase::CDllCall<DI_IsDeviceDriverEnabled_t, DriverEnabledSpelling> isEnabled(
                L"CvDriverInstaller.dll", "DI_IsDeviceDriverEnabled");
            try {
                for (const Subsystem& subsystem : Subsystems)
                    rows << SubsystemLine(subsystem, isEnabled.GetFunction()(subsystem.Type)) << L'\n';
            } catch (...) {
                // An exception that the library threw is done with while the
                // library, which destroys it, is still loaded.
            }
        });
    } catch (...) {
    }
}
