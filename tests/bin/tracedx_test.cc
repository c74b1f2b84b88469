// Runs the built tracedx command: golden reports, options, failures and batches.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "bin/tracedx/options.h"
#include "test_support.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using test_support::read_text;
using test_support::run_command;
using test_support::write_text;

const fs::path kSource = TRACEDX_SOURCE_DIR;

test_support::CommandResult tracedx(std::vector<std::string> args, const fs::path& cwd = kSource,
                                    std::string_view input = {}) {
  args.insert(args.begin(), TRACEDX_BIN);
  return run_command(args, cwd, input);
}

TEST(Tracedx, GoldenReports) {
  struct Row {
    std::vector<std::string> args;
    const char* golden;
  } rows[] = {
      {{"diagnose", "src/Test/fixtures/invalid_json_response.json"},
       "diagnose_invalid_json_response.json"},
      {{"diagnose", "src/Test/fixtures/invalid_json_response.json", "--format", "text"},
       "diagnose_invalid_json_response.txt"},
      {{"diagnose", "--signals", "src/Test/fixtures/slow_retrieval_success.json", "--compact"},
       "diagnose_slow_retrieval_signals.json"},
      {{"diagnose", "src/Test/fixtures/context_poisoning.json", "--no-secondary",
        "--no-recommendations", "--slow-threshold-ms", "0"},
       "diagnose_context_poisoning_options.json"},
      {{"compare", "src/Test/fixtures/compare_primary_failed__primary.json",
        "src/Test/fixtures/compare_primary_failed__compared.json"},
       "compare_primary_failed.json"},
      {{"compare", "src/Test/fixtures/compare_primary_failed__primary.json",
        "src/Test/fixtures/compare_primary_failed__compared.json", "--format=text"},
       "compare_primary_failed.txt"},
  };
  for (const auto& row : rows) {
    auto r = tracedx(row.args);
    EXPECT_EQ(r.status, 0) << row.golden << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, read_text(kSource / "tests/golden" / row.golden)) << row.golden;
  }
}

TEST(Tracedx, StandardInputUsesDashAsId) {
  auto r =
      tracedx({"diagnose", "-", "--compact"}, kSource,
              R"({"run":{"status":"failed"},"steps":[{"status":"failed","step_type":"tool"}]})");
  EXPECT_EQ(r.status, 0);
  auto doc = Json::parse(r.out);
  EXPECT_EQ(doc["root_cause"]["label"], "Tool failure or misuse");
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);  // compact: one line
}

TEST(Tracedx, FailuresAndUsage) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err_start;
  } rows[] = {
      {{"diagnose", "missing.json"},
       1,
       "Error: missing.json: No such file or directory (os error 2)\n"},
      {{"diagnose", "src"}, 1, "Error: src: Is a directory (os error 21)\n"},
      {{"diagnose", "tests/golden/compare_primary_failed.txt"},
       1,
       "Error: tests/golden/compare_primary_failed.txt: invalid JSON at line 1"},
      // A JSON file of another kind is named with what it looks like and what was expected.
      {{"diagnose", "src/Test/expectations/healthy_run.expected.json"},
       1,
       "Error: src/Test/expectations/healthy_run.expected.json: not a trace this tool reads (it "
       "is a JSON object with the keys "},
      {{"diagnose"}, 2, "tracedx: wrong number of arguments\n"},
      {{"diagnose", "a", "b"}, 2, "tracedx: wrong number of arguments\n"},
      {{"diagnose", "a", "--slow-threshold-ms", "-5"},
       2,
       "tracedx: --slow-threshold-ms needs an unsigned integer"},
      {{"diagnose", "a", "--slow-threshold-ms"}, 2, "tracedx: --slow-threshold-ms needs a value"},
      {{"diagnose", "a", "--bogus"}, 2, "tracedx: unknown option --bogus"},
      {{"compare", "a", "b", "--signals"}, 2, "tracedx: unknown option --signals"},
      {{"diagnose", "a", "--format", "xml"}, 2, "tracedx: --format needs json, text or html"},
      {{"batch", "--jobs", "0", "x"}, 2, "tracedx: --jobs needs a number from 1 to 1024"},
      {{"explode"}, 2, "tracedx: unknown command \"explode\""},
      {{}, 2, "tracedx: missing command"},
  };
  for (const auto& row : rows) {
    auto r = tracedx(row.args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, row.err_start.size()), row.err_start);
  }
  auto help = tracedx({"compare", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: tracedx compare PRIMARY COMPARED", 0), 0u);
  auto version = tracedx({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tracedx 0.5.0", 0), 0u);
}

TEST(Tracedx, Batch) {
  fs::path dir = test_support::make_temp_dir("batch");
  const std::string ok = R"({"run":{"status":"completed"},"steps":[]})";
  write_text(dir / "traces/b.json", ok);
  write_text(dir / "traces/a/z.json",
             R"({"run":{"status":"failed"},"steps":[{"status":"failed"}]})");
  write_text(dir / "traces/a/notes.txt", "ignored");
  write_text(dir / "traces/c.json", "{broken");
  write_text(dir / "lines.jsonl", ok + "\n\n{\"run\":1,\"steps\":[]}\n" + ok + "\n");

  auto r = tracedx({"batch", "--jobs", "2", "traces", "lines.jsonl", "nope.json"}, dir);
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> ids, kinds;
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    auto doc = Json::parse(r.out.substr(start, end - start));
    ids.push_back(doc["id"]);
    kinds.push_back(doc.contains("error") ? std::string(doc["error"])
                                          : std::string(doc["diagnosis"]["outcome"]));
    start = end + 1;
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"traces/a/z.json", "traces/b.json", "traces/c.json",
                                           "lines.jsonl:1", "lines.jsonl:3", "lines.jsonl:4",
                                           "nope.json"}));
  EXPECT_EQ(kinds[0], "failed");
  EXPECT_EQ(kinds[1], "success");
  EXPECT_EQ(kinds[2].rfind("traces/c.json: invalid JSON at line 1", 0), 0u) << kinds[2];
  EXPECT_EQ(kinds[4], "fixture.run missing");
  EXPECT_EQ(kinds[6], "nope.json: No such file or directory (os error 2)");
  EXPECT_EQ(r.err,
            "traces: 7, diagnosed: 4, unreadable: 3\noutcomes: success 3, failed 1\n  3  Healthy "
            "run\n  1  Run failure during execution\n");

  auto one = tracedx({"batch", "--jobs", "1", "traces", "lines.jsonl", "nope.json"}, dir);
  EXPECT_EQ(one.out, r.out);
  auto clean = tracedx({"batch", "traces/b.json", "--no-recommendations"}, dir);
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(Json::parse(clean.out)["diagnosis"]["recommendations"], nullptr);
  fs::remove_all(dir);
}

