#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include "scenario/checklist.h"
#include "test_support.h"

namespace tracedx {
namespace {

using test_support::make_temp_dir;
using test_support::write_text;

class ScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir("scenario");
    write_text(dir_ / "json.json", R"({"run":{"status":"failed"},"steps":[
        {"step_index":2,"status":"failed","step_type":"llm","error_message":"invalid json"}]})");
    write_text(dir_ / "ok.json",
               R"({"run":{"status":"completed"},"steps":[{"step_type":"plan"}]})");
    write_text(dir_ / "norun.json", R"({"steps":[]})");
    write_text(dir_ / "bad.json", R"({"run":)");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  ScenarioResult eval(std::string_view doc) {
    auto r = evaluate_scenario(dir_, Json::parse(doc));
    EXPECT_TRUE(r) << (r ? "" : r.error().debug());
    return r ? *r : ScenarioResult{};
  }
  Error fail(std::string_view doc) {
    auto r = evaluate_scenario(dir_, Json::parse(doc));
    EXPECT_FALSE(r) << doc;
    return r ? Error::message("") : r.error();
  }

  std::filesystem::path dir_;
};

TEST_F(ScenarioTest, DefaultsAndNoChecks) {
  ScenarioResult r = eval(R"({"fixture":"json.json"})");
  EXPECT_EQ(r.name, "unknown");
  EXPECT_EQ(r.mode, "single");
  EXPECT_EQ(r.expected, "unknown");
  EXPECT_EQ(r.actual_primary, "Invalid JSON response");
  EXPECT_EQ(r.actual_compare, "");
  EXPECT_EQ(r.status, "needs_tuning");
  EXPECT_TRUE(r.notes.empty());
  EXPECT_EQ(eval(R"({"fixture":"json.json","checks":{}})").status, "needs_tuning");
  EXPECT_EQ(eval(R"({"fixture":"json.json","checks":[1]})").status, "needs_tuning");
  EXPECT_EQ(
      eval(R"({"name":7,"mode":null,"intent":{"primary_should_be":3},"fixture":"json.json"})").name,
      "unknown");
}

TEST_F(ScenarioTest, StatusAndNotes) {
  struct Row {
    const char* checks;
    const char* status;
    std::vector<std::string> notes;
  } rows[] = {
      {R"({"contains_any":{"primary.root_cause.label":["INVALID JSON"]}})", "match", {}},
      {R"({"contains_any":{"primary.root_cause.label":[]}})",
       "mismatch",
       {"Missed expected keywords at `primary.root_cause.label`"}},
      {R"({"not_contains_any":{"primary.root_cause.explanation":[]}})", "match", {}},
      {R"({"not_contains_any":{"primary.root_cause.explanation":["parser"]}})",
       "needs_tuning",
       {"Hit forbidden keywords at `primary.root_cause.explanation`"}},
      {R"({"not_contains_any":{"primary.root_cause.label":["json"]}})",
       "mismatch",
       {"Hit forbidden keywords at `primary.root_cause.label`"}},
      {R"({"contains_any":{"compare.root_cause.label":["x"]}})",
       "mismatch",
       {"Missed expected keywords at `compare.root_cause.label`"}},
      {R"({"contains_any":{"compare.root_cause.label":[""]}})", "match", {}},
      {R"({"contains_any":{"secondary_issues":["x"],"primary.root_cause.label":"json"}})",
       "needs_tuning",
       {}},
      {R"({"contains_any":{"primary.root_cause.label":[3,null,"json"]}})", "match", {}},
      {R"({"contains_any":{"primary.root_cause.label":[3]}})",
       "mismatch",
       {"Missed expected keywords at `primary.root_cause.label`"}},
      {R"({"contains_any":{"primary.recommendations.recommendedActions":["commentary. | add a retry"]}})",
       "match",
       {}},
      {R"({"contains_any":{"primary.root_cause.explanation":["nope"]},
           "not_contains_any":{"primary.root_cause.explanation":["json"],"primary.recommendations.recommendedActions":["json"]}})",
       "needs_tuning",
       {"Missed expected keywords at `primary.root_cause.explanation`",
        "Hit forbidden keywords at `primary.root_cause.explanation`",
        "Hit forbidden keywords at `primary.recommendations.recommendedActions`"}},
  };
  for (const auto& row : rows) {
    ScenarioResult r = eval(std::string(R"({"fixture":"json.json","checks":)") + row.checks + "}");
    EXPECT_EQ(r.status, row.status) << row.checks;
    EXPECT_EQ(r.notes, row.notes) << row.checks;
  }
}

TEST_F(ScenarioTest, UnicodeLowercasing) {
  write_text(dir_ / "greek.json", R"({"run":{"status":"completed"},"steps":[]})");
  ScenarioResult r = eval(
      R"({"fixture":"greek.json","checks":{"contains_any":{"primary.root_cause.label":["HEALTHY RUN"]}}})");
  EXPECT_EQ(r.status, "match");
}

