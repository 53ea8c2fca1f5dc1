// MdAuthModCfg.exe, the network-protection configuration tool. With "/s" it
// writes the current rules as text to its standard output and ends.
//
// The rules are the values of HKLM "...\Client\Network Protection\Rules"
// (name = rule name, REG_SZ data = rule definition); a missing key means no
// rules. The DWORD value "StandInHangSeconds" under the network-protection key
// makes the tool wait that many seconds before writing, so that callers can
// test how they deal with a tool that does not end in time.
#include "RulesText.h"
#include "StandInWin32.h"

#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t kNetworkProtectionKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection";
const wchar_t kRulesKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection\\Rules";

// Reads the rules; a missing rules key gives no rules.
LONG ReadRules(std::vector<StandIn::NamedValue>& rules) {
    StandIn::RegKey key;
    const LONG status = key.OpenLocalMachine(kRulesKey, KEY_QUERY_VALUE);
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return StandIn::ReadNamedValues(key.Get(), rules);
}

DWORD WriteAll(HANDLE output, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        if (!WriteFile(output, text.data() + done, chunk, &written, nullptr)) {
            return GetLastError();
        }
        if (written == 0) {
            return ERROR_WRITE_FAULT;
        }
        done += written;
    }
    return ERROR_SUCCESS;
}

int DumpRules() {
    const DWORD hangSeconds = StandIn::ReadDword(kNetworkProtectionKey, L"StandInHangSeconds");
    if (hangSeconds != 0) {
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(hangSeconds * 1000ULL, INFINITE - 1)));
    }
    std::vector<StandIn::NamedValue> rules;
    const LONG status = ReadRules(rules);
    if (status != ERROR_SUCCESS) {
        return static_cast<int>(status);
    }
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return ERROR_INVALID_HANDLE;
    }
    return static_cast<int>(WriteAll(output, MdAuthModCfg::FormatRules(rules)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && _wcsicmp(argv[1], L"/s") == 0) {
        return DumpRules();
    }
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        WriteAll(error, "usage: MdAuthModCfg /s   (writes the network protection rules to standard output)\r\n");
    }
    return ERROR_INVALID_PARAMETER;
}
