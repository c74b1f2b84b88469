// Telling an input's format from its first bytes, and naming the candidates when two could
// fit.
#include "import/detect_source.h"

#include <gtest/gtest.h>

#include <optional>

#include "import/importers.h"

namespace tracedx {
namespace {

TEST(DetectSource, TellsFormatsApartAndNamesTheCandidates) {
  struct SourceRow {
    const char* head;
    std::optional<Source> expected;  // absent: an error
  } rows[] = {
      {R"({"resourceSpans": [)", Source::kOtlp},
      {R"({"resource": {}, "scopeSpans": []})", Source::kOtlp},
      {"\xEF\xBB\xBF"
       R"([{"role": "user", "content": "hi"}])",
       Source::kChat},
      {R"({"traj": [{"role": "user"}]})", Source::kChat},
      {R"({"run": {"status": "ok"}, "steps": [{"step_type": "x"}]})", Source::kFixture},
      {R"({"steps": [], "messages": []})", std::nullopt},
      {R"({"name": "x", "checks": []})", std::nullopt},
      {"not json at all", Source::kFixture},  // the loader names the JSON error
  };
  for (const auto& row : rows) {
    auto got = detect_source(row.head, "f.json");
    if (row.expected) {
      ASSERT_TRUE(got) << row.head << ": " << got.error().text();
      EXPECT_EQ(*got, *row.expected) << row.head;
    } else {
      EXPECT_FALSE(got) << row.head;
    }
  }
  EXPECT_EQ(detect_source(R"({"steps": [], "messages": []})", "f.json").error().text(),
            "f.json could be a chat transcript or a fixture document; say which with --from "
            "otlp, chat or fixture");
}

}  // namespace
}  // namespace tracedx
