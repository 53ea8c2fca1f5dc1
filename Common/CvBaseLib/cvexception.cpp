#include "cvexception.h"

#include <comdef.h>

#include <cwchar>
#include <mutex>

#include "dlls.h"

namespace CvBase {

namespace {

std::wstring Printf(const wchar_t* format, ...) {
    wchar_t buffer[128];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, 127, format, args);
    va_end(args);
    buffer[127] = 0;
    return n < 0 ? std::wstring(buffer) : std::wstring(buffer, n);
}

// Removes unresolved placeholders and any other "%": the "%" with the next two
// characters when the third of them is a space, else with the next character.
void StripPercents(std::wstring& text) {
    for (size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%')) {
        size_t run;
        if (at + 2 < text.size() && text[at + 2] == L' ')
            run = 3;
        else if (at + 1 < text.size())
            run = 2;
        else
            run = 1;
        text.erase(at, run);
    }
}

// Registry functions of the language lookup, resolved once from Advapi32.dll.
struct RegistryFunctions {
    using OpenFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    using QueryFn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    using CloseFn = LSTATUS(WINAPI*)(HKEY);
    OpenFn open = nullptr;
    QueryFn query = nullptr;
    CloseFn close = nullptr;

    RegistryFunctions() {
        if (HMODULE advapi = LoadLibraryW(L"Advapi32.dll")) {  // kept for the process
            open = reinterpret_cast<OpenFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegOpenKeyExW")));
            query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegQueryValueExW")));
            close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegCloseKey")));
        }
    }
    LSTATUS Open(HKEY key, LPCWSTR sub, REGSAM access, PHKEY out) const {
        return open ? open(key, sub, 0, access, out) : ERROR_PROC_NOT_FOUND;
    }
    LSTATUS Query(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size) const {
        return query ? query(key, name, nullptr, type, data, size) : ERROR_PROC_NOT_FOUND;
    }
    LSTATUS Close(HKEY key) const { return close ? close(key) : ERROR_PROC_NOT_FOUND; }
};

LANGID ReadProductLanguage() {
    static const RegistryFunctions reg;
    HKEY key = nullptr;
    if (reg.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Meridyne\\Corvane Studio", KEY_READ | KEY_WOW64_64KEY,
                 &key) != ERROR_SUCCESS)
        return 0x0419;
    wchar_t name[16] = {};
    DWORD type = 0, size = sizeof(name);
    LSTATUS status = reg.Query(key, L"ProductLocale", &type, reinterpret_cast<BYTE*>(name), &size);
    reg.Close(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size != 6 * sizeof(wchar_t) ||
        name[5] != 0)
        return 0x0419;
    LCID lcid = LocaleNameToLCID(name, 0);
    return lcid ? LANGIDFROMLCID(lcid) : 0x0419;
}

}  // namespace

CCvError::CCvError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function,
                   const std::wstring* inserts, size_t insertCount) {
    AddEntry(L"Code", Printf(L"0x%08X", code));
    if (file) AddEntry(L"File", file);
    if (line) AddEntry(L"Line", Printf(L"%u", line));
    if (function) AddEntry(L"Function", function);
    if (insertCount == 0) {
        AddEntry(L"Description", FormatErrorMessage(code));
    } else {
        std::wstring ten[10];
        for (size_t i = 0; i < insertCount && i < 4; ++i) ten[i] = inserts[i];
        AddEntry(L"Description", FormatErrorMessage(code, ten));
    }
}

DWORD CCvError::GetCode() const {
    auto it = m_entries.find(L"Code");
    if (it == m_entries.end() || it->second.size() < 3) return 0;
    return wcstoul(it->second.c_str() + 2, nullptr, 16);
}

const wchar_t* CCvError::GetDescription() const { return m_entries[L"Description"].c_str(); }

const wchar_t* CCvError::GetDebugInfo() const {
    auto it = m_entries.find(L"DebugInfo");
    if (it != m_entries.end()) return it->second.c_str();
    std::wstring info;
    for (const wchar_t* name : {L"File", L"Line", L"Function"}) {
        auto entry = m_entries.find(name);
        if (entry == m_entries.end()) continue;
        info += name;
        info += L'\0';
        info += entry->second;
        info += L'\0';
    }
    return m_entries.emplace(L"DebugInfo", info).first->second.c_str();
}

const wchar_t* CCvError::GetDump() const {
    m_entries.erase(L"Dump");
    std::wstring dump;
    for (const auto& [name, text] : m_entries) dump += name + L": " + text + L"\r\n";
    return m_entries.emplace(L"Dump", dump).first->second.c_str();
}

const wchar_t* CCvError::GetText() const { return GetDump(); }

