#include "import/importers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "diagnosis/diagnosis.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

struct ImportedTrace {
  std::string id;  // the OTLP traceId (hex)
  Json fixture;    // {"run": {...}, "steps": [...]}
};

// All traces of an OTLP JSON document or JSON Lines text, in order of first appearance, as
// the commands read them; a malformed line fails the whole text.
Result<std::vector<ImportedTrace>> import_otlp(std::string_view bytes, std::string_view where) {
  Input input = Input::of_bytes(bytes, std::string(where));
  std::vector<OtlpItem> items;
  std::optional<Error> failed;
  auto done = for_each_otlp_trace(input, [&](OtlpItem item) {
    if (item.error && !failed) failed = std::move(item.error);
    if (!failed) items.push_back(std::move(item));
  });
  if (!done) return std::move(done).error();
  if (failed) return std::move(*failed);
  // In order of first appearance, whatever line completed each trace.
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  std::vector<ImportedTrace> out;
  for (auto& item : items) out.push_back({std::move(item.trace_id), std::move(item.fixture())});
  return out;
}

// One OTLP export holding the given spans (a JSON array text).
std::string otlp(const std::string& spans) {
  return R"({"resourceSpans":[{"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":)" +
         spans + "}]}]}";
}

std::string span(const std::string& id, const std::string& extra, const std::string& trace = "t1") {
  return R"({"traceId":")" + trace + R"(","spanId":")" + id + R"(","name":"span )" + id + "\"" +
         extra + "}";
}

Json only_trace(const std::string& bytes) {
  auto traces = import_otlp(bytes, "in.json");
  EXPECT_TRUE(traces) << (traces ? "" : traces.error().display());
  if (!traces || traces->size() != 1) return Json();
  return (*traces)[0].fixture;
}

TEST(OtlpImport, OperationsMapToStepTypes) {
  struct Row {
    const char* attribute;
    const char* value;
    const char* step_type;
  } rows[] = {
      {"openinference.span.kind", "RETRIEVER", "retrieval"},
      {"openinference.span.kind", "TOOL", "tool_call"},
      {"openinference.span.kind", "GUARDRAIL", "guardrail_validation"},
      {"openinference.span.kind", "EVALUATOR", "evaluator"},
      {"openinference.span.kind", "AGENT", "delegation"},
      {"gen_ai.operation.name", "execute_tool", "tool_call"},
      {"gen_ai.operation.name", "retrieval", "retrieval"},
      {"gen_ai.operation.name", "plan", "planner"},
      {"gen_ai.operation.name", "search_memory", "search_memory"},
      {"gen_ai.operation.name", "embeddings", "embedding"},
  };
  for (const auto& row : rows) {
    // Under a root span of unknown kind (a wrapper, not a step), so the mapped span is not
    // the root agent.
    Json f = only_trace(otlp(
        "[" + span("r", R"(,"startTimeUnixNano":"1")") + "," +
        span("s",
             std::string(R"(,"parentSpanId":"r","startTimeUnixNano":"2","attributes":[{"key":")") +
                 row.attribute + R"(","value":{"stringValue":")" + row.value + R"("}}])") +
        "]"));
    ASSERT_EQ(f["steps"].size(), 1u) << row.value;
    EXPECT_EQ(f["steps"][0]["step_type"], row.step_type) << row.value;
  }
}

TEST(OtlpImport, EncodingVariants) {
  // Times as strings and numbers, enums as numbers and names, kvlist and array values.
  Json f = only_trace(otlp(
      "[" +
      span("a",
           R"(,"kind":"SPAN_KIND_CLIENT","startTimeUnixNano":1000000,"endTimeUnixNano":"3500000",
        "status":{"code":"STATUS_CODE_ERROR","message":"boom"},
        "attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"execute_tool"}},
          {"key":"n","value":{"intValue":"42"}},{"key":"m","value":{"intValue":7}},
          {"key":"d","value":{"doubleValue":0.5}},{"key":"b","value":{"boolValue":true}},
          {"key":"l","value":{"arrayValue":{"values":[{"stringValue":"x"},{"intValue":"1"}]}}},
          {"key":"o","value":{"kvlistValue":{"values":[{"key":"k","value":{"stringValue":"v"}}]}}},
          {"key":"raw","value":{"bytesValue":"AQI="}},{"key":"ignored","unknownField":1}],
        "futureField":{"x":1})") +
      "]"));
  const Json& s = f["steps"][0];
  EXPECT_EQ(s["status"], "failed");
  EXPECT_EQ(s["error_message"], "boom");
  EXPECT_EQ(s["duration_ms"], 2);
  EXPECT_EQ(s["metadata"]["span_kind"], "SPAN_KIND_CLIENT");
  EXPECT_EQ(s["metadata"]["n"], 42);
  EXPECT_EQ(s["metadata"]["m"], 7);
  EXPECT_EQ(s["metadata"]["d"], 0.5);
  EXPECT_EQ(s["metadata"]["b"], true);
  EXPECT_EQ(s["metadata"]["l"], Json::parse(R"(["x",1])"));
  EXPECT_EQ(s["metadata"]["o"], Json::parse(R"({"k":"v"})"));
  EXPECT_EQ(s["metadata"]["raw"], "AQI=");
  EXPECT_EQ(f["run"]["status"], "failed");
}

TEST(OtlpImport, StatusErrorAndDuration) {
  struct Row {
    const char* extra;
    const char* status;
    Json error;
    Json duration;
  } rows[] = {
      {R"(,"status":{"code":2})", "failed", nullptr, nullptr},
      {R"(,"status":{"code":1},"startTimeUnixNano":"5000000","endTimeUnixNano":"1000000")",
       "completed", nullptr, nullptr},
      {R"(,"startTimeUnixNano":"1000000","endTimeUnixNano":"2999999")", "completed", nullptr, 1},
      {R"(,"events":[{"name":"exception","attributes":[{"key":"exception.type","value":{"stringValue":"ValueError"}},
          {"key":"exception.message","value":{"stringValue":"bad"}}]}])",
       "failed", "ValueError: bad", nullptr},
      {R"(,"attributes":[{"key":"error.type","value":{"stringValue":"timeout"}}])", "failed",
       "timeout", nullptr},
  };
  for (const auto& row : rows) {
    Json s = only_trace(otlp("[" + span("a", row.extra) + "]"))["steps"][0];
    EXPECT_EQ(s["status"], row.status) << row.extra;
    EXPECT_EQ(s.value("error_message", Json()), row.error) << row.extra;
    EXPECT_EQ(s.value("duration_ms", Json()), row.duration) << row.extra;
  }
}

