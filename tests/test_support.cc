#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "trace/fixture_loader.h"

namespace tracedx::test_support {

Trace trace_of(std::string_view fixture_json, std::string_view name) {
  auto doc = parse_json(fixture_json);
  if (!doc) {
    ADD_FAILURE() << "bad test fixture: " << doc.error().display();
    return Trace{};
  }
  auto trace = build_trace(name, std::move(*doc));
  if (!trace) {
    ADD_FAILURE() << "bad test fixture: " << trace.error().display();
    return Trace{};
  }
  // Every test trace also checks the fast loader against the document path.
  auto fast = load_trace(name, fixture_json);
  if (!fast) {
    ADD_FAILURE() << "fast loader failed: " << fast.error().display();
  } else if (auto d = trace_difference(*fast, *trace); !d.empty()) {
    ADD_FAILURE() << "fast loader differs: " << d;
  }
  return std::move(*trace);
}

namespace {

// Empty when equal; compares kinds (the three number kinds apart) and float bits.
std::string json_difference(const Json& a, const Json& b, const std::string& where) {
  if (a.type() != b.type()) return where + ": kinds differ: " + a.dump() + " / " + b.dump();
  switch (a.type()) {
    case Json::value_t::number_float: {
      double x = a.get<double>(), y = b.get<double>();
      if (std::memcmp(&x, &y, sizeof x) != 0) return where + ": " + a.dump() + " / " + b.dump();
      return "";
    }
    case Json::value_t::array: {
      if (a.size() != b.size()) return where + ": sizes differ";
      for (size_t i = 0; i < a.size(); ++i) {
        auto d = json_difference(a[i], b[i], where + "[" + std::to_string(i) + "]");
        if (!d.empty()) return d;
      }
      return "";
    }
    case Json::value_t::object: {
      if (a.size() != b.size()) return where + ": sizes differ";
      for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i.key() != j.key()) return where + ": keys differ: " + i.key() + " / " + j.key();
        auto d = json_difference(*i, *j, where + "." + i.key());
        if (!d.empty()) return d;
      }
      return "";
    }
    default:
      return a == b ? "" : where + ": " + a.dump() + " / " + b.dump();
  }
}

std::string optional_difference(const Boxed<Json>& a, const Boxed<Json>& b,
                                const std::string& where) {
  if (a.has_value() != b.has_value()) return where + ": presence differs";
  return a ? json_difference(*a, *b, where) : "";
}

// Either a std::optional or a boxed step field.
template <typename O>
std::string field_difference(const O& a, const O& b, const std::string& where) {
  using T = typename O::value_type;
  if (a.has_value() != b.has_value()) return where + ": presence differs";
  if (!a) return "";
  if constexpr (std::is_same_v<T, double>) {
    return std::memcmp(&*a, &*b, sizeof(double)) == 0 ? "" : where + ": values differ";
  } else {
    return *a == *b ? "" : where + ": values differ";
  }
}

}  // namespace

std::string trace_difference(const Trace& a, const Trace& b) {
  std::string d = json_difference(a.id, b.id, "id");
  auto add = [&](std::string more) {
    if (d.empty()) d = std::move(more);
  };
  add(field_difference(a.status, b.status, "status"));
  add(field_difference(a.title, b.title, "title"));
  add(field_difference(a.service_name, b.service_name, "service_name"));
  add(field_difference(a.agent_name, b.agent_name, "agent_name"));
  add(field_difference(a.recorded_from, b.recorded_from, "recorded_from"));
  if (a.status_inferred != b.status_inferred) add("status_inferred differs");
  add(field_difference(a.diagnostic_summary, b.diagnostic_summary, "diagnostic_summary"));
  add(field_difference(a.total_cost, b.total_cost, "total_cost"));
  if (a.total_duration_ms != b.total_duration_ms) add("total_duration_ms differs");
  if (a.steps.size() != b.steps.size()) add("step counts differ");
  for (size_t i = 0; d.empty() && i < a.steps.size(); ++i) {
    const TraceStep &x = a.steps[i], &y = b.steps[i];
    std::string at = "steps[" + std::to_string(i) + "].";
    add(optional_difference(x.id, y.id, at + "id"));
    add(field_difference(x.step_index, y.step_index, at + "step_index"));
    add(field_difference(x.step_type, y.step_type, at + "step_type"));
    add(field_difference(x.display_name, y.display_name, at + "display_name"));
    add(field_difference(x.summary, y.summary, at + "summary"));
    add(field_difference(x.status, y.status, at + "status"));
    add(field_difference(x.duration_ms, y.duration_ms, at + "duration_ms"));
    add(field_difference(x.error_message, y.error_message, at + "error_message"));
    add(optional_difference(x.raw_input, y.raw_input, at + "raw_input"));
    add(optional_difference(x.raw_output, y.raw_output, at + "raw_output"));
    add(optional_difference(x.metadata, y.metadata, at + "metadata"));
  }
  return d;
}

Trace run_of(std::string_view status, std::string_view steps_json) {
  std::string doc = R"({"run":{"status":)" + Json(std::string(status)).dump() + R"(},"steps":)" +
                    std::string(steps_json) + "}";
  return trace_of(doc);
}

TraceStep step_of(std::string_view step_json) {
  Trace t = trace_of(R"({"run":{},"steps":[)" + std::string(step_json) + "]}");
  return t.steps.empty() ? TraceStep{} : t.steps[0];
}

std::filesystem::path make_temp_dir(std::string_view tag) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("tracedx-" + std::string(tag) + "-XXXXXX"))
          .string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) ADD_FAILURE() << "mkdtemp failed";
  return pattern;
}

void write_text(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace tracedx::test_support

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

namespace tracedx::test_support {

CommandResult run_command(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          std::string_view input) {
  int in[2], out[2], err[2];
  if (::pipe(in) || ::pipe(out) || ::pipe(err)) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  CommandResult result;
  // Feed the input and drain both outputs together so that no pipe fills up.
  size_t fed = 0;
  if (input.empty()) ::close(in[1]);
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  bool in_open = !input.empty(), out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_open ? in[1] : -1, POLLOUT, 0}};
    ::poll(fds, 3, -1);
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
    if (in_open && (fds[2].revents & (POLLOUT | POLLERR))) {
      ssize_t n = ::write(in[1], input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      if (n < 0 || fed == input.size()) {
        ::close(in[1]);
        in_open = false;
      }
    }
  }
  if (in_open) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tracedx::test_support
