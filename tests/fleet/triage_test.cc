// Batch records read back, and the triage report over them: groups, shares, ranking,
// bounds, and the exact texts of the terminal form.
#include "fleet/triage.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fleet/run_record.h"
#include "fleet/triage_writers.h"

namespace tracedx {
namespace {

TEST(RunRecord, ReadsBatchLines) {
  auto full = parse_run_record(
      "\xEF\xBB\xBF"
      R"({"id":"a.json","diagnosis":{"root_cause":{"label":"Tool failure or misuse","severity":"medium"},"outcome":"failed"},)"
      R"("run":{"title":"T","service":"s","agent":null,"status":"failed","outcome":"failed","duration_ms":1500,"cost":0.5,"tokens":12,"steps":3,"tool":"search","error_message":"boom"}})");
  ASSERT_TRUE(full) << full.error().text();
  EXPECT_EQ(full->id, "a.json");
  EXPECT_TRUE(full->readable);
  EXPECT_EQ(full->label, "Tool failure or misuse");
  EXPECT_EQ(full->severity, "medium");
  EXPECT_EQ(full->outcome, "failed");
  EXPECT_EQ(full->title, "T");
  EXPECT_EQ(full->service, "s");
  EXPECT_EQ(full->agent, std::nullopt);
  EXPECT_EQ(full->duration_ms, 1500u);
  EXPECT_EQ(full->cost, 0.5);
  EXPECT_EQ(full->tokens, 12u);
  EXPECT_EQ(full->tool, "search");
  EXPECT_EQ(full->error_message, "boom");

  // A record from before the run member: the diagnosis alone.
  auto old = parse_run_record(R"({"id":"b","diagnosis":{"root_cause":null,"outcome":"success"}})");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->outcome, "success");
  EXPECT_EQ(old->label, std::nullopt);
  EXPECT_EQ(old->duration_ms, std::nullopt);

  auto error = parse_run_record(R"({"id":"c","error":"c: invalid JSON at line 1, column 2"})");
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->readable);
  EXPECT_EQ(error->error, "c: invalid JSON at line 1, column 2");
}

// Both readers of a line give the same record; "-0" is the float -0.0, so no count.
TEST(RunRecord, NegativeZeroIsAFloat) {
  const std::string run =
      R"("run":{"title":"t","service":"s","agent":"a","status":"failed","duration_ms":DUR,"cost":COST,"tokens":7,"tool":"x","error_message":"e"}})";
  auto line = [&](const char* dur, const char* cost) {
    std::string out =
        R"({"id":"i","diagnosis":{"outcome":"failed","root_cause":{"label":"L","severity":"high"}},)" +
        run;
    out.replace(out.find("DUR"), 3, dur);
    out.replace(out.find("COST"), 4, cost);
    return out;
  };
  auto tape = parse_run_record(line("5", "0.5"));
  auto document = parse_run_record(line("5", "0.5") + R"( )" + "\n\"-0\"");  // not JSON any more
  EXPECT_FALSE(document);
  auto zero = parse_run_record(line("-0", "-0"));
  ASSERT_TRUE(tape);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->duration_ms, std::nullopt);
  ASSERT_TRUE(zero->cost);
  EXPECT_TRUE(std::signbit(*zero->cost));
  // Every other field is read alike by both readers.
  for (const RunRecord* r : {&*tape, &*zero}) {
    EXPECT_EQ(r->title, "t");
    EXPECT_EQ(r->service, "s");
    EXPECT_EQ(r->agent, "a");
    EXPECT_EQ(r->status, "failed");
    EXPECT_EQ(r->tokens, 7u);
    EXPECT_EQ(r->tool, "x");
    EXPECT_EQ(r->error_message, "e");
    EXPECT_EQ(r->label, "L");
    EXPECT_EQ(r->severity, "high");
  }
  EXPECT_EQ(tape->duration_ms, 5u);
  // A "-0" inside a string sends the line to the document reader, which reads it alike.
  auto in_text = parse_run_record(R"({"id":"-0","error":"x -0"})");
  ASSERT_TRUE(in_text);
  EXPECT_EQ(in_text->id, "-0");
  EXPECT_FALSE(in_text->readable);
}