TEST(OtlpImport, JsonLinesOrderGroupingAndContainers) {
  // Two traces; spans of t1 spread over lines in any order; a CHAIN root with children is
  // not a step of its own. Steps sort by start time, then depth.
  std::string lines =
      otlp(
          "[" +
          span(
              "c",
              R"(,"parentSpanId":"root","startTimeUnixNano":"20","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"LLM"}},{"key":"output.value","value":{"stringValue":"Answer"}}])") +
          "]") +
      "\n" + otlp("[" + span("x", R"(,"startTimeUnixNano":"5")", "t2") + "]") + "\n\n" +
      otlp(
          "[" +
          span(
              "root",
              R"(,"startTimeUnixNano":"10","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"CHAIN"}}])") +
          "," +
          span(
              "b",
              R"(,"parentSpanId":"root","startTimeUnixNano":"10","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"RETRIEVER"}}])") +
          "]") +
      "\n";
  auto traces = import_otlp(lines, "in.jsonl");
  ASSERT_TRUE(traces) << traces.error().display();
  ASSERT_EQ(traces->size(), 2u);
  EXPECT_EQ((*traces)[0].id, "t1");
  EXPECT_EQ((*traces)[1].id, "t2");
  const Json& steps = (*traces)[0].fixture["steps"];
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0]["id"], "b");
  EXPECT_EQ(steps[0]["metadata"]["results_count"], 0);  // a retriever that recorded no documents
  EXPECT_EQ(steps[1]["step_type"], "final_answer");     // last model output without tool calls
  EXPECT_EQ(steps[1]["step_index"], 1);
  EXPECT_EQ((*traces)[0].fixture["run"]["title"], "span root");
}

TEST(OtlpImport, OpenInferenceListsReNested) {
  Json s = only_trace(otlp("[" + span("a", R"(,"attributes":[
      {"key":"openinference.span.kind","value":{"stringValue":"RETRIEVER"}},
      {"key":"retrieval.documents.1.document.content","value":{"stringValue":"second"}},
      {"key":"retrieval.documents.0.document.content","value":{"stringValue":"first"}},
      {"key":"input.value","value":{"stringValue":"{\"q\": \"refunds\"}"}},
      {"key":"input.mime_type","value":{"stringValue":"application/json"}}])") +
                           "]"))["steps"][0];
  EXPECT_EQ(s["raw_output"],
            Json::parse(R"([{"document":{"content":"first"}},{"document":{"content":"second"}}])"));
  EXPECT_EQ(s["raw_input"], Json::parse(R"({"q":"refunds"})"));
  EXPECT_EQ(s["metadata"]["results_count"], 2);
}

TEST(OtlpImport, MalformedInputNamesThePlace) {
  struct Row {
    std::string input;
    std::string error;
  } rows[] = {
      {R"({"resourceSpans":{}})", "in.json: resourceSpans is not an array"},
      {R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"a"}]}]}]})",
       "in.json: resourceSpans[0].scopeSpans[0].spans[0]: traceId missing"},
      {R"({"resourceSpans":[{"scopeSpans":[{"spans":[7]}]}]})",
       "in.json: resourceSpans[0].scopeSpans[0].spans[0]: not an object"},
      {"[1]", "in.json: expected an object with resourceSpans"},
      {otlp("[]") + "\n{broken\n", "in.json: invalid JSON at line 2, column 2"},
  };
  for (const auto& row : rows) {
    auto r = import_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display().substr(0, row.error.size()), row.error);
  }
}

TEST(ChatImport, MessagesToSteps) {
  Json chat = Json::parse(R"({"conversation":[
      {"role":"system","content":"You are helpful."},
      {"role":"user","content":[{"type":"text","text":"Find flights"}]},
      {"role":"assistant","content":null,"tool_calls":[{"id":"c1","function":{"name":"search"}}]},
      {"role":"tool","tool_call_id":"c1","content":"Error: 502 from provider\nretry later"},
      {"role":"WebSurfer","content":"Looked at the page"},
      {"role":"assistant","name":"Planner","content":"Next: ask again"},
      {"role":"assistant","content":"No flights found."}]})");
  auto f = import_chat(chat, "c.json");
  ASSERT_TRUE(f);
  const Json& steps = (*f)["steps"];
  std::vector<std::string> types;
  for (const auto& s : steps) types.push_back(s["step_type"]);
  EXPECT_EQ(types, (std::vector<std::string>{"setup", "user_input", "tool_call", "tool_result",
                                             "web_search", "planner", "final_answer"}));
  EXPECT_EQ(steps[3]["status"], "failed");
  EXPECT_EQ(steps[3]["error_message"], "Error: 502 from provider");
  EXPECT_EQ(steps[4]["display_name"], "WebSurfer");
  EXPECT_EQ(steps[5]["display_name"], "Planner");
  EXPECT_EQ((*f)["run"]["title"], "Find flights");
  EXPECT_EQ((*f)["run"]["status"], "completed");
  EXPECT_EQ(steps[2]["raw_input"]["tool_calls"][0]["id"], "c1");
  // The fixture loads and diagnoses like any other.
  auto trace = build_trace("c.json", *f);
  ASSERT_TRUE(trace);
  EXPECT_TRUE(diagnose_run(*trace).root_cause);

  std::string long_text(5000, 'x');
  auto big =
      import_chat(Json::parse(R"([{"role":"assistant","content":")" + long_text + R"("}])"), "c");
  EXPECT_EQ((*big)["steps"][0]["summary"].get<std::string>().size(), 2000u);
  EXPECT_EQ((*big)["steps"][0]["raw_output"].get<std::string>().size(), 5000u);
}

// Messages without a role, or with members of unexpected types, import as steps of
// their own instead of throwing out of the importer.
TEST(ChatImport, OddMessagesImport) {
  const char* rows[] = {
      R"([{"content": 5}])",
      R"([{"role": 1, "name": [], "content": {"text": 3}, "tool_calls": 7}])",
      R"([{"role": "tool", "content": [1, {"text": 2}, {"text": "ok"}, null]}])",
      R"([{"role": "assistant", "tool_calls": [1, {"id": 2, "function": "f"}, {}]}])",
      R"([{"role": "tool", "tool_call_id": 7, "tool_responses": [1, {"tool_call_id": []}]}])",
      R"([{"role": "user", "content": "exitcode: -"}, {"role": "user", "content": "exitcode: 99999999999999999999999"}])",
  };
  for (const char* row : rows) {
    auto f = import_chat(Json::parse(row), "c.json");
    ASSERT_TRUE(f) << row;
    auto trace = build_trace("c.json", *f);
    ASSERT_TRUE(trace) << row;
    EXPECT_EQ(trace->steps.size(), Json::parse(row).size()) << row;
  }
}

// What a transcript becomes, step by step: type, display name, and the error message of a
// failed step ("" for a completed one); then the run's title and status.
struct ChatRow {
  const char* what;
  const char* transcript;
  std::vector<std::string> types, names, errors;
  const char* title;
  const char* run_status;
};

void expect_chat(const ChatRow& row) {
  SCOPED_TRACE(row.what);
  auto f = import_chat(Json::parse(row.transcript), "c.json");
  ASSERT_TRUE(f) << f.error().display();
  std::vector<std::string> types, names, errors;
  for (const auto& s : (*f)["steps"]) {
    types.push_back(s["step_type"]);
    names.push_back(s["display_name"]);
    EXPECT_EQ(s.contains("error_message"), s["status"] == "failed");
    errors.push_back(s.value("error_message", ""));
  }
  EXPECT_EQ(types, row.types);
  EXPECT_EQ(names, row.names);
  EXPECT_EQ(errors, row.errors);
  EXPECT_EQ((*f)["run"]["title"], row.title);
  EXPECT_EQ((*f)["run"]["status"], row.run_status);
  EXPECT_TRUE(build_trace("c.json", *f));
}

