// Chat transcripts to fixture documents: one step per message. A message whose text
// reports an error (it starts with "error", or holds a Python traceback or "an error
// occurred") is a failed step; the run failed when its last message did.
#include "import/importers.h"
#include "import/json_members.h"
#include "text/text.h"

namespace tracedx {
namespace {

constexpr size_t kSummaryLimit = 2000;

struct NameRule {
  std::string_view word;  // contained in the lowercased agent name
  std::string_view step_type;
};

// Agent names of multi-agent group chats that say what the agent does.
constexpr NameRule kAgentNames[] = {
    {"planner", "planner"},   {"orchestrator", "planner"}, {"searcher", "web_search"},
    {"surfer", "web_search"}, {"browser", "web_search"},
};

constexpr std::string_view kErrorMarks[] = {"traceback (most recent call last)",
                                            "an error occurred"};

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

// Cuts at a UTF-8 character boundary at or before `limit` bytes.
std::string prefix_of(const std::string& s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut);
}

}  // namespace

Result<Json> import_chat(const Json& document, std::string_view where) {
  const Json* messages = &document;
  if (document.is_object()) {
    messages = nullptr;
    for (const char* key : {"messages", "history", "conversation"}) {
      if (document.contains(key) && document[key].is_array()) {
        messages = &document[key];
        break;
      }
    }
  }
  if (!messages || !messages->is_array()) {
    return Error::message(std::string(where) +
                          ": expected an array of messages, or an object holding one under "
                          "\"messages\", \"history\" or \"conversation\"");
  }
  // The last assistant message without tool calls gives the final answer.
  std::optional<size_t> final_at;
  for (size_t i = 0; i < messages->size(); ++i) {
    const Json& m = (*messages)[i];
    if (!m.is_object())
      return Error::message(std::string(where) + ": message " + std::to_string(i) +
                            " is not an object");
    std::string role = norm(string_member(m, "role"));
    bool tool_calls =
        m.contains("tool_calls") && m["tool_calls"].is_array() && !m["tool_calls"].empty();
    bool known = role == "user" || role == "human" || role == "system" || role == "tool" ||
                 role == "function";
    if (!known && !tool_calls) final_at = i;
  }

  Json steps = Json::array();
  std::string title;
  bool last_failed = false;
  for (size_t i = 0; i < messages->size(); ++i) {
    const Json& m = (*messages)[i];
    std::string role_written = string_member(m, "role");
    std::string role = norm(role_written);
    std::string name = string_member(m, "name");
    std::string text = m.contains("content") ? content_text(m["content"]) : "";
    bool tool_calls =
        m.contains("tool_calls") && m["tool_calls"].is_array() && !m["tool_calls"].empty();

    std::string type;
    if (role == "user" || role == "human")
      type = "user_input";
    else if (role == "system")
      type = "setup";
    else if (role == "tool" || role == "function")
      type = "tool_result";
    else if (tool_calls)
      type = "tool_call";
    else if (final_at == i)
      type = "final_answer";
    else {
      type = "reasoning";
      std::string agent = lower(name.empty() ? role_written : name);
      for (const auto& rule : kAgentNames) {
        if (contains(agent, rule.word)) {
          type = rule.step_type;
          break;
        }
      }
    }
    if (title.empty() && type == "user_input") title = prefix_of(text, 80);

    bool failed = reports_error(text);
    last_failed = failed;
    Json step = {{"id", "message-" + std::to_string(i)},
                 {"step_index", i},
                 {"step_type", type},
                 {"display_name", name.empty() ? role_written : name},
                 {"status", failed ? "failed" : "completed"},
                 {"summary", prefix_of(text, kSummaryLimit)},
                 {"raw_output", text}};
    if (failed) step["error_message"] = prefix_of(text.substr(0, text.find('\n')), kSummaryLimit);
    if (tool_calls) step["raw_input"] = {{"tool_calls", m["tool_calls"]}};
    Json meta = {{"role", role_written}, {"message_index", i}};
    if (!name.empty()) meta["name"] = name;
    if (m.contains("tool_call_id")) meta["tool_call_id"] = m["tool_call_id"];
    step["metadata"] = std::move(meta);
    steps.push_back(std::move(step));
  }
  Json run = {{"title", title.empty() ? std::string("Chat transcript") : title},
              {"status", last_failed ? "failed" : "completed"}};
  return Json{{"run", std::move(run)}, {"steps", std::move(steps)}};
}

}  // namespace tracedx
