// CvSrvApi.dll: the product's service library. A client opens a session with
// the product's service, asks it for work and closes the session. Every call
// returns a Windows status code, 0 on success.
#pragma once

#include <windows.h>

#include <cstddef>

#ifdef CVSRVAPI_BUILDING
#define CVSRVAPI_API extern "C" __declspec(dllexport)
#else
#define CVSRVAPI_API extern "C" __declspec(dllimport)
#endif

#pragma pack(push, 4)
// The client's version: the product's major version, then 3, 1406, 0 for
// version 8 and zeros otherwise, then a 32-bit zero.
struct _CV_CLIENT_VERSION {
    WORD Numbers[4];
    DWORD Reserved;
};

// What a client hands to CvOpenSession: 84 bytes, allocated from the process
// heap, zero where not said otherwise.
struct _CV_SESSION {
    const wchar_t* Name;
    ULONGLONG Reserved1[2];
    _CV_CLIENT_VERSION Version;
    _CV_CLIENT_VERSION VersionCopy;
    ULONGLONG Reserved2;
    DWORD Flags;     // with 2 set
    HANDLE Session;  // out
    DWORD Id;        // out, not 0
    BYTE Reserved3[12];
};
#pragma pack(pop)
static_assert(sizeof(_CV_CLIENT_VERSION) == 12, "client version record");
static_assert(sizeof(_CV_SESSION) == 84 && offsetof(_CV_SESSION, Session) == 60 && offsetof(_CV_SESSION, Id) == 68,
              "session record");

// Opens a session with the product's service and fills Session and Id.
// ERROR_INVALID_PARAMETER for a record that is not a whole zero-filled one with
// a name, ERROR_INVALID_FLAGS without flag 2, ERROR_REVISION_MISMATCH for
// version records that are not the installed product's,
// ERROR_SERVICE_DOES_NOT_EXIST when the service is not installed,
// ERROR_ALREADY_EXISTS while a session of the same name is open.
CVSRVAPI_API DWORD CvOpenSession(_CV_SESSION* session);

// Closes an open session; ERROR_INVALID_HANDLE for any other handle.
CVSRVAPI_API DWORD CvCloseSession(HANDLE session);

// The service writes the product's security log into targetPath (full path,
// replaced if it exists) as a classic event log file; mode must be 1. On
// failure no file is left.
CVSRVAPI_API DWORD CvBackupSecurityLog(HANDLE session, const wchar_t* targetPath, DWORD mode);