TEST(ChatImport, ToolStepsNamedAfterTheirFunctions) {
  const ChatRow rows[] = {
      {"OpenAI tool messages carry only tool_call_id; parallel calls name each function once",
       R"([{"role":"system","content":"You are a travel assistant."},
           {"role":"user","content":"Weather in Paris and Lyon, and the time in Tokyo?"},
           {"role":"assistant","content":null,"tool_calls":[
             {"id":"call_a1","type":"function","function":{"name":"get_weather","arguments":"{\"city\":\"Paris\"}"}},
             {"id":"call_b2","type":"function","function":{"name":"get_time","arguments":"{\"city\":\"Tokyo\"}"}},
             {"id":"call_c3","type":"function","function":{"name":"get_weather","arguments":"{\"city\":\"Lyon\"}"}}]},
           {"role":"tool","tool_call_id":"call_a1","content":"{\"temp_c\": 18}"},
           {"role":"tool","tool_call_id":"call_b2","content":"Error: upstream timeout after 30 s"},
           {"role":"tool","tool_call_id":"call_c3","content":"{\"temp_c\": 21}"},
           {"role":"tool","tool_call_id":"call_unknown","content":"late reply"},
           {"role":"assistant","content":"Paris 18°C, Lyon 21°C; Tokyo's time was unavailable."}])",
       {"setup", "user_input", "tool_call", "tool_result", "tool_result", "tool_result",
        "tool_result", "final_answer"},
       {"system", "user", "get_weather, get_time", "get_weather", "get_time", "get_weather", "tool",
        "assistant"},
       {"", "", "", "", "Error: upstream timeout after 30 s", "", "", ""},
       "Weather in Paris and Lyon, and the time in Tokyo?",
       "completed"},
      {"legacy function_call and function messages",
       R"([{"role":"user","content":"Look up order 1182"},
           {"role":"assistant","content":null,"function_call":{"name":"lookup_order","arguments":"{\"id\":1182}"}},
           {"role":"function","name":"lookup_order","content":"{\"status\":\"shipped\"}"},
           {"role":"assistant","content":"Order 1182 has shipped."}])",
       {"user_input", "tool_call", "tool_result", "final_answer"},
       {"user", "lookup_order", "lookup_order", "assistant"},
       {"", "", "", ""},
       "Look up order 1182",
       "completed"},
      {"AG2 tool responses answer calls by the ids inside tool_responses",
       R"([{"role":"user","name":"user_proxy","content":"Convert 100 USD to EUR"},
           {"role":"assistant","name":"analyst","content":null,"tool_calls":[
             {"id":"call_9","type":"function","function":{"name":"currency_rate","arguments":"{}"}}]},
           {"role":"tool","name":"user_proxy","content":"0.92","tool_responses":[
             {"tool_call_id":"call_9","role":"tool","content":"0.92"}]},
           {"role":"user","name":"analyst","content":"100 USD is 92 EUR."}])",
       {"user_input", "tool_call", "tool_result", "final_answer"},
       {"user_proxy", "currency_rate", "currency_rate", "analyst"},
       {"", "", "", ""},
       "Convert 100 USD to EUR",
       "completed"},
  };
  for (const auto& row : rows) expect_chat(row);
}

TEST(ChatImport, GroupChatsReadByName) {
  const ChatRow rows[] = {
      {"AG2 group chat: every message has role user; the executor fails, then succeeds",
       R"({"messages":[
           {"content":"Report the peak month of monthly active users in users.csv.","role":"user","name":"User_proxy"},
           {"content":"```python\nimport pandas as pd\ndf = pd.read_csv('users.csv')\nprint(df['month'][df['mau'].idxmax()])\n```","role":"user","name":"Coder"},
           {"content":"exitcode: 1 (execution failed)\nCode output: \nTraceback (most recent call last):\n  File \"\", line 3, in <module>\n    print(df['month'][df['mau'].idxmax()])\n                      ~~^^^^^^^\nKeyError: 'mau'\n","role":"user","name":"Executor"},
           {"content":"The column is active_users.\n```python\nprint(df['month'][df['active_users'].idxmax()])\n```","role":"user","name":"Coder"},
           {"content":"exitcode: 0 (execution succeeded)\nCode output: \n2024-03\n","role":"user","name":"Executor"},
           {"content":"The peak month is March 2024.","role":"user","name":"Coder"},
           {"content":"Looks right.","role":"user","name":"Critic"},
           {"content":"","role":"user","name":"User_proxy"},
           {"content":"TERMINATE","role":"user","name":"Critic"}]})",
       {"user_input", "reasoning", "tool_result", "reasoning", "tool_result", "reasoning",
        "final_answer", "user_input", "reasoning"},
       {"User_proxy", "Coder", "Executor", "Coder", "Executor", "Coder", "Critic", "User_proxy",
        "Critic"},
       {"", "", "KeyError: 'mau'", "", "", "", "", "", ""},
       "Report the peak month of monthly active users in users.csv.",
       "completed"},
      {"AG2 chat history seen from the user proxy, which also runs the code: it timed out",
       R"([{"content":"Fetch https://example.org/status and report the HTTP code.","role":"assistant","name":"user_proxy"},
           {"content":"```sh\ncurl -s -o /dev/null -w '%{http_code}' https://example.org/status\n```","role":"user","name":"assistant"},
           {"content":"exitcode: 124 (execution failed)\nCode output: \nTimeout","role":"assistant","name":"user_proxy"},
           {"content":"TERMINATE","role":"user","name":"assistant"}])",
       {"user_input", "final_answer", "tool_result", "reasoning"},
       {"user_proxy", "assistant", "user_proxy", "assistant"},
       {"", "", "Timeout", ""},
       "Fetch https://example.org/status and report the HTTP code.",
       "failed"},
      {"Named agents with role assistant keep the agent-name step types",
       R"([{"role":"user","content":"Find the 2015 rainfall record for Lisbon."},
           {"role":"assistant","name":"Orchestrator","content":"WebSurfer, search the archive."},
           {"role":"assistant","name":"WebSurfer","content":"No results for 2015."},
           {"role":"assistant","name":"Orchestrator","content":"The record could not be found."}])",
       {"user_input", "planner", "web_search", "final_answer"},
       {"user", "Orchestrator", "WebSurfer", "Orchestrator"},
       {"", "", "", ""},
       "Find the 2015 rainfall record for Lisbon.",
       "completed"},
  };
  for (const auto& row : rows) expect_chat(row);
}

