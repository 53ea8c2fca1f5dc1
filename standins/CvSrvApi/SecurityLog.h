// The product's security log as a classic Windows event log file (".evt"):
// a header signed "LfLe", the event records, the end-of-file record.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace SecurityLog {

struct Event {
    DWORD Time;  // seconds since 1970-01-01 UTC
    DWORD Id;
    WORD Type;   // EVENTLOG_INFORMATION_TYPE, EVENTLOG_AUDIT_FAILURE, ...
    WORD Category;
    std::vector<std::wstring> Strings;
};

// The file's bytes: the events numbered from 1, oldest first, from the given
// source on the given computer.
std::string Format(const std::vector<Event>& events, const std::wstring& source, const std::wstring& computer);

}  // namespace SecurityLog
