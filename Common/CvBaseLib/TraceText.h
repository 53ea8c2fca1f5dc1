// The texts of the trace: file names, line composition and memory dumps.
// Pure functions; the engine (CTraceImpl) gathers the inputs and writes the results.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace CvBase {
namespace TraceText {

// Levels with a line prefix or an extra behaviour.
enum : DWORD {
    LevelWarning = 4,
    LevelError = 8,
    LevelBreak = 16,
};

// ParamsMask bits.
enum : DWORD {
    ToFile = 0x0001,
    ToDebugger = 0x0008,
    ToConsole = 0x0010,
    OutputsMask = 0x00FF,
    KeepPrivateFile = 0x0100,
    WithMilliseconds = 0x0400,
    WithIds = 0x0800,
    WithTime = 0x1000,
    WithDate = 0x2000,
    WithSession = 0x4000,
    WithName = 0x8000,
};

// TraceMemory flags.
enum : DWORD {
    Memory16 = 0x40,
    Memory32 = 0x80,
};

// "\r\n", sixty-eight asterisks, "\r\n\r\n": written when a kept private file is reopened.
extern const char SeparatorLine[];
constexpr size_t SeparatorLength = 74;

// What goes in front of a message.
struct LineFields {
    DWORD paramsMask = 0;
    DWORD commonFileFlag = 0;
    std::string_view name;  // trace name in code page 1251
    SYSTEMTIME time = {};
    DWORD sessionId = 0;
    DWORD processId = 0;
    DWORD threadId = 0;
};

// Date, time, name, session, identifiers, level prefix, message and "\r\n", each field as
// the fields ask for it.
std::string ComposeLine(const LineFields& fields, DWORD level, const std::string& message);

// Wide text in the Windows Cyrillic code page 1251, one byte per character; characters
// without a mapping become the code page's default character.
std::string ToCodePage1251(const std::wstring& text);

// The title followed by rows of hexadecimal elements (bytes, or 16-bit or 32-bit elements
// by flags).
std::wstring FormatMemory(const wchar_t* title, const void* data, size_t size, DWORD flags);

// The file name for a stem: "log" after a final dot, ".log" when the stem has no dot or its
// last dot is not followed by exactly three characters, the stem itself otherwise.
std::wstring WithLogExtension(const std::wstring& stem);

// The folder and a name joined with exactly one backslash added when the folder lacks it.
std::wstring JoinFolder(const std::wstring& folder, const std::wstring& name);

// The folders to create, outermost first, so that the file of a path can be created: the
// root is kept, the last component (the file) is left out and "/" becomes "\". False when
// the path has no root followed by anything.
bool FoldersOfPath(const std::wstring& path, std::vector<std::wstring>& folders);

}  // namespace TraceText
}  // namespace CvBase
