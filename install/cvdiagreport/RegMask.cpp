#include "RegMask.h"

#include <cwchar>

#include "CvTrace.h"
#include "Win32Objects.h"
#include "cvexception.h"

const wchar_t RegMaskMarker[] = L"<masked by CvDiagReport>";

namespace {

const size_t npos = std::wstring::npos;

// reg.exe continues hex data on a new line once a line reaches this column.
const size_t HexLineWidth = 77;

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Whether text at pos begins with word (lower case), in any letter case.
bool StartsWithNoCase(const std::wstring& text, size_t pos, const wchar_t* word) {
    for (; *word; ++word, ++pos)
        if (pos >= text.size() || AsciiLower(text[pos]) != *word) return false;
    return true;
}

// Where the line holding pos ends: at its CR LF or LF, or at the end of text.
size_t LineEnd(const std::wstring& text, size_t pos) {
    const size_t lf = text.find(L'\n', pos);
    if (lf == npos) return text.size();
    return lf > pos && text[lf - 1] == L'\r' ? lf - 1 : lf;
}

// The start of the line after the one holding pos (the end of text when none).
size_t NextLine(const std::wstring& text, size_t pos) {
    const size_t lf = text.find(L'\n', pos);
    return lf == npos ? text.size() : lf + 1;
}

// The position after the closing quote of the quoted text at pos, and the
// text between the quotes with "\\" and "\"" read as one character each (any
// other escape is kept as written). A quote never closed runs to the end.
size_t QuotedEnd(const std::wstring& text, size_t pos, std::wstring* unquoted) {
    for (++pos; pos < text.size(); ++pos) {
        const wchar_t c = text[pos];
        if (c == L'"') return pos + 1;
        if (c == L'\\' && pos + 1 < text.size()) {
            const wchar_t next = text[++pos];
            if (unquoted && next != L'\\' && next != L'"') *unquoted += c;
            if (unquoted) *unquoted += next;
        } else if (unquoted) {
            *unquoted += c;
        }
    }
    return text.size();
}

// The end of hex data starting at pos: the end of its last line, a line being
// continued while it ends with a backslash (blanks after it allowed).
size_t HexEnd(const std::wstring& text, size_t pos) {
    for (;;) {
        const size_t end = LineEnd(text, pos);
        size_t last = end;
        while (last > pos && (text[last - 1] == L' ' || text[last - 1] == L'\t')) --last;
        if (last == pos || text[last - 1] != L'\\' || end == text.size()) return end;
        pos = NextLine(text, end);
    }
}

// The type of hex data at pos ("hex:" is REG_BINARY), with the length of its
// "hex...:" prefix; false when the data is not hex.
bool HexType(const std::wstring& text, size_t pos, DWORD& type, size_t& prefix) {
    if (StartsWithNoCase(text, pos, L"hex:")) {
        type = REG_BINARY;
        prefix = 4;
        return true;
    }
    if (!StartsWithNoCase(text, pos, L"hex(")) return false;
    const size_t close = text.find(L')', pos);
    if (close == npos || close == pos + 4 || close + 1 >= text.size() || text[close + 1] != L':') return false;
    const std::wstring digits = text.substr(pos + 4, close - pos - 4);
    wchar_t* stop = nullptr;
    type = static_cast<DWORD>(wcstoul(digits.c_str(), &stop, 16));
    if (*stop) return false;
    prefix = close + 2 - pos;
    return true;
}

bool IsNumberType(DWORD type) { return type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN || type == REG_QWORD; }

// The marker as data of a hex type: UTF-16LE, ended as the type's strings end.
std::wstring MarkerHex(DWORD type, size_t column) {
    std::wstring units = RegMaskMarker;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) units += L'\0';
    if (type == REG_MULTI_SZ) units += L'\0';
    std::wstring hex;
    const size_t count = units.size() * 2;
    for (size_t i = 0; i < count; ++i) {
        const unsigned byte = i % 2 ? units[i / 2] >> 8 : units[i / 2] & 0xFF;
        wchar_t digits[3];
        swprintf(digits, 3, L"%02x", byte);
        hex += digits;
        if (i + 1 == count) break;
        hex += L',';
        column += 3;
        if (column >= HexLineWidth) {
            hex += L"\\\r\n  ";
            column = 2;
        }
    }
    return hex;
}

}  // namespace