// The error message of a failed message: the line that names the error.
TEST(ChatImport, ErrorMessageIsTheLineNamingTheError) {
  struct Row {
    const char* text;
    const char* error;  // nullptr: the step did not fail
  } rows[] = {
      {"Error: 502 from provider\nretry later", "Error: 502 from provider"},
      {"\n\nerror: index out of range", "error: index out of range"},
      {"Fetched 3 pages.\nAn error occurred while saving the summary.",
       "An error occurred while saving the summary."},
      {"Traceback (most recent call last):\n  File \"/app/tools.py\", line 12, in run\n    return "
       "json.loads(raw)\njson.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)",
       "json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)"},
      // Chained exceptions: the last one raised names the failure.
      {"Traceback (most recent call last):\n  File \"a.py\", line 2, in <module>\nKeyError: "
       "'id'\n\n"
       "During handling of the above exception, another exception occurred:\n\n"
       "Traceback (most recent call last):\n  File \"a.py\", line 4, in <module>\n"
       "RuntimeError: record has no id\nprinted after the traceback",
       "RuntimeError: record has no id"},
      {"exitcode: 1 (execution failed)\nCode output: \nunknown language rust",
       "unknown language rust"},
      {"exitcode: 1 (execution failed)\nCode output: ", "exitcode: 1 (execution failed)"},
      {"exitcode: 1 (execution failed)\nCode output: /tmp/x.js:1\nfoo()\n^\n\nReferenceError: foo "
       "is "
       "not defined\n    at Object.<anonymous> (/tmp/x.js:1:1)",
       "ReferenceError: foo is not defined"},
      {"exitcode: 2 (execution failed)\nCode output: ls: cannot access 'out': No such file or "
       "directory\nmore\n",
       "ls: cannot access 'out': No such file or directory"},
      {"exitcode: 1 (execution failed)\nCode output: \nstep 1\nstep 2 gave up", "step 2 gave up"},
      // The exit code decides for an executor's reply, whatever its output says.
      {"exitcode: 0 (execution succeeded)\nCode output: Traceback (most recent call last):\n  "
       "File \"x\"\nValueError: caught and printed",
       nullptr},
      {"The error rate fell to 2%.", nullptr},
  };
  for (const auto& row : rows) {
    Json message = {{"role", "user"}, {"name", "Executor"}, {"content", row.text}};
    auto f = import_chat(Json::array({message}), "c.json");
    ASSERT_TRUE(f) << row.text;
    const Json& step = (*f)["steps"][0];
    EXPECT_EQ(step["status"], row.error ? "failed" : "completed") << row.text;
    EXPECT_EQ(step.value("error_message", Json()), row.error ? Json(row.error) : Json())
        << row.text;
  }
}

TEST(ChatImport, WrappersAndRefusedInputs) {
  const std::string expected =
      "expected an array of chat messages, or an object holding one under \"messages\", "
      "\"history\", \"conversation\", \"chat_history\", \"traj\" or \"trajectory\"";
  const std::string none =
      "c.json: no chat messages found (objects with \"role\", \"content\" or "
      "\"tool_calls\"); " +
      expected;
  struct Refused {
    const char* input;
    std::string error;
  } refused[] = {
      {R"([{"foo": 1}])", none},
      {"[]", none},
      {R"([{"run": 1, "steps": [2]}])", none},
      // Evaluation results, one transcript per element.
      {R"([{"task_id": 0, "reward": 0.0, "traj": [{"role": "user", "content": "Cancel order 3"}]},
           {"task_id": 1, "reward": 1.0, "traj": []}])",
       none + "; its elements hold transcripts under \"traj\": give them one at a time (for batch, "
              "one per line of a JSON Lines file)"},
      {R"({"messages": [{"score": 1}]})",
       "c.json: no chat messages under \"messages\" (objects with \"role\", \"content\" or "
       "\"tool_calls\"); " +
           expected},
      {R"({"msgs": []})", "c.json: " + expected},
      {"3", "c.json: " + expected},
      {"[3]", "c.json: message 0 is not an object"},
  };
  for (const auto& row : refused) {
    auto f = import_chat(Json::parse(row.input), "c.json");
    ASSERT_FALSE(f) << row.input;
    EXPECT_EQ(f.error().text(), row.error) << row.input;
  }

  struct Accepted {
    const char* input;
    size_t steps;
  } accepted[] = {
      {R"({"traj": [{"role": "user", "content": "a"}, {"role": "assistant", "content": "b"}]})", 2},
      {R"({"trajectory": [{"role": "user", "content": "a"}]})", 1},
      {R"({"chat_history": [{"role": "user", "content": "a"}]})", 1},
      {R"({"task_id": 3, "reward": 1.0, "traj": [{"role": "user", "content": "a"}]})", 1},
      // A trajectory of actions and observations is not a message list; the history is.
      {R"({"trajectory": [{"action": "ls", "observation": "src"}],
           "history": [{"role": "system", "content": "s"}, {"role": "user", "content": "u"},
                       {"role": "assistant", "content": "a"}]})",
       3},
  };
  for (const auto& row : accepted) {
    auto f = import_chat(Json::parse(row.input), "c.json");
    ASSERT_TRUE(f) << row.input << f.error().display();
    EXPECT_EQ((*f)["steps"].size(), row.steps) << row.input;
  }
}

// Shapes that a per-name search would make quadratic: many calls in one message, many
// authors in one chat.
TEST(ChatImport, ManyCallsAndAuthors) {
  constexpr size_t kCount = 50000;
  Json calls = Json::array(), chat = Json::array();
  for (size_t i = 0; i < kCount; ++i) {
    calls.push_back({{"id", "c" + std::to_string(i)},
                     {"function", {{"name", "f" + std::to_string(i % (kCount / 2))}}}});
    chat.push_back({{"role", "user"}, {"name", "agent" + std::to_string(i)}, {"content", "x"}});
  }
  auto f = import_chat(Json::array({{{"role", "assistant"}, {"tool_calls", calls}}}), "c");
  ASSERT_TRUE(f);
  const std::string name = (*f)["steps"][0]["display_name"];
  EXPECT_EQ(std::count(name.begin(), name.end(), ','), long(kCount / 2 - 1));
  EXPECT_EQ(name.substr(0, 8), "f0, f1, ");
  auto g = import_chat(chat, "c");
  ASSERT_TRUE(g);
  EXPECT_EQ((*g)["steps"][0]["step_type"], "user_input");
  EXPECT_EQ((*g)["steps"][1]["step_type"], "reasoning");  // read by name: an agent
  EXPECT_EQ((*g)["steps"][kCount - 1]["step_type"], "final_answer");
}