TEST(Tracedx, BatchKeepsOrderOverManyTraces) {
  fs::path dir = test_support::make_temp_dir("batch-many");
  std::string lines;
  for (int i = 0; i < 500; ++i) {
    lines +=
        i % 7 == 0
            ? R"({"run":{"status":"failed"},"steps":[{"status":"failed","error_message":"timeout"}]})"
            : R"({"run":{"status":"completed"},"steps":[{"step_type":"plan"}]})";
    lines += "\n";
  }
  write_text(dir / "many.jsonl", lines);
  auto four = tracedx({"batch", "--jobs", "4", "many.jsonl"}, dir);
  auto one = tracedx({"batch", "--jobs", "1", "-"}, dir, lines);
  EXPECT_EQ(four.status, 0);
  // Same lines in the same order; only the ids' file part differs.
  std::string renamed = one.out;
  for (size_t at; (at = renamed.find("\"-:")) != std::string::npos;)
    renamed.replace(at, 3, "\"many.jsonl:");
  EXPECT_EQ(four.out, renamed);
  EXPECT_EQ(four.err,
            "traces: 500, diagnosed: 500, unreadable: 0\noutcomes: success 428, failed 72\n  428  "
            "Healthy run\n  72  Timeout or stalled "
            "execution\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

TEST(Tracedx, ImportAndFromOptions) {
  auto imported =
      tracedx({"import", "--from", "otlp", "src/Test/imports/genai_tool_failure.otlp.json"});
  EXPECT_EQ(imported.status, 0) << imported.err;
  // The sample workspace keeps the imported fixture, so import and fixture agree.
  EXPECT_EQ(imported.out,
            read_text(kSource / "src/Test/fixtures/imported_genai_tool_failure.json"));
  auto direct = tracedx(
      {"diagnose", "--from", "otlp", "src/Test/imports/genai_tool_failure.otlp.json", "--compact"});
  EXPECT_EQ(Json::parse(direct.out)["root_cause"]["label"], "Tool failure or misuse");
  auto chat = tracedx({"diagnose", "--from=chat",
                       "src/Test/imports/group_chat_search_loop.chat.json", "--compact"});
  EXPECT_EQ(Json::parse(chat.out)["root_cause"]["label"],
            "Navigation / retrieval loop without progress");
  // Without --from the format is told from the input.
  auto no_from = tracedx({"import", "src/Test/imports/genai_tool_failure.otlp.json"});
  EXPECT_EQ(no_from.status, 0) << no_from.err;
  EXPECT_EQ(no_from.out, imported.out);
  auto fixture_in = tracedx({"import", "src/Test/fixtures/healthy_run.json"});
  EXPECT_EQ(fixture_in.status, 1);
  EXPECT_EQ(fixture_in.err,
            "Error: src/Test/fixtures/healthy_run.json is a fixture document already; import "
            "reads OTLP exports and chat transcripts\n");
  for (const char* sample : {"src/Test/imports/genai_tool_failure.otlp.json",
                             "src/Test/imports/openinference_rag_empty_retrieval.otlp.jsonl",
                             "src/Test/imports/group_chat_search_loop.chat.json"}) {
    auto detected = tracedx({"diagnose", sample, "--compact"});
    const std::string from =
        std::string(sample).find(".chat.") != std::string::npos ? "chat" : "otlp";
    auto named = tracedx({"diagnose", "--from", from, sample, "--compact"});
    EXPECT_EQ(detected.status, 0) << sample << detected.err;
    EXPECT_EQ(detected.out, named.out) << sample;
    // One verdict whatever the path: the document import wrote, and batch, say the same.
    fs::path dir = test_support::make_temp_dir("one-verdict");
    auto doc = tracedx({"import", sample});
    write_text(dir / "run.json", doc.out);
    EXPECT_EQ(tracedx({"diagnose", (dir / "run.json").string(), "--compact"}).out, detected.out)
        << sample;
    auto batch = tracedx({"batch", sample});
    auto record = Json::parse(batch.out.substr(0, batch.out.find('\n')));
    EXPECT_EQ(record["diagnosis"], Json::parse(detected.out)) << sample;
    fs::remove_all(dir);
  }
  auto bad = tracedx({"diagnose", "--from", "yaml", "x"});
  EXPECT_EQ(bad.status, 2);

  fs::path dir = test_support::make_temp_dir("otlp");
  // The second export spans several lines; put it on one line to make JSON Lines.
  std::string genai =
      Json::parse(read_text(kSource / "src/Test/imports/genai_tool_failure.otlp.json")).dump();
  write_text(dir / "two.jsonl",
             read_text(kSource / "src/Test/imports/openinference_rag_empty_retrieval.otlp.jsonl") +
                 genai + "\n");
  auto many = tracedx({"diagnose", "--from", "otlp", "two.jsonl"}, dir);
  EXPECT_EQ(many.status, 1);
  EXPECT_NE(many.err.find("holds 2 traces; pick one with --trace-id"), std::string::npos)
      << many.err;
  auto picked = tracedx({"diagnose", "--from", "otlp", "--trace-id",
                         "5b8efff798038103d269b633813fc60c", "two.jsonl", "--compact"},
                        dir);
  EXPECT_EQ(Json::parse(picked.out)["root_cause"]["label"], "Tool failure or misuse");
  // The input is streamed, from a file or standard input alike: the trace picked is the
  // same, and the messages list the ids in order of first appearance.
  const std::string lines = read_text(dir / "two.jsonl");
  auto piped = tracedx({"diagnose", "--from", "otlp", "--trace-id",
                        "5B8EFFF798038103D269B633813FC60C", "-", "--compact"},
                       dir, lines);
  EXPECT_EQ(piped.out, picked.out) << piped.err;
  auto many_piped = tracedx({"import", "--from", "otlp", "-"}, dir, lines);
  EXPECT_EQ(many_piped.err,
            "Error: - holds 2 traces; pick one with --trace-id (traces: "
            "0af7651916cd43dd8448eb211c80319c, 5b8efff798038103d269b633813fc60c)\n");
  auto absent = tracedx({"import", "--from", "otlp", "--trace-id", "ab", "two.jsonl"}, dir);
  EXPECT_EQ(absent.err,
            "Error: two.jsonl: no trace ab (traces: "
            "0af7651916cd43dd8448eb211c80319c, 5b8efff798038103d269b633813fc60c)\n");
  auto batch = tracedx({"batch", "--from", "otlp", "two.jsonl"}, dir);
  EXPECT_EQ(batch.status, 0) << batch.err;
  EXPECT_EQ(batch.err,
            "traces: 2, diagnosed: 2, unreadable: 0\noutcomes: degraded 1, failed 1\n  1  Tool "
            "failure or misuse\n  1  Unsupported "
            "answer after empty retrieval\n");
  EXPECT_EQ(Json::parse(batch.out.substr(0, batch.out.find('\n')))["id"],
            "two.jsonl:0af7651916cd43dd8448eb211c80319c");
  fs::remove_all(dir);
}

// The spans of one small agent run: the agent and one tool call, both ending with the OTLP
// status `code` (1: ok, 2: error).
std::string agent_spans(const std::string& trace_id, int code) {
  const std::string status = R"("status":{"code":)" + std::to_string(code) + "}";
  return R"({"traceId":")" + trace_id +
         R"(","spanId":"00000000000000a1","name":"invoke_agent Planner",)"
         R"("startTimeUnixNano":"1000000000","endTimeUnixNano":"9000000000","attributes":[)"
         R"({"key":"gen_ai.operation.name","value":{"stringValue":"invoke_agent"}}],)" +
         status + R"(},{"traceId":")" + trace_id +
         R"(","spanId":"00000000000000a2","parentSpanId":"00000000000000a1",)"
         R"("name":"execute_tool search","startTimeUnixNano":"2000000000",)"
         R"("endTimeUnixNano":"3000000000","attributes":[)"
         R"({"key":"gen_ai.operation.name","value":{"stringValue":"execute_tool"}},)"
         R"({"key":"gen_ai.tool.name","value":{"stringValue":"search"}}],)" +
         status + "}";
}

