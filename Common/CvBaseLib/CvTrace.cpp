#include "CvTrace.h"

#include "CTraceImpl.h"

namespace CvBase {

// Every operation keeps the caller's last-error value and lets no exception out.

CCvTrace::CCvTrace(const wchar_t* name) {
    LastErrorKeeper keeper;
    try {
        m_impl = std::make_unique<CTraceImpl>(name);
    } catch (...) {
        OutputDebugStringA("Exception raised in CCvTrace::CCvTrace()\n");
    }
}

CCvTrace::~CCvTrace() {
    LastErrorKeeper keeper;
    m_impl.reset();
}

void CCvTrace::Trace(DWORD level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceV(level, format, args);
    va_end(args);
}

void CCvTrace::Trace(DWORD level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TraceV(level, format, args);
    va_end(args);
}

void CCvTrace::TraceV(DWORD level, const char* format, va_list args) {
    LastErrorKeeper keeper;
    if (!m_impl) return;
    try {
        m_impl->TraceV(level, format, args);
    } catch (...) {
    }
}

void CCvTrace::TraceV(DWORD level, const wchar_t* format, va_list args) {
    LastErrorKeeper keeper;
    if (!m_impl) return;
    try {
        m_impl->TraceV(level, format, args);
    } catch (...) {
    }
}

void CCvTrace::TraceMemory(DWORD level, const wchar_t* title, const void* data, size_t size, DWORD flags) {
    LastErrorKeeper keeper;
    if (!m_impl) return;
    try {
        m_impl->TraceMemory(level, title, data, size, flags);
    } catch (...) {
    }
}

namespace {

// Runs a query of the engine; false without an engine or when the engine throws.
template <typename Query>
bool Ask(const std::unique_ptr<CTraceImpl>& impl, Query query) {
    LastErrorKeeper keeper;
    if (!impl) return false;
    try {
        return query(*impl);
    } catch (...) {
        return false;
    }
}

}  // namespace

bool CCvTrace::Reload() {
    return Ask(m_impl, [](CTraceImpl& impl) { return impl.Reload(); });
}

bool CCvTrace::IsEnabled() {
    return Ask(m_impl, [](CTraceImpl& impl) { return impl.IsEnabled(); });
}

bool CCvTrace::IsLevelEnabled(DWORD level) {
    return Ask(m_impl, [level](CTraceImpl& impl) { return impl.IsLevelEnabled(level); });
}

bool CCvTrace::IsContext(DWORD value) {
    return Ask(m_impl, [value](CTraceImpl& impl) { return impl.IsContext(value); });
}

bool CCvTrace::IsTimeEnabled() {
    return Ask(m_impl, [](CTraceImpl& impl) { return impl.IsTimeEnabled(); });
}

bool CCvTrace::IsMillisecondsEnabled() {
    return Ask(m_impl, [](CTraceImpl& impl) { return impl.IsMillisecondsEnabled(); });
}

}  // namespace CvBase

CvBase::CCvTrace& GetTrace() {
    // Created on first use, safely also when several threads come at once; destroyed at
    // process exit. A thread that waits for another one's creation may have its last-error
    // value changed by the wait.
    CvBase::LastErrorKeeper keeper;
    static CvBase::CCvTrace trace(L"CvDiagReport");
    return trace;
}
