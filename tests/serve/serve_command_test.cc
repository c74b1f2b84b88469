// tracedx serve as a process, as an operator runs it: the shutdown signals. Servers listen
// on 127.0.0.1 (ephemeral ports); every wait is bounded and a server left running at the end
// of a test is killed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A `tracedx serve` process with its standard output and error read through pipes.
class ServeProcess {
 public:
  ServeProcess(const fs::path& dir, std::vector<std::string> options) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return;
    options.insert(options.begin(), {TRACEDX_BIN, "serve", "--listen", "127.0.0.1:0",
                                     "--grpc-listen", "127.0.0.1:0", "--db", "t.db"});
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      std::vector<char*> argv;
      for (auto& a : options) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~ServeProcess() {
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_})
      if (fd >= 0) ::close(fd);
  }

  // The port of its listening line, or 0 when none came within the time.
  int port() {
    if (!read_until(out_, out_text_, "\n", 30s)) return 0;
    const std::string prefix = "tracedx serve: listening on http://127.0.0.1:";
    if (out_text_.rfind(prefix, 0) != 0) return 0;
    return std::atoi(out_text_.c_str() + prefix.size());
  }

  // Whether its standard error came to hold `text` within the time.
  bool said(std::string_view text, Clock::duration limit) {
    return read_until(err_, err_text_, text, limit);
  }
  const std::string& err() const { return err_text_; }

  void signal(int sig) const { ::kill(pid_, sig); }

  // Its exit status once it exited, kRunning while it runs (after waiting up to `limit`),
  // kSignalled when a signal ended it.
  static constexpr int kRunning = -1, kSignalled = -2;
  int exit_status(Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (status_ == kRunning) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : kSignalled;
      } else if (Clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    return status_;
  }

 private:
  static bool read_until(int fd, std::string& got, std::string_view text, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (got.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      got.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  int status_ = kRunning;
  std::string out_text_, err_text_;
};

const std::string kTrace = "0af7651916cd43dd8448eb211c80319c";

// One root span as OTLP JSON.
std::string export_body() {
  return R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"svc"}}]},)"
         R"("scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":")" +
         kTrace +
         R"(","spanId":"b7ad6b7169203331","name":"invoke_agent",)"
         R"("startTimeUnixNano":"1700000000000000000","endTimeUnixNano":"1700000001000000000"}]}]}]})";
}

// A connection holding a request in progress: its headers and part of its body are sent,
// the rest never is. True once the server has begun reading it (its "100 Continue"), or
// after a pause when it does not answer that.
bool hold_request(int port, int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const std::string head =
      "POST /v1/traces HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Expect: 100-continue\r\nContent-Length: 100000\r\n\r\n";
  if (::write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 2000) > 0) {
    char buf[256];
    if (::read(fd, buf, sizeof buf) <= 0) return false;
  }
  return ::write(fd, "{\"resourceSpans\":[", 18) == 18;
}

// The first SIGTERM drains: the server waits for the request in progress. A second one
// ends it at once with status 1, and what it had acknowledged is found by the next start.
TEST(ServeCommand, SecondSignalStopsAtOnceKeepingWhatWasAcknowledged) {
  const fs::path dir = test_support::make_temp_dir("serve-signals");
  {
    ServeProcess serve(dir, {"--quiet-ms", "600000", "--drain-timeout-ms", "60000"});
    const int port = serve.port();
    ASSERT_GT(port, 0) << serve.err();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    auto acknowledged = client.Post("/v1/traces", export_body(), "application/json");
    ASSERT_TRUE(acknowledged);
    ASSERT_EQ(acknowledged->status, 200);

    int held = -1;
    ASSERT_TRUE(hold_request(port, held));
    serve.signal(SIGTERM);
    ASSERT_TRUE(serve.said("tracedx serve: stopping: ", 30s)) << serve.err();
    // Still draining: the request in progress has the whole drain timeout.
    ASSERT_EQ(serve.exit_status(300ms), ServeProcess::kRunning) << serve.err();
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.exit_status(30s), 1) << serve.err();
    EXPECT_TRUE(serve.said("tracedx serve: stopping at once", 5s)) << serve.err();
    ::close(held);
  }
  ServeProcess again(dir, {"--quiet-ms", "100"});
  const int port = again.port();
  ASSERT_GT(port, 0) << again.err();
  httplib::Client client("127.0.0.1", port);
  nlohmann::json trace = nlohmann::json::object();
  for (int i = 0; i < 1500 && trace.value("status", "") != "diagnosed"; ++i) {
    if (i) std::this_thread::sleep_for(20ms);
    auto r = client.Get(("/api/traces/" + kTrace).c_str());
    if (r && r->status == 200) trace = nlohmann::json::parse(r->body);
  }
  EXPECT_EQ(trace.value("status", ""), "diagnosed") << trace.dump();
  EXPECT_EQ(trace.value("span_count", 0), 1) << trace.dump();
  again.signal(SIGTERM);
  EXPECT_EQ(again.exit_status(60s), 0) << again.err();
  fs::remove_all(dir);
}

// One signal with nothing in progress: drained, status 0.
TEST(ServeCommand, FirstSignalDrainsAndExitsZero) {
  const fs::path dir = test_support::make_temp_dir("serve-signal");
  for (int sig : {SIGTERM, SIGINT}) {
    ServeProcess serve(dir, {});
    ASSERT_GT(serve.port(), 0) << serve.err();
    serve.signal(sig);
    EXPECT_EQ(serve.exit_status(60s), 0) << sig << ": " << serve.err();
    EXPECT_TRUE(serve.said("tracedx serve: stopping: ", 1s)) << serve.err();
  }
  fs::remove_all(dir);
}

// Bodies whose strings hold invalid UTF-8 are repaired and stored, and leave no line in the
// server's log however many come (protobuf's parser writes one per string it refuses).
TEST(ServeCommand, InvalidTextInExportsLeavesNoLineInTheLog) {
  const fs::path dir = test_support::make_temp_dir("serve-quiet");
  // One span, named by the single byte 0xff, by hand: request{resource_spans{scope_spans{
  // spans{trace_id, span_id, name}}}}.
  const std::string span = "\x0a\x10" + std::string(15, '\1') + "\x02" + "\x12\x08" +
                           std::string(8, '\3') + "\x2a\x01\xff";
  const std::string scope = "\x12" + std::string(1, static_cast<char>(span.size())) + span;
  const std::string resource = "\x12" + std::string(1, static_cast<char>(scope.size())) + scope;
  const std::string body = "\x0a" + std::string(1, static_cast<char>(resource.size())) + resource;
  ServeProcess serve(dir, {});
  const int port = serve.port();
  ASSERT_GT(port, 0) << serve.err();
  httplib::Client client("127.0.0.1", port);
  for (int i = 0; i < 3; ++i) {
    auto r = client.Post("/v1/traces", body, "application/x-protobuf");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
  }
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.exit_status(60s), 0) << serve.err();
  serve.said("(the whole log)", 5s);
  EXPECT_EQ(serve.err().find("UTF-8"), std::string::npos) << serve.err();
  EXPECT_NE(serve.err().find("tracedx serve: stopping: "), std::string::npos) << serve.err();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx
