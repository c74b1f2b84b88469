// Advice attached to a finding. Guidance labels (healthy runs and runs that recovered) get
// the guidance record; every other label is looked up, exactly and case-sensitively, in
// the catalogue, with a one-line default. Rows name their category, whose label is the key,
// so a label shared by two categories (a success and a failure form) shares its row.
// A comparison fills the same record shape.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/categories.h"
#include "diagnosis/root_cause.h"

namespace tracedx {

struct Recommendations {
  std::vector<std::string> recommendedActions;
  std::vector<std::string> instrumentation;
  std::vector<std::string> guardrails;
  std::vector<std::string> observations;
  std::vector<std::string> config_changes;
  std::vector<std::string> related_issues;
  std::string title;
  std::string severity;
  std::optional<std::string> summary;

  bool operator==(const Recommendations&) const = default;
};

// One row of advice for the label of a category; empty entries end each list.
struct AdviceRow {
  Cat cat;
  std::array<std::string_view, 3> actions;
  std::array<std::string_view, 2> instrumentation;
  std::array<std::string_view, 2> guardrails;
};

std::span<const AdviceRow> guidance_rows();
std::span<const AdviceRow> catalogue_rows();

// The row whose category's label equals `label` byte for byte, or null.
const AdviceRow* find_advice(std::span<const AdviceRow> rows, std::string_view label);

// Appends the non-empty entries of a fixed list.
template <size_t N>
void append_lines(std::vector<std::string>& out, const std::array<std::string_view, N>& lines) {
  for (std::string_view line : lines) {
    if (!line.empty()) out.emplace_back(line);
  }
}

// The guidance record for a guidance label, or none for any other label.
std::optional<Recommendations> guidance_recommendations(const RootCause& primary);

// The catalogue advice for a non-guidance primary finding.
Recommendations build_recommendations(const RootCause& primary,
                                      std::span<const RootCause> secondary_issues);

}  // namespace tracedx
