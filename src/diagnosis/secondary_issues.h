// Secondary issues: conditions worth reporting beside the primary finding (slow retrieval,
// polluted retrieval text, parser fallout after a safety block, reasoning after a tool
// failure, entity ambiguity, one step dominating the runtime). Each kind occurs at most
// once, in a fixed order, and only when its anchoring step is found.
#pragma once

#include <vector>

#include "diagnosis/root_cause.h"
#include "diagnosis/signals.h"

namespace tracedx {

std::vector<RootCause> build_secondary_issues(const TraceScan& scan);

}  // namespace tracedx