// compare takes one OTLP trace per side from inputs holding several: --trace-id for both
// sides, --left-trace-id and --right-trace-id for one each (winning over --trace-id), and
// a missing pick names the option of the side that needs it.
TEST(Tracedx, ComparePicksATracePerSide) {
  const std::string failed = "000000000000000000000000000000f1";
  const std::string passed = "000000000000000000000000000000c2";
  fs::path dir = test_support::make_temp_dir("compare-pick");
  write_text(dir / "runs.json", R"({"resourceSpans":[{"scopeSpans":[{"spans":[)" +
                                    agent_spans(failed, 2) + "," + agent_spans(passed, 1) +
                                    "]}]}]}\n");
  // Each trace alone, as import writes it, is what a side picked must read the same as.
  for (const auto& id : {failed, passed}) {
    auto one = tracedx({"import", "--from", "otlp", "--trace-id", id, "runs.json"}, dir);
    ASSERT_EQ(one.status, 0) << one.err;
    write_text(dir / (id + ".json"), one.out);
  }
  auto labels = [](const std::string& out) {
    auto c = Json::parse(out)["divergence"];
    return std::pair<std::string, std::string>(c["primary_root_cause"]["label"],
                                               c["compared_root_cause"]["label"]);
  };
  struct Picked {
    std::vector<std::string> options;
    std::string left, right;  // the traces each side must read
  } picked[] = {
      {{"--left-trace-id", failed, "--right-trace-id", passed}, failed, passed},
      {{"--left-trace-id", passed, "--right-trace-id", failed}, passed, failed},
      {{"--trace-id", failed}, failed, failed},
      // Upper-case hex names the same trace, as for diagnose.
      {{"--trace-id", "000000000000000000000000000000C2"}, passed, passed},
      {{"--trace-id", failed, "--right-trace-id", passed}, failed, passed},
      {{"--trace-id", passed, "--left-trace-id", failed}, failed, passed},
      // Per-side ids on both sides: a --trace-id no input holds is never looked up.
      {{"--trace-id", "ab", "--left-trace-id", passed, "--right-trace-id", failed}, passed, failed},
  };
  for (const auto& row : picked) {
    std::vector<std::string> args = {"compare", "runs.json", "runs.json", "--compact"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    SCOPED_TRACE(::testing::PrintToString(row.options));
    auto got = tracedx(args, dir);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.err, "");
    auto want = tracedx({"compare", row.left + ".json", row.right + ".json", "--compact"}, dir);
    ASSERT_EQ(want.status, 0) << want.err;
    EXPECT_EQ(got.out, want.out);
    // The two traces diagnose apart, so a side that read the wrong one shows here.
    auto [left, right] = labels(got.out);
    EXPECT_EQ(left != right, row.left != row.right) << left << " / " << right;
  }

  const std::string listed = " (traces: " + failed + ", " + passed + ")\n";
  struct Refused {
    std::vector<std::string> args;
    std::string err;
  } refused[] = {
      {{"compare", "--from", "otlp", "runs.json", "runs.json"},
       "Error: runs.json holds 2 traces; pick one with --left-trace-id" + listed},
      // Told from the input, without --from: the same messages.
      {{"compare", "runs.json", "runs.json", "--left-trace-id", failed},
       "Error: runs.json holds 2 traces; pick one with --right-trace-id" + listed},
      {{"compare", "runs.json", "runs.json", "--right-trace-id", failed},
       "Error: runs.json holds 2 traces; pick one with --left-trace-id" + listed},
      {{"compare", "runs.json", "runs.json", "--trace-id", "ab"},
       "Error: runs.json: no trace ab" + listed},
      {{"compare", "runs.json", "runs.json", "--left-trace-id", failed, "--right-trace-id", "0123"},
       "Error: runs.json: no trace 0123" + listed},
      {{"compare", "runs.json", "runs.json", "--trace-id", "ab", "--left-trace-id", failed},
       "Error: runs.json: no trace ab" + listed},
      // Other commands keep asking for --trace-id.
      {{"diagnose", "runs.json"},
       "Error: runs.json holds 2 traces; pick one with --trace-id" + listed},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto r = tracedx(row.args, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, row.err);
  }

  struct Misused {
    std::vector<std::string> args;
    std::string err_start;
  } misused[] = {
      {{"compare", "runs.json", "runs.json", "--left-trace-id"},
       "tracedx: --left-trace-id needs a value\n"},
      {{"compare", "runs.json", "runs.json", "--right-trace-id"},
       "tracedx: --right-trace-id needs a value\n"},
      {{"diagnose", "runs.json", "--left-trace-id", failed},
       "tracedx: unknown option --left-trace-id\n"},
  };
  for (const auto& row : misused) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto r = tracedx(row.args, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, row.err_start.size()), row.err_start);
  }
  auto help = tracedx({"compare", "--help"});
  for (const char* option : {"  --trace-id ID ", "  --left-trace-id ID ", "  --right-trace-id ID "})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// --run-status replaces the run's status for every source and command.
