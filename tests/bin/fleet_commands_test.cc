// tracedx report, tracedx gate and the CI exit status, run as built: exit statuses, the
// batch filters and summary, the gate on real repeated trials (tests/data/taubench) and
// its JUnit XML, and the triage report on a batch of real recorded runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using test_support::run_command;
using test_support::write_text;

const fs::path kSource = TRACEDX_SOURCE_DIR;

test_support::CommandResult tracedx(std::vector<std::string> args, const fs::path& cwd = kSource,
                                    std::string_view input = {}) {
  args.insert(args.begin(), TRACEDX_BIN);
  return run_command(args, cwd, input);
}

// The batch records of one trial of the tau-bench runs, each run's outcome stated as the
// benchmark recorded it (the directory it sits in).
std::string trial_records(int trial) {
  std::string out;
  for (const char* outcome : {"failed", "completed"}) {
    auto r = tracedx({"batch", "--from", "chat", "--run-status", outcome,
                      "tests/data/taubench/trial" + std::to_string(trial) + "/" + outcome});
    EXPECT_EQ(r.status, 0) << r.err;
    out += r.out;
  }
  return out;
}

TEST(FleetCommands, FailOnExitStatus) {
  struct Row {
    std::vector<std::string> args;
    int status;
  } rows[] = {
      // grounding_failure: a failed run, "Grounding failure", high.
      {{"diagnose", "src/Test/fixtures/grounding_failure.json", "--fail-on", "failed"}, 3},
      {{"diagnose", "src/Test/fixtures/grounding_failure.json", "--fail-on", "high"}, 3},
      {{"diagnose", "src/Test/fixtures/grounding_failure.json", "--fail-on=critical"}, 0},
      {{"diagnose", "src/Test/fixtures/grounding_failure.json", "--fail-on", "grounding failure"},
       3},
      {{"diagnose", "src/Test/fixtures/grounding_failure.json", "--fail-on", "Healthy run"}, 0},
      // A healthy run's finding is "medium", but a severity never trips on a success.
      {{"diagnose", "src/Test/fixtures/healthy_run.json", "--fail-on", "medium"}, 0},
      {{"diagnose", "src/Test/fixtures/healthy_run.json", "--fail-on", "success", "--format",
        "text"},
       3},
      {{"batch", "src/Test/fixtures/healthy_run.json", "src/Test/fixtures/grounding_failure.json",
        "--fail-on", "failed"},
       3},
      {{"batch", "src/Test/fixtures/healthy_run.json", "--fail-on", "failed"}, 0},
      // Unreadable input is an error first.
      {{"batch", "src/Test/fixtures/grounding_failure.json", "nope.json", "--fail-on", "failed"},
       1},
      {{"diagnose", "src/Test/fixtures/healthy_run.json", "--fail-on", ""}, 2},
  };
  for (const auto& row : rows) {
    auto r = tracedx(row.args);
    std::string cmd;
    for (const auto& a : row.args) cmd += a + " ";
    EXPECT_EQ(r.status, row.status) << cmd << r.err;
  }
  auto usage = tracedx({"batch", "x", "--only", " "});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err.substr(0, usage.err.find('\n')),
            "tracedx: --only expected an outcome (success, failed, degraded, unknown), a severity "
            "(low, medium, high, critical) or a primary label, got \" \"");
}