TEST(ChatImport, StatedRunStatusReplacesTheInferredOne) {
  auto f = import_chat(Json::parse(R"([{"role":"assistant","content":"Error: quota"}])"), "c");
  ASSERT_TRUE(f);
  EXPECT_EQ((*f)["run"]["status"], "failed");
  state_run_status(*f, RunStatus::kCompleted);
  EXPECT_EQ((*f)["run"]["status"], "completed");
  state_run_status(*f, RunStatus::kFailed);
  EXPECT_EQ((*f)["run"]["status"], "failed");
  // A document the loader refuses stays refused.
  for (const char* bad : {R"({"steps": []})", R"({"run": 1, "steps": []})", "[]"}) {
    Json doc = Json::parse(bad);
    state_run_status(doc, RunStatus::kFailed);
    EXPECT_EQ(doc, Json::parse(bad));
  }
  EXPECT_EQ(parse_run_status("failed"), RunStatus::kFailed);
  EXPECT_EQ(parse_run_status("completed"), RunStatus::kCompleted);
  EXPECT_EQ(parse_run_status("Failed"), std::nullopt);
  EXPECT_EQ(parse_run_status("success"), std::nullopt);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

TEST(OtlpImport, StreamingEqualsWholeFile) {
  auto dir = std::filesystem::temp_directory_path() / "tracedx-otlp-stream";
  std::filesystem::create_directories(dir);
  std::string lines =
      otlp("[" + span("b", R"(,"startTimeUnixNano":"2")") + "," + span("z", "", "t2") + "]") +
      "\n" + otlp("[" + span("a", R"(,"startTimeUnixNano":"1")") + "]") + "\n";
  for (const auto& [name, bytes] :
       {std::pair<std::string, std::string>{"l.jsonl", lines},
        {"d.json", Json::parse(otlp("[" + span("a", "") + "]")).dump(2)}}) {
    std::ofstream(dir / name) << bytes;
    std::vector<OtlpItem> streamed;
    auto ok = for_each_otlp_trace((dir / name).string(),
                                  [&](OtlpItem t) { streamed.push_back(std::move(t)); });
    ASSERT_TRUE(ok) << ok.error().display();
    auto whole = import_otlp(bytes, (dir / name).string());
    ASSERT_TRUE(whole);
    ASSERT_EQ(streamed.size(), whole->size()) << name;
    // Streamed traces come when complete; import keeps the order of first appearance.
    std::stable_sort(streamed.begin(), streamed.end(),
                     [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    for (size_t i = 0; i < streamed.size(); ++i) {
      EXPECT_FALSE(streamed[i].error);
      EXPECT_EQ(streamed[i].trace_id, (*whole)[i].id);
      EXPECT_EQ(streamed[i].fixture(), (*whole)[i].fixture);
    }
  }
  EXPECT_FALSE(for_each_otlp_trace((dir / "missing.jsonl").string(), [](OtlpItem) {}));
  std::filesystem::remove_all(dir);
}
}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

std::vector<OtlpItem> stream_items(const std::string& bytes, const std::string& name = "in.jsonl") {
  Input in = Input::of_bytes(bytes, name);
  std::vector<OtlpItem> items;
  auto ok = for_each_otlp_trace(in, [&](OtlpItem item) { items.push_back(std::move(item)); });
  EXPECT_TRUE(ok) << (ok ? "" : ok.error().display());
  return items;
}

// The envelope as exporters write it: proto field names, bare ResourceSpans per line,
// base64 and upper-case ids, the resource and scope kept on each span.
TEST(OtlpEnvelope, SpellingsOfTheSameTrace) {
  const std::string camel = otlp(
      "[" +
      span(
          "b000000000000004",
          R"(,"parentSpanId":"b000000000000001","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000")",
          "0af7651916cd43dd8448eb211c80319c") +
      "," +
      span("b000000000000001", R"(,"startTimeUnixNano":"1000000")",
           "0af7651916cd43dd8448eb211c80319c") +
      "]");
  const Json expected = only_trace(camel);
  // The parent is a wrapper of unknown kind with a child, so only the child is a step; its
  // metadata still holds the trace, span and parent ids the spellings must agree on.
  ASSERT_EQ(expected["steps"].size(), 1u);
  ASSERT_EQ(expected["steps"][0]["metadata"]["parent_span_id"], "b000000000000001");
  const std::string snake =
      R"({"resource_spans":[{"resource":{},"scope_spans":[{"scope":{"name":"t"},"spans":[)"
      R"({"trace_id":"0AF7651916CD43DD8448EB211C80319C","span_id":"b000000000000004","parent_span_id":"B000000000000001","name":"span b000000000000004","start_time_unix_nano":"2000000","end_time_unix_nano":5000000},)"
      R"({"trace_id":"CvdlGRbNQ92ESOshHIAxnA==","span_id":"sAAAAAAAAAE=","name":"span b000000000000001","start_time_unix_nano":1000000}]}]}]})";
  const std::string bare =
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000004","parentSpanId":"b000000000000001","name":"span b000000000000004","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000"}]}]})"
      "\n"
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000001","name":"span b000000000000001","startTimeUnixNano":"1000000"}]}]})"
      "\n";
  for (const auto& text : {snake, bare}) {
    Json f = only_trace(text);
    EXPECT_EQ(f, expected) << text;
  }
  // The id given to pick a trace is matched however it is written.
  auto picked =
      import_document(snake, Source::kOtlp, "in.json", "0AF7651916CD43DD8448EB211C80319C");
  EXPECT_TRUE(picked) << picked.error().display();
}

TEST(OtlpEnvelope, IdsAreNormalised) {
  struct Row {
    const char* written;
    const char* id;
  } rows[] = {
      {"0AF7651916CD43DD8448EB211C80319C", "0af7651916cd43dd8448eb211c80319c"},
      {"CvdlGRbNQ92ESOshHIAxnA==", "0af7651916cd43dd8448eb211c80319c"},  // 16 bytes, base64
      {"sAAAAAAAAAE=", "b000000000000001"},                              // 8 bytes, base64
      {"_-8AAAAAAAE=", "ffef000000000001"},                              // URL alphabet
      {"retrievalop", "retrievalop"},  // no padding: a name, kept as written
      {"t1", "t1"},
  };
  for (const auto& row : rows) EXPECT_EQ(normalize_trace_id(row.written), row.id) << row.written;
}

TEST(OtlpEnvelope, OtherFormatsAreNamed) {
  const std::string expected =
      "in.json: expected an object with resourceSpans (or resource_spans), or one ResourceSpans "
      "object per line";
  const std::string sdk = expected +
                          "; this is a list of SDK spans (span.to_json() or {\"spans\": [...]}), "
                          "not OTLP JSON";
  struct Row {
    std::string input, error;
  } rows[] = {
      {R"([{"name":"x","context":{"trace_id":"0x1","span_id":"0x2"}}])", sdk},
      {R"({"spans":[{"name":"x","context":{"trace_id":"0x1"}}]})", sdk},
      {R"({"name":"x","context":{"trace_id":"0x1"},"parent":null})", sdk},
      {"[1]", expected},
      {"\"text\"", expected},
  };
  for (const auto& row : rows) {
    auto r = import_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display(), row.error);
  }
}

// Where a parse error is reported: the line of the file and the column in it; a document
// printed over several lines is one document, whose error is at its own place.
TEST(OtlpEnvelope, ParseErrorsNameThePlace) {
  std::string pretty = Json::parse(otlp("[" + span("a", "") + "]")).dump(2);
  std::string cut = pretty.substr(0, pretty.size() - 20);
  size_t lines = std::count(cut.begin(), cut.end(), '\n') + 1;
  auto r = import_otlp(cut, "in.json");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::kJson);
  EXPECT_EQ(r.error().line(), lines) << r.error().display();
  EXPECT_GT(r.error().line(), 1u);
  // The first line of JSON Lines cut short is that line's error; the next lines are read.
  auto items = stream_items(R"({"resourceSpans":[)"
                            "\n" +
                            otlp("[" + span("a", "") + "]") + "\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].line, 1u);
  EXPECT_EQ(items[0].error->display().rfind("in.jsonl: invalid JSON at line 1, column 19", 0), 0u)
      << items[0].error->display();
  EXPECT_EQ(items[1].trace_id, "t1");
  EXPECT_FALSE(items[1].error);
}

// A malformed line is an error of its own and of each trace it would have touched; the
// other traces are read.
TEST(OtlpEnvelope, MalformedLineSparesOtherTraces) {
  std::string text = otlp("[" + span("a", "", "t1") + "," + span("b", "", "t2") + "]") + "\n" +
                     otlp("[" + span("c", "", "t3") + "]") + "\n" +
                     // Cut after a span of t2: t2 is touched, t3 is not.
                     otlp("[" + span("d", "", "t2") + "," + span("e", "", "t4")).substr(0, 120) +
                     "\n" + otlp("[" + span("f", "", "t3") + "]") + "\n" +
                     R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"x"}]}]}]})" + "\n";
  auto items = stream_items(text);
  std::vector<std::string> got;
  for (const auto& i : items) {
    got.push_back(std::to_string(i.line) + " " + i.trace_id + " " +
                  (i.error ? i.error->display() : std::to_string(i.fixture()["steps"].size())));
  }
  EXPECT_EQ(got[0], "0 t1 1");
  ASSERT_EQ(got.size(), 5u) << ::testing::PrintToString(got);
  EXPECT_EQ(got[1].rfind("3  in.jsonl: invalid JSON at line 3, column", 0), 0u) << got[1];
  EXPECT_EQ(got[2], "0 t2 in.jsonl: trace t2 is incomplete: line 3 could not be read");
  EXPECT_EQ(got[3], "0 t3 2");
  EXPECT_EQ(got[4], "5  in.jsonl:5: resourceSpans[0].scopeSpans[0].spans[0]: traceId missing");
  // Strict import fails on the first bad line and names it.
  auto whole = import_otlp(text, "in.jsonl");
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().line(), 3u);
}

