// Chat transcripts to fixture documents (import_chat): step types and names by author, tool
// results named after their calls, the error line of a failed message, the wrappers a
// transcript comes in, and the run's status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "import/importers.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

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
