// The parity checklist: a Markdown table for people and a JSON array for programs, both
// listing every evaluated scenario in the order given. Markdown cells escape "|" and turn
// line feeds into spaces; the JSON keeps the texts as they are.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "base/error.h"
#include "scenario/scenario.h"

namespace tracedx {

inline constexpr std::string_view kChecklistMarkdown = "parity_checklist.md";
inline constexpr std::string_view kChecklistJson = "parity_checklist.json";

std::string checklist_markdown(std::span<const ScenarioResult> results);
std::string checklist_json(std::span<const ScenarioResult> results);

// Writes the Markdown file, then the JSON file, into `root`; stops at the first failure.
Status write_checklist(const std::filesystem::path& root, std::span<const ScenarioResult> results);

}  // namespace tracedx
