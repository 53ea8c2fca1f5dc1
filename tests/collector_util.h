// Helpers of the collector's test programs: registry keys put back as they
// were, the collector's trace caught in a file, temporary folders.
#pragma once

#include <algorithm>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "CvTrace.h"
#include "test_util.h"

const wchar_t TraceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace";

// The values and subkeys of a key, as they were when read.
struct KeySnapshot {
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, KeySnapshot>> subkeys;

    void Read(HKEY key, REGSAM view) {
        DWORD subkeyCount = 0, longestSubkey = 0, valueCount = 0, longestName = 0, longestData = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeyCount, &longestSubkey, nullptr, &valueCount,
                             &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS)
            return;
        for (DWORD index = 0; index < valueCount; ++index) {
            std::wstring name(longestName + 1, L'\0');
            DWORD nameLength = longestName + 1, type = 0, size = longestData;
            std::vector<BYTE> data(longestData + 1);
            if (RegEnumValueW(key, index, &name[0], &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
                continue;
            data.resize(size);
            values.push_back({name.substr(0, nameLength), type, std::move(data)});
        }
        for (DWORD index = 0; index < subkeyCount; ++index) {
            std::wstring name(longestSubkey + 1, L'\0');
            DWORD nameLength = longestSubkey + 1;
            if (RegEnumKeyExW(key, index, &name[0], &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                continue;
            name.resize(nameLength);
            HKEY subkey = nullptr;
            if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ | view, &subkey) != ERROR_SUCCESS) continue;
            subkeys.emplace_back(name, KeySnapshot());
            subkeys.back().second.Read(subkey, view);
            RegCloseKey(subkey);
        }
    }

    void Write(HKEY key, REGSAM view) const {
        for (const Value& value : values)
            RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        for (const auto& [name, snapshot] : subkeys) {
            HKEY subkey = nullptr;
            if (RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &subkey,
                                nullptr) != ERROR_SUCCESS)
                continue;
            snapshot.Write(subkey, view);
            RegCloseKey(subkey);
        }
    }
};

// A key under HKLM (in the given registry view) that a test changes. When the
// object goes, the key holds again what it held, or is gone again with the
// parents made for it when it did not exist.
class SavedKey {
public:
    explicit SavedKey(std::wstring path, REGSAM view = KEY_WOW64_64KEY) : m_path(std::move(path)), m_view(view) {
        m_ancestor = m_path;
        while (!m_ancestor.empty() && !Exists(m_ancestor)) m_ancestor = Parent(m_ancestor);
        if (m_ancestor == m_path) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, KEY_READ | m_view, &key) == ERROR_SUCCESS) {
                m_saved.Read(key, m_view);
                RegCloseKey(key);
            }
        }
    }
    SavedKey(const SavedKey&) = delete;
    SavedKey& operator=(const SavedKey&) = delete;
    ~SavedKey() { Restore(); }

    void Restore() {
        if (m_restored) return;
        m_restored = true;
        Remove();
        if (m_ancestor == m_path) {
            HKEY key = nullptr;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr,
                                &key, nullptr) == ERROR_SUCCESS) {
                m_saved.Write(key, m_view);
                RegCloseKey(key);
            }
        } else {
            // Parents made for the key; one that holds other keys stays.
            for (std::wstring parent = Parent(m_path); parent.size() > m_ancestor.size(); parent = Parent(parent))
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, parent.c_str(), m_view, 0);
        }
    }

    // Deletes the key with everything under it.
    void Remove() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, KEY_ALL_ACCESS | m_view, &key) != ERROR_SUCCESS)
            return;
        RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), m_view, 0);
    }

    // Sets a value, making the key when it is missing.
    void Set(const std::wstring& name, DWORD type, const void* data, size_t size) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        RegCloseKey(key);
    }
    void SetString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
        Set(name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    void SetDword(const std::wstring& name, DWORD number) { Set(name, REG_DWORD, &number, sizeof number); }

    const std::wstring& path() const { return m_path; }

private:
    bool Exists(const std::wstring& path) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | m_view, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static std::wstring Parent(const std::wstring& path) {
        const size_t slash = path.rfind(L'\\');
        return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }

    std::wstring m_path;
    REGSAM m_view;
    std::wstring m_ancestor;
    KeySnapshot m_saved;
    bool m_restored = false;
};

// Switches the policy stand-in's fault off for good. A test that faults the
// library on purpose and is cut short (a crash, a time-out) leaves it on, and
// a saved copy of the key would put it back.
inline void PolicyFaultOff() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Meridyne\\Corvane Studio", L"StandInPolicyFault");
}

class TraceCapture {
public:
    explicit TraceCapture(const std::wstring& folder) : m_key(TraceKeyPath), m_file(folder + L"\\CvDiagReport.log") {
        m_key.Remove();
        m_key.SetDword(L"EnableMask", 6);
        m_key.SetDword(L"ParamsMask", 1);
        m_key.SetString(L"TracePath", folder);
        GetTrace().Reload();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    ~TraceCapture() {
        m_key.Restore();
        GetTrace().Reload();
        DeleteFileW(m_file.c_str());
    }

    // The lines written so far, without their line ends.
    std::vector<std::string> Lines() const {
        const std::string text = ReadBytes(m_file);
        std::vector<std::string> lines;
        if (text == "<missing>") return {text};
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        if (start < text.size()) lines.push_back(text.substr(start) + "<unterminated>");
        return lines;
    }

private:
    SavedKey m_key;
    std::wstring m_file;
};

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Whether a line holds the text, whose '#' stands for the decimal separator: the trace writes
// numbers in the locale's way ("0.300" or "0,300").
inline bool HasTracedLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const char separator : {'.', ','}) {
        std::string wanted = text;
        std::replace(wanted.begin(), wanted.end(), '#', separator);
        for (const std::string& line : lines)
            if (line.find(wanted) != std::string::npos) return true;
    }
    return false;
}

