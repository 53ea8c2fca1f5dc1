#include "TraceText.h"

#include <cstdio>
#include <cstring>

namespace CvBase {
namespace TraceText {

const char SeparatorLine[] =
    "\r\n********************************************************************\r\n\r\n";
static_assert(sizeof(SeparatorLine) - 1 == SeparatorLength, "separator length");

namespace {

template <typename... Args>
void AppendFormatted(std::string& line, const char* format, Args... args) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n > 0) line.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

const char* LevelPrefix(DWORD level) {
    switch (level) {
    case LevelWarning: return "W> ";
    case LevelError: return "E> ";
    default: return "";
    }
}

void AppendHex(std::wstring& text, unsigned long value, int digits) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%0*lX", digits, value);
    text += buffer;
}

struct MemoryLayout {
    size_t elementSize;
    size_t perRow;
    size_t groupSize;  // " -" before every element at a multiple of it inside a row; 0: none
    int valueDigits;
    size_t shortLimit;  // sizes below it get 2 index digits
    size_t mediumLimit;  // sizes up to it get 4, larger ones 8
};

const MemoryLayout& LayoutFor(DWORD flags) {
    static const MemoryLayout bytes = {1, 32, 8, 2, 256, 0xFFFF};
    static const MemoryLayout words = {2, 16, 8, 4, 512, 0x1FFFF};
    static const MemoryLayout dwords = {4, 8, 0, 8, 1024, 0x3FFFF};
    if (flags & Memory32) return dwords;
    if (flags & Memory16) return words;
    return bytes;
}

unsigned long ElementAt(const unsigned char* data, size_t index, size_t elementSize) {
    const unsigned char* p = data + index * elementSize;
    switch (elementSize) {
    case 2: {
        unsigned short v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    case 4: {
        unsigned int v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    default:
        return *p;
    }
}

}  // namespace

std::string ComposeLine(const LineFields& fields, DWORD level, const std::string& message) {
    std::string line;
    line.reserve(message.size() + 256);
    const SYSTEMTIME& t = fields.time;
    if (fields.paramsMask & WithDate) AppendFormatted(line, "%02d.%02d.%04d ", t.wDay, t.wMonth, t.wYear);
    if (fields.paramsMask & WithTime) {
        AppendFormatted(line, "%02d:%02d:%02d", t.wHour, t.wMinute, t.wSecond);
        if (fields.paramsMask & WithMilliseconds) AppendFormatted(line, ".%03u", unsigned(t.wMilliseconds));
    }
    if (fields.commonFileFlag != 0 || (fields.paramsMask & WithName)) {
        line += '[';
        line += fields.name;
        line += "] ";
    }
    if (fields.paramsMask & WithSession) AppendFormatted(line, "[%08lX] ", fields.sessionId);
    if (fields.paramsMask & WithIds) AppendFormatted(line, "[%lX:%lX] ", fields.processId, fields.threadId);
    line += LevelPrefix(level);
    line += message;
    line += "\r\n";
    return line;
}

std::string ToCodePage1251(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(1251, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string result(static_cast<size_t>(needed), '\0');
    int written = WideCharToMultiByte(1251, 0, text.data(), length, &result[0], needed, nullptr, nullptr);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}

std::wstring FormatMemory(const wchar_t* title, const void* data, size_t size, DWORD flags) {
    std::wstring text = title ? title : L"";
    const MemoryLayout& layout = LayoutFor(flags);
    const size_t count = size / layout.elementSize;
    const int indexDigits = size < layout.shortLimit ? 2 : size <= layout.mediumLimit ? 4 : 8;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < count; ++i) {
        size_t column = i % layout.perRow;
        if (column == 0) {
            text += L"\r\n ";
            AppendHex(text, static_cast<unsigned long>(i), indexDigits);
            text += L':';
        } else if (layout.groupSize != 0 && column % layout.groupSize == 0) {
            text += L" -";
        }
        text += L' ';
        AppendHex(text, ElementAt(bytes, i, layout.elementSize), layout.valueDigits);
    }
    if (count % layout.perRow != 0) text += L"\r\n";
    return text;
}

std::wstring WithLogExtension(const std::wstring& stem) {
    size_t dot = stem.rfind(L'.');
    if (dot != std::wstring::npos && dot + 1 == stem.size()) return stem + L"log";
    if (dot == std::wstring::npos || stem.size() - dot - 1 != 3) return stem + L".log";
    return stem;
}

std::wstring JoinFolder(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

bool FoldersOfPath(const std::wstring& path, std::vector<std::wstring>& folders) {
    folders.clear();
    // "\\server\" for a path that starts with a backslash, "C:\" otherwise.
    size_t rootEnd = path.find(L'\\', !path.empty() && path[0] == L'\\' ? 3 : 0);
    if (rootEnd == std::wstring::npos || rootEnd + 1 >= path.size()) return false;
    std::wstring current = path.substr(0, rootEnd + 1);
    for (size_t i = rootEnd + 1; i < path.size(); ++i) {
        wchar_t ch = path[i];
        if (ch == L'\\' || ch == L'/') {
            folders.push_back(current);
            ch = L'\\';
        }
        current += ch;
    }
    return true;
}

}  // namespace TraceText
}  // namespace CvBase
