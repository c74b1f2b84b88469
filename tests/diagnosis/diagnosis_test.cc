#include "diagnosis/diagnosis.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace tracedx {
namespace {

using test_support::run_of;

TEST(DiagnoseRun, OptionsAndIdentity) {
  Trace t = run_of("completed", R"([{"step_type":"tool","duration_ms":3000}])");
  Diagnosis d = diagnose_run(t);
  Diagnosis explicit_defaults = diagnose_run(t, DiagnoseOptions{2500, true, true, std::nullopt});
  EXPECT_EQ(d.root_cause, explicit_defaults.root_cause);
  EXPECT_EQ(d.secondary_issues, explicit_defaults.secondary_issues);
  EXPECT_EQ(d.engine, "rust");
  EXPECT_EQ(d.engine_version, "0.4.0");
  EXPECT_EQ(d.ruleset, "phase4-compare");
  ASSERT_TRUE(d.recommendations);
  EXPECT_EQ(d.recommendations->title, "Healthy run guidance");
  EXPECT_EQ(d.secondary_issues.size(), 1u);
  EXPECT_TRUE(d.recommendations->related_issues.empty());  // guidance carries no related issues

  Diagnosis bare = diagnose_run(t, DiagnoseOptions{std::nullopt, false, false, std::nullopt});
  EXPECT_TRUE(bare.secondary_issues.empty());
  EXPECT_FALSE(bare.recommendations);
  EXPECT_EQ(bare.root_cause, d.root_cause);

  Diagnosis none = diagnose_run(run_of("failed", "[]"));
  EXPECT_FALSE(none.root_cause);
  EXPECT_FALSE(none.recommendations);
  EXPECT_EQ(none.outcome, "failed");

  Diagnosis failing = diagnose_run(
      run_of("failed", R"([{"status":"failed","step_type":"search","duration_ms":3000}])"));
  ASSERT_TRUE(failing.recommendations);
  EXPECT_EQ(failing.recommendations->related_issues,
            (std::vector<std::string>{"Slow retrieval bottleneck", "Latency concentration"}));
}

TEST(Outcome, LabelWordsBeforeStatus) {
  struct Row {
    std::optional<std::string> status;
    std::optional<std::string> label;
    const char* outcome;
  } rows[] = {
      {"completed", "Recovered timeout after retry", "degraded"},
      {"failed", "Unsupported answer after empty retrieval", "degraded"},
      {"failed", "Retrieval fallback or generic answer", "degraded"},
      {"failed", "Context poisoning or incorrect upstream assumption", "degraded"},
      {"failed", "Timeout or stalled execution", "failed"},
      {"failed", "Healthy run", "success"},
      {" Completed ", "Grounding failure", "success"},
      {"success", std::nullopt, "success"},
      {"error", "Grounding failure", "unknown"},
      {"passed", "Grounding failure", "unknown"},
      {std::nullopt, std::nullopt, "unknown"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(outcome_of(row.status, row.label), row.outcome) << row.label.value_or("-");
  }
}

}  // namespace
}  // namespace tracedx
