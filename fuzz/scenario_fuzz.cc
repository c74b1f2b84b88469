// Scenario bytes -> evaluate_scenario against a fixed set of fixtures in a temporary
// directory -> checklist texts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "scenario/checklist.h"
#include "scenario/scenario.h"
#include "trace/fixture_loader.h"

namespace {

std::filesystem::path fixture_dir;

const char* kFixtures[][2] = {
    {"ok.json",
     R"({"run":{"status":"completed"},"steps":[{"step_type":"plan","status":"completed"}]})"},
    {"fail.json",
     R"({"run":{"status":"failed"},"steps":[{"step_type":"tool","status":"failed","error_message":"timeout"}]})"},
    {"json.json",
     R"({"run":{"status":"failed"},"steps":[{"step_type":"llm","status":"failed","error_message":"invalid json"}]})"},
    {"norun.json", R"({"steps":[]})"},
    {"bad.json", R"({"run":)"},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tracedx-scenario-fuzz-XXXXXX";
  fixture_dir = ::mkdtemp(pattern);
  for (const auto& f : kFixtures) std::ofstream(fixture_dir / f[0]) << f[1];
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tracedx;
  auto document = parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!document) return 0;
  auto result = evaluate_scenario(fixture_dir, *document);
  if (!result) return 0;
  std::vector<ScenarioResult> rows = {*result, *result};
  std::string md = checklist_markdown(rows), json = checklist_json(rows);
  return md.empty() || json.empty() ? -1 : 0;
}
