// Chat transcripts to fixture documents: one step per message. Messages are read by their
// author: the role, or, in a group chat whose messages name two or more authors (AutoGen and
// AG2 send every agent's message with role "user" and the agent in `name`), the name. Tool
// results are named after the call they answer (`tool_call_id`), and a code executor's reply
// ("exitcode: N (...)") is a tool result that failed when N is not 0. Another message failed
// when its text reports an error (it starts with "error", or holds a Python traceback or
// "an error occurred"); its error message is the line that names the error. The run failed
// when the last message that says something failed.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "import/importers.h"
#include "import/json_members.h"
#include "import/python_literal.h"
#include "text/text.h"

namespace tracedx {
namespace {

constexpr size_t kSummaryLimit = 2000;
constexpr size_t kTitleLimit = 80;

// Members of an object holding a run's messages, in the order they are tried.
constexpr std::string_view kWrapperKeys[] = {"messages",     "history", "conversation",
                                             "chat_history", "traj",    "trajectory"};

// Members that make an object a chat message.
constexpr std::string_view kMessageKeys[] = {"role", "content", "tool_calls", "function_call",
                                             "tool_call_id"};

// Who wrote a message, by its (normalised) role.
enum class Author { kUser, kSystem, kTool, kAgent };
struct RoleRule {
  std::string_view role;
  Author author;
};
constexpr RoleRule kRoles[] = {
    {"user", Author::kUser},
    {"human", Author::kUser},
    {"system", Author::kSystem},
    {"developer", Author::kSystem},  // the system role of OpenAI's reasoning models
    {"tool", Author::kTool},
    {"function", Author::kTool},
    {"ipython", Author::kTool},  // Llama's role for tool output
};

struct NameRule {
  std::string_view word;  // contained in the lowercased agent name
  std::string_view step_type;
};

// Agent names of multi-agent group chats that say what the agent does.
constexpr NameRule kAgentNames[] = {
    {"planner", "planner"},   {"orchestrator", "planner"}, {"searcher", "web_search"},
    {"surfer", "web_search"}, {"browser", "web_search"},
};

// Texts of a message that reports an error (besides starting with "error").
constexpr std::string_view kErrorMarks[] = {"traceback (most recent call last)",
                                            "an error occurred"};

// Words of a line that names an error, in a failed message's text: lines with a word of the
// first group are taken before lines with a word of the second.
constexpr std::string_view kErrorNameWords[] = {"error", "exception"};
constexpr std::string_view kFailureWords[] = {"failed",  "fatal",     "timed out",
                                              "timeout", "not found", "no such",
                                              "denied",  "cannot",    "unable to"};

constexpr std::string_view kTracebackHeader = "Traceback (most recent call last):";
// How AutoGen/AG2 code executors open their reply, and the label of the output after it.
constexpr std::string_view kExitCodeLabel = "exitcode:";
constexpr std::string_view kCodeOutputLabel = "Code output:";
// How shell tools of coding agents open their observation: the command's exit code.
constexpr std::string_view kReturnCodeOpen = "<returncode>";
constexpr std::string_view kReturnCodeClose = "</returncode>";
// The word by which AutoGen/AG2 agents end a conversation; alone it says nothing.
constexpr std::string_view kTerminate = "TERMINATE";

// The text of a message content: a string, or the text parts of a list of parts.
std::string content_text(const Json& content) {
  if (content.is_string()) return content.get<std::string>();
  std::string out;
  if (content.is_array()) {
    for (const auto& part : content) {
      const Json* text = part.is_object() && part.contains("text") ? &part["text"] : nullptr;
      if (part.is_string()) text = &part;
      if (text && text->is_string()) {
        if (!out.empty()) out += "\n";
        out += text->get<std::string>();
      }
    }
  }
  return out;
}

bool reports_error(const std::string& text) {
  std::string t = norm(text);
  if (t.rfind("error", 0) == 0) return true;
  for (auto mark : kErrorMarks) {
    if (contains(t, mark)) return true;
  }
  return false;
}

bool looks_like_message(const Json& m) {
  if (!m.is_object()) return false;
  for (auto key : kMessageKeys) {
    if (m.contains(key)) return true;
  }
  return false;
}

bool has_message(const Json& array) {
  for (const auto& m : array) {
    if (looks_like_message(m)) return true;
  }
  return false;
}

// The message list of a document: the array itself, or the first wrapper member that
// holds messages.
const Json* messages_of(const Json& document) {
  if (document.is_array()) return &document;
  if (!document.is_object()) return nullptr;
  for (auto key : kWrapperKeys) {
    auto it = document.find(key);
    if (it != document.end() && it->is_array() && has_message(*it)) return &*it;
  }
  return nullptr;
}

std::string wrapper_list() {
  std::string out;
  for (size_t i = 0; i < std::size(kWrapperKeys); ++i) {
    if (i > 0) out += i + 1 == std::size(kWrapperKeys) ? " or " : ", ";
    out += "\"" + std::string(kWrapperKeys[i]) + "\"";
  }
  return out;
}

// Cuts at a UTF-8 character boundary at or before `limit` bytes.
std::string prefix_of(const std::string& s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

bool blank(std::string_view line) {
  return trim_ascii(line).empty();
}

// Whether the message says something: not empty, and not just the word that ends the chat.
bool says_something(std::string_view text) {
  std::string_view t = trim_ascii(text);
  return !t.empty() && t != kTerminate;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return lines;
}

// The exit code a code executor's reply reports: AutoGen/AG2's "exitcode: N (...)" or a
// shell tool's "<returncode>N</returncode>" at the start of the text; absent when the text is
// not such a reply.
std::optional<int64_t> executor_exit_code(std::string_view text) {
  text = trim_ascii(text);
  std::string_view close;
  if (text.starts_with(kExitCodeLabel)) {
    text.remove_prefix(kExitCodeLabel.size());
  } else if (text.starts_with(kReturnCodeOpen)) {
    text.remove_prefix(kReturnCodeOpen.size());
    close = kReturnCodeClose;
  } else {
    return std::nullopt;
  }
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  size_t digits = 0;
  int64_t code = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (code < 100000000) code = code * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || !text.substr(digits).starts_with(close)) return std::nullopt;
  return negative ? -code : code;
}

size_t indent_of(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && (line[n] == ' ' || line[n] == '\t')) ++n;
  return n;
}

// The line of a failed message that names the error: the exception line of the last Python
// traceback in it, else the first line holding an error word (a word naming an error before
// a word of failure), else the first line that is not blank. In an executor's reply only the output
// after the exit code line is searched, and without an error word its last line is taken (programs
// report failures last); without output, the exit code line.
std::string error_line(std::string_view text, bool executor) {
  std::vector<std::string_view> lines = lines_of(text);
  size_t from = 0;
  std::string_view exit_line;
  if (executor) {
    while (from < lines.size() && blank(lines[from])) ++from;
    if (from < lines.size()) exit_line = trim_ascii(lines[from++]);
    if (from < lines.size()) {
      std::string_view label = trim_ascii(lines[from]);
      if (label.starts_with(kCodeOutputLabel)) {
        lines[from] = label.substr(kCodeOutputLabel.size());
      }
    }
  }
  std::optional<size_t> header;
  for (size_t i = from; i < lines.size(); ++i) {
    if (trim_ascii(lines[i]).starts_with(kTracebackHeader)) header = i;
  }
  if (header) {
    // The exception line is the first one after the frames, which are indented deeper.
    size_t indent = indent_of(lines[*header]);
    for (size_t i = *header + 1; i < lines.size(); ++i) {
      if (!blank(lines[i]) && indent_of(lines[i]) <= indent)
        return std::string(trim_ascii(lines[i]));
    }
  }
  std::optional<size_t> first, last, failure;
  for (size_t i = from; i < lines.size(); ++i) {
    // A shell tool's output is framed by <output> tags, which say nothing.
    if (blank(lines[i]) ||
        (executor && (trim_ascii(lines[i]) == "<output>" || trim_ascii(lines[i]) == "</output>")))
      continue;
    if (!first) first = i;
    last = i;
    std::string line = norm(lines[i]);
    for (auto word : kErrorNameWords) {
      if (contains(line, word)) return std::string(trim_ascii(lines[i]));
    }
    for (auto word : kFailureWords) {
      if (!failure && contains(line, word)) failure = i;
    }
  }
  if (failure) return std::string(trim_ascii(lines[*failure]));
  if (executor) return std::string(last ? trim_ascii(lines[*last]) : exit_line);
  return first ? std::string(trim_ascii(lines[*first])) : std::string();
}

// One message as read before it becomes a step.
struct Message {
  std::string role_written;
  std::string role;  // normalised
  std::string name;
  std::string text;
  bool calls = false;               // has tool calls or a function call
  std::optional<bool> exit_failed;  // a code executor's reply: whether its exit code is not 0
  std::optional<int64_t> exit_code;
};

std::optional<Author> role_author(const std::string& role) {
  for (const auto& rule : kRoles) {
    if (rule.role == role) return rule.author;
  }
  return std::nullopt;
}

// Names each taken once, in the order first seen, for a display name.
class NameList {
 public:
  void add(std::string name) {
    if (!name.empty() && seen_.insert(name).second) names_.push_back(std::move(name));
  }
  bool empty() const { return names_.empty(); }
  std::string joined() const {
    std::string out;
    for (const auto& n : names_) out += (out.empty() ? "" : ", ") + n;
    return out;
  }

