// Builders shared by the tests: traces and steps written as JSON text go through the real
// loader, so a test reads like the fixture it stands for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"

namespace tracedx::test_support {

// A trace from a whole fixture document; fails the test if it does not load.
Trace trace_of(std::string_view fixture_json, std::string_view name = "test.json");

// A trace with the given run status and steps (a JSON array text).
Trace run_of(std::string_view status, std::string_view steps_json);

// One step from a JSON object text.
TraceStep step_of(std::string_view step_json);

// Empty when the traces are identical (every number of the same kind, floats bit for bit),
// else a description of the first difference.
std::string trace_difference(const Trace& a, const Trace& b);

// A fresh empty directory under the system's temporary directory, removed by the caller.
std::filesystem::path make_temp_dir(std::string_view tag);

void write_text(const std::filesystem::path& path, std::string_view text);
std::string read_text(const std::filesystem::path& path);

}  // namespace tracedx::test_support

namespace tracedx::test_support {

struct CommandResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs a program with arguments in `cwd`, feeding `input` on standard input.
CommandResult run_command(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          std::string_view input = {});

}  // namespace tracedx::test_support