TEST(FleetCommands, BatchFiltersAndSummary) {
  fs::path dir = test_support::make_temp_dir("fleet-batch");
  write_text(dir / "runs/a.json", R"({"run":{"status":"completed"},"steps":[]})");
  write_text(
      dir / "runs/b.json",
      R"({"run":{"status":"failed"},"steps":[{"status":"failed","error_message":"timeout"}]})");
  write_text(dir / "runs/c.json", "{broken");
  auto r =
      tracedx({"batch", "--jobs", "2", "--only", "failed", "--fail-on", "failed", "runs"}, dir);
  EXPECT_EQ(r.status, 1);  // c.json could not be read
  EXPECT_EQ(r.err,
            "traces: 3, diagnosed: 2, unreadable: 1\n"
            "outcomes: success 1, failed 1\n"
            "written: 1 of 2 diagnosed runs\n"
            "fail-on: 1 runs match\n"
            "  1  Healthy run\n"
            "  1  Timeout or stalled execution\n");
  // The failed run and the unreadable one are written, the healthy one left out.
  std::vector<std::string> ids;
  for (size_t at = 0; at < r.out.size();) {
    size_t end = r.out.find('\n', at);
    ids.push_back(nlohmann::json::parse(r.out.substr(at, end - at))["id"]);
    at = end + 1;
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"runs/b.json", "runs/c.json"}));
  auto label = tracedx({"batch", "--only", "Healthy run", "runs/a.json", "runs/b.json"}, dir);
  EXPECT_EQ(label.status, 0);
  EXPECT_EQ(nlohmann::json::parse(label.out)["id"], "runs/a.json");
  EXPECT_EQ(nlohmann::json::parse(label.out)["run"]["outcome"], "success");
  fs::remove_all(dir);
}

TEST(FleetCommands, GateOnRealRepeatedTrials) {
  fs::path dir = test_support::make_temp_dir("fleet-gate");
  write_text(dir / "trial0.jsonl", trial_records(0));
  write_text(dir / "trial1.jsonl", trial_records(1));

  auto text = tracedx({"gate", "--key", "file", "trial0.jsonl", "trial1.jsonl"}, dir);
  EXPECT_EQ(text.status, 3) << text.err;
  EXPECT_EQ(text.err, "");
  // What the benchmark recorded: tasks 6 and 11 regressed, 1, 5, 13 and 21 were fixed.
  const std::string head =
      "gate: FAILED\n"
      "  2 tasks regressed (at most 0 allowed)\n"
      "baseline: 19 of 25 runs failed, 76.0% (95% interval 56.6% to 88.5%)\n"
      "candidate: 17 of 25 runs failed, 68.0% (95% interval 48.4% to 82.8%)\n"
      "change: within the noise (Fisher's exact test, p = 0.754)\n";
  EXPECT_EQ(text.out.substr(0, head.size()), head);
  auto json =
      tracedx({"gate", "--key=file", "trial0.jsonl", "trial1.jsonl", "--format", "json"}, dir);
  EXPECT_EQ(json.status, 3);
  auto doc = nlohmann::json::parse(json.out);
  std::vector<std::string> regressed, fixed;
  for (const auto& t : doc["tasks"]) {
    if (t["change"] == "regressed") regressed.push_back(t["key"]);
    if (t["change"] == "fixed") fixed.push_back(t["key"]);
    EXPECT_EQ(t["baseline"]["compared_by"], "outcome");
  }
  EXPECT_EQ(regressed, (std::vector<std::string>{"task06", "task11"}));
  EXPECT_EQ(fixed, (std::vector<std::string>{"task01", "task05", "task13", "task21"}));
  EXPECT_EQ(doc["rate_changed"], false);

  // Two regressions allowed: the gate passes.
  auto allowed = tracedx({"gate", "--key", "file", "--max-regressions", "2", "trial0.jsonl",
                          "trial1.jsonl", "--format", "junit"},
                         dir);
  EXPECT_EQ(allowed.status, 0);
  // JUnit XML: one test case per task, a failure for each regression.
  auto junit = tracedx({"gate", "--key", "file", "--format", "junit", "trial0.jsonl", "-"}, dir,
                       test_support::read_text(dir / "trial1.jsonl"));
  EXPECT_EQ(junit.status, 3);
  EXPECT_EQ(junit.out.substr(0, junit.out.find("<testcase")),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<testsuites name=\"tracedx gate\" tests=\"26\" failures=\"2\">\n"
            "  <testsuite name=\"tracedx gate\" tests=\"26\" failures=\"2\" errors=\"0\" "
            "skipped=\"0\">\n    ");
  EXPECT_NE(junit.out.find("<testcase classname=\"tracedx.gate.task\" name=\"task06\">\n"
                           "      <failure type=\"regression\" message=\"regressed: 0/1 failed "
                           "-&gt; 1/1 failed\">"),
            std::string::npos);
  EXPECT_EQ(allowed.out, junit.out);  // thresholds change the exit status, not the tasks
  size_t cases = 0;
  for (size_t at = 0; (at = junit.out.find("<testcase ", at)) != std::string::npos; ++at) ++cases;
  EXPECT_EQ(cases, 26u);
  // The title differs between trials (the simulated user words the task anew): by title no
  // task matches, every task is only on one side.
  auto by_title = tracedx({"gate", "trial0.jsonl", "trial1.jsonl", "--format", "json"}, dir);
  EXPECT_EQ(nlohmann::json::parse(by_title.out)["tasks_by_change"]["only in baseline"], 25);
  EXPECT_EQ(by_title.status, 0);
  fs::remove_all(dir);
}

