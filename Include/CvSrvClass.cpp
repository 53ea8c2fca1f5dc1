#include "CvSrvClass.h"

#include <cwchar>
#include <string>

#include "RegistryKey.h"
#include "cvexception.h"

namespace {

const wchar_t* const SourceFile = L"CvSrvClass";

// The installed product's major version: the leading number of "ClientVersion",
// 8 when it cannot be read.
WORD ProductMajorVersion() {
    CvBase::CRegistryKey key(3);
    wchar_t text[17] = {};
    DWORD size = 32;
    int major = 0;
    if (key.open(L"SOFTWARE\\Altorum\\Corvane 5", false, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        RegQueryValueExW(key.handle(), L"ClientVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        swscanf(text, L"%d.", &major) != 1)
        return 8;
    return static_cast<WORD>(major);
}

void FillVersion(_CV_CLIENT_VERSION& version) {
    const WORD major = ProductMajorVersion();
    version.Numbers[0] = major;
    if (major == 8) {
        version.Numbers[1] = 3;
        version.Numbers[2] = 1406;
    }
}

// "@" + the program's file name without extension (at most 80 characters) +
// the process id; returns a Windows code, 0 on success.
DWORD SessionName(wchar_t (&name)[96]) {
    wchar_t path[260];
    const DWORD length = GetModuleFileNameW(nullptr, path, 260);
    if (length == 0) return GetLastError();
    std::wstring stem(path, length < 260 ? length : 259);
    const size_t dot = stem.rfind(L'.');
    if (dot != std::wstring::npos) stem.resize(dot);
    const size_t slash = stem.rfind(L'\\');
    if (slash == std::wstring::npos) return ERROR_BAD_ENVIRONMENT;
    stem = stem.substr(slash + 1, 80);
    swprintf(name, 96, L"@%ls%04X", stem.c_str(), GetCurrentProcessId());
    return ERROR_SUCCESS;
}

}  // namespace

CCvSrv::CCvSrv() : m_mutex(CreateMutexW(nullptr, FALSE, nullptr)) {
    if (!m_mutex.Get()) CvBase::ThrowError(GetLastError(), SourceFile, __LINE__, L"CCvSrv::CCvSrv");
}

CCvSrv::~CCvSrv() {
    if (m_sessionId == 0) return;
    InterlockedExchange(&m_openCount, 1);
    try {
        CloseSession();
    } catch (const CvBase::CCvError&) {
        // The session goes with the library.
    }
}

DWORD CCvSrv::OpenSession(const wchar_t* name, DWORD flags) {
    CvBase::CMutexLock lock(m_mutex.Get());
    if (m_openCount != 0) {
        InterlockedIncrement(&m_openCount);
        return m_sessionId;
    }
    // A missing export is raised before the record is made.
    DWORD (*const open)(_CV_SESSION*) = CvOpenSession;
    auto* record = static_cast<_CV_SESSION*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(_CV_SESSION)));
    if (!record) CvBase::ThrowError(ERROR_NOT_ENOUGH_MEMORY, SourceFile, __LINE__, L"CCvSrv::OpenSession");
    record->Name = name;
    record->Flags = flags | 2;
    FillVersion(record->Version);
    FillVersion(record->VersionCopy);
    const DWORD status = open(record);
    const HANDLE session = record->Session;
    const DWORD id = record->Id;
    HeapFree(GetProcessHeap(), 0, record);
    if (status != ERROR_SUCCESS) CvBase::ThrowError(status, SourceFile, __LINE__, L"CCvSrv::OpenSession");
    m_session = session;
    m_sessionId = id;
    InterlockedIncrement(&m_openCount);
    return m_sessionId;
}

void CCvSrv::CloseSession() {
    CvBase::CMutexLock lock(m_mutex.Get());
    if (m_sessionId == 0) return;
    if (InterlockedDecrement(&m_openCount) != 0) return;
    if (!m_session) CvBase::ThrowError(ERROR_INVALID_HANDLE, SourceFile, __LINE__, L"CCvSrv::CloseSession");
    const DWORD status = CvCloseSession(m_session);
    if (status != ERROR_SUCCESS) CvBase::ThrowError(status, SourceFile, __LINE__, L"CCvSrv::CloseSession");
    m_sessionId = 0;
    m_session = nullptr;
}

void CCvSrv::SnapshotSecurityLog(const wchar_t* targetPath) {
    if (!m_session) CvBase::ThrowError(ERROR_INVALID_HANDLE, SourceFile, __LINE__, L"CCvSrv::SnapshotSecurityLog");
    const DWORD status = CvBackupSecurityLog(m_session, targetPath, 1);
    if (status != ERROR_SUCCESS) CvBase::ThrowError(status, SourceFile, __LINE__, L"CCvSrv::SnapshotSecurityLog");
}

CCvQuick::CCvQuick() : m_srv(new CCvSrv) {
    wchar_t name[96];
    DWORD code = SessionName(name);
    if (code == ERROR_SUCCESS) {
        try {
            m_srv->OpenSession(name, 0x1002);
        } catch (const CvBase::CCvError& error) {
            code = error.GetCode();
        }
    }
    if (code != ERROR_SUCCESS) {
        m_srv.reset();
        CvBase::ThrowError(code, SourceFile, __LINE__, L"CCvQuick::CCvQuick");
    }
}

CCvQuick::~CCvQuick() {
    try {
        m_srv->CloseSession();
    } catch (const CvBase::CCvError&) {
        // Closing is best effort; the service drops the session with the client.
    }
}