TEST_F(ScenarioTest, CompareMode) {
  ScenarioResult r = eval(
      R"({"name":"pair","mode":"compare","primary_fixture":"json.json","compare_fixture":"ok.json",
      "checks":{"contains_any":{"compare.root_cause.label":["healthy"],"comparison.primary_only_issues":["Invalid JSON"],
      "comparison.improvements":["Execution path divergence | Healthy run"],"comparison.summary":["resolved failure"]}}})");
  EXPECT_EQ(r.mode, "compare");
  EXPECT_EQ(r.actual_primary, "Invalid JSON response");
  EXPECT_EQ(r.actual_compare, "Healthy run");
  EXPECT_EQ(r.status, "match") << (r.notes.empty() ? "" : r.notes[0]);
  // "Compare" with a capital is a single-run scenario and needs a fixture.
  EXPECT_EQ(fail(R"({"mode":"Compare","primary_fixture":"json.json","compare_fixture":"ok.json"})")
                .debug(),
            "\"missing fixture\"");
}

TEST_F(ScenarioTest, Failures) {
  EXPECT_EQ(fail(R"({})").text(), "missing fixture");
  EXPECT_EQ(fail(R"({"fixture":3})").text(), "missing fixture");
  EXPECT_EQ(fail(R"({"mode":"compare","compare_fixture":"ok.json"})").text(),
            "missing primary_fixture");
  EXPECT_EQ(fail(R"({"mode":"compare","primary_fixture":"ok.json"})").text(),
            "missing compare_fixture");
  EXPECT_EQ(fail(R"({"fixture":"norun.json"})").text(), "fixture.run missing");
  EXPECT_EQ(fail(R"({"fixture":"bad.json"})").kind(), Error::Kind::kJson);
  EXPECT_EQ(fail(R"({"fixture":"absent.json"})").kind(), Error::Kind::kOs);
  // Both comparison files are read before either trace is built.
  EXPECT_EQ(
      fail(R"({"mode":"compare","primary_fixture":"norun.json","compare_fixture":"absent.json"})")
          .kind(),
      Error::Kind::kOs);
  EXPECT_EQ(
      fail(R"({"mode":"compare","primary_fixture":"norun.json","compare_fixture":"bad.json"})")
          .kind(),
      Error::Kind::kJson);
  EXPECT_EQ(fail(R"({"mode":"compare","primary_fixture":"norun.json","compare_fixture":"ok.json"})")
                .text(),
            "fixture.run missing");
}

ScenarioResult row(std::string name, std::string status, std::vector<std::string> notes = {},
                   std::string compare = "") {
  return ScenarioResult{std::move(name),    "single",          "Exp",           "Act",
                        std::move(compare), std::move(status), std::move(notes)};
}

TEST(Checklist, EmptyResults) {
  EXPECT_EQ(checklist_markdown({}),
            "# Rust vs Old TS Parity Checklist\n\nSummary: 0 match, 0 need tuning, 0 mismatch.\n\n"
            "| Scenario | Mode | Expected | Rust Primary | Rust Compare | Status | Notes |\n"
            "| --- | --- | --- | --- | --- | --- | --- |\n");
  EXPECT_EQ(checklist_json({}), "[]");
}

TEST(Checklist, RowsCellsAndJson) {
  std::vector<ScenarioResult> rows = {row("a|b\nc", "match"),
                                      row("two", "needs_tuning", {"n1", "x|y"}),
                                      row("m", "mismatch", {}, "C\r")};
  EXPECT_EQ(checklist_markdown(rows),
            "# Rust vs Old TS Parity Checklist\n\nSummary: 1 match, 1 need tuning, 1 mismatch.\n\n"
            "| Scenario | Mode | Expected | Rust Primary | Rust Compare | Status | Notes |\n"
            "| --- | --- | --- | --- | --- | --- | --- |\n"
            "| a\\|b c | single | Exp | Act |  | match |  |\n"
            "| two | single | Exp | Act |  | needs_tuning | n1; x\\|y |\n"
            "| m | single | Exp | Act | C\r | mismatch |  |\n");
  EXPECT_EQ(checklist_json(std::span(rows).first(2)),
            "[\n"
            "  {\n"
            "    \"actual_compare\": \"\",\n"
            "    \"actual_primary\": \"Act\",\n"
            "    \"expected\": \"Exp\",\n"
            "    \"mode\": \"single\",\n"
            "    \"name\": \"a|b\\nc\",\n"
            "    \"notes\": [],\n"
            "    \"status\": \"match\"\n"
            "  },\n"
            "  {\n"
            "    \"actual_compare\": \"\",\n"
            "    \"actual_primary\": \"Act\",\n"
            "    \"expected\": \"Exp\",\n"
            "    \"mode\": \"single\",\n"
            "    \"name\": \"two\",\n"
            "    \"notes\": [\n"
            "      \"n1\",\n"
            "      \"x|y\"\n"
            "    ],\n"
            "    \"status\": \"needs_tuning\"\n"
            "  }\n"
            "]");
}

}  // namespace
}  // namespace tracedx