TEST(FleetCommands, GateFailuresAndUsage) {
  fs::path dir = test_support::make_temp_dir("fleet-gate-usage");
  write_text(dir / "ok.jsonl", R"({"id":"a","diagnosis":{"outcome":"success"}})"
                               "\n");
  write_text(dir / "bad.jsonl", R"({"id":"a","diagnosis":{"outcome":"success"}})"
                                "\n\n{\"run\":{},\"steps\":[]}\n");
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err;  // its first line
  } rows[] = {
      {{"gate", "ok.jsonl"}, 2, "tracedx: wrong number of arguments"},
      {{"gate", "ok.jsonl", "ok.jsonl", "--key", "name"},
       2,
       "tracedx: --key expected title, file, id, service or agent, got \"name\""},
      {{"gate", "ok.jsonl", "ok.jsonl", "--format", "xml"},
       2,
       "tracedx: --format needs text, json, html or junit, got \"xml\""},
      {{"gate", "ok.jsonl", "ok.jsonl", "--max-rate-increase", "2"},
       2,
       "tracedx: --max-rate-increase needs a fraction from 0 to 1 or a percentage, got \"2\""},
      {{"gate", "ok.jsonl", "ok.jsonl", "--max-rate-increase", "5%"}, 0, ""},
      {{"gate", "ok.jsonl", "bad.jsonl"},
       1,
       "Error: bad.jsonl:3: expected a batch record (an object with \"id\" and \"diagnosis\" or "
       "\"error\"); this looks like a trace, not its record"},
      {{"gate", "ok.jsonl", "missing.jsonl"},
       1,
       "Error: missing.jsonl: No such file or directory (os error 2)"},
      {{"gate", "-", "-"}, 1, "Error: gate reads at most one of its batches from standard input"},
      {{"report", "bad.jsonl"},
       1,
       "Error: bad.jsonl:3: expected a batch record (an object with \"id\" and \"diagnosis\" or "
       "\"error\"); this looks like a trace, not its record"},
      {{"report", "--format", "junit"},
       2,
       "tracedx: --format needs json, text or html, got \"junit\""},
      {{"report", "--from", "chat", "ok.jsonl"},
       2,
       "tracedx: --from, --run-status, --jobs and --slow-threshold-ms apply with --run"},
  };
  for (const auto& row : rows) {
    auto r = tracedx(row.args, dir);
    EXPECT_EQ(r.status, row.status) << row.args[1] << " " << r.err;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), row.err);
  }
  for (const char* command : {"report", "gate"}) {
    auto help = tracedx({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: tracedx ") + command, 0), 0u);
  }
  fs::remove_all(dir);
}

// Hostile batch files: one clear error naming the line, never a crash or a partial report.
TEST(FleetCommands, HostileRecords) {
  fs::path dir = test_support::make_temp_dir("fleet-hostile");
  const std::string ok = R"({"id":"a","diagnosis":{"outcome":"success"}})";
  const std::string expected =
      "expected a batch record (an object with \"id\" and \"diagnosis\" or \"error\")";
  struct Row {
    std::string content;
    int status;
    std::string err;
  } rows[] = {
      {"\xEF\xBB\xBF" + ok + "\n", 0, ""},
      {ok + "\n" + ok.substr(0, 20), 1,
       "Error: in:2: invalid JSON (A string is opened, but never closed.); " + expected},
      {std::string("{\"id\":\"a\0\",\"error\":\"x\"}\n", 24), 1,
       "Error: in:1: invalid JSON (Within strings, some characters must be escaped, we found "
       "unescaped characters); " +
           expected},
      {"{\"id\":\"\xff\",\"error\":\"x\"}\n", 1,
       "Error: in:1: invalid JSON (The input is not valid UTF-8); " + expected},
      {std::string(100000, '[') + std::string(100000, ']') + "\n", 1,
       "Error: in:1: invalid JSON (The JSON document was too deep (too many nested objects and "
       "arrays)); " +
           expected},
      {"NaN\n", 1,
       "Error: in:1: invalid JSON (The JSON document has an improper structure: missing or "
       "superfluous commas, braces, missing keys, etc.); " +
           expected},
  };
  for (const auto& row : rows) {
    write_text(dir / "in", row.content);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"report", "in"}, std::vector<std::string>{"gate", "in", "in"}}) {
      auto r = tracedx(args, dir);
      EXPECT_EQ(r.status, row.status) << args[0] << " " << r.err;
      EXPECT_EQ(r.err, row.err.empty() ? "" : row.err + "\n") << args[0];
      if (row.status) {
        EXPECT_EQ(r.out, "") << args[0];
      }
    }
  }
  fs::remove_all(dir);
}

