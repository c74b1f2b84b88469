#include "scenario/checklist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "input/input.h"

namespace tracedx {
namespace {

std::string cell(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '|')
      out += "\\|";
    else if (c == '\n')
      out += ' ';
    else
      out += c;
  }
  return out;
}

std::string join_notes(const std::vector<std::string>& notes) {
  std::string out;
  for (size_t i = 0; i < notes.size(); ++i) {
    if (i) out += "; ";
    out += notes[i];
  }
  return out;
}

}  // namespace

std::string checklist_markdown(std::span<const ScenarioResult> results) {
  size_t match = 0, tuning = 0, mismatch = 0;
  for (const auto& r : results) {
    match += r.status == "match";
    tuning += r.status == "needs_tuning";
    mismatch += r.status == "mismatch";
  }
  std::string md = "# Rust vs Old TS Parity Checklist\n\n";
  md += "Summary: " + std::to_string(match) + " match, " + std::to_string(tuning) +
        " need tuning, " + std::to_string(mismatch) + " mismatch.\n\n";
  md += "| Scenario | Mode | Expected | Rust Primary | Rust Compare | Status | Notes |\n";
  md += "| --- | --- | --- | --- | --- | --- | --- |\n";
  for (const auto& r : results) {
    md += '|';
    for (const std::string& text : {r.name, r.mode, r.expected, r.actual_primary, r.actual_compare,
                                    r.status, join_notes(r.notes)}) {
      md += ' ' + cell(text) + " |";
    }
    md += '\n';
  }
  return md;
}

std::string checklist_json(std::span<const ScenarioResult> results) {
  Json rows = Json::array();
  for (const auto& r : results) {
    rows.push_back({{"name", r.name},
                    {"mode", r.mode},
                    {"expected", r.expected},
                    {"actual_primary", r.actual_primary},
                    {"actual_compare", r.actual_compare},
                    {"status", r.status},
                    {"notes", r.notes}});
  }
  return rows.dump(2, ' ', false, Json::error_handler_t::replace);
}

Status write_checklist(const std::filesystem::path& root, std::span<const ScenarioResult> results) {
  if (auto s = write_whole_file(root / kChecklistMarkdown, checklist_markdown(results)); !s)
    return s;
  return write_whole_file(root / kChecklistJson, checklist_json(results));
}

}  // namespace tracedx
