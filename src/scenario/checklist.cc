#include "scenario/checklist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

namespace {

// Writes all of `bytes` to `fd`; the errno of a failure, or 0.
int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// The permissions a file created with 0644 gets under the process's umask.
mode_t created_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0644 & ~mask;
}

}  // namespace

Status write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  // A temporary file next to the target, synced and renamed over it: readers and a crash
  // at any moment see the old file or the new one, never a cut one. The rename replaces
  // a symbolic link at `path` itself, so its target is never written.
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  std::string temp = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Error::os(errno).naming(path.string());
  int code = ::fchmod(fd, created_file_mode()) != 0 ? errno : 0;
  if (code == 0) code = write_all(fd, bytes);
  if (code == 0 && ::fsync(fd) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temp.c_str());
    return Error::os(code).naming(path.string());
  }
  // The new directory entry survives a crash once the directory is synced too.
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return Ok{};
}

Status write_checklist(const std::filesystem::path& root, std::span<const ScenarioResult> results) {
  if (auto s = write_whole_file(root / kChecklistMarkdown, checklist_markdown(results)); !s)
    return s;
  return write_whole_file(root / kChecklistJson, checklist_json(results));
}

}  // namespace tracedx