// 2,000 traces on one line (what OTLP/HTTP JSON exporters send): every trace once, each
// line parsed once; 2,000 more spread over 2,000 lines in reverse order of completion.
TEST(OtlpEnvelope, OneLineExportOfManyTraces) {
  std::string spans;
  for (int i = 0; i < 2000; ++i)
    spans += (i ? "," : "") + span("s" + std::to_string(i), "", "t" + std::to_string(i));
  auto items = stream_items(otlp("[" + spans + "]") + "\n");
  ASSERT_EQ(items.size(), 2000u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].trace_id, "t" + std::to_string(i));
    EXPECT_EQ(items[i].fixture()["steps"].size(), 1u);
  }
  std::string lines;
  for (int i = 0; i < 2000; ++i)
    lines += otlp("[" + span("a", "", "t" + std::to_string(i)) + "]") + "\n";
  for (int i = 1999; i >= 0; --i)
    lines += otlp("[" + span("b", "", "t" + std::to_string(i)) + "]") + "\n";
  items = stream_items(lines);
  ASSERT_EQ(items.size(), 2000u);
  EXPECT_EQ(items[0].trace_id, "t1999");  // complete first: its last line comes first
  EXPECT_EQ(items[0].fixture()["steps"].size(), 2u);
  auto traces = import_otlp(lines, "in.jsonl");
  ASSERT_TRUE(traces);
  EXPECT_EQ((*traces)[0].id, "t0");  // import keeps the order of first appearance
}

TEST(OtlpEnvelope, ResourceAndScopeReachTheSpans) {
  // The mapping reads them from the spans; here only that they import and stay out of
  // the way of a trace that does not use them.
  std::string text =
      R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"svc"}}]},)"
      R"("scopeSpans":[{"scope":{"name":"openinference.instrumentation"},"spans":[)" +
      span("a", "") + "]}]}]}";
  EXPECT_EQ(only_trace(text)["steps"].size(), 1u);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// An attribute list entry with a string value (JSON-escaped by the caller where needed).
std::string attr(const std::string& key, const std::string& value) {
  return R"({"key":")" + key + R"(","value":{"stringValue":")" + value + R"("}})";
}

std::string attrs(std::initializer_list<std::string> list) {
  std::string out = R"(,"attributes":[)";
  bool first = true;
  for (const auto& a : list) {
    out += (first ? "" : ",") + a;
    first = false;
  }
  return out + "]";
}

std::string at(int start, int end) {
  return R"(,"startTimeUnixNano":")" + std::to_string(start) + R"(000000","endTimeUnixNano":")" +
         std::to_string(end) + R"(000000")";
}

std::vector<std::string> types_of(const Json& fixture) {
  std::vector<std::string> out;
  for (const auto& s : fixture["steps"]) {
    out.push_back(s["step_type"].get<std::string>() +
                  (s["status"] == "failed" ? std::string("!") : std::string()));
  }
  return out;
}

TEST(OtlpMapping, WrappersAndPlumbingAreNotSteps) {
  // A RAG chain: CHAIN root, a passthrough CHAIN, a PROMPT, an unknown wrapper with a child,
  // a retriever, a model call; only the retriever and the model are steps.
  Json f = only_trace(otlp(
      "[" + span("root", at(0, 10) + attrs({attr("openinference.span.kind", "CHAIN")})) + "," +
      span("pass", R"(,"parentSpanId":"root")" + at(1, 2) +
                       attrs({attr("openinference.span.kind", "CHAIN")})) +
      "," +
      span("prompt", R"(,"parentSpanId":"root")" + at(2, 3) +
                         attrs({attr("openinference.span.kind", "PROMPT"),
                                attr("llm.prompt_template.template", "Answer from {context}")})) +
      "," + span("main", R"(,"parentSpanId":"root")" + at(3, 9)) + "," +
      span("ret", R"(,"parentSpanId":"main")" + at(3, 4) +
                      attrs({attr("openinference.span.kind", "RETRIEVER"),
                             attr("output.value", R"({\"documents\":[]})"),
                             attr("output.mime_type", "application/json")})) +
      "," +
      span("llm", R"(,"parentSpanId":"main")" + at(5, 9) +
                      attrs({attr("openinference.span.kind", "LLM"),
                             attr("llm.output_messages.0.message.content", "Refunds in 30 days"),
                             attr("llm.output_messages.0.message.tool_calls", "[]")})) +
      "," + span("leaf", R"(,"parentSpanId":"main","kind":3)" + at(9, 9)) + "]"));
  EXPECT_EQ(types_of(f), (std::vector<std::string>{"retrieval", "final_answer", "api_call"}));
  EXPECT_EQ(f["steps"][0]["metadata"]["results_count"], 0);  // {"documents": []}
  EXPECT_EQ(f["run"]["status"], "completed");
}

