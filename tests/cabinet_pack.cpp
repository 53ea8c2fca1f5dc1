// cabinet_pack CABINET LIST: packs the files named in LIST into CABINET with
// Cabinet_CompressFiles, as the collector's packing step does: the step line
// and the progress display on standard output (none when it is not a console).
// LIST is UTF-8, one file a line: the folder inside the cabinet (may be empty),
// a tab, the full path of the file. Prints the seconds the packing took on
// standard error. Exit code 0, or the code of the error that stopped the packing.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Cabinet.h"
#include "Progress.h"
#include "cvexception.h"
#include "output.h"

namespace {

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::vector<PackItem> ReadList(const wchar_t* path) {
    std::vector<PackItem> list;
    FILE* file = _wfopen(path, L"rb");
    if (!file) return list;
    std::string text;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
    fclose(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) list.push_back({FromUtf8(line.substr(tab + 1)), FromUtf8(line.substr(0, tab))});
        start = end + 1;
    }
    return list;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: cabinet_pack CABINET LIST\n");
        return 2;
    }
    const std::vector<PackItem> list = ReadList(argv[2]);
    if (list.empty()) {
        fprintf(stderr, "empty or unreadable list\n");
        return 2;
    }
    _setmode(_fileno(stdout), _O_U16TEXT);
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    try {
        console::echo::step(L"Packing collected data to cabinet");
        {
            CabinetCompressCallback progress(console);
            Cabinet_CompressFiles(argv[1], list, &progress);
        }
        console::echo::ok(console);
    } catch (const CvBase::CCvError& e) {
        fwprintf(stderr, L"%s\n", e.GetDump());
        return static_cast<int>(e.GetCode());
    }
    QueryPerformanceCounter(&end);
    fwprintf(stderr, L"seconds: %.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    return 0;
}
