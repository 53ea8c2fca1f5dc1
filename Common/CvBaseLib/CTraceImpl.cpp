#include "CTraceImpl.h"

#include "TraceFile.h"
#include "TraceText.h"

#include <stdexcept>
#include <stdio.h>
#include <wchar.h>

namespace CvBase {

namespace {

const wchar_t TraceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace";
const wchar_t CommonStem[] = L"CvTrace";
const char BreakNotice[] = "W> A break is requested after last output, but ommitted in release.\n";

// Registry strings and environment values are read into buffers of this many characters.
constexpr DWORD TextBufferLength = 520;
// A message that still does not fit a buffer of this many characters is dropped: the
// formatter also reports failures other than a short buffer (an argument that cannot be
// converted, for instance) the same way.
constexpr size_t MaxMessageLength = size_t(1) << 20;

class RegKey {
public:
    RegKey(HKEY parent, const wchar_t* path) {
        if (RegOpenKeyExW(parent, path, 0, KEY_QUERY_VALUE, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (m_key) RegCloseKey(m_key);
    }
    explicit operator bool() const { return m_key != nullptr; }

    // A 4-byte value of any type; anything else leaves the value as it is.
    void ReadNumber(const wchar_t* name, DWORD& value) const {
        DWORD data = 0;
        DWORD size = sizeof data;
        if (RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) ==
                ERROR_SUCCESS &&
            size == sizeof data)
            value = data;
    }

    // A string value of up to 519 characters; anything else leaves the value as it is.
    void ReadString(const wchar_t* name, std::wstring& value) const {
        wchar_t buffer[TextBufferLength];
        DWORD type = 0;
        DWORD size = sizeof buffer - sizeof buffer[0];
        if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
                ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return;
        buffer[size / sizeof buffer[0]] = L'\0';
        value = buffer;
    }

    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// "Temp", else "Tmp", else "windir", else "C:\".
std::wstring TemporaryFolder() {
    for (const wchar_t* name : {L"Temp", L"Tmp", L"windir"}) {
        wchar_t buffer[TextBufferLength];
        DWORD length = GetEnvironmentVariableW(name, buffer, TextBufferLength);
        if (length > 0 && length < TextBufferLength) return std::wstring(buffer, length);
    }
    return L"C:\\";
}

int FormatInto(wchar_t* buffer, size_t size, const wchar_t* format, _locale_t locale, va_list args) {
    return _vsnwprintf_l(buffer, size, format, locale, args);
}

int FormatInto(char* buffer, size_t size, const char* format, _locale_t locale, va_list args) {
    return _vsnprintf_l(buffer, size, format, locale, args);
}

// printf with the Windows C run-time's conventions into a buffer that starts at 256
// characters and doubles while the text does not fit.
template <typename Char>
bool FormatMessageText(_locale_t locale, const Char* format, va_list args, std::basic_string<Char>& text) {
    for (size_t size = 256; size <= MaxMessageLength; size *= 2) {
        std::vector<Char> buffer(size);
        va_list attempt;
        va_copy(attempt, args);
        int length = FormatInto(buffer.data(), size, format, locale, attempt);
        va_end(attempt);
        // The run-time returns the buffer size, without a terminating zero, for a text
        // that fills it exactly: that counts as too small as well.
        if (length >= 0 && static_cast<size_t>(length) < size) {
            text.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
    }
    return false;
}

// Reads the key, the subkey of the trace name and the key's "Force" values in this order.
TraceConfig ReadConfig(const RegKey& key, const std::wstring& name) {
    TraceConfig config;
    config.loaded = true;
    config.contextMask = 0xFFFFFFFF;
    std::wstring commonFileName;

    key.ReadNumber(L"EnableMask", config.enableMask);
    key.ReadNumber(L"ParamsMask", config.paramsMask);
    key.ReadNumber(L"CommonFileFlag", config.commonFileFlag);

    RegKey subkey(key.Get(), name.c_str());
    if (subkey) {
        subkey.ReadNumber(L"EnableMask", config.enableMask);
        subkey.ReadNumber(L"ParamsMask", config.paramsMask);
        subkey.ReadNumber(L"CommonFileFlag", config.commonFileFlag);
        subkey.ReadNumber(L"ContextMask", config.contextMask);
        if (config.commonFileFlag != 0) subkey.ReadString(L"CommonFileName", commonFileName);
    }

    key.ReadNumber(L"ForceEnableMask", config.enableMask);
    key.ReadNumber(L"ForceParamsMask", config.paramsMask);
    key.ReadNumber(L"ForceCommonFileFlag", config.commonFileFlag);
    DWORD disableContext = 0;
    key.ReadNumber(L"DisableContextFlag", disableContext);
    if (disableContext != 0) config.contextMask = 0xFFFFFFFF;

    if (config.commonFileFlag != 0 && !commonFileName.empty()) {
        config.path = commonFileName;
    } else {
        std::wstring stem = config.commonFileFlag == 0 ? name : std::wstring(CommonStem);
        std::wstring folder;
        key.ReadString(L"TracePath", folder);
        if (folder.empty()) folder = TemporaryFolder();
        config.path = TraceText::JoinFolder(folder, TraceText::WithLogExtension(stem));
    }
    return config;
}

const wchar_t* CheckedName(const wchar_t* name) {
    if (!name || !*name || wcslen(name) > CTraceImpl::MaxNameLength)
        throw std::invalid_argument("trace name must have 1 to 45 characters");
    return name;
}

}  // namespace

CTraceImpl::CTraceImpl(const wchar_t* name)
    : m_name(CheckedName(name)),
      m_name1251(TraceText::ToCodePage1251(m_name)),
      // Without the locale the run-time formats with the process's current locale.
      m_locale(_create_locale(LC_ALL, "Russian")) {
    m_configs.push_back(std::make_unique<const TraceConfig>());
    m_config.store(m_configs.back().get());
    Reload();
}

CTraceImpl::~CTraceImpl() {
    if (m_consoleAllocated) FreeConsole();
}

bool CTraceImpl::Reload() {
    std::lock_guard<std::mutex> lock(m_reloadLock);
    TraceConfig config;
    {
        RegKey key(HKEY_LOCAL_MACHINE, TraceKeyPath);
        if (!key) return false;
        config = ReadConfig(key, m_name);
    }
    Publish(config);

    using namespace TraceText;
    if (config.paramsMask & ToFile) {
        bool append = config.commonFileFlag != 0 || (config.paramsMask & KeepPrivateFile);
        bool separate = config.commonFileFlag == 0 && (config.paramsMask & KeepPrivateFile);
        TraceFile::Write(config.path, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                         separate ? std::string(SeparatorLine, SeparatorLength) : std::string());
    }
    SetUpConsole(config);
    return true;
}

void CTraceImpl::Publish(const TraceConfig& config) {
    m_configs.push_back(std::make_unique<const TraceConfig>(config));
    m_config.store(m_configs.back().get());
}

void CTraceImpl::SetUpConsole(const TraceConfig& config) {
    if (config.paramsMask & TraceText::ToConsole) {
        if (!m_console.load()) {
            m_consoleAllocated = AllocConsole() != FALSE;
            m_console.store(GetStdHandle(STD_OUTPUT_HANDLE));
        }
        HANDLE console = m_console.load();
        if (console && console != INVALID_HANDLE_VALUE) SetConsoleTitleW(m_name.c_str());
    } else {
        if (m_consoleAllocated) FreeConsole();
        m_consoleAllocated = false;
        m_console.store(nullptr);
    }
}

bool CTraceImpl::IsEnabled() {
    return Enabled(Current());
}

bool CTraceImpl::IsLevelEnabled(DWORD level) {
    return (level & Current().enableMask) != 0;
}

bool CTraceImpl::IsContext(DWORD value) {
    const TraceConfig& config = Current();
    return config.loaded && value == config.contextMask;
}

bool CTraceImpl::IsTimeEnabled() {
    return (Current().paramsMask & TraceText::WithTime) != 0;
}

bool CTraceImpl::IsMillisecondsEnabled() {
    return (Current().paramsMask & TraceText::WithMilliseconds) != 0;
}

bool CTraceImpl::Enabled(const TraceConfig& config) {
    return config.enableMask != 0 && (config.paramsMask & TraceText::OutputsMask) != 0;
}

bool CTraceImpl::Accepts(const TraceConfig& config, DWORD level) {
    return Enabled(config) && (level & config.enableMask) != 0;
}

void CTraceImpl::TraceV(DWORD level, const char* format, va_list args) {
    const TraceConfig& config = Current();
    if (!Accepts(config, level) || !format || !*format) return;
    std::string message;
    if (FormatMessageText(m_locale.get(), format, args, message)) Emit(config, level, message);
}

void CTraceImpl::TraceV(DWORD level, const wchar_t* format, va_list args) {
    const TraceConfig& config = Current();
    if (!Accepts(config, level) || !format || !*format) return;
    std::wstring message;
    if (FormatMessageText(m_locale.get(), format, args, message))
        Emit(config, level, TraceText::ToCodePage1251(message));
}

void CTraceImpl::TraceMemory(DWORD level, const wchar_t* title, const void* data, size_t size, DWORD flags) {
    const TraceConfig& config = Current();
    if (!data || size == 0 || !Accepts(config, level)) return;
    Emit(config, level, TraceText::ToCodePage1251(TraceText::FormatMemory(title, data, size, flags)));
}

void CTraceImpl::Emit(const TraceConfig& config, DWORD level, const std::string& message) {
    using namespace TraceText;
    LineFields fields;
    fields.paramsMask = config.paramsMask;
    fields.commonFileFlag = config.commonFileFlag;
    fields.name = m_name1251;
    GetLocalTime(&fields.time);
    fields.processId = GetCurrentProcessId();
    fields.threadId = GetCurrentThreadId();
    if ((config.paramsMask & WithSession) && !ProcessIdToSessionId(fields.processId, &fields.sessionId))
        fields.sessionId = 0xFFFFFFFF;
    const std::string line = ComposeLine(fields, level, message);

    if (config.paramsMask & ToDebugger) OutputDebugStringA(line.c_str());
    if (config.paramsMask & ToFile) TraceFile::Write(config.path, OPEN_ALWAYS, line);
    if (config.paramsMask & ToConsole) {
        HANDLE console = m_console.load();
        DWORD written = 0;
        if (console && console != INVALID_HANDLE_VALUE)
            WriteConsoleA(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (level == LevelBreak) {
        OutputDebugStringA(line.c_str());
        OutputDebugStringA(BreakNotice);
    }
}

}  // namespace CvBase
