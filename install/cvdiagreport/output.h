// Everything the user sees on the console, and the number formatters shared
// by the screen and the report.
#pragma once

#include <windows.h>

#include <list>
#include <string>
#include <vector>

#include "DiagReport.h"

// The product and version lines that open both the banner and the report.
extern const wchar_t* const ProductLine;
extern const wchar_t* const VersionLine;
extern const wchar_t* const ToolVersion;  // the version that VersionLine names

namespace console {

enum Color { Grey = 0, Green = 1, Yellow = 2, Red = 3 };

bool set__text_color__safe(HANDLE console, int color, bool background = false);
bool get_position__safe(HANDLE console, COORD& position);
COORD get_position(HANDLE console);
bool set_position__safe(HANDLE console, COORD position);
void set_position(HANDLE console, COORD position);

namespace echo {
// Formats into 512 characters; a text that does not fit raises 13.
unsigned short text(const wchar_t* format, ...);
// Writes a text of any length as it stands (paths, file names).
void string(const std::wstring& text);
void step(const wchar_t* caption);
void ok(HANDLE console);
void hex_code(DWORD code);
void spaces(unsigned count);
void banner();
void dumps(HANDLE console, const std::list<Dump::FileInfo>& files);
void packed(HANDLE console, const std::wstring& archive);
}  // namespace echo

}  // namespace console

std::wstring FormatByteSize(unsigned long long bytes);
std::wstring FormatNumber(unsigned long long number, wchar_t separator);
