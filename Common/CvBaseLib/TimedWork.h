// Work that may hang (a product library, a Windows service, a driver) run on a thread of its own,
// waited for only so long.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace CvBase {

// Starts the work on a thread of its own, under the fault guard (RunGuarded, with CSehCatcher's
// translator for that thread). Once its starter stops waiting for it, the work is abandoned:
// nobody waits for it again and the end of the process ends it. Whatever the work writes must
// therefore be its own: it captures what it needs by value and hands results back through objects
// it owns jointly with the starter (shared_ptr), never through the starter's stack or streams.
class CTimedWork {
public:
    // Raises the Windows error when no thread can be started.
    explicit CTimedWork(std::function<void()> work);
    CTimedWork(CTimedWork&&) = default;
    CTimedWork& operator=(CTimedWork&&) = default;

    // Waits for the work to end until `limit` milliseconds after it started. True when it has ended:
    // an error it let out (a processor fault included) is raised here. False when it is still running:
    // traced at level 4 as "[function] what: expired (S sec), abandoned", and the work is abandoned.
    bool Wait(DWORD limit, const wchar_t* function, const wchar_t* what);
    // How many waits of the calling thread have ended at their limit so far.
    static unsigned ExpiredOnThisThread();

private:
    struct State;
    static DWORD WINAPI Run(void* state);
    std::shared_ptr<State> m_state;
};

// Starts the work and waits for it (CTimedWork).
bool RunTimed(DWORD limit, const wchar_t* function, const wchar_t* what, std::function<void()> work);

}  // namespace CvBase
