#include "scenario/parity_run.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>

#include "input/input.h"
#include "scenario/checklist.h"
#include "scenario/scenario.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

constexpr std::string_view kScenarioSuffix = ".expected.json";

// Entry names of a directory in the file system's order, without "." and "..".
Result<std::vector<std::string>> list_directory(const std::filesystem::path& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return Error::os(errno, dir.string());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (!e) {
      int code = errno;
      ::closedir(d);
      if (code != 0) return Error::os(code, dir.string());
      break;
    }
    std::string_view name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

}  // namespace

bool is_scenario_file_name(std::string_view name) {
  return name.ends_with(kScenarioSuffix) && is_valid_utf8(name);
}

Result<ParityOutput> run_parity_check(const std::filesystem::path& current_dir) {
  if (current_dir == current_dir.root_path() || !current_dir.has_relative_path()) {
    return Error::message("missing workspace root");
  }
  const std::filesystem::path root = current_dir.parent_path();
  const std::filesystem::path scenarios = root / "src" / "Test" / "expectations";
  const std::filesystem::path fixtures = root / "src" / "Test" / "fixtures";

  auto names = list_directory(scenarios);
  if (!names) return std::move(names).error();
  std::vector<ScenarioResult> results;
  for (const auto& name : *names) {
    if (!is_scenario_file_name(name)) continue;
    auto bytes = read_file(scenarios / name);
    if (!bytes) return std::move(bytes).error();
    auto document = parse_json(*bytes);
    if (!document) return std::move(document).error();
    auto result = evaluate_scenario(fixtures, *document);
    if (!result) return std::move(result).error();
    results.push_back(std::move(*result));
  }
  std::stable_sort(
      results.begin(), results.end(),
      [](const ScenarioResult& a, const ScenarioResult& b) { return a.name < b.name; });
  if (auto written = write_checklist(root, results); !written) return std::move(written).error();
  return ParityOutput{root / kChecklistMarkdown, root / kChecklistJson};
}

}  // namespace tracedx
