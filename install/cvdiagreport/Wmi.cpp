#include "Wmi.h"

#include <climits>

namespace Wmi {

IWbemClassObjectPtr GetObject(IWbemServices* services, const std::wstring& path) {
    IWbemClassObjectPtr object;
    if (FAILED(services->GetObject(_bstr_t(path.c_str()), 0, nullptr, &object, nullptr))) return nullptr;
    return object;
}

std::optional<std::wstring> ReadText(IWbemClassObject* object, const wchar_t* name) {
    _variant_t value;
    if (FAILED(object->Get(name, 0, &value, nullptr, nullptr)) || value.vt != VT_BSTR) return std::nullopt;
    return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
}

std::optional<unsigned long long> ReadNumber(IWbemClassObject* object, const wchar_t* name) {
    _variant_t value;
    if (FAILED(object->Get(name, 0, &value, nullptr, nullptr))) return std::nullopt;
    switch (value.vt) {
        case VT_I1: return static_cast<unsigned char>(value.cVal);
        case VT_UI1: return value.bVal;
        case VT_I2: return static_cast<unsigned short>(value.iVal);
        case VT_UI2: return value.uiVal;
        // WMI gives its unsigned 32-bit properties as VT_I4.
        case VT_I4: return static_cast<unsigned long>(value.lVal);
        case VT_UI4: return value.ulVal;
        case VT_INT: return static_cast<unsigned int>(value.intVal);
        case VT_UINT: return value.uintVal;
        case VT_I8: return static_cast<unsigned long long>(value.llVal);
        case VT_UI8: return value.ullVal;
        default: return std::nullopt;
    }
}

std::optional<unsigned long long> ParseDecimal(const std::wstring& text) {
    if (text.empty()) return std::nullopt;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        const unsigned digit = c - L'0';
        if (number > (ULLONG_MAX - digit) / 10) return std::nullopt;
        number = number * 10 + digit;
    }
    return number;
}

}  // namespace Wmi
