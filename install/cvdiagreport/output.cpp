#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "CvTrace.h"
#include "cvexception.h"

const wchar_t* const ProductLine = L"Corvane Studio, Copyright (c) Meridyne. All rights reserved.";
#define CV_TOOL_VERSION L"8.3.1406.0"
const wchar_t* const ToolVersion = CV_TOOL_VERSION;
const wchar_t* const VersionLine = L"Diagnostic Information Collector, Version: " CV_TOOL_VERSION;

namespace console {

namespace {

// Console character attributes by colour index.
const WORD* ColorTable() {
    static const WORD table[] = {7, 10, 14, 12};
    return table;
}

// Text must reach the console before a colour or cursor change that follows it.
void Write(const wchar_t* text) {
    fputws(text, stdout);
    fflush(stdout);
}

}  // namespace

bool set__text_color__safe(HANDLE console, int color, bool background) {
    const WORD attribute = ColorTable()[color];
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) {
        GetTrace().Trace(4, L"[%s] GetConsoleScreenBufferInfo(), 0x%08X", L"console::set__text_color__safe",
                         GetLastError());
        return false;
    }
    const WORD mask = background ? 0xFF00 : 0xFFF0;
    if (!SetConsoleTextAttribute(console, static_cast<WORD>((info.wAttributes & mask) | attribute))) {
        GetTrace().Trace(4, L"[%s] SetConsoleTextAttribute(), 0x%08X", L"console::set__text_color__safe",
                         GetLastError());
        return false;
    }
    return true;
}

bool get_position__safe(HANDLE console, COORD& position) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) {
        GetTrace().Trace(4, L"[%s] GetConsoleScreenBufferInfo(), 0x%08X", L"console::get_position__safe",
                         GetLastError());
        return false;
    }
    position = info.dwCursorPosition;
    return true;
}

COORD get_position(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info))
        CvBase::ThrowError(GetLastError(), L"output", __LINE__, L"console::get_position");
    return info.dwCursorPosition;
}

bool set_position__safe(HANDLE console, COORD position) {
    if (!SetConsoleCursorPosition(console, position)) {
        GetTrace().Trace(4, L"[%s] SetConsoleCursorPosition(), 0x%08X", L"console::set_position__safe",
                         GetLastError());
        return false;
    }
    return true;
}

void set_position(HANDLE console, COORD position) {
    if (!SetConsoleCursorPosition(console, position))
        CvBase::ThrowError(GetLastError(), L"output", __LINE__, L"console::set_position");
}

namespace echo {

unsigned short text(const wchar_t* format, ...) {
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    const int length = _vsnwprintf(buffer, 511, format, args);
    va_end(args);
    if (length < 0) {
        GetTrace().Trace(4, L"[%s] vswprintf_s(), format: %s", L"console::echo::text", format);
        CvBase::ThrowError(ERROR_INVALID_DATA, L"output", __LINE__, L"console::echo::text");
    }
    buffer[length] = 0;
    Write(buffer);
    return static_cast<unsigned short>(length);
}

void string(const std::wstring& text) { Write(text.c_str()); }

void step(const wchar_t* caption) {
    // The trace's time stamps of these lines mark where each step begins.
    GetTrace().Trace(2, L"[%s] %s", L"console::echo::step", caption);
    Write(L"> ");
    Write(caption);
    Write(L"...");
}

void ok(HANDLE console) {
    set__text_color__safe(console, Green);
    Write(L" ok\n");
    set__text_color__safe(console, Grey);
}

void hex_code(DWORD code) { text(L"0x%08x", code); }

void spaces(unsigned count) { string(std::wstring(count, L' ')); }

void banner() {
    string(std::wstring(ProductLine) + L"\n" + VersionLine + L"\n\n");
}

void dumps(HANDLE console, const std::list<Dump::FileInfo>& files) {
    Write(L"\nThere are ");
    set__text_color__safe(console, Yellow);
    text(L"%llu", static_cast<unsigned long long>(files.size()));
    set__text_color__safe(console, Grey);
    Write(L" dumps detected during collecting of diagnostic information:\n");
    unsigned long long total = 0;
    for (const Dump::FileInfo& file : files) {
        GetTrace().Trace(2, L"[%s] Dump: \"%s\", Size: %llu", L"console::echo::dumps", file.path.c_str(), file.size);
        total += file.size;
        Write(L"  \"");
        set__text_color__safe(console, Yellow);
        string(file.path);
        set__text_color__safe(console, Grey);
        string(L"\", size: " + FormatByteSize(file.size) + L"\n");
    }
    string(L"\nDue to the overall size of these files (" + FormatByteSize(total) +
           L"), please, collect these files manually, publish them in any convenient for you public repository, "
           L"share the resulting link and provide it to us together with the archive of already collected "
           L"diagnostic information.\n\n");
}

void packed(HANDLE console, const std::wstring& archive) {
    Write(L"\nDiagnostic information is collected and packed in: \"");
    set__text_color__safe(console, Yellow);
    string(archive);
    set__text_color__safe(console, Grey);
    Write(L"\". For assistance with identifying problems and possible solutions, please, provide resulting archive "
          L"to us as soon as possible.\n\n");
}

}  // namespace echo
}  // namespace console

std::wstring FormatByteSize(unsigned long long bytes) {
    wchar_t buffer[32];
    if (bytes < 1024) {
        _snwprintf(buffer, 31, L"%llu B", bytes);
    } else {
        double x = bytes / 1024.0;
        wchar_t unit = L'K';
        if (x >= 1024) {
            x /= 1024;
            unit = L'M';
            if (x >= 1024) {
                x /= 1024;
                unit = L'G';
            }
        }
        wchar_t pattern[] = L"~%.?f ?B";
        pattern[3] = x < 10 ? L'2' : x < 100 ? L'1' : L'0';
        pattern[6] = unit;
        _snwprintf(buffer, 31, pattern, x);
    }
    buffer[31] = 0;
    return buffer;
}

std::wstring FormatNumber(unsigned long long number, wchar_t separator) {
    if (number == 0) return L"0";
    std::wstring text;
    for (int digits = 0; number; ++digits, number /= 10) {
        if (digits && digits % 3 == 0 && separator) text.insert(text.begin(), separator);
        text.insert(text.begin(), static_cast<wchar_t>(L'0' + number % 10));
    }
    return text;
}