TEST(FleetCommands, ReportOnRealRuns) {
  fs::path dir = test_support::make_temp_dir("fleet-report");
  write_text(dir / "trial0.jsonl", trial_records(0));
  // The report of records and the report that runs the batch itself agree.
  auto json = tracedx({"report", "--format", "json", "trial0.jsonl"}, dir);
  EXPECT_EQ(json.status, 0) << json.err;
  auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["runs"], 25);
  EXPECT_EQ(doc["failed"], 19);
  EXPECT_EQ(doc["unreadable"], 0);
  uint64_t grouped = 0;
  for (const auto& g : doc["by_error"]) grouped += g["runs"].get<uint64_t>();
  EXPECT_EQ(grouped, 19u);
  auto piped = tracedx({"report", "--format", "json", "-"}, dir,
                       test_support::read_text(dir / "trial0.jsonl"));
  EXPECT_EQ(piped.out, json.out);

  auto run = tracedx({"report", "--run", "--from", "otlp", "--format", "json",
                      kSource / "src/Test/imports/genai_tool_failure.otlp.json"},
                     dir);
  EXPECT_EQ(run.status, 0) << run.err;
  auto otlp = nlohmann::json::parse(run.out);
  EXPECT_EQ(otlp["runs"], 1);
  EXPECT_EQ(otlp["by_service"][0]["key"], "travel-agent");
  EXPECT_EQ(otlp["by_tool"][0]["key"], "search_flights");

  // HTML: links to the runs' own reports where they exist.
  fs::create_directories(dir / "reports");
  write_text(dir / "reports" / "tests%2Fdata%2Ftaubench%2Ftrial0%2Ffailed%2Ftask00.json.html", "x");
  auto html =
      tracedx({"report", "--format", "html", "--reports-dir", "reports", "trial0.jsonl"}, dir);
  EXPECT_EQ(html.status, 0);
  EXPECT_NE(
      html.out.find("<a href=\"reports/tests%252Fdata%252Ftaubench%252Ftrial0%252Ffailed%"
                    "252Ftask00.json.html\">tests/data/taubench/trial0/failed/task00.json</a>"),
      std::string::npos);
  EXPECT_EQ(html.out.find("task01.json.html"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx
