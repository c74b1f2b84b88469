// The analysis of recorded runs: one small run per detector, with what it must name, and
// runs whose texts look alarming but whose structure shows nothing wrong.
#include "analysis/recorded_analysis.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "import/importers.h"
#include "input/input.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

Trace recorded(const std::string& steps, const std::string& run = R"("status": "completed")") {
  Json doc = Json::parse(R"({"run": {"recorded_from": "otlp", "status_inferred": true, )" + run +
                         R"(, "title": "Agent"}, "steps": )" + steps + "}");
  auto trace = build_trace("t", std::move(doc));
  EXPECT_TRUE(trace) << trace.error().text();
  return std::move(*trace);
}

struct Row {
  const char* name;
  std::string steps;
  std::string run;
  const char* label;
  std::optional<int64_t> anchor;
  const char* agent;     // nullptr: not checked
  const char* evidence;  // a substring of some evidence line, or nullptr
  const char* outcome;
};

std::string step(int i, const char* type, const char* name, const char* status,
                 const std::string& extra = "") {
  return std::string(R"({"id": "s)") + std::to_string(i) + R"(", "step_index": )" +
         std::to_string(i) + R"(, "step_type": ")" + type + R"(", "display_name": ")" + name +
         R"(", "status": ")" + status + R"(")" + (extra.empty() ? "" : ", " + extra) + "}";
}

std::string list(std::initializer_list<std::string> steps) {
  std::string out = "[";
  for (const auto& s : steps) out += (out.size() > 1 ? ", " : "") + s;
  return out + "]";
}

const std::string kAgent = R"("metadata": {"agent": "Helper"})";
std::string meta(const std::string& extra) {
  return R"("metadata": {"agent": "Helper", )" + extra + "}";
}
const std::string kStated = R"("status": "failed")";
const std::string kAnswer = R"("raw_output": "Your order ships on Friday.")";
const std::string kDecline = R"("raw_output": "Sorry, I could not reach the service.")";

TEST(RecordedAnalysis, EachDetectorNamesItsStepAndAgent) {
  const std::string search_empty =
      R"("raw_input": {"q": "refund"}, "raw_output": {"results": []}, )" + kAgent;
  const Row rows[] = {
      {"repeated empty search",
       list({step(0, "tool_call", "kb_search", "completed", search_empty),
             step(1, "tool_call", "kb_search", "completed", search_empty),
             step(2, "tool_call", "kb_search", "completed", search_empty),
             step(3, "final_answer", "chat", "completed", kDecline)}),
       R"("status": "completed")", "Navigation / retrieval loop without progress", 1, "Helper",
       "kb_search was called 3 times with the same arguments {\"q\":\"refund\"}", "failed"},
      {"rate limit from the HTTP status",
       list({step(0, "llm_reasoning", "chat", "failed",
                  R"("error_message": "Too many requests", )" +
                      meta(R"("http.response.status_code": 429)"))}),
       R"("status": "failed")", "Rate limit reached", 0, "Helper",
       "Error class: rate limit (HTTP status 429)", "failed"},
      {"rate limit from the status that starts the message",
       list({step(0, "agent_run", "Summarizer", "failed",
                  R"("error_message": "429 Rate limit reached for gpt-4o-mini")")}),
       kStated, "Rate limit reached", 0, "Summarizer", nullptr, "failed"},
      {"server error retried",
       list({step(0, "llm_reasoning", "chat", "failed",
                  R"("error_message": "500 boom", )" +
                      meta(R"("error.type": "InternalServerError")")),
             step(1, "final_answer", "chat", "completed", kAnswer)}),
       R"("status": "completed")", "Recovered error after retry", 0, "Helper",
       "step 1 retried it successfully", "degraded"},
      {"timeout retried",
       list({step(0, "llm_reasoning", "chat", "failed",
                  R"("error_message": "Request timed out.", )" + kAgent),
             step(1, "final_answer", "chat", "completed", kAnswer)}),
       R"("status": "completed")", "Recovered timeout after retry", 0, nullptr, nullptr,
       "degraded"},
      {"tool error that stopped the run",
       list(
           {step(
                0, "tool_call", "query_orders", "failed",
                R"("error_message": "connect ECONNREFUSED 10.0.0.5:5432", "raw_input": {"id": 7}, )" +
                    kAgent),
            step(1, "final_answer", "chat", "completed", kDecline)}),
       R"("status": "failed")", "Tool failure or misuse", 0, "Helper",
       "Error class: connection failure (error type ECONNREFUSED)", "failed"},
      {"authentication",
       list({step(0, "llm_reasoning", "chat", "failed",
                  R"("error_message": "401 Incorrect API key", )" + kAgent)}),
       R"("status": "failed")", "Authentication or permission failure", 0, nullptr, nullptr,
       "failed"},
      {"turn limit",
       list({step(0, "tool_call", "read_file", "completed",
                  R"("raw_input": {"p": "a"}, "raw_output": "x", )" + kAgent),
             step(1, "agent_run", "Reviewer", "failed",
                  R"("error_message": "Max turns (4) exceeded")")}),
       kStated, "Turn or iteration limit reached", 1, "Reviewer", nullptr, "failed"},
      {"output that is not JSON",
       list(
           {step(0, "final_answer", "chat", "completed", kAnswer + ", " + kAgent),
            step(
                1, "agent_run", "Extractor", "failed",
                R"("error_message": "Expected double-quoted property name in JSON at position 45", "metadata": {"exception.type": "SyntaxError"})")}),
       kStated, "Invalid JSON response", 0, "Helper", "The failure shows at step 1 (Extractor)",
       "failed"},
      {"answer without evidence, whatever its wording",
       list({step(0, "retrieval", "policy_search", "completed",
                  R"("raw_output": [], "metadata": {"results_count": 0, "agent": "Bot"})"),
             step(1, "final_answer", "chat", "completed",
                  R"("raw_output": "Within 45 days for a full refund.")")}),
       R"("status": "completed")", "Unsupported answer after empty retrieval", 1, nullptr,
       "none returned anything", "degraded"},
      {"a failed worker whose parent went on",
       list({step(0, "delegation", "Researcher", "failed",
                  R"("error_message": "503 from warehouse", "metadata": {"agent": "Supervisor"})"),
             step(1, "final_answer", "chat", "completed",
                  kAnswer + R"(, "metadata": {"agent": "Supervisor"})")}),
       R"("status": "completed")", "Missing delegated worker result", 0, "Researcher",
       "Its parent Supervisor went on without its result", "failed"},
      {"a failure stated, nothing known in it",
       list({step(0, "agent_run", "Checkout", "failed",
                  R"("error_message": "TypeError: Cannot read properties of undefined")")}),
       kStated, "Run failed; no known failure pattern found", 0, "Checkout", nullptr, "failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Trace trace = recorded(row.steps, row.run);
    Diagnosis d = diagnose_trace(trace);
    ASSERT_TRUE(d.root_cause);
    EXPECT_EQ(d.analysis, "recorded");
    EXPECT_EQ(d.root_cause->label, row.label);
    EXPECT_EQ(d.root_cause->step_index, row.anchor);
    ASSERT_TRUE(d.root_cause->culprit);
    if (row.agent) {
      EXPECT_EQ(d.root_cause->culprit->agent, row.agent);
    }
    if (row.evidence) {
      bool found = false;
      for (const auto& line : d.root_cause->evidence)
        found = found || line.find(row.evidence) != std::string::npos;
      EXPECT_TRUE(found) << row.evidence;
    }
    EXPECT_EQ(d.outcome, row.outcome);
    // The exact engine alone when asked, whatever the trace.
    DiagnoseOptions exact;
    exact.exact_engine = true;
    EXPECT_FALSE(diagnose_trace(trace, exact).analysis);
  }
}

// A run stated failed with no steps at all has a finding with no anchor.
TEST(RecordedAnalysis, FailedRunWithoutSteps) {
  auto trace = build_trace(
      "t", Json::parse(R"({"run": {"recorded_from": "chat", "status": "failed"}, "steps": []})"));
  ASSERT_TRUE(trace);
  Diagnosis d = diagnose_trace(*trace);
  ASSERT_TRUE(d.root_cause);
  EXPECT_EQ(d.root_cause->label, "Run failed; no known failure pattern found");
  EXPECT_EQ(d.root_cause->step_index, std::nullopt);
  EXPECT_EQ(d.root_cause->evidence[1], "No step recorded an error");
  EXPECT_EQ(d.outcome, "failed");
}

// Runs whose payloads say alarming things but whose structure shows ordinary work.
TEST(RecordedAnalysis, OrdinaryWorkIsHealthy) {
  const Row rows[] = {
      {"a tool error worked around",
       list({step(0, "tool_call", "get_order", "failed",
                  R"("error_message": "404 order not found", "raw_input": {"id": 1}, )" + kAgent),
             step(1, "tool_call", "search_orders", "completed",
                  R"("raw_input": {"q": "1"}, "raw_output": [{"id": 1}], )" + kAgent),
             step(2, "final_answer", "chat", "completed", kAnswer)}),
       R"("status": "completed")", "Healthy run", std::nullopt, nullptr, nullptr, "success"},
      {"a page about blocking and content filters",
       list(
           {step(
                0, "tool_call", "fetch_page", "completed",
                R"("raw_input": {"url": "u"}, "raw_output": "Requests are blocked by the content filter when they violate the safety policy. Timeout after 30 s.", )" +
                    kAgent),
            step(1, "final_answer", "chat", "completed", kAnswer)}),
       R"("status": "completed")", "Healthy run", std::nullopt, nullptr, nullptr, "success"},
      {"a file that says installed",
       list(
           {step(
                0, "tool_call", "read_file", "completed",
                R"("raw_input": {"p": "README"}, "raw_output": "Once installed, the stalled jobs restart.", )" +
                    kAgent),
            step(1, "final_answer", "chat", "completed", kAnswer)}),
       R"("status": "completed")", "Healthy run", std::nullopt, nullptr, nullptr, "success"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Diagnosis d = diagnose_trace(recorded(row.steps, row.run));
    ASSERT_TRUE(d.root_cause);
    EXPECT_EQ(d.root_cause->label, row.label);
    EXPECT_EQ(d.outcome, row.outcome);
  }
}

// Chat transcripts: tool calls logged as Python text, shell exit codes, failing tests then a
// fix, and the same failing call made again and again.
TEST(RecordedAnalysis, ChatTranscripts) {
  auto diagnose_chat = [](const char* text) {
    auto doc = import_chat(Json::parse(text), "c.json");
    EXPECT_TRUE(doc) << doc.error().text();
    auto trace = build_trace("c.json", std::move(*doc));
    EXPECT_TRUE(trace);
    return diagnose_trace(*trace);
  };
  const char* call =
      R"({"role": "assistant", "content": "", "tool_calls": "[{'function': {'arguments': '{\"id\": \"R1\"}', 'name': 'book'}, 'id': 'c%d', 'type': 'function'}]"})";
  std::string repeated = "[";
  for (int i = 0; i < 3; ++i) {
    char buf[512];
    std::snprintf(buf, sizeof buf, call, i);
    repeated += buf;
    repeated += R"(, {"role": "tool", "name": "book", "tool_call_id": "c)" + std::to_string(i) +
                R"(", "content": "Error: payment does not add up"}, )";
  }
  repeated += R"({"role": "assistant", "content": "Done."}])";
  Diagnosis loop = diagnose_chat(repeated.c_str());
  ASSERT_TRUE(loop.root_cause);
  EXPECT_EQ(loop.root_cause->label, "Reasoning loop without convergence");
  EXPECT_EQ(loop.root_cause->step_index, 2);  // the first repeat
  ASSERT_TRUE(loop.root_cause->culprit);
  EXPECT_EQ(loop.root_cause->culprit->agent, "assistant");
  EXPECT_EQ(loop.root_cause->culprit->tool, "book");
  EXPECT_EQ(loop.root_cause->culprit->arguments, R"({"id":"R1"})");

  // The same long result four times is a loop, its evidence quoting the result's start as
  // JSON; results that part only past the preview are not the same result.
  auto same_data = [&](const std::string& tail_of_last) {
    const std::string text = "r\u00e9sum\u00e9 \\\"line\\\" " + std::string(300, 'x');
    std::string run = "[";
    for (int i = 0; i < 4; ++i) {
      char buf[512];
      std::snprintf(buf, sizeof buf, call, i);
      run += buf;
      run += R"(, {"role": "tool", "name": "book", "tool_call_id": "c)" + std::to_string(i) +
             R"(", "content": ")" + text + (i == 3 ? tail_of_last : "") + R"("}, )";
    }
    return diagnose_chat((run + R"({"role": "assistant", "content": "Done."}])").c_str());
  };
  Diagnosis same = same_data("");
  ASSERT_TRUE(same.root_cause);
  EXPECT_EQ(same.root_cause->label, "Reasoning loop without convergence");
  bool quoted = false;
  for (const auto& e : same.root_cause->evidence)
    quoted = quoted ||
             e.find("the same result: \"r\u00e9sum\u00e9 \\\"line\\\" xx") != std::string::npos;
  EXPECT_TRUE(quoted);
  Diagnosis differ = same_data("y");
  ASSERT_TRUE(differ.root_cause);
  EXPECT_NE(differ.root_cause->label, "Reasoning loop without convergence");

  Diagnosis tests_fixed = diagnose_chat(R"([
    {"role": "user", "content": "Fix the bug"},
    {"role": "assistant", "content": "Run the tests.\n```bash\npytest\n```"},
    {"role": "tool", "name": "bash", "content": "<returncode>1</returncode>\n<output>\nFAILED test_x - AssertionError\nTraceback (most recent call last):\n</output>"},
    {"role": "assistant", "content": "Edit the code.\n```bash\nsed -i s/a/b/ x.py\n```"},
    {"role": "tool", "name": "bash", "content": "<returncode>0</returncode>\n<output>\n</output>"},
    {"role": "assistant", "content": "Run the tests again.\n```bash\npytest\n```"},
    {"role": "tool", "name": "bash", "content": "<returncode>0</returncode>\n<output>\n3 passed\n</output>"},
    {"role": "assistant", "content": "The bug is fixed: x.py now uses b."}])");
  ASSERT_TRUE(tests_fixed.root_cause);
  EXPECT_EQ(tests_fixed.root_cause->label, "Healthy run");
}

