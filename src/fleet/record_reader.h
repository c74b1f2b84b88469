// Reads the records of `tracedx batch` back from JSON Lines: a file, standard input ("-"),
// a pipe or a FIFO, one line at a time through the input layer, so memory holds one line
// whatever the number of runs. Blank lines are skipped.
#pragma once

#include <functional>
#include <string>

#include "base/error.h"
#include "fleet/run_record.h"

namespace tracedx {

// Calls `visit` with each record of `path` in order. A line that is not a batch record
// fails, naming it as FILE:LINE; so does an input that cannot be read.
Status for_each_record(const std::string& path, const std::function<void(const RunRecord&)>& visit);

}  // namespace tracedx