TEST(OtlpMapping, FailedSpansAreNeverLost) {
  struct Row {
    const char* name;
    std::string spans;
    std::vector<std::string> types;
    const char* last_error;
    const char* run_status;
  } rows[] = {
      // An agent whose children succeeded fails at its end: a failed step there.
      {"agent error after children",
       span("a", at(0, 10) + attrs({attr("openinference.span.kind", "AGENT")}) +
                     R"(,"status":{"code":2,"message":"Max turns (8) exceeded"})") +
           "," +
           span("m", R"(,"parentSpanId":"a")" + at(1, 2) +
                         attrs({attr("openinference.span.kind", "LLM"),
                                attr("llm.output_messages.0.message.content", "thinking")})),
       {"final_answer", "agent_run!"},
       "Max turns (8) exceeded",
       "failed"},
      // A chain that fails with its child's error adds nothing; the child holds it.
      {"error carried by child",
       span("c", at(0, 10) + attrs({attr("openinference.span.kind", "CHAIN")}) +
                     R"(,"status":{"code":2,"message":"Error: 429 Rate limit reached"})") +
           "," +
           span("m", R"(,"parentSpanId":"c")" + at(1, 2) +
                         attrs({attr("openinference.span.kind", "LLM")}) +
                         R"(,"status":{"code":2,"message":"429 Rate limit reached"})"),
       {"llm_reasoning!"},
       "429 Rate limit reached",
       "failed"},
      // A stack trace after a blank line is left out of the message.
      {"stack trace dropped",
       span(
           "t",
           at(0, 1) + attrs({attr("openinference.span.kind", "TOOL")}) +
               R"x(,"status":{"code":2,"message":"502 Bad Gateway\n\nError: 502 Bad Gateway\n    at tool (x.js:1:2)"})x"),
       {"tool_call!"},
       "502 Bad Gateway",
       "failed"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.spans + "]"));
    EXPECT_EQ(types_of(f), row.types) << row.name;
    EXPECT_EQ(f["steps"].back()["error_message"], row.last_error) << row.name;
    EXPECT_EQ(f["run"]["status"], row.run_status) << row.name;
  }
}

TEST(OtlpMapping, RunFailsUnlessAFailureWasRetried) {
  // Model calls share their span name: instrumentations name them by operation and model.
  auto llm = [](const std::string& id, int start, bool ok) {
    return R"({"traceId":"t1","spanId":")" + id + R"(","name":"chat gpt-4o","parentSpanId":"r")" +
           at(start, start + 1) +
           attrs({attr("gen_ai.operation.name", "chat"),
                  attr("gen_ai.output.messages", ok ? R"([{\"role\":\"assistant\"}])" : "")}) +
           (ok ? "" : R"(,"status":{"code":2,"message":"Request timed out."})") + "}";
  };
  auto root = [](int code) {
    return span("r", at(0, 10) + attrs({attr("gen_ai.operation.name", "invoke_agent")}) +
                         R"(,"status":{"code":)" + std::to_string(code) + "}");
  };
  struct Row {
    std::string spans;
    const char* status;
  } rows[] = {
      {root(0) + "," + llm("a", 1, false) + "," + llm("b", 3, true), "completed"},  // retried
      {root(0) + "," + llm("a", 1, true) + "," + llm("b", 3, false), "failed"},     // not retried
      {root(2) + "," + llm("a", 1, false) + "," + llm("b", 3, true), "failed"},     // root failed
      {root(1) + "," + llm("a", 1, true), "completed"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.spans + "]"));
    EXPECT_EQ(f["run"]["status"], std::string(row.status)) << row.spans;
  }
}

TEST(OtlpMapping, FinishReasons) {
  auto llm = [](const std::string& id, int start, const std::string& finish,
                const std::string& extra = "") {
    return span(id, at(start, start + 1) +
                        attrs({attr("openinference.span.kind", "LLM"),
                               attr("llm.output_messages.0.message.content", "text " + id),
                               attr("llm.finish_reason", finish)}) +
                        extra);
  };
  // The model asks for a tool, the tool runs, the model is filtered: no final answer, and
  // the filtered call is a failed step saying so.
  Json f = only_trace(otlp("[" + llm("a", 1, "tool_calls") + "," +
                           span("t", at(2, 3) + attrs({attr("openinference.span.kind", "TOOL")})) +
                           "," + llm("b", 4, "content_filter") + "]"));
  EXPECT_EQ(types_of(f),
            (std::vector<std::string>{"llm_reasoning", "tool_call", "llm_reasoning!"}));
  EXPECT_EQ(f["steps"][2]["error_message"],
            "The response was withheld by the provider's content filter (finish reason "
            "content_filter)");
  EXPECT_EQ(f["steps"][2]["metadata"]["finish_reasons"], Json::parse(R"(["content_filter"])"));
  EXPECT_EQ(f["run"]["status"], "failed");
  // GenAI finish reasons, and a failed model call is not the final answer.
  Json g = only_trace(otlp(
      "[" +
      span("a",
           at(1, 2) +
               R"(,"attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"chat"}},
        {"key":"gen_ai.response.finish_reasons","value":{"arrayValue":{"values":[{"stringValue":"stop"}]}}}])") +
      "," +
      span("b", at(3, 4) + attrs({attr("gen_ai.operation.name", "chat")}) +
                    R"(,"status":{"code":2,"message":"Request timed out."})") +
      "]"));
  EXPECT_EQ(types_of(g), (std::vector<std::string>{"final_answer", "llm_reasoning!"}));
}

TEST(OtlpMapping, ConventionsForMessages) {
  struct Row {
    const char* name;
    std::string span;
    Json input, output;
  } rows[] = {
      {"GenAI events", span("a", attrs({attr("gen_ai.operation.name", "chat")}) + R"(,"events":[
         {"name":"gen_ai.system.message","attributes":[{"key":"content","value":{"stringValue":"Be brief"}}]},
         {"name":"gen_ai.user.message","attributes":[{"key":"content","value":{"stringValue":"Hi"}}]},
         {"name":"gen_ai.choice","attributes":[{"key":"finish_reason","value":{"stringValue":"stop"}},
           {"key":"message","value":{"kvlistValue":{"values":[{"key":"content","value":{"stringValue":"Hello"}}]}}}]}])"),
       Json::parse(R"([{"role":"system","content":"Be brief"},{"role":"user","content":"Hi"}])"),
       Json::parse(R"([{"finish_reason":"stop","message":{"content":"Hello"}}])")},
      {"GenAI attributes with system instructions",
       span("a", attrs({attr("gen_ai.operation.name", "chat"),
                        attr("gen_ai.system_instructions",
                             R"([{\"type\":\"text\",\"content\":\"Be brief\"}])"),
                        attr("gen_ai.input.messages", R"([{\"role\":\"user\"}])"),
                        attr("gen_ai.output.messages", R"([{\"role\":\"assistant\"}])")})),
       Json::parse(R"([{"role":"system","parts":[{"type":"text","content":"Be brief"}]},
                       {"role":"user"}])"),
       Json::parse(R"([{"role":"assistant"}])")},
      {"OpenLLMetry prompts and completions",
       span("a", attrs({attr("llm.request.type", "chat"), attr("gen_ai.prompt.0.role", "user"),
                        attr("gen_ai.prompt.0.content", "Hi"),
                        attr("gen_ai.completion.0.role", "assistant"),
                        attr("gen_ai.completion.0.content", "Hello"),
                        attr("gen_ai.completion.0.finish_reason", "stop")})),
       Json::parse(R"([{"role":"user","content":"Hi"}])"),
       Json::parse(R"([{"role":"assistant","content":"Hello","finish_reason":"stop"}])")},
      {"OpenLLMetry entity",
       span("a", attrs({attr("traceloop.span.kind", "tool"),
                        attr("traceloop.entity.name", "search_flights"),
                        attr("traceloop.entity.input", R"({\"args\":[1]})"),
                        attr("traceloop.entity.output", R"(\"none found\")")})),
       Json::parse(R"({"args":[1]})"), "none found"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.span + "]"));
    ASSERT_EQ(f["steps"].size(), 1u) << row.name;
    EXPECT_EQ(f["steps"][0]["raw_input"], row.input) << row.name;
    EXPECT_EQ(f["steps"][0]["raw_output"], row.output) << row.name;
  }
  Json t = only_trace(otlp("[" +
                           span("a", attrs({attr("traceloop.span.kind", "tool"),
                                            attr("traceloop.entity.name", "search_flights")})) +
                           "]"));
  EXPECT_EQ(t["steps"][0]["step_type"], "tool_call");
  EXPECT_EQ(t["steps"][0]["display_name"], "search_flights");
}

