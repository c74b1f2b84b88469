// The parity_check run: find the workspace (the parent of the current directory), evaluate
// every "*.expected.json" scenario in listing order, sort the rows by name and write the
// two checklists. Any failure ends the run before anything else is written.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/error.h"

namespace tracedx {

struct ParityOutput {
  std::filesystem::path markdown;
  std::filesystem::path json;
};

// Whether a directory entry names a scenario file: valid UTF-8 ending in ".expected.json".
bool is_scenario_file_name(std::string_view name);

Result<ParityOutput> run_parity_check(const std::filesystem::path& current_dir);

}  // namespace tracedx
