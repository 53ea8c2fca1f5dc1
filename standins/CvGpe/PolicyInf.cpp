#include "PolicyInf.h"

namespace CvGpe {

std::wstring FormatPolicyInf(const std::vector<StandIn::NamedValue>& settings) {
    std::wstring text =
        L"[Unicode]\r\n"
        L"Unicode=yes\r\n"
        L"[Version]\r\n"
        L"signature=\"$CHICAGO$\"\r\n"
        L"Revision=1\r\n"
        L"[Policy]\r\n";
    for (const StandIn::NamedValue& setting : settings) {
        text += setting.name;
        text += L'=';
        text += setting.text;
        text += L"\r\n";
    }
    return text;
}

}  // namespace CvGpe
