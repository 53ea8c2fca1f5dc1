// The collector's run with its system steps replaced, so that the screen, the
// exit codes and the wait for Escape can be checked for every outcome.
// The first argument picks the outcome; the rest is the tool's command line.
//   ok       collection succeeds        wow      the image runs under WOW64
//   fail     collection raises 0xE600001B with inserts
//   unknown  collection throws something that is not an error
#include <string>

#include "Entry.h"
#include "cvexception.h"

namespace {
std::wstring outcome;
}

int wmain(int argc, wchar_t** argv) {
    outcome = argc > 1 ? argv[1] : L"ok";
    const EntrySteps steps = {
        [] { return outcome == L"wow"; },
        [](DiagReport&) {
            if (outcome == L"fail")
                CvBase::ThrowError(0xE600001B, L"Cabinet", 483, L"CCompressedFile::CCompressedFile",
                                   CvBase::FormatErrorCode(1), CvBase::FormatErrorCode(2), L"C:\\x.cab");
            if (outcome == L"unknown") throw 42;
        },
        [](const std::wstring&) {},
    };
    return RunDiagReport(argc - 1, argv + 1, steps);
}
