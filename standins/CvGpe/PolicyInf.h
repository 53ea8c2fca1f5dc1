// The text of an exported policy file.
#pragma once

#include "StandInWin32.h"

#include <string>
#include <vector>

namespace CvGpe {

// Formats the policy settings as a security template: the [Unicode] and
// [Version] sections, then one "name=value" line per setting under [Policy],
// in the given order. Lines end with CRLF.
std::wstring FormatPolicyInf(const std::vector<StandIn::NamedValue>& settings);

}  // namespace CvGpe