// Real runs (tests/data/realruns): solved ones get no failure finding, whatever their texts
// say (tool errors recovered from, failing test runs, tracebacks), and the failed one that
// repeated the same failing call gets its loop.
TEST(RecordedAnalysis, RealRuns) {
  const std::filesystem::path dir =
      std::filesystem::path(TRACEDX_SOURCE_DIR) / "tests/data/realruns";
  struct RealRow {
    const char* file;
    const char* label;
  } rows[] = {
      {"taubench_task11_trial0_solved.json", "Healthy run"},
      {"taubench_task13_trial2_solved.json", "Healthy run"},
      {"swebench_sympy-24443_solved.json", "Healthy run"},
      {"swebench_sympy-22914_solved.json", "Healthy run"},
      {"taubench_task08_trial1_failed.json", "Reasoning loop without convergence"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    auto input = Input::open((dir / row.file).string());
    ASSERT_TRUE(input);
    auto doc = import_document(*input, Source::kDetect);
    ASSERT_TRUE(doc) << doc.error().text();
    auto trace = build_trace(row.file, std::move(*doc));
    ASSERT_TRUE(trace);
    Diagnosis d = diagnose_trace(*trace);
    ASSERT_TRUE(d.root_cause);
    EXPECT_EQ(d.root_cause->label, row.label);
  }
}

}  // namespace
}  // namespace tracedx
