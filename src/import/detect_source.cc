#include "import/detect_source.h"

#include <set>
#include <vector>

#include "import/sources.h"

namespace tracedx {
namespace {

// How much of an input is read to tell its format.
constexpr size_t kHeadBytes = size_t{1} << 20;
// Keys listed in a message about a document that fits no format.
constexpr size_t kKeysShown = 6;

// Top-level keys that mark each format, and the keys of a chat message.
constexpr std::string_view kOtlpKeys[] = {
    "resourceSpans", "resource_spans", "scopeSpans", "scope_spans", "instrumentationLibrarySpans",
    "resourceLogs",  "resource_logs"};
constexpr std::string_view kFixtureKeys[] = {"run", "steps"};
constexpr std::string_view kChatWrapperKeys[] = {"messages",     "history", "conversation",
                                                 "chat_history", "traj",    "trajectory"};
constexpr std::string_view kMessageKeys[] = {"role", "content", "tool_calls", "function_call",
                                             "tool_call_id"};

// What the top of a document shows.
struct Shape {
  char top = 0;                   // '{', '[', another first byte, or 0 for nothing
  std::vector<std::string> keys;  // of the top object, or of the array's first object
};

template <size_t N>
bool any_key(const Shape& s, const std::string_view (&keys)[N]) {
  for (const auto& k : s.keys) {
    for (auto want : keys) {
      if (k == want) return true;
    }
  }
  return false;
}

// A byte scanner over JSON that reads keys and skips values; it never recurses and stops
// at the end of its text (a cut document shows the keys read before the cut).
class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text) {}

  void space() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
      ++at_;
  }
  bool done() const { return at_ >= s_.size(); }
  char peek() const { return done() ? 0 : s_[at_]; }
  void next() { ++at_; }

  // A string at the cursor (its opening quote), without unescaping beyond \" and \\.
  bool string(std::string& out) {
    if (peek() != '"') return false;
    ++at_;
    out.clear();
    while (at_ < s_.size()) {
      char c = s_[at_++];
      if (c == '"') return true;
      if (c == '\\' && at_ < s_.size()) c = s_[at_++];
      if (out.size() < 256) out += c;
    }
    return false;
  }

  // Skips one value at the cursor.
  void skip_value() {
    space();
    if (peek() == '"') {
      std::string ignored;
      string(ignored);
      return;
    }
    if (peek() != '{' && peek() != '[') {
      while (!done() && peek() != ',' && peek() != '}' && peek() != ']') ++at_;
      return;
    }
    size_t depth = 0;
    while (!done()) {
      char c = s_[at_];
      if (c == '"') {
        std::string ignored;
        string(ignored);
        continue;
      }
      ++at_;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return;
    }
  }

  // The keys of the object at the cursor, until `enough` says they decide.
  template <typename Enough>
  void object_keys(std::vector<std::string>& keys, Enough enough) {
    next();  // {
    for (;;) {
      space();
      std::string key;
      if (!string(key)) return;
      keys.push_back(std::move(key));
      if (enough(keys)) return;
      space();
      if (peek() != ':') return;
      next();
      skip_value();
      space();
      if (peek() != ',') return;
      next();
    }
  }

 private:
  std::string_view s_;
  size_t at_ = 0;
};

bool decided(const std::vector<std::string>& keys) {
  bool run = false, steps = false;
  for (const auto& k : keys) {
    for (auto o : kOtlpKeys)
      if (k == o) return true;
    for (auto w : kChatWrapperKeys)
      if (k == w) return true;
    run = run || k == "run";
    steps = steps || k == "steps";
  }
  return run && steps;
}

Shape shape_of(std::string_view head) {
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  Scanner sc(head);
  Shape shape;
  sc.space();
  shape.top = sc.peek();
  if (shape.top == '{') {
    sc.object_keys(shape.keys, decided);
  } else if (shape.top == '[') {
    sc.next();
    sc.space();
    if (sc.peek() == '{') sc.object_keys(shape.keys, [](const auto&) { return false; });
  }
  return shape;
}

std::string what_it_is(const Shape& s) {
  if (s.top == 0) return "it is empty";
  if (s.top != '{' && s.top != '[') return "it does not start with a JSON object or array";
  std::string out = s.top == '{' ? "it is a JSON object" : "it is a JSON array";
  if (s.keys.empty()) return out + (s.top == '{' ? " with no keys" : " with no object first");
  out += s.top == '{' ? " with the keys " : " whose first element has the keys ";
  for (size_t i = 0; i < s.keys.size() && i < kKeysShown; ++i)
    out += (i ? ", \"" : "\"") + s.keys[i] + "\"";
  if (s.keys.size() > kKeysShown) out += ", ...";
  return out;
}

}  // namespace

Result<Source> detect_source(std::string_view head, std::string_view where) {
  const Shape s = shape_of(head);
  // Without a single key there is nothing to tell formats apart by (not JSON, a scalar, an
  // array of no objects): the fixture loader says what is wrong with it.
  if (s.keys.empty()) return Source::kFixture;
  std::vector<Source> found;
  if (s.top == '{' && any_key(s, kOtlpKeys)) found.push_back(Source::kOtlp);
  if ((s.top == '[' && any_key(s, kMessageKeys)) || (s.top == '{' && any_key(s, kChatWrapperKeys)))
    found.push_back(Source::kChat);
  if (s.top == '{' && any_key(s, kFixtureKeys)) found.push_back(Source::kFixture);
  if (found.size() == 1) return found.front();
  if (found.size() > 1) {
    std::string names;
    for (size_t i = 0; i < found.size(); ++i)
      names += std::string(i ? (i + 1 == found.size() ? " or " : ", ") : "") +
               std::string(source_row(found[i]).noun);
    return Error::message(std::string(where) + " could be " + names + "; say which with --from " +
                          source_words());
  }
  return Error::message(std::string(where) + ": not a trace this tool reads (" + what_it_is(s) +
                        "); expected " + sources_expected());
}

Result<Source> detect_source(Input& input) {
  auto head = input.head(kHeadBytes);
  if (!head) return std::move(head).error().with_path(input.name());
  return detect_source(*head, input.name());
}

}  // namespace tracedx
