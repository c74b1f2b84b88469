// Primary classification: every check that fires adds a scored candidate; the highest
// score wins, and among equal scores the greatest category key (byte order). Checks come
// in four groups switched on and off by the run status and a few signals. Only the winner
// is turned into a finished RootCause.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "diagnosis/categories.h"
#include "diagnosis/root_cause.h"
#include "diagnosis/signals.h"

namespace tracedx {

struct Candidate {
  Cat cat;
  uint32_t score;
  const TraceStep* anchor;  // null when the finding has no anchoring step
};

// All candidates in the order the groups add them.
std::vector<Candidate> collect_candidates(const TraceScan& scan);

// The winner among candidates: the highest score, then the greatest key; null when empty.
const Candidate* select_primary(std::span<const Candidate> candidates);

// The primary finding of the run, or none.
std::optional<RootCause> classify_primary(const TraceScan& scan);

}  // namespace tracedx
