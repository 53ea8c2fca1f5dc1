// Process-wide tracing, configured under the product driver's trace key.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <memory>

namespace CvBase {

class ITrace {
public:
    virtual void Trace(DWORD level, const char* format, ...) = 0;
    virtual void Trace(DWORD level, const wchar_t* format, ...) = 0;
    virtual void TraceV(DWORD level, const char* format, va_list args) = 0;
    virtual void TraceV(DWORD level, const wchar_t* format, va_list args) = 0;
    virtual void TraceMemory(DWORD level, const wchar_t* title, const void* data, size_t size,
                             DWORD flags) = 0;

protected:
    ~ITrace() = default;
};

class CTraceImpl;

class CCvTrace : public ITrace {
public:
    explicit CCvTrace(const wchar_t* name);
    CCvTrace(const CCvTrace&) = delete;
    CCvTrace& operator=(const CCvTrace&) = delete;

    void Trace(DWORD level, const char* format, ...) override;
    void Trace(DWORD level, const wchar_t* format, ...) override;
    void TraceV(DWORD level, const char* format, va_list args) override;
    void TraceV(DWORD level, const wchar_t* format, va_list args) override;
    void TraceMemory(DWORD level, const wchar_t* title, const void* data, size_t size,
                     DWORD flags) override;

    virtual ~CCvTrace();
    virtual bool Reload();
    virtual bool IsEnabled();
    virtual bool IsLevelEnabled(DWORD level);
    virtual bool IsContext(DWORD value);
    virtual bool IsTimeEnabled();
    virtual bool IsMillisecondsEnabled();

private:
    std::unique_ptr<CTraceImpl> m_impl;
};

}  // namespace CvBase

// The process-wide trace object, named "CvDiagReport".
CvBase::CCvTrace& GetTrace();
