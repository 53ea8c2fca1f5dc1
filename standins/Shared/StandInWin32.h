// Small owners of Win32 handles and registry keys shared by the stand-in
// components, and the registry reads they have in common.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace StandIn {

// Owns one registry key; closes it when it goes out of scope.
class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) : key_(key) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    RegKey& operator=(RegKey&& other) noexcept {
        if (this != &other) {
            Close();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }
    ~RegKey() { Close(); }

    // Opens HKLM\path in the 64-bit view; returns the Windows error code.
    LONG OpenLocalMachine(const wchar_t* path, REGSAM access) {
        Close();
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | KEY_WOW64_64KEY, &key_);
    }

    HKEY Get() const { return key_; }

private:
    void Close() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

    HKEY key_ = nullptr;
};

// Owns one kernel object handle; closes it when it goes out of scope.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (IsValid()) {
            CloseHandle(handle_);
        }
    }

    bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
};

// One registry value as text: strings as stored, numbers in decimal.
struct NamedValue {
    std::wstring name;
    std::wstring text;
};

// Reads every REG_SZ, REG_EXPAND_SZ and REG_DWORD value of an open key, in
// the order the registry enumerates them; values of other types are skipped.
// Returns the Windows error code of the enumeration (ERROR_SUCCESS when every
// value was read).
inline LONG ReadNamedValues(HKEY key, std::vector<NamedValue>& values) {
    DWORD maxName = 0;
    DWORD maxData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &maxName, &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<wchar_t> name(maxName + 1);
    std::vector<BYTE> data(maxData + sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size() - sizeof(wchar_t));
        DWORD type = REG_NONE;
        status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                               &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        NamedValue value{std::wstring(name.data(), nameLength), {}};
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            // Stored strings need not be terminated: terminate after the data
            // and cut at the first zero.
            data[dataSize] = 0;
            data[dataSize + 1] = 0;
            value.text = reinterpret_cast<const wchar_t*>(data.data());
        } else if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
            DWORD number = 0;
            CopyMemory(&number, data.data(), sizeof number);
            value.text = std::to_wstring(number);
        } else {
            continue;
        }
        values.push_back(std::move(value));
    }
}

// The REG_DWORD value name of HKLM\keyPath (64-bit view); 0 when the key or
// the value is missing or of another type.
inline DWORD ReadDword(const wchar_t* keyPath, const wchar_t* name) {
    RegKey key;
    if (key.OpenLocalMachine(keyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return value;
}

// The switches that make a stand-in act as a broken component would, to test how the collector
// deals with it: DWORD values under HKLM SOFTWARE\Meridyne\Corvane Studio, each naming the call
// (counted from 1 in the order the stand-in documents) that acts so.
inline bool IsAsked(const wchar_t* name, DWORD call) {
    return ReadDword(L"SOFTWARE\\Meridyne\\Corvane Studio", name) == call;
}

// The call never returns, as one waiting for an answer that never comes.
inline void HangIfAsked(const wchar_t* name, DWORD call) {
    if (IsAsked(name, call)) Sleep(INFINITE);
}

// The call faults with a write to address 0.
inline void FaultIfAsked(const wchar_t* name, DWORD call) {
    static DWORD* volatile nowhere = nullptr;
    if (IsAsked(name, call)) *nowhere = call;
}

}  // namespace StandIn