TEST(OtlpMapping, ConfigurationStaysOutAndProvenanceIsKept) {
  std::string bytes =
      R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"travel"}}]},
      "scopeSpans":[{"scope":{"name":"@arizeai/openinference-instrumentation-openai"},"spans":[)" +
      span(
          "a",
          attrs({attr("openinference.span.kind", "LLM"),
                 attr("llm.tools.0.tool.json_schema", R"({\"type\":\"function\"})"),
                 attr("llm.invocation_parameters", R"({\"temperature\":0})"),
                 attr("llm.prompt_template.template", "{q}"),
                 attr("gen_ai.request.temperature", "0"),
                 attr("gen_ai.request.model", "gpt-4o-mini"), attr("error.type", "timeout"),
                 attr("input.value", R"({\"tools\":[]})")}) +
              R"(,"events":[{"name":"exception","attributes":[{"key":"exception.type","value":{"stringValue":"APIConnectionTimeoutError"}}]}])") +
      "]}]}]}";
  Json f = only_trace(bytes);
  const Json& meta = f["steps"][0]["metadata"];
  for (const char* gone : {"llm.tools", "llm.invocation_parameters", "llm.prompt_template.template",
                           "gen_ai.request.temperature"}) {
    EXPECT_FALSE(meta.contains(gone)) << gone;
  }
  EXPECT_EQ(meta["gen_ai.request.model"], "gpt-4o-mini");
  EXPECT_EQ(meta["error.type"], "timeout");
  EXPECT_EQ(meta["exception.type"], "APIConnectionTimeoutError");
  EXPECT_EQ(meta["otel.scope.name"], "@arizeai/openinference-instrumentation-openai");
  EXPECT_EQ(f["run"]["service_name"], "travel");
  EXPECT_EQ(f["steps"][0]["raw_input"], Json::parse(R"({"tools":[]})"));  // no messages: kept
}

TEST(OtlpMapping, AgentsBelowTheRootAreSteps) {
  Json f =
      only_trace(otlp("[" +
                      span("s", at(0, 10) + attrs({attr("gen_ai.operation.name", "invoke_agent"),
                                                   attr("gen_ai.agent.name", "Supervisor")})) +
                      "," +
                      span("r", R"(,"parentSpanId":"s")" + at(1, 5) +
                                    attrs({attr("gen_ai.operation.name", "invoke_agent"),
                                           attr("gen_ai.agent.name", "Researcher")})) +
                      "," +
                      span("m", R"(,"parentSpanId":"r")" + at(2, 3) +
                                    attrs({attr("gen_ai.operation.name", "chat")})) +
                      "]"));
  EXPECT_EQ(types_of(f), (std::vector<std::string>{"delegation", "final_answer"}));
  EXPECT_EQ(f["steps"][0]["display_name"], "Researcher");
  EXPECT_EQ(f["run"]["title"], "Supervisor");
}

// Shapes that were quadratic or unbounded: a long parent chain, parent cycles, a key of
// 100,000 segments, a sparse index.
TEST(OtlpMapping, LongChainsCyclesAndHugeKeys) {
  std::string chain = "[";
  const int kSpans = 50000;
  for (int i = 0; i < kSpans; ++i) {
    chain += (i ? "," : "") + span("s" + std::to_string(i),
                                   i ? R"(,"parentSpanId":"s)" + std::to_string(i - 1) + "\"" : "");
  }
  Json f = only_trace(otlp(chain + "]"));
  ASSERT_EQ(f["steps"].size(), 1u);  // wrappers of unknown kind; the leaf is the step
  EXPECT_EQ(f["steps"][0]["id"], "s" + std::to_string(kSpans - 1));

  // a <-> b and c -> c: every span imported once, no hang.
  Json c = only_trace(otlp("[" + span("a", R"(,"parentSpanId":"b")") + "," +
                           span("b", R"(,"parentSpanId":"a")") + "," +
                           span("c", R"(,"parentSpanId":"c")") + "]"));
  EXPECT_EQ(c["steps"].size(), 2u);  // b under a (a wrapper), and c

  std::string key = "llm.input_messages.0";
  for (int i = 0; i < 100000; ++i) key += ".k";
  Json k =
      only_trace(otlp("[" +
                      span("a", attrs({attr("openinference.span.kind", "LLM"), attr(key, "deep"),
                                       attr("llm.input_messages.999999.message.content", "x")})) +
                      "]"));
  const Json& input = k["steps"][0]["raw_input"];
  ASSERT_TRUE(input.is_array());
  EXPECT_EQ(input.size(), 2u);
  EXPECT_EQ(input[1], Json::parse(R"({"message":{"content":"x"}})"));
  EXPECT_FALSE(compact_json(input).empty());  // bounded depth: serialising does not overflow

  // Many failed calls, each retried successfully later on: the run completed, unless one
  // retry is missing. (Each failure looked ahead for its retry, quadratic in the count.)
  const int kCalls = 10000;
  auto call = [](int i, int at, bool ok) {
    return span((ok ? "ok" : "err") + std::to_string(i),
                R"(,"parentSpanId":"r","startTimeUnixNano":")" + std::to_string(1000 + at) + "\"" +
                    (ok ? "" : R"(,"status":{"code":2,"message":"boom"})") +
                    attrs({attr("openinference.span.kind", "TOOL"),
                           attr("tool.name", "t" + std::to_string(i))}));
  };
  std::string retried = "[" + span("r", R"(,"startTimeUnixNano":"1")") + ",";
  for (int i = 0; i < kCalls; ++i) retried += call(i, i, false) + ",";
  for (int i = 0; i < kCalls; ++i) retried += call(i, kCalls + i, true) + ",";
  Json all = only_trace(otlp(retried.substr(0, retried.size() - 1) + "]"));
  EXPECT_EQ(all["steps"].size(), size_t{2 * kCalls});
  EXPECT_EQ(all["run"]["status"], "completed");
  Json one_missing = only_trace(otlp(retried + call(kCalls, 3 * kCalls, false) + "]"));
  EXPECT_EQ(one_missing["run"]["status"], "failed");
}

}  // namespace
}  // namespace tracedx
