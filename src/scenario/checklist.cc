#include "scenario/checklist.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

Status write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Error::os(errno, path.string());
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return Error::os(code, path.string());
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  if (::close(fd) != 0) return Error::os(errno, path.string());
  return Ok{};
}

Status write_checklist(const std::filesystem::path& root, std::span<const ScenarioResult> results) {
  if (auto s = write_whole_file(root / kChecklistMarkdown, checklist_markdown(results)); !s)
    return s;
  return write_whole_file(root / kChecklistJson, checklist_json(results));
}

}  // namespace tracedx
