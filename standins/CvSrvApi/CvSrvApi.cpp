// The service library. The stand-in product's service is installed when the
// DWORD "Installed" under HKLM SOFTWARE\Meridyne\Corvane Studio\Service is 1;
// its version is the "ClientVersion" of HKLM SOFTWARE\Altorum\Corvane 5.
// Sessions live in this library; the security log is a fixed set of the
// service's events, followed by one that records the saving itself.
#include "CvSrvApi.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "SecurityLog.h"
#include "StandInWin32.h"

namespace {

const wchar_t kServiceKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Service";
const wchar_t kVersionKey[] = L"SOFTWARE\\Altorum\\Corvane 5";

struct Session {
    DWORD Id;
    std::wstring Name;
};

// The sessions handed out and not yet closed; any other handle is refused.
// A client has one session at a time: its name is refused while it is open.
class OpenSessions {
public:
    // Null when a session of that name is open.
    HANDLE Add(const wchar_t* name, DWORD& id) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Session* open : live_)
            if (open->Name == name) return nullptr;
        std::unique_ptr<Session> session(new Session{++lastId_, name});
        live_.insert(session.get());
        id = session->Id;
        return session.release();
    }

    // The session's name; false when the handle is not an open session.
    bool Find(HANDLE handle, std::wstring& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = live_.find(static_cast<Session*>(handle));
        if (found == live_.end()) return false;
        name = (*found)->Name;
        return true;
    }

    bool Remove(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = live_.find(static_cast<Session*>(handle));
        if (found == live_.end()) return false;
        delete *found;
        live_.erase(found);
        return true;
    }

private:
    std::mutex mutex_;
    std::set<Session*> live_;
    DWORD lastId_ = 0;
};

OpenSessions& Sessions() {
    static OpenSessions sessions;
    return sessions;
}

bool ServiceInstalled() {
    StandIn::RegKey key;
    if (key.OpenLocalMachine(kServiceKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
    DWORD installed = 0, size = sizeof installed, type = 0;
    return RegQueryValueExW(key.Get(), L"Installed", nullptr, &type, reinterpret_cast<BYTE*>(&installed), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && installed == 1;
}

// The installed product's major version, 8 when it is not recorded.
WORD InstalledMajorVersion() {
    StandIn::RegKey key;
    wchar_t text[17] = {};
    DWORD size = 32;
    int major = 0;
    if (key.OpenLocalMachine(kVersionKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        RegQueryValueExW(key.Get(), L"ClientVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        swscanf(text, L"%d.", &major) != 1)
        return 8;
    return static_cast<WORD>(major);
}

bool IsVersionOf(const _CV_CLIENT_VERSION& version, WORD major) {
    const bool eight = major == 8;
    return version.Numbers[0] == major && version.Numbers[1] == (eight ? 3 : 0) &&
           version.Numbers[2] == (eight ? 1406 : 0) && version.Numbers[3] == 0 && version.Reserved == 0;
}

bool AllZero(const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i]) return false;
    return true;
}

// A whole record from the process heap, zero where the client has nothing to say.
bool IsWholeRecord(const _CV_SESSION* record) {
    HANDLE heap = GetProcessHeap();
    return record && HeapValidate(heap, 0, record) && HeapSize(heap, 0, record) == sizeof(_CV_SESSION) &&
           record->Name && record->Name[0] && AllZero(record->Reserved1, sizeof record->Reserved1) &&
           record->Reserved2 == 0 && record->Session == nullptr && record->Id == 0 &&
           AllZero(record->Reserved3, sizeof record->Reserved3);
}

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &length) ? std::wstring(name, length) : std::wstring(L"localhost");
}

std::vector<SecurityLog::Event> SecurityEvents(const std::wstring& session, const wchar_t* target) {
    return {
        {1715680801, 1000, EVENTLOG_INFORMATION_TYPE, 1, {L"Corvane Studio security service started", L"8.3.1406.0"}},
        {1715680802, 1100, EVENTLOG_INFORMATION_TYPE, 2, {L"Security policy loaded", L"4 settings"}},
        {1715686200, 2001, EVENTLOG_WARNING_TYPE, 3,
         {L"Removable device blocked", L"USB\\VID_0781&PID_5567", L"CORVANE\\user"}},
        {1715688000, 3001, EVENTLOG_AUDIT_FAILURE, 4, {L"Logon refused", L"CORVANE\\guest", L"wrong password"}},
        {static_cast<DWORD>(std::time(nullptr)), 1200, EVENTLOG_AUDIT_SUCCESS, 1,
         {L"Security log saved", session, target}},
    };
}

}  // namespace

// The DWORDs "StandInServiceHang" and "StandInServiceFault" under the
// product's key make a call never return or fault with a write to address 0:
// 1 in CvOpenSession, 2 in CvBackupSecurityLog.
static void BreakIfAsked(DWORD call) {
    StandIn::FaultIfAsked(L"StandInServiceFault", call);
    StandIn::HangIfAsked(L"StandInServiceHang", call);
}

CVSRVAPI_API DWORD CvOpenSession(_CV_SESSION* record) {
    BreakIfAsked(1);
    if (!IsWholeRecord(record)) return ERROR_INVALID_PARAMETER;
    if (!(record->Flags & 2)) return ERROR_INVALID_FLAGS;
    const WORD major = InstalledMajorVersion();
    if (!IsVersionOf(record->Version, major) || !IsVersionOf(record->VersionCopy, major))
        return ERROR_REVISION_MISMATCH;
    if (!ServiceInstalled()) return ERROR_SERVICE_DOES_NOT_EXIST;
    record->Session = Sessions().Add(record->Name, record->Id);
    if (!record->Session) return ERROR_ALREADY_EXISTS;
    return ERROR_SUCCESS;
}

CVSRVAPI_API DWORD CvCloseSession(HANDLE session) {
    return Sessions().Remove(session) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

CVSRVAPI_API DWORD CvBackupSecurityLog(HANDLE session, const wchar_t* targetPath, DWORD mode) {
    BreakIfAsked(2);
    std::wstring name;
    if (!Sessions().Find(session, name)) return ERROR_INVALID_HANDLE;
    if (!targetPath || !targetPath[0] || mode != 1) return ERROR_INVALID_PARAMETER;
    const std::string bytes = SecurityLog::Format(SecurityEvents(name, targetPath), L"Corvane", ComputerName());
    DWORD status = ERROR_SUCCESS;
    {
        StandIn::Handle file(
            CreateFileW(targetPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) return GetLastError();
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            status = GetLastError();
        else if (written != bytes.size())
            status = ERROR_WRITE_FAULT;
    }
    if (status != ERROR_SUCCESS) DeleteFileW(targetPath);
    return status;
}
