// The regression gate: task keys, the change of each task (single runs and repeated
// trials), thresholds, the noise check, and the exact JUnit XML.
#include "fleet/gate.h"

#include <gtest/gtest.h>

#include "fleet/gate_writers.h"

namespace tracedx {
namespace {

RunRecord run(std::string id, std::optional<std::string> title, std::optional<std::string> status,
              std::string outcome, std::optional<std::string> label = std::nullopt) {
  RunRecord r;
  r.id = std::move(id);
  r.title = std::move(title);
  r.status = std::move(status);
  r.outcome = std::move(outcome);
  r.label = std::move(label);
  return r;
}

TEST(Gate, TaskKeys) {
  struct Row {
    const char* id;
    std::optional<std::string> title;
    TaskKey key;
    const char* expected;
  } rows[] = {
      {"runs/task07.json", "Book a flight", TaskKey::kTitle, "Book a flight"},
      {"runs/task07.json", std::nullopt, TaskKey::kTitle, "task07"},
      {"runs/task07.json", "", TaskKey::kTitle, "task07"},
      {"runs/task07.json", "Book a flight", TaskKey::kFile, "task07"},
      {"a/b/day.jsonl:12", std::nullopt, TaskKey::kFile, "day:12"},
      {"x.jsonl:4bf92f3577b34da6", std::nullopt, TaskKey::kFile, "x:4bf92f3577b34da6"},
      {"notes.json.bak", std::nullopt, TaskKey::kFile, "notes.json.bak"},
      {"-:3", std::nullopt, TaskKey::kFile, "-:3"},
      {"runs/task07.json", "T", TaskKey::kId, "runs/task07.json"},
      {"runs/task07.json", "T", TaskKey::kService, "task07"},
  };
  for (const auto& row : rows) {
    RunRecord r = run(row.id, row.title, std::nullopt, "success");
    EXPECT_EQ(task_key_of(r, row.key), row.expected) << row.id;
  }
  EXPECT_EQ(*parse_task_key("agent"), TaskKey::kAgent);
  EXPECT_EQ(parse_task_key("name").error().text(),
            "expected title, file, id, service or agent, got \"name\"");
}

TEST(Gate, ChangeOfEachTask) {
  // Each row: the baseline's and the candidate's runs of one task as outcome letters
  // (f failed, p passed), and what the gate calls the change.
  struct Row {
    const char* baseline;
    const char* candidate;
    TaskChange change;
  } rows[] = {
      {"p", "f", TaskChange::kRegressed},         {"f", "p", TaskChange::kFixed},
      {"f", "f", TaskChange::kStillFailing},      {"p", "p", TaskChange::kStillPassing},
      {"pppf", "ppff", TaskChange::kRegressed},   {"ppff", "pppf", TaskChange::kFixed},
      {"pf", "ppff", TaskChange::kStillFailing},  // 1/2 and 2/4: the same rate
      {"pppp", "ppp", TaskChange::kStillPassing}, {"p", "", TaskChange::kOnlyBaseline},
      {"", "f", TaskChange::kOnlyCandidate},
  };
  for (const auto& row : rows) {
    GateBuilder b({});
    int i = 0;
    for (const char* c = row.baseline; *c; ++c)
      b.add_baseline(
          run("b" + std::to_string(i++), "task", *c == 'f' ? "failed" : "completed", "unknown"));
    for (const char* c = row.candidate; *c; ++c)
      b.add_candidate(
          run("c" + std::to_string(i++), "task", *c == 'f' ? "failed" : "completed", "unknown"));
    GateResult g = b.finish();
    ASSERT_EQ(g.tasks.size(), 1u);
    EXPECT_EQ(task_change_name(g.tasks[0].change), task_change_name(row.change))
        << row.baseline << " -> " << row.candidate;
    EXPECT_EQ(g.passed, row.change != TaskChange::kRegressed) << row.baseline;
  }
}

TEST(Gate, VerdictWhenNoOutcomeIsRecorded) {
  GateBuilder b({});
  // No status: the diagnosis decides; same verdict, another finding.
  b.add_baseline(run("a", "t1", std::nullopt, "failed", "Tool failure or misuse"));
  b.add_candidate(run("a", "t1", std::nullopt, "failed", "Timeout or stalled execution"));
  b.add_baseline(run("b", "t2", std::nullopt, "degraded", "Recovered timeout after retry"));
  b.add_candidate(run("b", "t2", std::nullopt, "failed", "Timeout or stalled execution"));
  // A recorded outcome wins over the verdict.
  b.add_baseline(run("c", "t3", "completed", "failed", "Tool failure or misuse"));
  b.add_candidate(run("c", "t3", "completed", "failed", "Tool failure or misuse"));
  GateResult g = b.finish();
  ASSERT_EQ(g.tasks.size(), 3u);
  EXPECT_EQ(g.tasks[0].key, "t2");
  EXPECT_EQ(g.tasks[0].change, TaskChange::kRegressed);
  EXPECT_FALSE(g.tasks[0].candidate.by_outcome);
  EXPECT_EQ(g.tasks[1].key, "t1");
  EXPECT_EQ(g.tasks[1].change, TaskChange::kLabelChanged);
  EXPECT_EQ(g.tasks[2].key, "t3");
  EXPECT_EQ(g.tasks[2].change, TaskChange::kStillPassing);
  EXPECT_TRUE(g.tasks[2].baseline.by_outcome);
}

GateResult many(uint64_t runs, uint64_t failed_before, uint64_t failed_after, GateOptions o) {
  GateBuilder b(o);
  for (uint64_t i = 0; i < runs; ++i) {
    const std::string key = "t" + std::to_string(i);
    b.add_baseline(run(key, key, i < failed_before ? "failed" : "completed", "unknown"));
    b.add_candidate(run(key, key, i < failed_after ? "failed" : "completed", "unknown"));
  }
  return b.finish();
}

TEST(Gate, RateRiseWithinTheNoiseIsNotARegression) {
  GateOptions lenient;
  lenient.max_regressions = 1000;
  // 10/200 -> 14/200: within the noise.
  GateResult small = many(200, 10, 14, lenient);
  EXPECT_FALSE(small.rate_changed);
  EXPECT_TRUE(small.passed);
  // 10/200 -> 40/200: beyond it.
  GateResult large = many(200, 10, 40, lenient);
  EXPECT_TRUE(large.rate_changed);
  EXPECT_FALSE(large.passed);
  ASSERT_EQ(large.reasons.size(), 1u);
  EXPECT_EQ(large.reasons[0].substr(0, 46), "the failure rate rose from 5.0% to 20.0% (p = ");
  // A p-value below what a double holds is said so, not printed as 0.
  GateResult all = many(2000, 0, 2000, lenient);
  ASSERT_EQ(all.reasons.size(), 2u);  // 2000 tasks regressed, 1000 allowed
  EXPECT_EQ(all.reasons[1],
            "the failure rate rose from 0.0% to 100.0% (p < 1e-300, at most 0.0% rise allowed)");
  // Allowed up to a rise of 20 points.
  lenient.max_rate_increase = 0.2;
  EXPECT_TRUE(many(200, 10, 40, lenient).passed);
  // Per-task regressions count against --max-regressions.
  GateOptions strict;
  GateResult one = many(10, 0, 1, strict);
  EXPECT_FALSE(one.passed);
  EXPECT_EQ(one.reasons, (std::vector<std::string>{"1 tasks regressed (at most 0 allowed)"}));
  strict.max_regressions = 1;
  EXPECT_TRUE(many(10, 0, 1, strict).passed);
}

TEST(Gate, UnreadableRunsAreCountedApart) {
  GateBuilder b({});
  RunRecord bad;
  bad.id = "x";
  bad.readable = false;
  b.add_candidate(bad);
  b.add_baseline(run("a", "t", "completed", "success"));
  b.add_candidate(run("a", "t", "completed", "success"));
  GateResult g = b.finish();
  EXPECT_EQ(g.candidate.unreadable, 1u);
  EXPECT_EQ(g.candidate.runs, 1u);
  EXPECT_TRUE(g.passed);
}

TEST(Gate, JunitXml) {
  GateBuilder b({});
  b.add_baseline(run("base/a&b.json", "a&b", "completed", "success", "Healthy run"));
  b.add_candidate(run("cand/a&b.json", "a&b", "failed", "failed", "Tool \"x\" <failure>\x01"));
  b.add_baseline(run("base/c.json", "c", "failed", "failed"));
  b.add_candidate(run("cand/c.json", "c", "completed", "success"));
  b.add_baseline(run("base/d.json", "d\xff", "completed", "success"));
  EXPECT_EQ(
      gate_junit(b.finish()),
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<testsuites name=\"tracedx gate\" tests=\"4\" failures=\"1\">\n"
      "  <testsuite name=\"tracedx gate\" tests=\"4\" failures=\"1\" errors=\"0\" skipped=\"1\">\n"
      "    <testcase classname=\"tracedx.gate\" name=\"overall failure rate\">\n"
      "      <system-out>baseline 33.3% (1/3), candidate 50.0% (1/2)</system-out>\n"
      "    </testcase>\n"
      "    <testcase classname=\"tracedx.gate.task\" name=\"a&amp;b\">\n"
      "      <failure type=\"regression\" message=\"regressed: 0/1 failed -&gt; 1/1 failed\">"
      "baseline finding: Healthy run&#10;candidate finding: Tool &quot;x&quot; &lt;failure&gt;\\x01"
      "&#10;runs: base/a&amp;b.json cand/a&amp;b.json</failure>\n"
      "    </testcase>\n"
      "    <testcase classname=\"tracedx.gate.task\" name=\"c\">\n"
      "      <system-out>fixed: 1/1 failed -&gt; 0/1 failed</system-out>\n"
      "    </testcase>\n"
      "    <testcase classname=\"tracedx.gate.task\" name=\"d\xEF\xBF\xBD\">\n"
      "      <skipped message=\"only in baseline: 0/1 failed -&gt; 0/0 failed\"/>\n"
      "    </testcase>\n"
      "  </testsuite>\n"
      "</testsuites>\n");
}

TEST(Gate, XmlEscape) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"a<b>&'\"", "a&lt;b&gt;&amp;&apos;&quot;"},
      {"tab\tlf\ncr\r", "tab&#9;lf&#10;cr&#13;"},
      {std::string("nul\0esc\x1b del\x7f", 13), "nul\\x00esc\\x1b del\\x7f"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"bad \xc3 \xed\xa0\x80 \xef\xbf\xbe",
       "bad \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& row : rows) EXPECT_EQ(xml_escape(row.in), row.out) << row.in;
}

}  // namespace
}  // namespace tracedx
