// The trace engine: reads the configuration from the registry, composes lines and writes
// them to the file, the debugger output and the console.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <locale.h>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace CvBase {

// Keeps the calling thread's last-error value across a scope.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_error(GetLastError()) {}
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
    ~LastErrorKeeper() { SetLastError(m_error); }

private:
    DWORD m_error;
};

// One configuration as read by Reload. Never changed once published, so that a tracing
// thread sees one whole configuration even while another thread reloads.
struct TraceConfig {
    bool loaded = false;  // read from the registry at least once
    DWORD enableMask = 0;
    DWORD paramsMask = 0;
    DWORD contextMask = 0;
    DWORD commonFileFlag = 0;
    std::wstring path;
};

class CTraceImpl {
public:
    // name: 1 to 45 characters; throws std::invalid_argument otherwise.
    explicit CTraceImpl(const wchar_t* name);
    CTraceImpl(const CTraceImpl&) = delete;
    CTraceImpl& operator=(const CTraceImpl&) = delete;

    virtual ~CTraceImpl();
    virtual bool Reload();
    virtual bool IsEnabled();
    virtual bool IsLevelEnabled(DWORD level);
    virtual bool IsContext(DWORD value);
    virtual bool IsTimeEnabled();
    virtual bool IsMillisecondsEnabled();

    void TraceV(DWORD level, const char* format, va_list args);
    void TraceV(DWORD level, const wchar_t* format, va_list args);
    void TraceMemory(DWORD level, const wchar_t* title, const void* data, size_t size, DWORD flags);

    static constexpr size_t MaxNameLength = 45;

private:
    struct LocaleDeleter {
        void operator()(_locale_t locale) const { _free_locale(locale); }
    };

    const TraceConfig& Current() const { return *m_config.load(); }
    static bool Enabled(const TraceConfig& config);
    static bool Accepts(const TraceConfig& config, DWORD level);
    void Publish(const TraceConfig& config);
    void SetUpConsole(const TraceConfig& config);
    void Emit(const TraceConfig& config, DWORD level, const std::string& message);

    const std::wstring m_name;
    const std::string m_name1251;
    std::unique_ptr<std::remove_pointer<_locale_t>::type, LocaleDeleter> m_locale;

    std::mutex m_reloadLock;  // serialises Reload; tracing takes no lock
    std::vector<std::unique_ptr<const TraceConfig>> m_configs;  // every published configuration
    std::atomic<const TraceConfig*> m_config;

    std::atomic<HANDLE> m_console{nullptr};
    bool m_consoleAllocated = false;
};

}  // namespace CvBase
