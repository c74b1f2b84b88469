// The HTML index of the receiver: recent runs under a filter (a plain GET form, no script)
// and the number of runs per primary label over the same window, styled and escaped as the
// HTML reports are.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serve/store.h"

namespace tracedx {

struct IndexPage {
  TraceFilter filter;
  std::vector<TraceRow> traces;
  std::vector<std::pair<std::optional<std::string>, int64_t>> label_counts;
  int64_t now_ms = 0;
};

std::string index_html(const IndexPage& page);

// A Unix time in milliseconds as "YYYY-MM-DD HH:MM:SS" (UTC).
std::string utc_time(int64_t unix_ms);

}  // namespace tracedx
