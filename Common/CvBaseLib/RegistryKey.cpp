#include "RegistryKey.h"

#include <memory>
#include <new>

namespace CvBase {

namespace {

struct Root {
    HKEY key;
    const wchar_t* name;
};

const Root kRoots[] = {
    {nullptr, L"NONE"},   {HKEY_CLASSES_ROOT, L"HKCR"},   {HKEY_CURRENT_USER, L"HKCU"}, {HKEY_LOCAL_MACHINE, L"HKLM"},
    {HKEY_USERS, L"HKU"}, {HKEY_CURRENT_CONFIG, L"HKCC"}, {HKEY_DYN_DATA, L"HKDD"},
};

std::wstring SubkeyPath(const std::wstring& parentPath, const wchar_t* subkey) { return parentPath + L"\\" + subkey; }

}  // namespace

template <typename Call>
LSTATUS CRegistryKey::Repeat(DWORD operation, const std::wstring& text, Call call) {
    for (;;) {
        const LSTATUS status = call();
        if (status == ERROR_SUCCESS || on_error(status, operation, text) != Retry) return status;
    }
}

CRegistryKey::CRegistryKey(unsigned root) {
    if (root < sizeof(kRoots) / sizeof(kRoots[0])) {
        m_key = kRoots[root].key;
        m_path = kRoots[root].name;
    }
}

CRegistryKey::CRegistryKey(const CRegistryKey& other) {
    if (!other.m_key) return;
    if (RegOpenKeyExW(other.m_key, nullptr, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &m_key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(other.m_key, nullptr, 0, KEY_READ, &m_key) != ERROR_SUCCESS) {
        m_key = nullptr;
        return;
    }
    m_path = other.m_path;
}

CRegistryKey::~CRegistryKey() { close(); }

DWORD CRegistryKey::on_error(LSTATUS, DWORD, const std::wstring&) { return GiveUp; }

LSTATUS CRegistryKey::OpenFrom(HKEY parent, const std::wstring& parentPath, const wchar_t* subkey, bool create,
                               REGSAM access) {
    const std::wstring newPath = SubkeyPath(parentPath, subkey);
    HKEY opened = nullptr;
    LSTATUS status;
    if (create)
        status = Repeat(OpCreateKey, newPath, [&] {
            return RegCreateKeyExW(parent, subkey, 0, nullptr, 0, access, nullptr, &opened, nullptr);
        });
    else
        status = Repeat(OpOpenKey, newPath, [&] { return RegOpenKeyExW(parent, subkey, 0, access, &opened); });
    if (status != ERROR_SUCCESS) return status;
    close();
    m_key = opened;
    m_path = newPath;
    return ERROR_SUCCESS;
}

LSTATUS CRegistryKey::open(const wchar_t* subkey, bool create, REGSAM access) {
    if (!m_key || !subkey) return E_INVALIDARG;
    return OpenFrom(m_key, m_path, subkey, create, access);
}

LSTATUS CRegistryKey::open(const CRegistryKey& parent, const wchar_t* subkey, bool create, REGSAM access) {
    if (!parent.m_key) return E_UNEXPECTED;
    if (!subkey) return E_INVALIDARG;
    // Copied first: parent may be this key, whose path changes on success.
    const std::wstring parentPath = parent.m_path;
    return OpenFrom(parent.m_key, parentPath, subkey, create, access);
}

LSTATUS CRegistryKey::close() {
    if (!m_key) return ERROR_SUCCESS;
    const LSTATUS status = Repeat(OpCloseKey, m_path, [&] { return RegCloseKey(m_key); });
    m_key = nullptr;
    return status;
}

LSTATUS CRegistryKey::enum_keys(std::vector<std::wstring>& names) {
    if (!m_key) return E_INVALIDARG;
    names.clear();
    DWORD count = 0, longest = 0;
    LSTATUS status = Repeat(OpQueryInfo, m_path, [&] {
        return RegQueryInfoKeyW(m_key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
    });
    if (status != ERROR_SUCCESS || count == 0) return status;

    names.resize(count);
    const DWORD capacity = longest + 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    // Subkeys may come or go while enumerating: the list ends up with the names
    // actually enumerated.
    for (DWORD index = 0;; ++index) {
        DWORD length = 0;
        // The end of the list is no failure to ask the hook about.
        do {
            length = capacity;
            status = RegEnumKeyExW(m_key, index, buffer.get(), &length, nullptr, nullptr, nullptr, nullptr);
        } while (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS &&
                 on_error(status, OpEnumKey, m_path) == Retry);
        if (status != ERROR_SUCCESS) {
            names.resize(index);
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        std::wstring name(buffer.get(), length);
        if (index < names.size())
            names[index] = std::move(name);
        else
            names.push_back(std::move(name));
    }
}

LSTATUS CRegistryKey::query(const wchar_t* name, RegistryValue& value) {
    if (!name || !m_key) return E_INVALIDARG;
    const LSTATUS status = Repeat(OpQueryValue, m_path + L"\"" + name + L"\"", [&] {
        value.name = name;
        value.data.clear();
        value.type = 0;
        DWORD size = 0;
        LSTATUS result = RegQueryValueExW(m_key, name, nullptr, &value.type, nullptr, &size);
        if (result == ERROR_SUCCESS && size > 0) {
            value.data.resize(size);
            result = RegQueryValueExW(m_key, name, nullptr, &value.type, value.data.data(), &size);
            value.data.resize(size);
        }
        return result;
    });
    if (status != ERROR_SUCCESS) {
        value.data.clear();
        value.type = 0;
    }
    return status;
}

LSTATUS CRegistryKey::get(const wchar_t* name, DWORD& value, DWORD def) {
    RegistryValue raw;
    const LSTATUS status = query(name, raw);
    if (status == ERROR_SUCCESS && raw.type == REG_DWORD && raw.data.size() >= sizeof(DWORD))
        value = *reinterpret_cast<const DWORD*>(raw.data.data());
    else
        value = def;
    return status;
}

LSTATUS CRegistryKey::get(const wchar_t* name, std::wstring& value, const std::wstring& def) {
    RegistryValue raw;
    const LSTATUS status = query(name, raw);
    if (status != ERROR_SUCCESS || (raw.type != REG_SZ && raw.type != REG_EXPAND_SZ) || raw.data.empty()) {
        value = def;
        return status;
    }
    const wchar_t* text = reinterpret_cast<const wchar_t*>(raw.data.data());
    const size_t length = raw.data.size() / sizeof(wchar_t);
    size_t end = 0;
    while (end < length && text[end] != L'\0') ++end;
    value.assign(text, end);
    return status;
}

}  // namespace CvBase
