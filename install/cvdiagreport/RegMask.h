// Secrets kept out of the archive: the data of password and secret values in
// the ".reg" files that reg.exe exports is replaced by a marker.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The text that stands in a masked value's data.
extern const wchar_t RegMaskMarker[];

// One masked value: the file's name inside the archive and the value's name.
struct MaskedValue {
    std::wstring File;
    std::wstring Value;
};

// Whether a value of this name holds a secret: the name contains "password"
// or "secret" in any letter case. The default value (empty name) never does.
bool IsSecretValueName(const std::wstring& name);

struct RegMaskResult {
    std::wstring Text;
    std::vector<std::wstring> Names;  // the masked values, in the order of the text
};

// Masks the text of a ".reg" file as reg.exe writes it: each secret value of
// text or binary type (a quoted string, "hex:" or any "hex(N):" but the numbers
// 4, 5 and b) gets the marker as its data, in the same type; its name, numbers
// ("dword:", "hex(b):") and every other character stay as they are.
RegMaskResult MaskRegText(const std::wstring& text);

// Masks an exported file in place: reads it (UTF-16LE with its byte-order
// mark), rewrites it only when it held a secret, and appends each masked value
// with archiveName to masked. Returns 0, or the Windows error that kept the
// file from being read or rewritten (ERROR_INVALID_DATA when it is not
// UTF-16LE text): such a file may hold a secret and must not be packed.
DWORD MaskRegFile(const std::wstring& path, const std::wstring& archiveName, std::vector<MaskedValue>& masked);
