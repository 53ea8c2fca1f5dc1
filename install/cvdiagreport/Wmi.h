// Reading WMI objects: owned interface pointers and property values.
#pragma once

#include <comdef.h>
#include <wbemidl.h>

#include <optional>
#include <string>

_COM_SMARTPTR_TYPEDEF(IWbemLocator, __uuidof(IWbemLocator));
_COM_SMARTPTR_TYPEDEF(IWbemServices, __uuidof(IWbemServices));
_COM_SMARTPTR_TYPEDEF(IWbemClassObject, __uuidof(IWbemClassObject));
_COM_SMARTPTR_TYPEDEF(IEnumWbemClassObject, __uuidof(IEnumWbemClassObject));

namespace Wmi {

// The object of a path, or none when it cannot be had.
IWbemClassObjectPtr GetObject(IWbemServices* services, const std::wstring& path);
// A property that is read and holds text; none when the read fails, or the
// value is null or of another kind.
std::optional<std::wstring> ReadText(IWbemClassObject* object, const wchar_t* name);
// A property that is read and holds an integer.
std::optional<unsigned long long> ReadNumber(IWbemClassObject* object, const wchar_t* name);
// A text of decimal digits only, as WMI gives 64-bit numbers; none for any other text.
std::optional<unsigned long long> ParseDecimal(const std::wstring& text);

}  // namespace Wmi
