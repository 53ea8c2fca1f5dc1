// The text that the configuration tool writes for the network-protection rules.
#pragma once

#include "StandInWin32.h"

#include <string>
#include <vector>

namespace MdAuthModCfg {

// One "[Network Protection Rules]" header line, then one "name=definition"
// line per rule in the given order; UTF-8, lines end with CRLF.
std::string FormatRules(const std::vector<StandIn::NamedValue>& rules);

}  // namespace MdAuthModCfg