TEST(Tracedx, RunStatusOnEverySource) {
  struct Row {
    std::vector<std::string> from;
    std::string path;
    std::string stated;
  } rows[] = {
      {{}, "src/Test/fixtures/healthy_run.json", "failed"},
      {{"--from", "otlp"}, "src/Test/imports/genai_tool_failure.otlp.json", "completed"},
      {{"--from=chat"}, "src/Test/imports/group_chat_search_loop.chat.json", "failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    auto args = [&](std::vector<std::string> head, std::vector<std::string> tail) {
      head.insert(head.end(), row.from.begin(), row.from.end());
      head.push_back(row.path);
      head.insert(head.end(), tail.begin(), tail.end());
      return head;
    };
    auto plain = tracedx(args({"diagnose"}, {"--signals", "--compact"}));
    auto stated =
        tracedx(args({"diagnose"}, {"--signals", "--compact", "--run-status", row.stated}));
    ASSERT_EQ(stated.status, 0) << stated.err;
    EXPECT_NE(Json::parse(plain.out)["signals"]["run_status"], row.stated);
    EXPECT_EQ(Json::parse(stated.out)["signals"]["run_status"], row.stated);

    auto batch = tracedx(args({"batch", "--run-status=" + row.stated}, {}));
    EXPECT_EQ(batch.status, 0) << batch.err;
    auto record = Json::parse(batch.out.substr(0, batch.out.find('\n')));
    EXPECT_EQ(
        record["diagnosis"],
        Json::parse(tracedx(args({"diagnose"}, {"--compact", "--run-status", row.stated})).out));

    if (row.from.empty()) continue;  // import needs --from
    auto imported = tracedx(args({"import", "--run-status", row.stated}, {}));
    ASSERT_EQ(imported.status, 0) << imported.err;
    Json doc = Json::parse(imported.out), inferred = Json::parse(tracedx(args({"import"}, {})).out);
    EXPECT_EQ(doc["run"]["status"], row.stated);
    inferred["run"]["status"] = row.stated;
    inferred["run"].erase("status_inferred");  // stated, so no longer inferred
    EXPECT_EQ(doc, inferred);                  // nothing else changes
  }

  // compare: --run-status for the primary run, --compared-run-status for the compared one.
  const std::string healthy = "src/Test/fixtures/healthy_run.json";
  auto same = tracedx({"compare", healthy, healthy, "--compact"});
  auto primary = tracedx({"compare", healthy, healthy, "--compact", "--run-status", "failed"});
  auto compared =
      tracedx({"compare", healthy, healthy, "--compact", "--compared-run-status", "failed"});
  ASSERT_EQ(primary.status, 0) << primary.err;
  ASSERT_EQ(compared.status, 0) << compared.err;
  EXPECT_NE(Json::parse(primary.out)["divergence"]["title"],
            Json::parse(same.out)["divergence"]["title"]);
  EXPECT_NE(Json::parse(compared.out)["divergence"]["title"],
            Json::parse(same.out)["divergence"]["title"]);

  // A fixture without a run object stays refused.
  auto no_run = tracedx({"diagnose", "-", "--run-status", "failed"}, kSource, R"({"steps":[]})");
  EXPECT_EQ(no_run.status, 1);
  EXPECT_EQ(no_run.err, "Error: fixture.run missing\n");

  struct Usage {
    std::vector<std::string> args;
    std::string err_start;
  } usage[] = {
      {{"diagnose", "a", "--run-status", "success"},
       "tracedx: --run-status needs failed or completed, got \"success\"\n"},
      {{"import", "--from", "chat", "a", "--run-status=Failed"},
       "tracedx: --run-status needs failed or completed, got \"Failed\"\n"},
      {{"batch", "a", "--run-status"}, "tracedx: --run-status needs a value\n"},
      {{"compare", "a", "b", "--compared-run-status", ""},
       "tracedx: --compared-run-status needs failed or completed, got \"\"\n"},
      {{"diagnose", "a", "--compared-run-status", "failed"},
       "tracedx: unknown option --compared-run-status\n"},
  };
  for (const auto& row : usage) {
    auto r = tracedx(row.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, row.err_start.size()), row.err_start);
  }
  for (const char* command : {"diagnose", "compare", "import", "batch"}) {
    auto help = tracedx({command, "--help"});
    EXPECT_NE(help.out.find("--run-status S  failed or completed"), std::string::npos) << command;
  }
}

