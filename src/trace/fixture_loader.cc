#include "trace/fixture_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace tracedx {
namespace {

using nlohmann::detail::value_t;

// Wraps the library's DOM builder to enforce the depth limit and to keep the parse error
// as a value. The parser itself is iterative, so depth costs no stack.
class BoundedDomSax {
 public:
  explicit BoundedDomSax(Json& root) : dom_(root, /*allow_exceptions=*/false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(Json::number_integer_t v) {
    // The lexer yields a signed integer only for a leading minus; "-0" is then the only
    // way to get zero, and it is kept as the float it denotes.
    if (v == 0) return dom_.number_float(-0.0, "-0");
    return dom_.number_integer(v);
  }
  bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const Json::string_t& s) {
    return dom_.number_float(v, s);
  }
  bool string(Json::string_t& v) { return dom_.string(v); }
  bool binary(Json::binary_t& v) { return dom_.binary(v); }
  bool key(Json::string_t& v) { return dom_.key(v); }
  bool start_object(size_t n) { return enter() && dom_.start_object(n); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(size_t n) { return enter() && dom_.start_array(n); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(size_t position, const std::string& /*token*/,
                   const nlohmann::detail::exception& ex) {
    what_ = ex.what();
    position_ = position;
    return false;
  }

  bool too_deep() const { return too_deep_; }
  const std::string& what() const { return what_; }
  size_t position() const { return position_; }

 private:
  bool enter() {
    if (++depth_ > kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  size_t depth_ = 0;
  bool too_deep_ = false;
  std::string what_;
  size_t position_ = 0;
};

// Line and column (both 1-based, column in bytes) of a byte offset.
std::pair<size_t, size_t> position_of(std::string_view bytes, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

// Offset of the bracket that opens the first container deeper than the limit. Only called
// after the parser stopped there, so the bytes before it are well-formed JSON.
size_t offset_of_excess_depth(std::string_view bytes) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return bytes.size();
}

// Splits the library's "[json.exception...] parse error at line L, column C: msg". Errors
// without a position in their text (a number out of range) take it from the byte offset.
Error json_error_from(const std::string& what, std::string_view bytes, size_t offset) {
  auto [line, column] = position_of(bytes, offset > 0 ? offset - 1 : 0);
  std::string message = what;
  if (auto at = what.find(" at line "); at != std::string::npos) {
    std::sscanf(what.c_str() + at, " at line %zu, column %zu", &line, &column);
    if (auto colon = what.find(": ", at); colon != std::string::npos) {
      message = what.substr(colon + 2);
    }
  } else if (auto close = what.find("] "); close != std::string::npos) {
    message = what.substr(close + 2);
  }
  return Error::json(std::move(message), line, column);
}

std::optional<std::string> string_field(const Json& v) {
  if (v.is_string()) return v.get_ref<const std::string&>();
  return std::nullopt;
}

std::optional<std::string> take_string(Json::object_t& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->second.is_string()) return std::nullopt;
  return std::move(it->second.get_ref<std::string&>());
}

std::optional<Json> take_value(Json::object_t& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end()) return std::nullopt;
  return std::move(it->second);
}

std::optional<int64_t> signed_integer(const Json& v) {
  if (v.type() == value_t::number_integer) return v.get<int64_t>();
  if (v.type() == value_t::number_unsigned) {
    uint64_t u = v.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(u);
    }
  }
  return std::nullopt;
}

TraceStep build_step(Json& element) {
  TraceStep step;
  if (!element.is_object()) return step;
  auto& obj = element.get_ref<Json::object_t&>();
  step.id = take_value(obj, "id");
  if (auto it = obj.find("step_index"); it != obj.end())
    step.step_index = signed_integer(it->second);
  step.step_type = take_string(obj, "step_type");
  step.display_name = take_string(obj, "display_name");
  step.summary = take_string(obj, "summary");
  step.status = take_string(obj, "status");
  if (auto it = obj.find("duration_ms");
      it != obj.end() && it->second.type() == value_t::number_unsigned) {
    step.duration_ms = it->second.get<uint64_t>();
  }
  step.error_message = take_string(obj, "error_message");
  step.raw_input = take_value(obj, "raw_input");
  step.raw_output = take_value(obj, "raw_output");
  step.metadata = take_value(obj, "metadata");
  return step;
}

}  // namespace

uint64_t sum_step_durations(const std::vector<TraceStep>& steps) {
  uint64_t total = 0;
  for (const auto& step : steps) {
    if (!step.duration_ms) continue;
    if (__builtin_add_overflow(total, *step.duration_ms, &total)) {
      return std::numeric_limits<uint64_t>::max();
    }
  }
  return total;
}

Result<std::string> read_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno, path.string());
  std::string bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    // Read straight into the reserved buffer when there is room, else through buf.
    size_t room = bytes.capacity() - bytes.size();
    ssize_t n;
    if (room >= sizeof buf) {
      size_t old = bytes.size();
      bytes.resize(bytes.capacity());
      n = ::read(fd, bytes.data() + old, room);
      bytes.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    } else {
      n = ::read(fd, buf, sizeof buf);
      if (n > 0) bytes.append(buf, static_cast<size_t>(n));
    }
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return Error::os(code, path.string());
    }
  }
  ::close(fd);
  return bytes;
}

Result<Json> parse_json(std::string_view bytes) {
  Json root;
  BoundedDomSax sax(root);
  bool ok =
      Json::sax_parse(bytes.begin(), bytes.end(), &sax, nlohmann::detail::input_format_t::json,
                      /*strict=*/true);
  if (ok) return root;
  if (sax.too_deep()) {
    auto [line, column] = position_of(bytes, offset_of_excess_depth(bytes));
    return Error::json("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels", line,
                       column);
  }
  return json_error_from(sax.what(), bytes, sax.position());
}

Result<Trace> build_trace(std::string_view name, Json document) {
  if (!document.is_object()) return Error::message("fixture.run missing");
  auto& top = document.get_ref<Json::object_t&>();
  auto run_it = top.find("run");
  if (run_it == top.end() || !run_it->second.is_object()) {
    return Error::message("fixture.run missing");
  }
  auto steps_it = top.find("steps");
  if (steps_it == top.end() || !steps_it->second.is_array()) {
    return Error::message("fixture.steps missing");
  }

  Trace trace;
  auto& elements = steps_it->second.get_ref<Json::array_t&>();
  trace.steps.reserve(elements.size());
  for (auto& element : elements) trace.steps.push_back(build_step(element));
  trace.total_duration_ms = sum_step_durations(trace.steps);

  auto& run = run_it->second.get_ref<Json::object_t&>();
  trace.status = take_string(run, "status");
  if (auto it = run.find("diagnostic_summary"); it != run.end()) {
    trace.diagnostic_summary = string_field(it->second);
  } else {
    trace.diagnostic_summary = take_string(run, "failure_reason");
  }
  trace.title = take_string(run, "title");
  if (auto it = run.find("total_cost"); it != run.end() && it->second.is_number()) {
    trace.total_cost = it->second.get<double>();
  }
  trace.id = std::string(name);
  return trace;
}

std::filesystem::path fixture_path(const std::filesystem::path& fixture_dir,
                                   std::string_view name) {
  return fixture_dir / std::filesystem::path(std::string(name));
}

Result<Trace> load_fixture(const std::filesystem::path& fixture_dir, std::string_view name) {
  auto path = fixture_path(fixture_dir, name);
  auto bytes = read_file(path);
  if (!bytes) return std::move(bytes).error();
  auto document = parse_json(*bytes);
  if (!document) return std::move(document).error().with_path(path.string());
  std::string().swap(*bytes);
  return build_trace(name, std::move(*document));
}

}  // namespace tracedx
