#include "RulesText.h"

#include <windows.h>

namespace MdAuthModCfg {
namespace {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
    return utf8;
}

}  // namespace

std::string FormatRules(const std::vector<StandIn::NamedValue>& rules) {
    std::wstring text = L"[Network Protection Rules]\r\n";
    for (const StandIn::NamedValue& rule : rules) {
        text += rule.name;
        text += L'=';
        text += rule.text;
        text += L"\r\n";
    }
    return ToUtf8(text);
}

}  // namespace MdAuthModCfg