// Runs a shell command line (bash) in `cwd`, with $0 set to the tracedx binary.
test_support::CommandResult shell(const std::string& script, const fs::path& cwd = kSource) {
  return run_command({"/bin/bash", "-c", script, TRACEDX_BIN}, cwd);
}

// Each command takes the formats it writes, its default first in the help and the message.
TEST(Tracedx, FormatsComeFromOneTable) {
  struct Row {
    std::vector<std::string> args;
    std::string format;
    int status;
    std::string message;  // in standard error; empty: none
  } rows[] = {
      {{"diagnose", "src/Test/fixtures/tool_failure.json"},
       "junit",
       2,
       "--format needs json, text or html, got \"junit\""},
      {{"compare", "src/Test/fixtures/tool_failure.json", "src/Test/fixtures/tool_failure.json"},
       "xml",
       2,
       "--format needs json, text or html, got \"xml\""},
      {{"report", "/dev/null"}, "junit", 2, "--format needs json, text or html, got \"junit\""},
      {{"gate", "/dev/null", "/dev/null"}, "junit", 0, ""},
      {{"gate", "/dev/null", "/dev/null"},
       "",
       2,
       "--format needs text, json, html or junit, got \"\""},
  };
  for (const auto& row : rows) {
    auto args = row.args;
    args.push_back("--format=" + row.format);
    auto r = tracedx(args);
    EXPECT_EQ(r.status, row.status) << row.args[0] << " " << row.format << r.err;
    if (!row.message.empty()) {
      EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    }
  }
  EXPECT_NE(tracedx({"gate", "--help"}).out.find("text (default), json, html or junit (JUnit XML)"),
            std::string::npos);
  EXPECT_NE(tracedx({"diagnose", "--help"}).out.find("json (default), text or html"),
            std::string::npos);
}

// Colour on a terminal unless NO_COLOR holds a value: an empty NO_COLOR asks for nothing.
TEST(Tracedx, NoColorOnlyWhenNotEmpty) {
  if (shell("command -v script").status != 0) GTEST_SKIP() << "no script(1) for a terminal";
  struct Row {
    const char* environment;
    bool colour;
  } rows[] = {
      {"unset NO_COLOR;", true}, {"export NO_COLOR=;", true}, {"export NO_COLOR=1;", false}};
  for (const auto& row : rows) {
    auto r = shell(std::string(row.environment) +
                   " script -qec \"$0 diagnose src/Test/fixtures/tool_failure.json --format text\" "
                   "/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\x1b[") != std::string::npos, row.colour) << row.environment;
  }
}