TEST(RunRecord, RefusesWhatIsNotABatchRecord) {
  const std::string expected =
      "expected a batch record (an object with \"id\" and \"diagnosis\" or \"error\")";
  struct Row {
    std::string line;
    std::string message;
  } rows[] = {
      {"[1,2]", expected},
      {R"({"id":1,"diagnosis":{}})", expected},
      {R"({"id":"x"})", expected},
      {R"({"id":"x","diagnosis":[]})", expected},
      {R"({"run":{"status":"completed"},"steps":[]})",
       expected + "; this looks like a trace, not its record"},
      {R"({"resourceSpans":[]})", expected + "; this looks like a trace, not its record"},
      {"{\"id\":",
       "invalid JSON (The JSON document has an improper structure: missing or superfluous commas, "
       "braces, missing keys, etc.); " +
           expected},
      {std::string(129, '[') + std::string(129, ']'),
       "invalid JSON (The JSON document was too deep (too many nested objects and arrays)); " +
           expected},
  };
  for (const auto& row : rows) {
    auto r = parse_run_record(row.line);
    ASSERT_FALSE(r) << row.line;
    EXPECT_EQ(r.error().text(), row.message) << row.line;
  }
  // 128 levels are allowed (and then not a record), also on a line far longer than the
  // parser's first buffer.
  std::string deep = R"({"id":"d","diagnosis":{"outcome":"failed"},"x":)" + std::string(126, '[') +
                     std::string(126, ']') + "," + std::string(200000, ' ') + R"("y":1})";
  EXPECT_TRUE(parse_run_record(deep));
  std::string too_deep = R"({"id":"d","diagnosis":{},"x":)" + std::string(200000, ' ') +
                         std::string(128, '[') + std::string(128, ']') + "}";
  EXPECT_FALSE(parse_run_record(too_deep));
}

TEST(RunRecord, FailedByRecordedOutcomeElseByVerdict) {
  struct Row {
    std::optional<std::string> status;
    const char* outcome;
    bool failed, by_outcome;
  } rows[] = {
      {"failed", "degraded", true, true},       {"completed", "failed", false, true},
      {" Success ", "unknown", false, true},    {std::nullopt, "failed", true, false},
      {std::nullopt, "degraded", false, false}, {"running", "failed", true, false},
  };
  for (const auto& row : rows) {
    RunRecord r;
    r.status = row.status;
    r.outcome = row.outcome;
    bool by = !row.by_outcome;
    EXPECT_EQ(run_failed(r, &by), row.failed) << row.status.value_or("-") << " " << row.outcome;
    EXPECT_EQ(by, row.by_outcome);
  }
}

RunRecord run(std::string id, bool failed, uint64_t ms, std::optional<double> cost,
              std::optional<std::string> service, std::optional<std::string> tool,
              std::optional<std::string> error, std::string label = "Tool failure or misuse") {
  RunRecord r;
  r.id = std::move(id);
  r.status = failed ? "failed" : "completed";
  r.outcome = failed ? "failed" : "success";
  r.label = failed ? label : "Healthy run";
  r.severity = "medium";
  r.duration_ms = ms;
  r.cost = cost;
  r.service = std::move(service);
  r.tool = std::move(tool);
  r.error_message = std::move(error);
  return r;
}

