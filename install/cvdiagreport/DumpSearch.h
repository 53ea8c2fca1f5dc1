// The dump search: the tests a file passes to be listed as a crash dump (the
// walk and the search over the drives are members of DiagReport).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "DiagReport.h"

namespace Dump {
// A signature that a dump file begins with.
struct Signature {
    const char* bytes;
    size_t length;
};
}  // namespace Dump

// True when the file opens and its first bytes match one of the signatures;
// reads at most 8 bytes.
bool CheckMagic(const std::wstring& path, const std::vector<Dump::Signature>& signatures);

namespace Dump {
// At least 8 bytes.
bool Check_Size(const std::wstring& path, unsigned long long size);
// Begins with the user-mode minidump or the kernel-mode dump signature.
bool Check_Magic(const std::wstring& path);
// Written less than the age limit's minutes before its `now`, or later.
bool Check_Time(const std::wstring& path, const FILETIME& lastWrite, const AgeLimit& age);
}  // namespace Dump
