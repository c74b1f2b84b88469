// The parity checklist: a Markdown table for people and a JSON array for programs, both
// listing every evaluated scenario in the order given. Markdown cells escape "|" and turn
// line feeds into spaces; the JSON keeps the texts as they are.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "scenario/scenario.h"
#include "trace/error.h"

namespace tracedx {

inline constexpr std::string_view kChecklistMarkdown = "parity_checklist.md";
inline constexpr std::string_view kChecklistJson = "parity_checklist.json";

std::string checklist_markdown(std::span<const ScenarioResult> results);
std::string checklist_json(std::span<const ScenarioResult> results);

// Writes a whole file, creating or replacing it atomically: a temporary file in the same
// directory, synced, then renamed over `path` (a symbolic link there is replaced, not
// followed). On failure the old file stays, the temporary one is removed, and the error
// names `path`.
Status write_whole_file(const std::filesystem::path& path, std::string_view bytes);

// Writes the Markdown file, then the JSON file, into `root`; stops at the first failure.
Status write_checklist(const std::filesystem::path& root, std::span<const ScenarioResult> results);

}  // namespace tracedx