// Reports that cannot be written fail the command: a full disk, a closed descriptor.
TEST(Tracedx, FailedWritesToStandardOutput) {
  const std::string fixture = "src/Test/fixtures/tool_failure.json";
  const std::string imported = "src/Test/imports/genai_tool_failure.otlp.json";
  const std::string commands[] = {
      "diagnose " + fixture,
      "diagnose " + fixture + " --format text",
      "diagnose " + fixture + " --format html",
      "compare " + fixture + " src/Test/fixtures/healthy_run.json",
      "import --from otlp " + imported,
      "batch " + fixture + " src/Test/fixtures",
      "--version",
      "--help",
      "compare --help",
      "serve --help",
      // Its batch goes to a temporary file, which must not take the closed descriptor 1.
      "report --run " + fixture,
  };
  struct Sink {
    const char* redirect;
    const char* reason;
  } sinks[] = {{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const auto& command : commands) {
    for (const auto& sink : sinks) {
      auto r = shell("exec \"$0\" " + command + " " + sink.redirect);
      EXPECT_EQ(r.status, 1) << command << " " << sink.redirect;
      // The one line, after the batch summary that report --run writes on standard error.
      const std::string message =
          std::string("Error: cannot write to standard output: ") + sink.reason + "\n";
      const size_t summary =
          command.starts_with("report") ? r.err.rfind('\n', r.err.size() - 2) + 1 : 0;
      EXPECT_EQ(r.err.substr(summary), message) << command << " " << sink.redirect;
      EXPECT_EQ(r.err.find("Error: "), summary) << r.err;
    }
  }
}

// Nothing written, nothing to report: a command that fails before it writes says why, once.
TEST(Tracedx, ClosedStandardOutputUnwrittenIsNoError) {
  auto r = shell("exec \"$0\" diagnose missing.json >&-");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: missing.json: No such file or directory (os error 2)\n");
}

// serve reads its command line with the other commands: the same messages, its help
// generated from its option rows, and the checks that span several options.
TEST(Tracedx, ServeCommandLine) {
  const fs::path dir = test_support::make_temp_dir("serve-usage");
  struct Row {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"extra"}, "serve takes no arguments, got \"extra\""},
      {{"-x"}, "unknown option -x"},
      {{"--bogus=1"}, "unknown option --bogus"},
      {{"--format", "json"}, "unknown option --format"},
      {{"--listen"}, "--listen needs a value"},
      {{"--no-grpc=yes"}, "--no-grpc takes no value"},
      {{"--listen", "localhost"},
       "--listen needs HOST:PORT (an IPv6 host in brackets), got \"localhost\""},
      {{"--memory-budget-mb", "8"},
       "--memory-budget-mb needs a number from 16 to 1048576, got \"8\""},
      {{"--token-file", "missing"},
       "--token-file: missing: No such file or directory (os error 2)"},
      // Any address but loopback needs the token, on either listener.
      {{"--listen", "0.0.0.0:0"},
       "listening on 0.0.0.0 (not a loopback address) needs --token-file: every request must "
       "then carry its bearer token"},
      {{"--listen", "127.0.0.1:0", "--grpc-listen", "[::]:0"},
       "listening on :: (not a loopback address) needs --token-file: every request must then "
       "carry its bearer token"},
      {{"--grpc-listen", "127.0.0.1:0", "--no-grpc"},
       "--grpc-listen and --no-grpc cannot be given together"},
      {{"--no-grpc", "--grpc-listen=127.0.0.1:0"},
       "--grpc-listen and --no-grpc cannot be given together"},
  };
  auto help = tracedx({"serve", "--help"});
  ASSERT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const auto& row : rows) {
    std::vector<std::string> args = {"/usr/bin/timeout", "-s", "KILL", "30", TRACEDX_BIN, "serve"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    auto r = run_command(args, dir);
    EXPECT_EQ(r.status, 2) << row.message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tracedx: " + row.message + "\n\n" + help.out) << row.message;
  }
  EXPECT_FALSE(fs::exists(dir / "tracedx.db"));  // no server was started
  fs::remove_all(dir);

  // Every row of the table is in the help, in order; the endpoints have their paragraph.
  EXPECT_EQ(help.out.rfind("usage: tracedx serve [options]\n\n", 0), 0u);
  size_t at = help.out.find("\noptions:\n");
  ASSERT_NE(at, std::string::npos);
  for (const auto& o : cli::kServeOptions) {
    at = help.out.find("\n  " + std::string(o.name) + " " + std::string(o.help) + "\n", at);
    EXPECT_NE(at, std::string::npos) << o.name;
  }
  EXPECT_NE(help.out.find("POST /v1/traces"), std::string::npos);
  // The command list comes from the same table as the other commands.
  auto main_help = tracedx({"--help"});
  EXPECT_NE(main_help.out.find("\n  gate BASELINE CANDIDATE [options]\n  serve [options]\n\n"),
            std::string::npos)
      << main_help.out;
}

// With SIGPIPE ignored, a reader that goes away stops a batch reading an endless input.
TEST(Tracedx, BatchStopsWhenItsReaderCloses) {
  for (const char* jobs : {"1", "3"}) {
    auto r =
        shell(std::string("trap '' PIPE; ") +
                  "yes '{\"run\":{\"status\":\"failed\"},\"steps\":[{\"status\":\"failed\"}]}' "
                  "| { timeout 60 \"$0\" batch --jobs " +
                  jobs + " - 2>err.txt; echo $? >status.txt; } | head -n 1 >/dev/null; " +
                  "cat err.txt; exit $(cat status.txt)",
              test_support::make_temp_dir("pipe"));
    EXPECT_EQ(r.status, 1) << "jobs " << jobs;  // 124 when the timeout had to stop it
    EXPECT_EQ(r.out, "Error: cannot write to standard output: Broken pipe\n") << "jobs " << jobs;
  }
}

#ifndef TRACEDX_SANITIZED
// Memory that runs out gives one error line, not an abort.
TEST(Tracedx, OutOfMemoryIsAnError) {
  fs::path dir = test_support::make_temp_dir("oom");
  write_text(dir / "big.json", R"({"run":{"status":"failed"},"steps":[{"status":"failed",)"
                               R"("step_type":"tool","raw_output":")" +
                                   std::string(48u << 20, 'a') + R"("}]})");
  write_text(dir / "small.json", R"({"run":{},"steps":[]})");
  const std::string limit = "ulimit -v 150000; exec \"$0\" ";
  for (const char* command : {"diagnose big.json", "compare big.json big.json"}) {
    auto r = shell(limit + command, dir);
    EXPECT_EQ(r.status, 1) << command << r.err;
    EXPECT_EQ(r.err, "Error: out of memory\n") << command;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(shell(limit + "diagnose small.json", dir).status, 0);  // the limit leaves room
  fs::remove_all(dir);
}
#endif

#ifndef TRACEDX_SANITIZED
// Memory exhausted by millions of small values: the values built so far are released
// without allocating, so this is an error line (diagnose) or record (batch), not an abort.
TEST(Tracedx, OutOfMemoryAmongSmallValuesIsAnError) {
  fs::path dir = test_support::make_temp_dir("oom-small");
  std::string doc = R"({"run":{"status":"failed"},"steps":[{"status":"failed","raw_output":[)";
  for (int i = 0; i < 3000000; ++i) doc += i ? ",[0,1]" : "[0,1]";
  doc += "]}]}";
  write_text(dir / "many.json", doc);
  write_text(dir / "many.jsonl", doc + "\n" + R"({"run":{},"steps":[]})" + "\n");
  const std::string limit = "ulimit -v 450000; exec \"$0\" ";
  auto r = shell(limit + "diagnose many.json", dir);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "Error: out of memory\n");
  auto b = shell(limit + "batch --jobs 1 many.jsonl", dir);
  EXPECT_EQ(b.status, 1) << b.err;
  EXPECT_EQ(b.out.substr(0, b.out.find('\n')),
            R"({"id":"many.jsonl:1","error":"many.jsonl:1: out of memory"})");
  EXPECT_NE(b.out.find(R"({"id":"many.jsonl:2","diagnosis":)"), std::string::npos);
  fs::remove_all(dir);
}
#endif

