// The one exception type of the product's tools, and message lookup for codes.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <string>

namespace CvBase {

// Wide-string queries on an error.
class ICvErrorW {
public:
    virtual DWORD GetCode() const = 0;
    virtual const wchar_t* GetDescription() const = 0;
    virtual const wchar_t* GetDebugInfo() const = 0;
    virtual const wchar_t* GetDump() const = 0;
    virtual const wchar_t* GetText() const = 0;
    virtual ~ICvErrorW() = default;
};

// Entry names are compared like lstrcmpiW does: "code" and "Code" are one entry.
struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return lstrcmpiW(a.c_str(), b.c_str()) < 0;
    }
};

class CCvError : public ICvErrorW {
public:
    // file, function: none when null; line: none when 0; up to four inserts.
    CCvError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
             const std::wstring* inserts = nullptr, size_t insertCount = 0);

    DWORD GetCode() const override;
    const wchar_t* GetDescription() const override;
    const wchar_t* GetDebugInfo() const override;
    const wchar_t* GetDump() const override;
    const wchar_t* GetText() const override;

    // Assigns an entry (used for "MiniDumpFile").
    void SetEntry(const std::wstring& name, const std::wstring& text) { m_entries[name] = text; }
    // The entry's text, or null when the error has no such entry.
    const std::wstring* FindEntry(const std::wstring& name) const;

private:
    void AddEntry(const std::wstring& name, const std::wstring& text) { m_entries.emplace(name, text); }

    mutable std::map<std::wstring, std::wstring, NoCaseLess> m_entries;
};

[[noreturn]] void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function);
[[noreturn]] void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
                             const std::wstring& i1);
[[noreturn]] void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
                             const std::wstring& i1, const std::wstring& i2);
[[noreturn]] void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
                             const std::wstring& i1, const std::wstring& i2, const std::wstring& i3);
[[noreturn]] void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
                             const std::wstring& i1, const std::wstring& i2, const std::wstring& i3,
                             const std::wstring& i4);

// Message text of a code; 0xFFFFFFFF stands for the thread's last error.
// inserts: none, or an array of exactly ten strings for %1..%10.
std::wstring FormatErrorMessage(DWORD code, const std::wstring* inserts = nullptr);
// "0x%08X (%d)".
std::wstring FormatErrorCode(DWORD code);
// Message-table library of a code, by its bits; null for the system's own table.
const wchar_t* GetMessageModule(DWORD code);
// Language of message texts, from "ProductLocale"; 1049 by default.
LANGID GetProductLanguage();

// Turns failures met by the COM support layer into CCvError.
class CComErrorTranslator {
public:
    CComErrorTranslator();
    [[noreturn]] static void WINAPI Translator(HRESULT hr, IErrorInfo* info);
};

}  // namespace CvBase
