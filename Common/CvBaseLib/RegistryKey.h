// An open registry key that knows its readable path (such as HKLM\SOFTWARE).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A value as the registry holds it.
struct RegistryValue {
    std::wstring name;
    std::vector<BYTE> data;
    DWORD type = 0;
};

namespace CvBase {

// Operations return Win32 status codes (0 on success) and never throw. A failed
// registry call is repeated while on_error answers 1.
class CRegistryKey {
public:
    // What failed, as on_error is told.
    enum Operation : DWORD {
        OpCreateKey = 3,   // RegCreateKeyExW; text: the path the key would get
        OpOpenKey = 4,     // RegOpenKeyExW; text: the path the key would get
        OpCloseKey = 5,    // RegCloseKey; text: the key's path
        OpQueryValue = 6,  // RegQueryValueExW; text: the key's path and "value name" in quotes
        OpQueryInfo = 11,  // RegQueryInfoKeyW; text: the key's path
        OpEnumKey = 12,    // RegEnumKeyExW; text: the key's path
    };
    enum Decision : DWORD { Retry = 1, GiveUp = 2 };

    // A root by index: 1 HKCR, 2 HKCU, 3 HKLM, 4 HKU, 5 HKCC, 6 HKDD; 0 is the
    // root "NONE" without a key; 7 and above give no key and an empty path.
    explicit CRegistryKey(unsigned root);
    // Opens the other key again as a handle of its own (no key when it has none).
    CRegistryKey(const CRegistryKey& other);
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    virtual ~CRegistryKey();

    virtual DWORD on_error(LSTATUS status, DWORD operation, const std::wstring& text);

    // Replaces this key by its subkey; a failure leaves the key as it was.
    LSTATUS open(const wchar_t* subkey, bool create, REGSAM access);
    // Makes this key the parent's subkey; a failure leaves this key as it was.
    LSTATUS open(const CRegistryKey& parent, const wchar_t* subkey, bool create, REGSAM access);
    LSTATUS close();

    // Names of the direct subkeys, in index order.
    LSTATUS enum_keys(std::vector<std::wstring>& names);
    LSTATUS query(const wchar_t* name, RegistryValue& value);
    // The REG_DWORD value, else def; returns the query status.
    LSTATUS get(const wchar_t* name, DWORD& value, DWORD def);
    // The REG_SZ or REG_EXPAND_SZ value up to its first zero (not expanded), else
    // def; returns the query status.
    LSTATUS get(const wchar_t* name, std::wstring& value, const std::wstring& def);

    HKEY handle() const { return m_key; }
    const std::wstring& path() const { return m_path; }

private:
    template <typename Call>
    LSTATUS Repeat(DWORD operation, const std::wstring& text, Call call);
    LSTATUS OpenFrom(HKEY parent, const std::wstring& parentPath, const wchar_t* subkey, bool create, REGSAM access);

    HKEY m_key = nullptr;
    std::wstring m_path;
};

}  // namespace CvBase