 private:
  std::set<std::string, std::less<>> seen_;
  std::vector<std::string> names_;
};

// The name a tool call gives its function: OpenAI's `function.name`, else `name`.
std::string function_name(const Json& call) {
  if (!call.is_object()) return {};
  auto fn = call.find("function");
  std::string name = fn != call.end() ? string_member(*fn, "name") : "";
  return name.empty() ? string_member(call, "name") : name;
}

// The names of the functions a message calls, each once, in call order.
NameList called_functions(const Json& m) {
  NameList names;
  if (auto it = m.find("tool_calls"); it != m.end() && it->is_array()) {
    for (const auto& call : *it) names.add(function_name(call));
  }
  if (auto it = m.find("function_call"); it != m.end()) names.add(string_member(*it, "name"));
  return names;
}

// Tool call ids to the names of the functions they called, over the whole transcript.
std::map<std::string, std::string, std::less<>> call_names(const Json& messages) {
  std::map<std::string, std::string, std::less<>> out;
  for (const auto& m : messages) {
    auto it = m.is_object() ? m.find("tool_calls") : m.end();
    if (!m.is_object() || it == m.end() || !it->is_array()) continue;
    for (const auto& call : *it) {
      std::string id = string_member(call, "id");
      std::string name = function_name(call);
      if (!id.empty() && !name.empty()) out.emplace(std::move(id), std::move(name));
    }
  }
  return out;
}

// The name of the call a tool message answers: by its `tool_call_id`, or by the ids of its
// `tool_responses` (AG2), joined with ", "; empty when none is known.
std::string answered_call(const Json& m,
                          const std::map<std::string, std::string, std::less<>>& names) {
  auto lookup = [&](const Json& object) -> std::string {
    auto it = names.find(string_member(object, "tool_call_id"));
    return it == names.end() ? std::string() : it->second;
  };
  if (std::string name = lookup(m); !name.empty()) return name;
  NameList out;
  if (auto it = m.find("tool_responses"); it != m.end() && it->is_array()) {
    for (const auto& response : *it) out.add(lookup(response));
  }
  return out.joined();
}

// Why `document` is not a transcript, when it is not: no array of messages (`messages` is
// the array found, if any), an element that is not an object, or no element that looks
// like a message.
std::optional<Error> not_a_transcript(const Json& document, const Json* messages,
                                      std::string_view where) {
  const std::string expected =
      "expected an array of chat messages, or an object holding one under " + wrapper_list();
  if (!messages) {
    if (document.is_object()) {
      for (auto key : kWrapperKeys) {
        if (document.contains(key) && document[key].is_array())
          return Error::message(std::string(where) + ": no chat messages under \"" +
                                std::string(key) +
                                "\" (objects with \"role\", \"content\" or "
                                "\"tool_calls\"); " +
                                expected);
      }
    }
    return Error::message(std::string(where) + ": " + expected);
  }
  for (size_t i = 0; i < messages->size(); ++i) {
    if (!(*messages)[i].is_object())
      return Error::message(std::string(where) + ": message " + std::to_string(i) +
                            " is not an object");
  }
  if (has_message(*messages)) return std::nullopt;
  std::string error = std::string(where) +
                      ": no chat messages found (objects with \"role\", \"content\" or "
                      "\"tool_calls\"); " +
                      expected;
  // A file of evaluation results often holds one transcript per element.
  if (!messages->empty()) {
    for (auto key : kWrapperKeys) {
      auto it = messages->front().find(key);
      if (it != messages->front().end() && it->is_array() && has_message(*it)) {
        error += "; its elements hold transcripts under \"" + std::string(key) +
                 "\": give them one at a time (for batch, one per line of a JSON Lines file)";
        break;
      }
    }
  }
  return Error::message(std::move(error));
}

Message read_message(const Json& m) {
  Message msg;
  msg.role_written = string_member(m, "role");
  msg.role = norm(msg.role_written);
  msg.name = string_member(m, "name");
  msg.text = m.contains("content") ? content_text(m["content"]) : "";
  bool tool_calls =
      m.contains("tool_calls") && m["tool_calls"].is_array() && !m["tool_calls"].empty();
  bool function_call = m.contains("function_call") && m["function_call"].is_object();
  msg.calls = tool_calls || function_call;
  if (role_author(msg.role) != Author::kSystem) {
    msg.exit_code = executor_exit_code(msg.text);
    if (msg.exit_code) msg.exit_failed = *msg.exit_code != 0;
  }
  return msg;
}

// Who wrote each message. A group chat names its authors: with two or more names, the
// author of a message is its name, and the author of the first message gives the task. A
// code executor's reply is a tool result whoever sent it.
std::vector<Author> authors_of(const std::vector<Message>& read) {
  std::optional<std::string_view> task_giver, first_name;
  bool by_name = false;
  for (const auto& msg : read) {
    std::optional<Author> by_role = role_author(msg.role);
    if (by_role == Author::kSystem || by_role == Author::kTool) continue;
    if (!task_giver) task_giver = msg.name;
    if (msg.name.empty()) continue;
    if (!first_name) first_name = msg.name;
    if (*first_name != msg.name) by_name = true;
  }
  std::vector<Author> authors;
  authors.reserve(read.size());
  for (const auto& msg : read) {
    std::optional<Author> by_role = role_author(msg.role);
    Author a;
    if (by_role == Author::kSystem || by_role == Author::kTool)
      a = *by_role;
    else if (msg.exit_failed)
      a = Author::kTool;
    else if (by_name && !msg.name.empty())
      a = msg.name == *task_giver ? Author::kUser : Author::kAgent;
    else
      a = by_role.value_or(Author::kAgent);
    authors.push_back(a);
  }
  return authors;
}

// The step type of an agent message that is neither a tool call nor the final answer: by
// the agent's name (a planner, a searcher...), else reasoning.
std::string agent_step_type(const Message& msg) {
  std::string agent = lower(msg.name.empty() ? msg.role_written : msg.name);
  for (const auto& rule : kAgentNames) {
    if (contains(agent, rule.word)) return std::string(rule.step_type);
  }
  return "reasoning";
}

// An agent's name without the note some logs add to the role ("Orchestrator (thought)",
// "Orchestrator (-> WebSurfer)"): the same agent whatever it was doing.
std::string agent_name(std::string_view written) {
  std::string_view name = trim_ascii(written);
  if (name.ends_with(')')) {
    size_t open = name.rfind(" (");
    if (open != std::string_view::npos && open > 0) name = trim_ascii(name.substr(0, open));
  }
  return std::string(name);
}

// Who is responsible for each message: an agent for its own messages, and for a tool's
// answer the agent that asked for it (by the call's id, else the last agent before it).
std::vector<std::string> agents_of(const Json& messages, const std::vector<Message>& read,
                                   const std::vector<Author>& authors) {
  std::map<std::string, std::string, std::less<>> caller;  // tool call id -> agent
  std::vector<std::string> out(read.size());
  std::string last_agent;
  for (size_t i = 0; i < read.size(); ++i) {
    const Message& msg = read[i];
    if (authors[i] == Author::kAgent) {
      last_agent = agent_name(msg.name.empty() ? msg.role_written : msg.name);
      out[i] = last_agent;
      auto it = messages[i].find("tool_calls");
      if (it != messages[i].end() && it->is_array()) {
        for (const auto& call : *it) {
          std::string id = string_member(call, "id");
          if (!id.empty()) caller[id] = last_agent;
        }
      }
    } else if (authors[i] == Author::kTool) {
      auto it = caller.find(string_member(messages[i], "tool_call_id"));
      out[i] = it != caller.end() ? it->second : last_agent;
    }
  }
  return out;
}

// Tool calls that a log kept as text (a JSON text, or the text Python prints for a list)
// read back as the list they stand for; the transcript is copied only when one needs it.
const Json* with_tool_calls_decoded(const Json* messages, Json& copy) {
  auto is_text = [](const Json& m) {
    return m.is_object() && m.contains("tool_calls") && m["tool_calls"].is_string();
  };
  if (std::none_of(messages->begin(), messages->end(), is_text)) return messages;
  copy = *messages;
  for (auto& m : copy) {
    if (!is_text(m)) continue;
    auto decoded = parse_literal(m["tool_calls"].get_ref<const std::string&>());
    if (decoded && decoded->is_array()) m["tool_calls"] = std::move(*decoded);
  }
  return &copy;
}

// The step type of a message and the name it is shown by: its author's kind, the tool a
// result answers, the functions a call names.
std::pair<std::string, std::string> kind_of_message(
    const Json& m, const Message& msg, Author author,
    const std::map<std::string, std::string, std::less<>>& calls, bool final) {
  std::string display = msg.name.empty() ? msg.role_written : msg.name;
  std::string type;
  switch (author) {
    case Author::kUser:
      type = "user_input";
      break;
    case Author::kSystem:
      type = "setup";
      break;
    case Author::kTool:
      type = "tool_result";
      if (!msg.exit_failed) {
        std::string answered = answered_call(m, calls);
        if (!answered.empty()) display = answered;
      }
      break;
    case Author::kAgent:
      if (msg.calls) {
        type = "tool_call";
        if (auto fns = called_functions(m); !fns.empty()) display = fns.joined();
      } else {
        type = final ? "final_answer" : agent_step_type(msg);
      }
      break;
  }
  return {std::move(type), std::move(display)};
}

}  // namespace