// Trace texts cannot drive the terminal: control characters are shown, not sent.
TEST(Tracedx, TextReportsShowControlCharacters) {
  fs::path dir = test_support::make_temp_dir("escapes");
  write_text(
      dir / "a.json",
      R"({"run":{"status":"failed"},"steps":[{"status":"failed","step_type":"tool",)"
      R"("display_name":"\u001b]0;owned\u0007\u001b[2J\u009b31m\u007f","error_message":"x\ty\nz"}]})");
  write_text(dir / "b.json", R"({"run":{"status":"completed"},"steps":[{"step_type":"plan"}]})");
  for (std::vector<std::string> args : {std::vector<std::string>{"diagnose", "a.json"},
                                        std::vector<std::string>{"compare", "a.json", "b.json"}}) {
    args.push_back("--format=text");
    auto r = tracedx(args, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\\x1b]0;owned\\x07\\x1b[2J\\u009b31m\\x7f"), std::string::npos) << r.out;
    for (size_t i = 0; i < r.out.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(r.out[i]);
      bool c1 = c == 0xc2 && i + 1 < r.out.size() &&
                (static_cast<unsigned char>(r.out[i + 1]) & 0xe0) == 0x80;
      EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7f || c1) << args[0] << " byte " << i;
    }
  }
  fs::remove_all(dir);
}

// What import writes loads again, also when the run held values nested as deep as the
// loader allows (the fixture's own levels come on top).
TEST(Tracedx, ImportedDocumentsLoadAgain) {
  fs::path dir = test_support::make_temp_dir("import-depth");
  const std::string deep = std::string(128, '[') + std::string(128, ']');
  Json otlp = {
      {"resourceSpans",
       {{{"scopeSpans",
          {{{"spans",
             {{{"traceId", "aa"},
               {"spanId", "01"},
               {"name", "lookup"},
               {"startTimeUnixNano", "1"},
               {"endTimeUnixNano", "2000000"},
               {"attributes",
                {{{"key", "input.value"}, {"value", {{"stringValue", deep}}}},
                 {{"key", "output.value"}, {"value", {{"stringValue", "[[1]]"}}}}}}}}}}}}}}}};
  write_text(dir / "deep.otlp.json", otlp.dump());
  auto imported = tracedx({"import", "--from", "otlp", "deep.otlp.json"}, dir);
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.err,
            "note: 1 values nested deeper than 128 levels were written as JSON text\n");
  write_text(dir / "fixture.json", imported.out);
  auto again = tracedx({"diagnose", "fixture.json", "--compact"}, dir);
  EXPECT_EQ(again.status, 0) << again.err;
  auto direct = tracedx({"diagnose", "--from", "otlp", "deep.otlp.json", "--compact"}, dir);
  EXPECT_EQ(direct.out, again.out);
  auto doc = Json::parse(imported.out);
  EXPECT_EQ(doc["steps"][0]["raw_output"], Json::parse("[[1]]"));  // shallow values stay
  fs::remove_all(dir);
}

// One OTLP export line holding one span for each of the given trace ids.
std::string otlp_line(const std::vector<std::string>& trace_ids, const std::string& status = "") {
  std::string spans;
  for (const auto& id : trace_ids) {
    spans += std::string(spans.empty() ? "" : ",") + R"({"traceId":")" + id +
             R"(","spanId":"a1","name":"search","status":{"code":)" +
             (status.empty() ? "1" : status) + "}}";
  }
  return R"({"resourceSpans":[{"scopeSpans":[{"spans":[)" + spans + "]}]}]}\n";
}

std::vector<std::string> record_ids(const std::string& out) {
  std::vector<std::string> ids;
  for (size_t start = 0; start < out.size();) {
    size_t end = out.find('\n', start);
    ids.push_back(Json::parse(out.substr(start, end - start))["id"]);
    start = end + 1;
  }
  return ids;
}

std::string hex_id(int i) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%032x", i + 1);
  return buf;
}