const std::wstring* CCvError::FindEntry(const std::wstring& name) const {
    auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : &it->second;
}

void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function) {
    throw CCvError(code, file, line, function);
}
void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function, const std::wstring& i1) {
    const std::wstring inserts[] = {i1};
    throw CCvError(code, file, line, function, inserts, 1);
}
void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function, const std::wstring& i1,
                const std::wstring& i2) {
    const std::wstring inserts[] = {i1, i2};
    throw CCvError(code, file, line, function, inserts, 2);
}
void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function, const std::wstring& i1,
                const std::wstring& i2, const std::wstring& i3) {
    const std::wstring inserts[] = {i1, i2, i3};
    throw CCvError(code, file, line, function, inserts, 3);
}
void ThrowError(DWORD code, const wchar_t* file, unsigned line, const wchar_t* function, const std::wstring& i1,
                const std::wstring& i2, const std::wstring& i3, const std::wstring& i4) {
    const std::wstring inserts[] = {i1, i2, i3, i4};
    throw CCvError(code, file, line, function, inserts, 4);
}

const wchar_t* GetMessageModule(DWORD code) {
    if ((code & 0x06000000) == 0x06000000) return L"CvError.dll";
    if ((code & 0xFFFFF000) == 0x80005000 || (code & 0xFFFFF000) == 0x00005000) return L"ActiveDS.dll";
    if ((code & 0xFFFF0000) == 0xC0020000) return L"NtDll.dll";
    if ((code >= 0x80041001 && code <= 0x80041099) || (code >= 0x80042001 && code <= 0x80042003) ||
        (code >= 0x80044001 && code <= 0x80044031))
        return L"wbem\\wmiutils.dll";
    return nullptr;
}

std::wstring FormatErrorMessage(DWORD code, const std::wstring* inserts) {
    if (code == 0xFFFFFFFF) code = GetLastError();

    HMODULE module = nullptr;
    if (const wchar_t* name = GetMessageModule(code)) module = LoadBoundLibrary(name, LOAD_LIBRARY_AS_DATAFILE);

    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    DWORD_PTR args[10];
    if (inserts) {
        flags |= FORMAT_MESSAGE_ARGUMENT_ARRAY;
        for (int i = 0; i < 10; ++i) args[i] = reinterpret_cast<DWORD_PTR>(inserts[i].c_str());
    } else {
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    }

    wchar_t* buffer = nullptr;
    auto format = [&](DWORD language) {
        return FormatMessageW(flags, module, code, language, reinterpret_cast<LPWSTR>(&buffer), 0,
                              inserts ? reinterpret_cast<va_list*>(args) : nullptr);
    };
    DWORD length = format(GetProductLanguage());
    if (!length) length = format(0);
    if (module) FreeLibrary(module);

    if (!length) return FormatErrorCode(code);
    std::wstring text(buffer, length);
    LocalFree(buffer);
    size_t cr = text.rfind(L'\r');
    if (cr != std::wstring::npos) text.erase(cr);
    StripPercents(text);
    return text;
}

std::wstring FormatErrorCode(DWORD code) { return Printf(L"0x%08X (%d)", code, static_cast<int>(code)); }

LANGID GetProductLanguage() {
    static const LANGID language = ReadProductLanguage();  // thread-safe first use
    return language;
}

CComErrorTranslator::CComErrorTranslator() { _set_com_error_handler(&CComErrorTranslator::Translator); }

void WINAPI CComErrorTranslator::Translator(HRESULT hr, IErrorInfo* info) {
    const DWORD code = static_cast<DWORD>(hr);
    std::wstring text;
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length) {
        text.assign(buffer, length);
        LocalFree(buffer);
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.erase(text.size() - 2);
    } else if (code >= 0x80040201 && code <= 0x8004FFFF) {
        text = Printf(L"IDispatch error #%d", static_cast<int>(code - 0x80040200));
    } else {
        text = Printf(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
    }

    static const wchar_t* const file = L"common\\cvbaselib\\cvexception";
    static const wchar_t* const function = L"CvBase::CComErrorTranslator::Translator";
    if (info) {
        BSTR description = nullptr, source = nullptr;
        info->GetDescription(&description);
        info->GetSource(&source);
        std::wstring descriptionText = description ? description : L"";
        std::wstring sourceText = source ? source : L"";
        SysFreeString(description);
        SysFreeString(source);
        ThrowError(0xE6060002, file, 1847, function, FormatErrorCode(code), text, descriptionText, sourceText);
    }
    ThrowError(0xE6060001, file, 1851, function, FormatErrorCode(code), text);
}

}  // namespace CvBase