Result<Json> import_chat(const Json& document, std::string_view where) {
  const Json* messages = messages_of(document);
  if (auto refused = not_a_transcript(document, messages, where)) return std::move(*refused);
  Json decoded_copy;
  messages = with_tool_calls_decoded(messages, decoded_copy);

  std::vector<Message> read;
  read.reserve(messages->size());
  for (const auto& m : *messages) read.push_back(read_message(m));
  const std::vector<Author> authors = authors_of(read);

  // The final answer is the last agent message that says something and calls no tool.
  std::optional<size_t> final_at;
  for (size_t i = 0; i < read.size(); ++i) {
    if (authors[i] == Author::kAgent && !read[i].calls && says_something(read[i].text))
      final_at = i;
  }

  const auto calls = call_names(*messages);
  const std::vector<std::string> agents = agents_of(*messages, read, authors);
  Json steps = Json::array();
  std::string title;
  bool run_failed = false;
  for (size_t i = 0; i < read.size(); ++i) {
    const Json& m = (*messages)[i];
    const Message& msg = read[i];
    auto [type, display] = kind_of_message(m, msg, authors[i], calls, final_at == i);
    if (title.empty() && type == "user_input") title = prefix_of(msg.text, kTitleLimit);

    bool failed = msg.exit_failed ? *msg.exit_failed : reports_error(msg.text);
    if (msg.calls || says_something(msg.text)) run_failed = failed;
    Json step = {{"id", "message-" + std::to_string(i)},
                 {"step_index", i},
                 {"step_type", type},
                 {"display_name", display},
                 {"status", failed ? "failed" : "completed"},
                 {"summary", prefix_of(msg.text, kSummaryLimit)},
                 {"raw_output", msg.text}};
    if (failed)
      step["error_message"] =
          prefix_of(error_line(msg.text, msg.exit_failed.has_value()), kSummaryLimit);
    if (msg.calls) {
      Json in = Json::object();
      for (const char* key : {"tool_calls", "function_call"}) {
        if (m.contains(key)) in[key] = m[key];
      }
      step["raw_input"] = std::move(in);
    }
    Json meta = {{"role", msg.role_written}, {"message_index", i}};
    if (!msg.name.empty()) meta["name"] = msg.name;
    if (!agents[i].empty()) meta["agent"] = agents[i];
    if (msg.exit_code) meta["exit_code"] = *msg.exit_code;
    if (m.contains("tool_call_id")) meta["tool_call_id"] = m["tool_call_id"];
    step["metadata"] = std::move(meta);
    steps.push_back(std::move(step));
  }
  Json run = {{"title", title.empty() ? std::string("Chat transcript") : title},
              {"status", run_failed ? "failed" : "completed"},
              {"recorded_from", "chat"},
              {"status_inferred", true}};
  return Json{{"run", std::move(run)}, {"steps", std::move(steps)}};
}

}  // namespace tracedx
