#include "SoftwareInventory.h"

#include <vector>

#include "DiagReport.h"
#include "RegistryKey.h"
#include "SehCatcher.h"
#include "cvexception.h"

namespace {

const wchar_t UninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t ServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";
const unsigned LocalMachine = 3;

// Text padded with blanks on the right to at least width characters.
std::wstring Pad(std::wstring text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

// A number as printf's "%-2d" writes it.
std::wstring PadNumber(DWORD number) { return Pad(std::to_wstring(static_cast<int>(number)), 2); }

// Writes the title block, then one line per subkey of HKLM\path that opens, as
// lineOf makes it from the open subkey and its name, each followed by CR LF. A
// key or list that cannot be read ends the section after the title; so does
// any error, quietly.
template <typename LineOf>
void LogSubkeys(std::wostream& out, const wchar_t* title, const wchar_t* path, LineOf lineOf) {
    try {
        CvBase::CSehCatcher faults;
        CvBase::CComErrorTranslator comErrors;
        DiagReport::LogSectionTitle(out, title);
        CvBase::CRegistryKey parent(LocalMachine);
        std::vector<std::wstring> names;
        if (parent.open(path, false, KEY_READ) != ERROR_SUCCESS || parent.enum_keys(names) != ERROR_SUCCESS) return;
        for (const std::wstring& name : names) {
            CvBase::CRegistryKey key(0);
            if (key.open(parent, name.c_str(), false, KEY_READ) != ERROR_SUCCESS) continue;
            const std::wstring line = lineOf(key, name);
            key.close();
            out << line << L"\r\n";
        }
    } catch (const CvBase::CCvError&) {
    }
}

}  // namespace

std::wstring SoftwareLine(const SoftwareEntry& entry) {
    return Pad(entry.Key, 60) + L": [" + Pad(entry.DisplayName, 80) + L"]  version [" +
           Pad(entry.DisplayVersion, 15) + L"] from [" + Pad(entry.Publisher, 30) + L"] installed on [" +
           Pad(entry.InstallDate, 10) + L"]. UninstallString:[" + entry.UninstallString + L"]";
}

std::wstring ServiceLine(const ServiceEntry& entry) {
    return Pad(entry.Name, 40) + L";" + Pad(entry.ImagePath, 100) + L";" + PadNumber(entry.Type) + L";" +
           PadNumber(entry.Start);
}

void DiagReport::LogInfo_InstalledSoftware(std::wostream& out) {
    LogSubkeys(out, L"Installed software", UninstallKey, [](CvBase::CRegistryKey& key, const std::wstring& name) {
        SoftwareEntry entry;
        entry.Key = name;
        key.get(L"DisplayName", entry.DisplayName, L"");
        key.get(L"DisplayVersion", entry.DisplayVersion, L"");
        key.get(L"InstallDate", entry.InstallDate, L"");
        key.get(L"Publisher", entry.Publisher, L"");
        key.get(L"UninstallString", entry.UninstallString, L"");
        return SoftwareLine(entry);
    });
}

void DiagReport::LogInfo_Services(std::wostream& out) {
    LogSubkeys(out, L"Drivers & Services", ServicesKey, [](CvBase::CRegistryKey& key, const std::wstring& name) {
        ServiceEntry entry;
        entry.Name = name;
        if (key.get(L"ImagePath", entry.ImagePath, L"") != ERROR_SUCCESS) entry.ImagePath = L"-";
        key.get(L"Type", entry.Type, 0);
        key.get(L"Start", entry.Start, 0);
        return ServiceLine(entry);
    });
}
