#include "Progress.h"

#include "CvTrace.h"
#include "DiagReport.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"
#include "utility.h"

namespace {

// Column where file texts begin, and the length of the file text printed last;
// kept for the process.
unsigned short PrefixWidth = 0;
unsigned short LastLength = 0;

const size_t LineLimit = 511;

}  // namespace

std::wstring ProgressFileText(const std::wstring& path, const std::wstring& size) {
    const std::wstring before = L"\"", after = L"\", FileSize: " + size;
    const size_t room = LineLimit - before.size() - after.size();
    if (path.size() <= room) return before + path + after;
    const size_t head = (room - 3) / 2, tail = room - 3 - head;
    return before + path.substr(0, head) + L"..." + path.substr(path.size() - tail) + after;
}

CabinetCompressCallback::CabinetCompressCallback(HANDLE console)
    : m_console(console), m_inPlace(console::get_position__safe(console, m_position)) {
    if (!m_inPlace)
        GetTrace().Trace(4, L"[%s] packing without the progress display", L"CabinetCompressCallback");
}

bool CabinetCompressCallback::MoveTo(COORD position) {
    if (m_inPlace && !console::set_position__safe(m_console, position)) {
        GetTrace().Trace(4, L"[%s] packing without the progress display", L"CabinetCompressCallback::OnProgress");
        m_inPlace = false;
    }
    return m_inPlace;
}

int CabinetCompressCallback::OnProgress(const wchar_t* file, double percent) {
    const SHORT fileRow = static_cast<SHORT>(m_position.Y + 2);
    if (file) {
        if (!MoveTo({static_cast<SHORT>(PrefixWidth), fileRow})) return 0;
        if (PrefixWidth == 0) PrefixWidth = console::echo::text(L"Progress: ");
        std::wstring text;
        try {
            text = ProgressFileText(file, FormatByteSize(GetFileSize(file)));
        } catch (const CvBase::CCvError& error) {
            wchar_t failure[40];
            _snwprintf(failure, 39, L"? (Error: 0x%08X)", error.GetCode());
            failure[39] = 0;
            text = ProgressFileText(file, failure);
        }
        console::echo::string(text);
        const unsigned short length = static_cast<unsigned short>(text.size());
        if (length < LastLength) console::echo::spaces(LastLength - length);
        LastLength = length;
    } else {
        if (!MoveTo({0, fileRow})) return 0;
        console::echo::spaces(LastLength + PrefixWidth);
    }
    if (!MoveTo(m_position)) return 0;
    return console::echo::text(L" %.1f%%", percent);
}

void DiagReport::EnumerateFolder(const std::wstring& folder, const std::wstring& pattern,
                                 std::vector<std::wstring>& files) {
    const std::wstring search = L"\\\\?\\" + JoinPath(folder.c_str(), pattern.c_str(), L'\\');
    WIN32_FIND_DATAW entry;
    HANDLE handle = FindFirstFileW(search.c_str(), &entry);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND)
            GetTrace().Trace(4, L"[%s] FindFirstFile(\"%s\"), 0x%08X", L"DiagReport::EnumerateFolder", search.c_str(),
                             code);
        return;
    }
    const CvBase::CFindHandle closeAtEnd(handle);
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(JoinPath(folder.c_str(), entry.cFileName, L'\\'));
    } while (FindNextFileW(handle, &entry));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES)
        GetTrace().Trace(4, L"[%s] FindNextFile(\"%s\"), 0x%08X", L"DiagReport::EnumerateFolder", search.c_str(), code);
}
