// Advice for a finding: the catalogue and guidance rows by exact label, one row a label, the
// one-line default, and the related issues.
#include "diagnosis/recommendations.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/categories.h"
#include "diagnosis/root_cause.h"

namespace tracedx {
namespace {

RootCause finding(std::string label, std::optional<std::string> explanation = "Why.") {
  RootCause rc;
  rc.label = std::move(label);
  rc.explanation = std::move(explanation);
  return rc;
}

TEST(Recommendations, CatalogueRowsInOrder) {
  Recommendations grounding = build_recommendations(finding("Grounding failure"), {});
  EXPECT_EQ(grounding.title, "Suggested fix");
  EXPECT_EQ(grounding.severity, "high");
  EXPECT_EQ(grounding.summary, "Why.");
  EXPECT_EQ(grounding.recommendedActions.size(), 2u);
  EXPECT_EQ(grounding.instrumentation,
            std::vector<std::string>{"Log evidence counts, support checks, and contradictions "
                                     "between the answer and retrieved context."});
  EXPECT_EQ(grounding.guardrails,
            std::vector<std::string>{
                "Block user-facing answers when verification or grounding checks fail."});

  Recommendations context =
      build_recommendations(finding("Context poisoning or incorrect upstream assumption"), {});
  EXPECT_EQ(context.recommendedActions.size(), 3u);
  EXPECT_EQ(context.recommendedActions[2],
            "Block final answer generation when validation detects a mismatch between the "
            "requested and used entity.");
  EXPECT_EQ(context.instrumentation.size(), 2u);
  EXPECT_EQ(context.guardrails.size(), 2u);
  EXPECT_TRUE(context.observations.empty());
  EXPECT_TRUE(context.config_changes.empty());
}

// Every label a category can give has exactly one advice row (guidance or catalogue), except
// the labels that take the one-line default on purpose; no label has rows in both tables.
TEST(Recommendations, EveryLabelHasItsRow) {
  const std::set<Cat> default_advice = {Cat::kGenericFailure};
  for (const Category& c : categories()) {
    const std::string label(c.text.label);
    const AdviceRow* guidance = find_advice(guidance_rows(), label);
    const AdviceRow* catalogue = find_advice(catalogue_rows(), label);
    EXPECT_FALSE(guidance && catalogue) << label;
    EXPECT_EQ(!guidance && !catalogue, default_advice.count(c.cat) == 1) << label;
    if (guidance) {
      auto rec = guidance_recommendations(finding(label));
      ASSERT_TRUE(rec) << label;
      EXPECT_EQ(rec->title, "Healthy run guidance");
      EXPECT_EQ(rec->severity, "low");
      EXPECT_EQ(rec->recommendedActions.front(), guidance->actions[0]);
      EXPECT_TRUE(rec->related_issues.empty());
    } else {
      EXPECT_FALSE(guidance_recommendations(finding(label))) << label;
    }
    if (catalogue) {
      Recommendations rec = build_recommendations(finding(label), {});
      EXPECT_EQ(rec.recommendedActions.front(), catalogue->actions[0]) << label;
      EXPECT_FALSE(rec.instrumentation.empty()) << label;
      EXPECT_FALSE(rec.guardrails.empty()) << label;
    }
  }
  // Each row is the only one for its label.
  std::set<std::string_view> labels;
  for (auto rows : {guidance_rows(), catalogue_rows()}) {
    for (const auto& row : rows) {
      EXPECT_TRUE(labels.insert(category(row.cat).text.label).second)
          << category(row.cat).text.label;
    }
  }
}

TEST(Recommendations, ExactLabelLookupAndDefault) {
  for (const char* label : {"grounding failure", "Grounding failure ", "Tool failure or misusE",
                            "Run failure during execution"}) {
    Recommendations rec = build_recommendations(finding(label, std::nullopt), {});
    EXPECT_EQ(
        rec.recommendedActions,
        std::vector<std::string>{"Add better validation and error handling around critical steps."})
        << label;
    EXPECT_TRUE(rec.instrumentation.empty());
    EXPECT_EQ(rec.summary, std::nullopt);
  }
  EXPECT_FALSE(guidance_recommendations(finding("healthy run")));
  std::vector<RootCause> secondary = {finding("A"), finding("B")};
  EXPECT_EQ(build_recommendations(finding("X"), secondary).related_issues,
            (std::vector<std::string>{"A", "B"}));
}

}  // namespace
}  // namespace tracedx
