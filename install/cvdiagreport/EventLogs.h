// The Windows calls behind the export of event logs: the collection passes the
// system's own, tests pass answers shaped as Windows gives them.
#pragma once

#include <windows.h>
#include <winevt.h>

struct EventLogCalls {
    HANDLE(WINAPI* OpenEventLogW)(LPCWSTR server, LPCWSTR source);
    BOOL(WINAPI* BackupEventLogW)(HANDLE log, LPCWSTR backupFile);
    BOOL(WINAPI* CloseEventLog)(HANDLE log);
    BOOL(WINAPI* EvtExportLog)(EVT_HANDLE session, LPCWSTR path, LPCWSTR query, LPCWSTR targetFile, DWORD flags);
    void(WINAPI* RtlGetNtVersionNumbers)(DWORD* major, DWORD* minor, DWORD* build);

    static const EventLogCalls System;
};
