// Walks one folder for crash dumps as the collector does and prints the
// seconds the walk took and the number of dumps found (script/bench).
#include <windows.h>

#include <cstdio>

#include "DiagReport.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 87;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const Dump::AgeLimit age = {(static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime,
                                10080};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::list<Dump::FileInfo> dumps;
    DiagReport::EnumerateFolder_Recursive(argv[1], dumps, age);
    QueryPerformanceCounter(&end);
    printf("%.3f %u\n", double(end.QuadPart - start.QuadPart) / frequency.QuadPart,
           static_cast<unsigned>(dumps.size()));
    return 0;
}