bool IsSecretValueName(const std::wstring& name) {
    for (size_t pos = 0; pos < name.size(); ++pos)
        if (StartsWithNoCase(name, pos, L"password") || StartsWithNoCase(name, pos, L"secret")) return true;
    return false;
}

RegMaskResult MaskRegText(const std::wstring& text) {
    RegMaskResult result;
    size_t copied = 0;  // the text before this position is in result.Text
    for (size_t line = 0; line < text.size();) {
        const wchar_t first = text[line];
        if (first != L'"' && first != L'@') {
            line = NextLine(text, line);
            continue;
        }
        std::wstring name;
        const size_t equals = first == L'@' ? line + 1 : QuotedEnd(text, line, &name);
        if (equals >= text.size() || text[equals] != L'=') {
            line = NextLine(text, equals);
            continue;
        }
        const bool secret = IsSecretValueName(name);
        const size_t data = equals + 1;
        DWORD type = 0;
        size_t prefix = 0;
        size_t end;
        std::wstring replacement;  // stays empty unless the data is masked
        if (data < text.size() && text[data] == L'"') {
            end = QuotedEnd(text, data, nullptr);
            if (secret) replacement = std::wstring(L"\"") + RegMaskMarker + L"\"";
        } else if (HexType(text, data, type, prefix)) {
            end = HexEnd(text, data);
            if (secret && !IsNumberType(type))
                replacement = text.substr(data, prefix) + MarkerHex(type, data + prefix - line);
        } else {
            end = LineEnd(text, data);
        }
        if (!replacement.empty()) {
            result.Text.append(text, copied, data - copied);
            result.Text += replacement;
            copied = end;
            result.Names.push_back(name);
        }
        line = NextLine(text, end);
    }
    result.Text.append(text, copied, npos);
    return result;
}

DWORD MaskRegFile(const std::wstring& path, const std::wstring& archiveName, std::vector<MaskedValue>& masked) {
    try {
        std::wstring text;
        {
            CvBase::CWin32File file;
            file.Open_Ex(path.c_str(), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
            LARGE_INTEGER size = {};
            if (!GetFileSizeEx(file.Get(), &size))
                CvBase::ThrowError(GetLastError(), L"RegMask", __LINE__, L"MaskRegFile");
            if (size.QuadPart % 2 || size.QuadPart < 2 || size.QuadPart > MAXDWORD)
                CvBase::ThrowError(ERROR_INVALID_DATA, L"RegMask", __LINE__, L"MaskRegFile");
            text.resize(static_cast<size_t>(size.QuadPart / 2));
            DWORD read = 0;
            if (!ReadFile(file.Get(), &text[0], static_cast<DWORD>(size.QuadPart), &read, nullptr))
                CvBase::ThrowError(GetLastError(), L"RegMask", __LINE__, L"MaskRegFile");
            if (read != size.QuadPart || text[0] != 0xFEFF)
                CvBase::ThrowError(ERROR_INVALID_DATA, L"RegMask", __LINE__, L"MaskRegFile");
        }
        RegMaskResult result = MaskRegText(text);
        if (result.Names.empty()) return 0;
        CvBase::CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, TRUNCATE_EXISTING, 0);
        file.Write_Ex(result.Text.data(), static_cast<DWORD>(result.Text.size() * sizeof(wchar_t)));
        for (std::wstring& name : result.Names) {
            GetTrace().Trace(2, L"[%s] %s: \"%s\" masked", L"MaskRegFile", archiveName.c_str(), name.c_str());
            masked.push_back({archiveName, std::move(name)});
        }
        return 0;
    } catch (const CvBase::CCvError& error) {
        GetTrace().Trace(4, L"[%s] %s, error: 0x%08X", L"MaskRegFile", path.c_str(), error.GetCode());
        return error.GetCode();
    }
}
