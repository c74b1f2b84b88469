#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "trace/fixture_loader.h"

namespace tracedx::testing {

Trace trace_of(std::string_view fixture_json, std::string_view name) {
  auto doc = parse_json(fixture_json);
  if (!doc) {
    ADD_FAILURE() << "bad test fixture: " << doc.error().display();
    return Trace{};
  }
  auto trace = build_trace(name, std::move(*doc));
  if (!trace) {
    ADD_FAILURE() << "bad test fixture: " << trace.error().display();
    return Trace{};
  }
  return std::move(*trace);
}

Trace run_of(std::string_view status, std::string_view steps_json) {
  std::string doc = R"({"run":{"status":)" + Json(std::string(status)).dump() + R"(},"steps":)" +
                    std::string(steps_json) + "}";
  return trace_of(doc);
}

TraceStep step_of(std::string_view step_json) {
  Trace t = trace_of(R"({"run":{},"steps":[)" + std::string(step_json) + "]}");
  return t.steps.empty() ? TraceStep{} : t.steps[0];
}

std::filesystem::path make_temp_dir(std::string_view tag) {
  std::string pattern = (std::filesystem::temp_directory_path() /
                         ("tracedx-" + std::string(tag) + "-XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) ADD_FAILURE() << "mkdtemp failed";
  return pattern;
}

void write_text(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace tracedx::testing
