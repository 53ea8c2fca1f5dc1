// The client of the product's service library CvSrvApi.dll: the binding of the
// library, a client that keeps one counted session with the product's service,
// and a scope object that holds a session for the life of one step.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

#include "Win32Objects.h"
#include "dlls.h"

#pragma pack(push, 4)
// The client's version as the service checks it.
struct _CV_CLIENT_VERSION {
    WORD Numbers[4];
    DWORD Reserved;
};

// What CvOpenSession is given; the service fills Session and Id.
struct _CV_SESSION {
    const wchar_t* Name;
    ULONGLONG Reserved1[2];
    _CV_CLIENT_VERSION Version;
    _CV_CLIENT_VERSION VersionCopy;
    ULONGLONG Reserved2;
    DWORD Flags;
    HANDLE Session;
    DWORD Id;
    BYTE Reserved3[12];
};
#pragma pack(pop)
static_assert(sizeof(_CV_CLIENT_VERSION) == 12, "client version record");
static_assert(sizeof(_CV_SESSION) == 84 && offsetof(_CV_SESSION, Session) == 60 && offsetof(_CV_SESSION, Id) == 68,
              "session record");

// The library and its three functions; constructing it loads the library
// (0xE601000D when it cannot be loaded).
class CCvSrvApi {
public:
    struct CLibName {
        static constexpr const wchar_t* FileName = L"CvSrvApi.dll";
        static constexpr const wchar_t* TypeName = L"class CCvSrvApi::CLibName";
    };
    struct CCvOpenSession {
        static constexpr const char* ExportName = "CvOpenSession";
        static constexpr const wchar_t* TypeName = L"class CCvSrvApi::CCvOpenSession";
        static constexpr const wchar_t* FnTypeName = L"unsigned long (__cdecl*)(struct _CV_SESSION *)";
        static constexpr const wchar_t* FnOperatorTypeName = L"unsigned long (__cdecl *)(struct _CV_SESSION *)";
    };
    struct CCvCloseSession {
        static constexpr const char* ExportName = "CvCloseSession";
        static constexpr const wchar_t* TypeName = L"class CCvSrvApi::CCvCloseSession";
        static constexpr const wchar_t* FnTypeName = L"unsigned long (__cdecl*)(void *)";
        static constexpr const wchar_t* FnOperatorTypeName = L"unsigned long (__cdecl *)(void *)";
    };
    struct CCvBackupSecurityLog {
        static constexpr const char* ExportName = "CvBackupSecurityLog";
        static constexpr const wchar_t* TypeName = L"class CCvSrvApi::CCvBackupSecurityLog";
        static constexpr const wchar_t* FnTypeName =
            L"unsigned long (__cdecl*)(void *,const wchar_t *,unsigned long)";
        static constexpr const wchar_t* FnOperatorTypeName =
            L"unsigned long (__cdecl *)(void *,const wchar_t *,unsigned long)";
    };

    CCvSrvApi() = default;
    CCvSrvApi(const CCvSrvApi&) = delete;
    CCvSrvApi& operator=(const CCvSrvApi&) = delete;

    CvBase::CDynamicLibrary2 Library{CLibName::FileName, 0xE601000D};
    CvBase::TFunctionCall2<CLibName, DWORD (*)(_CV_SESSION*), CCvOpenSession> CvOpenSession;
    CvBase::TFunctionCall2<CLibName, DWORD (*)(HANDLE), CCvCloseSession> CvCloseSession;
    CvBase::TFunctionCall2<CLibName, DWORD (*)(HANDLE, const wchar_t*, DWORD), CCvBackupSecurityLog>
        CvBackupSecurityLog;
};

// A client of the product's service. Sessions are counted: the first
// OpenSession opens one with the service, later ones only count, and only the
// CloseSession that brings the count back to 0 closes it.
class CCvSrv : public CCvSrvApi {
public:
    CCvSrv();
    // Closes a session still open (ignoring failures).
    ~CCvSrv();

    // Returns the session id; a status of the service is raised as it is.
    DWORD OpenSession(const wchar_t* name, DWORD flags);
    void CloseSession();
    // The service writes the product's security log into the file targetPath.
    void SnapshotSecurityLog(const wchar_t* targetPath);

private:
    DWORD m_sessionId = 0;
    HANDLE m_session = nullptr;
    volatile LONG m_openCount = 0;
    CvBase::CWin32Handle m_mutex;
};

// A session of a CCvSrv of its own, opened as "@" + the program's file name
// without extension + the process id in four hexadecimal digits, with the
// flags 0x1002; closed when the object goes.
class CCvQuick {
public:
    CCvQuick();
    ~CCvQuick();
    CCvQuick(const CCvQuick&) = delete;
    CCvQuick& operator=(const CCvQuick&) = delete;

    CCvSrv& Get() { return *m_srv; }

private:
    std::unique_ptr<CCvSrv> m_srv;
};
