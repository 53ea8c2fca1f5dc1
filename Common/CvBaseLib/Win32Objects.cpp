#include "Win32Objects.h"

#include <cstdint>
#include <mutex>

#include "CvTrace.h"
#include "RegistryKey.h"
#include "cvexception.h"

namespace CvBase {

CWin32Handle::~CWin32Handle() { Close(); }

void CWin32Handle::Attach(HANDLE handle) {
    Close();
    m_handle = handle;
}

HANDLE CWin32Handle::Detach() {
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
}

void CWin32Handle::Close() {
    if (IsValid()) ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

CWin32File::~CWin32File() { Close(); }

CFindHandle::~CFindHandle() {
    if (m_handle != INVALID_HANDLE_VALUE) Auto::FindClose(&m_handle);
}

bool CWin32File::Open_Ex(const wchar_t* path, DWORD access, DWORD disposition, DWORD shareMode,
                         SECURITY_ATTRIBUTES* security, DWORD flags, HANDLE templateFile) {
    Close();
    m_name = path;
    m_handle = CreateFileW(path, access, shareMode, security, disposition, flags, templateFile);
    if (!IsValid()) ThrowError(GetLastError(), L"Win32Objects", 175, L"CvBase::CWin32File::Open_Ex");
    return true;
}

DWORD CWin32File::SeekToEnd() {
    if (!IsValid()) return ERROR_INVALID_HANDLE;
    // With a high part, files beyond 4 GiB can be positioned; the low part of such
    // a position may equal INVALID_SET_FILE_POINTER, so only a set error counts.
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(m_handle, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER) return GetLastError();
    return ERROR_SUCCESS;
}

void CWin32File::Write_Ex(const void* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(m_handle, data, size, &written, nullptr))
        ThrowError(GetLastError(), L"Win32Objects", 209, L"CvBase::CWin32File::Write_Ex");
}

}  // namespace CvBase

namespace Auto {

namespace {

// ERROR_ASSERTION_FAILURE, which not every SDK defines.
constexpr DWORD kAssertionFailure = 668;

// Handles are traced by their low 32 bits, as "0x%08X".
unsigned HandleBits(HANDLE handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }

}  // namespace

void CloseHandle(HANDLE* phFile) {
    if (!phFile) {
        GetTrace().Trace(4, L"[%s] is null, assert( phFile )", L"Auto::CloseHandle");
        CvBase::ThrowError(kAssertionFailure, L"utility", 38, L"Auto::CloseHandle");
    }
    if (::CloseHandle(*phFile))
        *phFile = nullptr;
    else
        GetTrace().Trace(4, L"[%s] CloseHandle( 0x%08X ), 0x%08X", L"Auto::CloseHandle", HandleBits(*phFile),
                         GetLastError());
}

void FindClose(HANDLE* phFind) {
    if (!phFind) {
        GetTrace().Trace(4, L"[%s] is null, assert( phFind )", L"Auto::FindClose");
        CvBase::ThrowError(kAssertionFailure, L"utility", 53, L"Auto::FindClose");
    }
    if (::FindClose(*phFind))
        *phFind = nullptr;
    else
        GetTrace().Trace(4, L"[%s] FindClose( 0x%08X ), 0x%08X", L"Auto::FindClose", HandleBits(*phFind),
                         GetLastError());
}

}  // namespace Auto

std::wstring JoinPath(const wchar_t* first, const wchar_t* second, wchar_t separator) {
    std::wstring result = first ? first : L"";
    if (!second) return result;
    if (!result.empty()) {
        const bool endsWith = result.back() == separator;
        const bool startsWith = second[0] == separator;
        if (!endsWith && !startsWith)
            result += separator;
        else if (endsWith && startsWith)
            result.pop_back();
    }
    return result += second;
}

namespace {

// A folder read by a Windows call into a buffer of 261 characters; "" when the
// call fails or the folder does not fit.
template <typename Reader>
std::wstring ReadFolder(Reader read) {
    wchar_t buffer[261];
    const DWORD length = read(buffer, 261);
    return length == 0 || length >= 261 ? std::wstring() : std::wstring(buffer, length);
}

std::wstring LookUpFolder(int kind) {
    switch (kind) {
    case 0:
        return ReadFolder([](wchar_t* buffer, UINT size) { return GetWindowsDirectoryW(buffer, size); });
    case 1:
        return ReadFolder([](wchar_t* buffer, UINT size) { return GetSystemDirectoryW(buffer, size); });
    case 2: {
        std::wstring folder;
        CvBase::CRegistryKey key(3);
        if (key.open(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", false, KEY_READ) == ERROR_SUCCESS)
            key.get(L"ProgramFilesDir", folder, L"");
        return folder;
    }
    default:
        return ReadFolder([](wchar_t* buffer, DWORD size) { return GetTempPathW(size, buffer); });
    }
}

// The process-wide folder of one kind, filled on first use.
struct CachedFolder {
    std::mutex lock;
    std::wstring path;
};

}  // namespace

std::wstring GetSystemFolderPath(int kind, const wchar_t* name) {
    static CachedFolder folders[4];
    if (kind < 0 || kind > 3) return std::wstring();
    CachedFolder& folder = folders[kind];
    std::wstring path;
    {
        std::lock_guard<std::mutex> guard(folder.lock);
        if (folder.path.empty()) folder.path = LookUpFolder(kind);
        path = folder.path;
    }
    return JoinPath(path.c_str(), name, L'\\');
}
