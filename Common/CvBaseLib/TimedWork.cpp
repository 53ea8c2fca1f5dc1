#include "TimedWork.h"

#include <exception>

#include "CvTrace.h"
#include "SehCatcher.h"
#include "Win32Objects.h"
#include "cvexception.h"

namespace CvBase {

namespace {
thread_local unsigned t_expired = 0;
}  // namespace

// Owned jointly by the starter and the work's thread: whichever finishes last releases it.
struct CTimedWork::State {
    std::function<void()> work;
    std::exception_ptr error;
    ULONGLONG started = GetTickCount64();
    CWin32Handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI CTimedWork::Run(void* parameter) {
    const std::unique_ptr<std::shared_ptr<CTimedWork::State>> owner(
        static_cast<std::shared_ptr<CTimedWork::State>*>(parameter));
    CTimedWork::State& state = **owner;
    {
        CSehCatcher faults;
        try {
            RunGuarded(state.work);
        } catch (...) {
            state.error = std::current_exception();
        }
    }
    // Said before the thread ends: a thread's end waits for the loader, which a library hung in
    // its start-up code may hold.
    SetEvent(state.done.Get());
    return 0;
}

CTimedWork::CTimedWork(std::function<void()> work) : m_state(std::make_shared<State>()) {
    if (!m_state->done.Get()) ThrowError(GetLastError(), L"utility", __LINE__, L"CvBase::CTimedWork::CTimedWork");
    m_state->work = std::move(work);
    auto* parameter = new std::shared_ptr<State>(m_state);
    HANDLE thread = CreateThread(nullptr, 0, &CTimedWork::Run, parameter, 0, nullptr);
    if (!thread) {
        const DWORD code = GetLastError();
        delete parameter;
        ThrowError(code, L"utility", __LINE__, L"CvBase::CTimedWork::CTimedWork");
    }
    CloseHandle(thread);
}

bool CTimedWork::Wait(DWORD limit, const wchar_t* function, const wchar_t* what) {
    const ULONGLONG spent = GetTickCount64() - m_state->started;
    const DWORD wait = WaitForSingleObject(m_state->done.Get(), spent >= limit ? 0 : static_cast<DWORD>(limit - spent));
    if (wait == WAIT_TIMEOUT) {
        ++t_expired;
        GetTrace().Trace(4, L"[%s] %s: expired (%.3f sec), abandoned", function, what, limit / 1000.0);
        return false;
    }
    if (wait != WAIT_OBJECT_0) ThrowError(GetLastError(), L"utility", __LINE__, L"CvBase::CTimedWork::Wait");
    if (m_state->error) std::rethrow_exception(m_state->error);
    return true;
}

unsigned CTimedWork::ExpiredOnThisThread() { return t_expired; }

bool RunTimed(DWORD limit, const wchar_t* function, const wchar_t* what, std::function<void()> work) {
    return CTimedWork(std::move(work)).Wait(limit, function, what);
}

}  // namespace CvBase