TEST(Triage, GroupsFailuresByWastedTime) {
  TriageBuilder b;
  b.add(run("r1", true, 1000, 0.5, "billing", "lookup", "order 1 not found"));
  b.add(run("r2", true, 9000, std::nullopt, "search", "web", "HTTP 502"));
  b.add(run("r3", true, 2000, 0.25, "billing", "lookup", "order 22 not found"));
  b.add(run("r4", false, 50000, 3.0, "billing", std::nullopt, std::nullopt));
  b.add(run("r5", true, 500, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
            "Timeout or stalled execution"));
  RunRecord bad;
  bad.id = "r6";
  bad.readable = false;
  b.add(bad);
  TriageReport r = b.finish();
  EXPECT_EQ(r.records, 6u);
  EXPECT_EQ(r.diagnosed, 5u);
  EXPECT_EQ(r.unreadable, 1u);
  EXPECT_EQ(r.failed, 4u);
  EXPECT_EQ(r.failed_ms, 12500u);
  ASSERT_EQ(r.by_service.size(), 3u);
  EXPECT_EQ(r.by_service[0].key, "search");  // 9 s wasted beats billing's 3 s over 2 runs
  EXPECT_EQ(r.by_service[1].key, "billing");
  EXPECT_EQ(r.by_service[1].runs, 2u);
  EXPECT_EQ(r.by_service[1].wasted_ms, 3000u);
  EXPECT_DOUBLE_EQ(r.by_service[1].cost, 0.75);
  EXPECT_EQ(r.by_service[1].examples, (std::vector<std::string>{"r1", "r3"}));
  EXPECT_EQ(r.by_service[2].key, "(unknown)");
  ASSERT_EQ(r.by_error.size(), 3u);
  EXPECT_EQ(r.by_error[0].key, "HTTP <n>");
  EXPECT_EQ(r.by_error[1].key, "order <n> not found");
  EXPECT_EQ(r.by_error[2].key, "(no error message) Timeout or stalled execution");
  EXPECT_EQ(r.slowest.front().id, "r4");
  EXPECT_EQ(r.costliest.front().id, "r4");
  EXPECT_EQ(r.costliest.size(), 3u);  // only runs with a cost
  EXPECT_EQ(r.durations.count(), 5u);

  EXPECT_EQ(triage_text(r),
            "runs: 6, diagnosed: 5, unreadable: 1, failed: 4 (80.0%)\n"
            "outcomes: success 1 failed 4\n"
            "duration: p50 2.0 s, p90 50.0 s, p99 50.0 s, max 50.0 s (5 runs)\n"
            "time in failed runs: 12.5 s, cost 0.7500\n"
            "unreadable, e.g. r6\n"
            "\n"
            "labels (runs, failed, severity)\n"
            "  3  3  medium  Tool failure or misuse\n"
            "  1  0  medium  Healthy run\n"
            "  1  1  medium  Timeout or stalled execution\n"
            "\n"
            "failures by service or agent (runs, share, time wasted)\n"
            "       1   25.0%       9.0 s  search\n"
            "          e.g. r2\n"
            "       2   50.0%       3.0 s  cost 0.7500  billing\n"
            "          e.g. r1, r3\n"
            "       1   25.0%      500 ms  (unknown)\n"
            "          e.g. r5\n"
            "\n"
            "failures by tool\n"
            "       1   25.0%       9.0 s  web\n"
            "          e.g. r2\n"
            "       2   50.0%       3.0 s  cost 0.7500  lookup\n"
            "          e.g. r1, r3\n"
            "       1   25.0%      500 ms  (none)\n"
            "          e.g. r5\n"
            "\n"
            "failures by error\n"
            "       1   25.0%       9.0 s  HTTP <n>\n"
            "          e.g. r2\n"
            "       2   50.0%       3.0 s  cost 0.7500  order <n> not found\n"
            "          e.g. r1, r3\n"
            "       1   25.0%      500 ms  (no error message) Timeout or stalled execution\n"
            "          e.g. r5\n"
            "\n"
            "slowest runs\n"
            "  50.0 s  r4  success  Healthy run\n"
            "  9.0 s  r2  failed  Tool failure or misuse\n"
            "  2.0 s  r3  failed  Tool failure or misuse\n"
            "  1.0 s  r1  failed  Tool failure or misuse\n"
            "  500 ms  r5  failed  Timeout or stalled execution\n"
            "\n"
            "costliest runs\n"
            "  3.00  r4  success  Healthy run\n"
            "  0.5000  r1  failed  Tool failure or misuse\n"
            "  0.2500  r3  failed  Tool failure or misuse\n");
}

TEST(Triage, BoundedWhateverTheNumberOfRuns) {
  TriageBuilder b;
  const uint64_t n = kMaxGroups + 500;
  for (uint64_t i = 0; i < n; ++i)
    b.add(run("r" + std::to_string(i), true, i % 7 == 0 ? UINT64_MAX / 2 : i, double(i % 5),
              "svc" + std::to_string(i), "tool", "e"));
  TriageReport r = b.finish();
  // Keys past the bound fall into one group.
  EXPECT_EQ(r.by_service.size(), kMaxGroups + 1);
  auto other = std::find_if(r.by_service.begin(), r.by_service.end(),
                            [](const FailureGroup& g) { return g.key == "(other)"; });
  ASSERT_NE(other, r.by_service.end());
  EXPECT_EQ(other->runs, 500u);
  // Wasted time saturates instead of wrapping.
  EXPECT_EQ(r.by_tool.at(0).wasted_ms, UINT64_MAX);
  EXPECT_EQ(r.failed_ms, UINT64_MAX);
  // Top lists hold kTopRuns, the earliest run first among equals.
  ASSERT_EQ(r.slowest.size(), kTopRuns);
  EXPECT_EQ(r.slowest[0].id, "r0");
  EXPECT_EQ(r.slowest[1].id, "r7");
  ASSERT_EQ(r.costliest.size(), kTopRuns);
  EXPECT_EQ(r.costliest[0].id, "r4");
  EXPECT_EQ(r.costliest[1].id, "r9");
}

TEST(Triage, HtmlEscapesAndLinks) {
  TriageBuilder b;
  b.add(run("<img src=x>.json", true, 10, std::nullopt, "s\"vc", "t<b>", "'quoted' <script>"));
  b.add(run("plain.json", true, 10, std::nullopt, "svc", "t", "e"));
  RunLink link = [](const std::string& id) -> std::optional<std::string> {
    if (id == "plain.json") return "runs/plain.json 50%.html";
    return std::nullopt;
  };
  std::string html = triage_html(b.finish(), link);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;img src=x&gt;.json"), std::string::npos);
  EXPECT_NE(html.find("<a href=\"runs/plain.json%2050%25.html\">plain.json</a>"),
            std::string::npos);
  EXPECT_NE(html.find("Content-Security-Policy"), std::string::npos);
  EXPECT_NE(html.find("<svg class=\"chart\""), std::string::npos);
}

}  // namespace
}  // namespace tracedx
