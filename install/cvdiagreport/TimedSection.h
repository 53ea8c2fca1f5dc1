// The part of a report section that waits on something outside the tool, run under a time limit.
#pragma once

#include <windows.h>

#include <functional>
#include <ostream>

// Runs `write` on a thread of its own (CvBase::CTimedWork), writing into a text of its own, and
// appends that text to `out`: the whole text when the work ended within `limit` milliseconds, its
// complete lines when the limit passed (the work is then abandoned and may write no more). An error
// the work let out is raised after its text has been appended. True when the work ended in time.
// `write` must capture by value what it uses.
bool WriteTimed(std::wostream& out, DWORD limit, const wchar_t* function, const wchar_t* what,
                std::function<void(std::wostream&)> write);