// The one-line export OTLP/HTTP JSON exporters send: 2,000 traces on one line, each read
// once (this took minutes when every trace re-read the line).
TEST(TracedxInput, OneLineExportOfManyTraces) {
  fs::path dir = test_support::make_temp_dir("otlp-one-line");
  std::vector<std::string> ids;
  for (int i = 0; i < 2000; ++i) ids.push_back(hex_id(i));
  write_text(dir / "export.jsonl", otlp_line(ids));
  auto r = tracedx({"batch", "--from", "otlp", "--jobs", "2", "export.jsonl"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  auto got = record_ids(r.out);
  ASSERT_EQ(got.size(), 2000u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], "export.jsonl:" + ids[i]);
  fs::remove_all(dir);
}

// OTLP from standard input (a pipe) and from a FIFO: no span is lost to a second pass
// that cannot seek, and the records are those of the same file.
TEST(TracedxInput, OtlpFromPipeAndFifo) {
  std::signal(SIGPIPE, SIG_IGN);
  fs::path dir = test_support::make_temp_dir("otlp-stream");
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += otlp_line({hex_id(i % 100)}, i >= 200 && i % 7 == 0 ? "2" : "1");
  write_text(dir / "file.jsonl", text);
  auto file = tracedx({"batch", "--from", "otlp", "file.jsonl"}, dir);
  ASSERT_EQ(record_ids(file.out).size(), 100u);
  auto rename = [](std::string out, const std::string& from) {
    for (size_t at; (at = out.find("\"" + from + ":")) != std::string::npos;)
      out.replace(at, from.size() + 2, "\"file.jsonl:");
    return out;
  };
  auto piped = tracedx({"batch", "--from", "otlp", "-"}, dir, text);
  EXPECT_EQ(piped.status, file.status);
  EXPECT_EQ(rename(piped.out, "-"), file.out);
  EXPECT_EQ(piped.err, file.err);

  ASSERT_EQ(::mkfifo((dir / "spans.fifo").c_str(), 0600), 0);
  std::thread writer([&] {
    int fd = ::open((dir / "spans.fifo").c_str(), O_WRONLY);
    if (fd < 0) return;
    for (size_t at = 0; at < text.size();) {
      ssize_t n = ::write(fd, text.data() + at, text.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::close(fd);
  });
  auto fifo = tracedx({"batch", "--from", "otlp", "spans.fifo"}, dir);
  writer.join();
  EXPECT_EQ(rename(fifo.out, "spans.fifo"), file.out);
  // The diagnosis of one trace from a pipe sees all its spans too.
  auto one =
      tracedx({"diagnose", "--from", "otlp", "--trace-id", hex_id(5), "-", "--compact"}, dir, text);
  EXPECT_EQ(one.status, 0) << one.err;
  fs::remove_all(dir);
}

// A directory holding a FIFO and a link to a device: only regular files are taken, so
// the batch neither hangs nor grows without end.
TEST(TracedxInput, DirectoryTakesRegularFilesOnly) {
  fs::path dir = test_support::make_temp_dir("batch-special");
  write_text(dir / "in/a.json", R"({"run":{"status":"completed"},"steps":[]})");
  ASSERT_EQ(::mkfifo((dir / "in/f.json").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir / "in/z.json");
  auto r = tracedx({"batch", "in"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(record_ids(r.out), (std::vector<std::string>{"in/a.json"}));
  // Named explicitly, a device is read as a stream and stops at the bound for one line.
  fs::remove_all(dir);
}

TEST(TracedxInput, MalformedOtlpLineIsOneRecord) {
  fs::path dir = test_support::make_temp_dir("otlp-bad-line");
  std::string cut = otlp_line({hex_id(1), hex_id(2)});
  write_text(dir / "x.jsonl", otlp_line({hex_id(0)}) + cut.substr(0, 100) + "\n" +
                                  otlp_line({hex_id(2)}) + otlp_line({hex_id(3)}));
  auto r = tracedx({"batch", "--from", "otlp", "x.jsonl"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(record_ids(r.out),
            (std::vector<std::string>{"x.jsonl:" + hex_id(0), "x.jsonl:2", "x.jsonl:" + hex_id(1),
                                      "x.jsonl:" + hex_id(2), "x.jsonl:" + hex_id(3)}));
  EXPECT_NE(r.out.find("\"error\":\"x.jsonl: invalid JSON at line 2, column 101: "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"error\":\"x.jsonl: trace " + hex_id(1) +
                       " is incomplete: line 2 could not be read\""),
            std::string::npos);
  EXPECT_EQ(r.err.substr(0, 39), "traces: 5, diagnosed: 3, unreadable: 2\n");
  fs::remove_all(dir);
}

// File names that are not UTF-8 keep distinct ids: their bytes are escaped.
TEST(TracedxInput, NamesThatAreNotUtf8) {
  fs::path dir = test_support::make_temp_dir("batch-bytes");
  const std::string ok = R"({"run":{"status":"completed"},"steps":[]})";
  write_text(dir / "in/a\xff.json", ok);
  write_text(dir / "in/a\xfe.json", ok);
  auto r = tracedx({"batch", "in"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(record_ids(r.out), (std::vector<std::string>{"in/a\\xfe.json", "in/a\\xff.json"}));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// A trace that does not fit in the memory left is an error record; the batch goes on.
// Address-space limits do not mix with the sanitizers' shadow memory, so not there.
TEST(TracedxInput, OutOfMemoryIsOneRecord) {
#ifdef TRACEDX_SANITIZED
  GTEST_SKIP() << "address-space limit under sanitizers";
#endif
  fs::path dir = test_support::make_temp_dir("batch-oom");
  // A 150 MB text: its parse needs more than the limit leaves. (Memory exhausted by many
  // small values can still abort: the JSON library allocates while it destroys a tree.)
  std::string big = R"({"run":{"status":"completed"},"steps":[{"raw_output":")" +
                    std::string(150 << 20, 'a') + "\"}]}\n";
  write_text(dir / "x.jsonl", big + R"({"run":{"status":"completed"},"steps":[]})" + "\n");
  auto r = test_support::run_command(
      {"/bin/sh", "-c",
       std::string("ulimit -v 700000; exec ") + TRACEDX_BIN + " batch --jobs 1 x.jsonl"},
      dir);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(record_ids(r.out), (std::vector<std::string>{"x.jsonl:1", "x.jsonl:2"}));
  EXPECT_NE(r.out.find(R"({"id":"x.jsonl:1","error":"x.jsonl:1: out of memory"})"),
            std::string::npos)
      << r.out.substr(0, 300);
  fs::remove_all(dir);
}

// Read-ahead counts what traces become, not their bytes: eight lines of a million empty
// steps (3 MB each, about 190 MB each to diagnose) with eight jobs are held a few at a time,
// so they fit where all eight at once (1.5 GB) would not.
TEST(TracedxInput, ReadAheadIsBoundedByMemory) {
#ifdef TRACEDX_SANITIZED
  GTEST_SKIP() << "address-space limit under sanitizers";
#endif
  fs::path dir = test_support::make_temp_dir("batch-ahead");
  std::string line = R"({"run":{"status":"completed"},"steps":[{})";
  for (int i = 1; i < 1000000; ++i) line += ",{}";
  line += "]}\n";
  std::string lines;
  for (int i = 0; i < 8; ++i) lines += line;
  write_text(dir / "x.jsonl", lines);
  auto r = test_support::run_command(
      {"/bin/sh", "-c",
       std::string("ulimit -v 1200000; exec ") + TRACEDX_BIN + " batch --jobs 8 x.jsonl"},
      dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "traces: 8, diagnosed: 8, unreadable: 0\noutcomes: success 8\n  8  Healthy run\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx
