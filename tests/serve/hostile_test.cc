// The receiver against clients that misbehave: header floods, idle and slow connections,
// lengths that lie, bodies past the memory budget, a storage that fails, and stops while a
// client trickles. Each case runs at the size that once took a server down.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <fstream>

#include "serve/otlp_spans.h"
#include "serve/store.h"
#include "serve_support.h"

namespace tracedx {
namespace {

using namespace tracedx::serve_support;
using Clock = std::chrono::steady_clock;

// A raw connection to the server's port, with bounded reads.
class Conn {
 public:
  explicit Conn(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Conn() {
    if (fd_ >= 0) close(fd_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool ok() const { return fd_ >= 0; }

  // Whether every byte went out (false once the server closed the connection).
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // What arrives until the server closes the connection, `until` is seen, or `timeout`.
  std::string receive(std::chrono::milliseconds timeout, std::string_view until = {}) {
    std::string out;
    const auto end = Clock::now() + timeout;
    char buf[65536];
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0) continue;
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
      if (!until.empty() && out.find(until) != std::string::npos) break;
    }
    return out;
  }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

// Resident and peak resident memory of this process, in bytes.
size_t status_bytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

// Memory figures are the server's own only in ordinary builds: under the sanitizers freed
// blocks wait in a quarantine and every block carries redzones. There the memory bounds are
// not checked; what they bound still runs.
#ifdef TRACEDX_SANITIZED
constexpr bool kMemoryMeasured = false;
#else
constexpr bool kMemoryMeasured = true;
#endif

std::string export_head(size_t length, const std::string& extra = "") {
  return "POST /v1/traces HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-protobuf\r\n" + extra +
         "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

int status_of(const std::string& response) {
  if (response.rfind("HTTP/1.1 ", 0) != 0 || response.size() < 12) return 0;
  return std::stoi(response.substr(9, 3));
}

void raise_descriptor_limit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(ServeHostile, HeaderFloodIsRefusedWithMemoryBounded) {
  Served s(quick());
  const size_t before = status_bytes("VmRSS");
  Conn c(s.port());
  ASSERT_TRUE(c.ok());
  std::string lines;
  for (int i = 0; lines.size() < (1 << 20); ++i) lines += "X-" + std::to_string(i) + ": y\r\n";
  size_t sent = 0;
  c.send("POST /v1/traces HTTP/1.1\r\nHost: x\r\n");
  while (sent < (size_t{100} << 20) && c.send(lines)) sent += lines.size();
  std::string answer = c.receive(std::chrono::seconds(10));
  EXPECT_EQ(status_of(answer), 431) << answer.substr(0, 200);
  EXPECT_LT(sent, size_t{100} << 20) << "the server read the whole flood";
  const size_t after = status_bytes("VmRSS");
  std::printf("header flood: %zu MB sent before the answer, resident memory +%zu MB\n", sent >> 20,
              (after > before ? after - before : 0) >> 20);
  if (kMemoryMeasured) {
    EXPECT_LT(after > before ? after - before : 0, size_t{64} << 20);
  }
  EXPECT_EQ(s.client().Get("/healthz")->status, 200);
}

TEST(ServeHostile, HealthAnswersWhileIdleAndSlowClientsHoldConnections) {
  raise_descriptor_limit();
  Served s(quick());
  std::vector<std::unique_ptr<Conn>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<Conn>(s.port()));
    ASSERT_TRUE(idle.back()->ok()) << i;
  }
  // Slow clients: a header byte every 100 ms, and bodies trickled after honest headers.
  std::vector<std::unique_ptr<Conn>> slow;
  for (int i = 0; i < 32; ++i) {
    slow.push_back(std::make_unique<Conn>(s.port()));
    slow.back()->send(i % 2 ? export_head(1000) : "POST /v1/traces HTTP/1.1\r\nX-Slow: ");
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int round = 0; round < 100 && !done; ++round) {
      for (auto& c : slow) c->send("a");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    httplib::Client client("127.0.0.1", s.port());
    client.set_read_timeout(5, 0);
    const auto start = Clock::now();
    auto r = client.Get("/healthz");
    const auto took = Clock::now() - start;
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(took, std::chrono::seconds(2));
    std::printf("healthz with 1000 idle and 32 slow connections: %.1f ms\n",
                std::chrono::duration<double, std::milli>(took).count());
  }
  done = true;
  trickle.join();
}

TEST(ServeHostile, TokenAndLengthAreCheckedBeforeTheBody) {
  ServeOptions o = quick();
  o.token = "s3cret";
  o.max_body_bytes = 1 << 20;
  Served s(o);
  const std::string auth = "Authorization: Bearer s3cret\r\n";
  struct Case {
    const char* what;
    std::string head;
    int status;
  };
  const std::vector<Case> cases = {
      {"no token, a large body announced", export_head(10 << 20), 401},
      {"a wrong token", export_head(100, "Authorization: Bearer nope\r\n"), 401},
      {"a length of 2^62", export_head(size_t{1} << 62, auth), 413},
      {"a length just over the limit", export_head((1 << 20) + 1, auth), 413},
      {"a length that is not a number",
       "POST /v1/traces HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-protobuf\r\n" + auth +
           "Content-Length: abc\r\n\r\n",
       400},
      {"a length past 64 bits",
       "POST /v1/traces HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-protobuf\r\n" + auth +
           "Content-Length: 99999999999999999999999\r\n\r\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Conn conn(s.port());
    const auto start = Clock::now();
    ASSERT_TRUE(conn.send(c.head));
    std::string answer = conn.receive(std::chrono::seconds(5), "\r\n\r\n");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "answered only after a timeout";
    if (c.status) {
      EXPECT_EQ(status_of(answer), c.status) << answer;
    } else {
      EXPECT_GE(status_of(answer), 400) << answer;
    }
  }
  EXPECT_EQ(Json::parse(
                s.client().Get("/api/traces", {{"Authorization", "Bearer s3cret"}})->body)["traces"]
                .size(),
            0u);
}

TEST(ServeHostile, ChunkedBodiesWithTrailersAndPipelinedRequests) {
  Served s(quick());
  const std::string body = request_of(small_trace()).SerializeAsString();
  std::string chunked =
      "POST /v1/traces HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-protobuf\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";
  for (size_t i = 0; i < body.size(); i += 40) {
    std::string piece = body.substr(i, 40);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    chunked += std::string(size) + "\r\n" + piece + "\r\n";
  }
  chunked += "0\r\nX-Checksum: none\r\n\r\n";
  // Three requests in one write: an export and two reads, answered in order.
  const std::string health = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
  Conn c(s.port());
  ASSERT_TRUE(c.send(chunked + health + health));
  std::string answers;
  for (int i = 0; i < 50; ++i) {
    answers += c.receive(std::chrono::milliseconds(200));
    size_t n = 0;
    for (size_t at = answers.find("HTTP/1.1 200"); at != std::string::npos;
         at = answers.find("HTTP/1.1 200", at + 1))
      ++n;
    if (n == 3) break;
  }
  EXPECT_EQ(status_of(answers), 200) << answers;
  EXPECT_NE(answers.find("ok\n"), std::string::npos) << answers;
  EXPECT_EQ(std::count(answers.begin(), answers.end(), '\n') > 0, true);
  Json t = s.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(t["span_count"], 2);
}

TEST(ServeHostile, ARequestMustArriveWithinItsDeadline) {
  ServeOptions o = quick();
  o.request_deadline_ms = 500;
  Served s(o);
  Conn c(s.port());
  ASSERT_TRUE(c.send(export_head(1000)));
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(5) && c.send("x")) {
    std::string got = c.receive(std::chrono::milliseconds(100));
    if (c.closed() || !got.empty()) break;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "the trickle was never cut";
  auto list = s.client().Get("/api/traces");
  EXPECT_EQ(Json::parse(list->body)["traces"].size(), 0u);
}

TEST(ServeHostile, ExportsPastTheMemoryBudgetAreRefusedForARetry) {
  std::signal(SIGPIPE, SIG_IGN);  // a refused client's writes fail with EPIPE instead
  ServeOptions o = quick();       // the default limits: 16 MiB bodies, a budget of 512 MiB
  Served s(o);
  // Twelve maximum-size exports at once, of many minimal spans (the costliest to decode).
  std::vector<SpanFields> fields;
  for (int i = 0; fields.size() < 270000; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "%016x", i + 1);
    fields.push_back({kTrace, id, "b7ad6b7169203331", "s", "svc"});
  }
  auto req = request_of(fields);
  std::string body = req.SerializeAsString();
  while (body.size() > o.max_body_bytes) {
    fields.resize(fields.size() * 49 / 50);
    body = request_of(fields).SerializeAsString();
  }
  const size_t peak_before = status_bytes("VmHWM");
  std::vector<std::thread> senders;
  std::mutex mutex;
  std::map<int, int> statuses;
  int retry_after = 0;
  for (int i = 0; i < 12; ++i) {
    senders.emplace_back([&] {
      httplib::Client client("127.0.0.1", s.port());
      client.set_read_timeout(60, 0);
      auto r = client.Post("/v1/traces", body, "application/x-protobuf");
      std::lock_guard lock(mutex);
      statuses[r ? r->status : -1]++;
      if (r && r->has_header("Retry-After")) retry_after++;
    });
  }
  for (auto& t : senders) t.join();
  const size_t peak_after = status_bytes("VmHWM");
  std::printf(
      "12 exports of %zu bytes, budget %zu MB: %d stored, %d refused, %d cut; peak +%zu MB\n",
      body.size(), o.memory_budget_bytes >> 20, statuses[200], statuses[503] + statuses[429],
      statuses[-1], (peak_after - peak_before) >> 20);
  // A refusal comes as soon as the headers are in: a client still sending its body may see
  // the connection closed instead of the answer (-1), which exporters retry as they do a 503.
  EXPECT_GT(statuses[200], 0);
  EXPECT_EQ(statuses[200] + statuses[503] + statuses[429] + statuses[-1], 12);
  EXPECT_EQ(retry_after, statuses[503] + statuses[429]);
  // The server holds at most its budget and a fixed margin; the senders' own copies of the
  // body (the client copies it into each request) are this process's too.
  if (kMemoryMeasured) {
    EXPECT_LT(peak_after - peak_before,
              o.memory_budget_bytes + (size_t{64} << 20) + 2 * 12 * body.size());
  }
  // What the exports took is given back; the one trace pending keeps its bookkeeping.
  auto metrics = s.client().Get("/metrics");
  const std::string gauge = "tracedx_memory_budget_bytes{state=\"used\"} ";
  auto at = metrics->body.find(gauge);
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::stoull(metrics->body.substr(at + gauge.size())), 1024u) << metrics->body;
}

TEST(ServeHostile, NumbersOutOfRangeAre400) {
  Served s(quick());
  EXPECT_EQ(s.client().Get("/api/traces?since=9223372036854775808")->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces?until=99999999999999999999")->status, 400);
  EXPECT_EQ(s.client().Get("/?since=9223372036854775808")->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces?since=9223372036854775807")->status, 200);
}

TEST(ServeHostile, HealthSaysWhenTheDatabaseCannotBeWritten) {
  Served s(quick());
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  exec_sql(s.dir() / "t.db", "DROP TABLE spans");
  auto r = s.post_protobuf(
      request_of(small_trace("1af7651916cd43dd8448eb211c80319c")).SerializeAsString());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_TRUE(r->has_header("Retry-After"));
  auto health = s.client().Get("/healthz");
  EXPECT_EQ(health->status, 503);
  EXPECT_NE(health->body.find("spans"), std::string::npos) << health->body;
  auto metrics = s.client().Get("/metrics");
  EXPECT_NE(metrics->body.find("tracedx_exports_refused_total{reason=\"storage\"} 1\n"),
            std::string::npos);
}

TEST(ServeHostile, StopFinishesWhileAClientTrickles) {
  ServeOptions o = quick();
  o.quiet_ms = 600000;
  o.drain_timeout_ms = 300;
  Served s(o);
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  Conn c(s.port());
  ASSERT_TRUE(c.send(export_head(100000)));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int i = 0; i < 300 && !done && c.send("x"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  s.stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  done = true;
  trickle.join();
  // What was acknowledged was diagnosed by the drain.
  EXPECT_EQ(count_rows(s.dir() / "t.db", "SELECT count(*) FROM traces WHERE status='diagnosed'"),
            1);
}

TEST(ServeHostile, ATraceWhoseRootNeverComesIsDiagnosedAfterItsWait) {
  ServeOptions o = quick();
  o.rootless_wait_ms = 200;
  Served s(o);
  auto child = small_trace()[1];
  ASSERT_EQ(s.post_protobuf(request_of({child}).SerializeAsString())->status, 200);
  Json t = s.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(t["span_count"], 1);
}

TEST(ServeHostile, AReportThatCannotBeMadeIsAnError) {
  // A trace whose spans could not be imported: its page says why, with an error status.
  auto dir = make_temp_dir("serve-failed");
  DiagnosisRecord failed;
  failed.failed = true;
  failed.error = "no step could be read";
  seed_database(dir, failed);
  Served s(quick(), dir);
  auto page = s.client().Get(("/traces/" + kTrace).c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 422);
  EXPECT_NE(page->body.find("no step could be read"), std::string::npos) << page->body;
}

TEST(ServeHostile, ASecondServerOnTheSameDatabaseIsRefused) {
  Served s(quick());
  ServeOptions o = quick();
  o.port = 0;
  o.grpc_port = 0;
  o.db_path = (s.dir() / "t.db").string();
  auto second = TraceServer::start(o);
  ASSERT_FALSE(second);
  EXPECT_NE(second.error().display().find("in use by another tracedx serve (pid " +
                                          std::to_string(getpid()) + ")"),
            std::string::npos)
      << second.error().display();
  EXPECT_EQ(s.client().Get("/healthz")->status, 200);
}

TEST(ServeHostile, ATracePastItsSpanLimitKeepsItsFirstSpansAndSaysSo) {
  ServeOptions o = quick();
  o.max_trace_spans = 5;
  Served s(o);
  std::vector<SpanFields> fields = {small_trace()[0]};
  for (int i = 0; i < 20; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "%016x", 0x100 + i);
    fields.push_back({kTrace, id, "b7ad6b7169203331", "tool"});
  }
  ASSERT_EQ(s.post_protobuf(request_of(fields).SerializeAsString())->status, 200);
  Json t = s.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(t["span_count"], 5);
  EXPECT_EQ(t["spans_dropped"], 16);
  EXPECT_EQ(t["has_root"], true);
  auto metrics = s.client().Get("/metrics");
  EXPECT_NE(metrics->body.find("tracedx_spans_dropped_total{reason=\"trace_limit\"} 16\n"),
            std::string::npos)
      << metrics->body;
}

TEST(ServeHostile, ALargeResourceOverManySpansIsHeldOnce) {
  // 3,000 tiny spans under one resource with a 1 MiB attribute: about 30 KB gzipped. Held
  // once per span, the resource took gigabytes.
  Served s(quick());
  pb::collector::trace::v1::ExportTraceServiceRequest req;
  auto* rs = req.add_resource_spans();
  auto* kv = rs->mutable_resource()->add_attributes();
  kv->set_key("big");
  kv->mutable_value()->set_string_value(std::string(1 << 20, 'x'));
  auto* ss = rs->add_scope_spans();
  for (int i = 0; i < 3000; ++i) {
    auto* span = ss->add_spans();
    char id[17];
    std::snprintf(id, sizeof id, "%016x", i + 1);
    span->set_trace_id(bytes_of_hex(kTrace));
    span->set_span_id(bytes_of_hex(id));
    if (i) span->set_parent_span_id(bytes_of_hex("0000000000000001"));
    span->set_name("s");
  }
  const std::string body = gzip_of(req.SerializeAsString());
  EXPECT_LT(body.size(), 64u * 1024);
  const size_t peak_before = status_bytes("VmHWM");
  auto r =
      s.client().Post("/v1/traces", {{"Content-Encoding", "gzip"}}, body, "application/x-protobuf");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  Json t = s.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(t["span_count"], 3000);
  if (kMemoryMeasured) {
    EXPECT_LT(status_bytes("VmHWM") - peak_before, size_t{256} << 20);
  }
  EXPECT_LT(std::filesystem::file_size(s.dir() / "t.db") +
                std::filesystem::file_size(s.dir() / "t.db-wal"),
            size_t{64} << 20);
}

TEST(ServeHostile, AHalfMillionSpanTraceIsCutAtItsLimitAndViewedWithinTheBudget) {
  // 500,000 spans of one trace once took 2.5 GB, and a view of it more. It keeps its first
  // 50,000 (the default limit); its diagnosis and its page are of those.
  ServeOptions o = quick();
  o.quiet_ms = 300;
  Served s(o);
  const size_t peak_before = status_bytes("VmHWM");
  std::vector<SpanFields> fields;
  fields.push_back(small_trace()[0]);
  for (int i = 1; i < 500000; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "%016x", 0x1000 + i);
    fields.push_back({kTrace, id, "b7ad6b7169203331", "tool", "svc"});
    if (fields.size() == 20000) {
      auto r = s.post_protobuf(request_of(fields).SerializeAsString());
      ASSERT_TRUE(r);
      ASSERT_EQ(r->status, 200);
      fields.clear();
    }
  }
  Json t = s.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(t["span_count"], 50000);
  EXPECT_EQ(t["spans_dropped"], 500000 - 50000);
  auto page = s.client().Get(("/traces/" + kTrace).c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  const size_t peak = status_bytes("VmHWM") - peak_before;
  std::printf("500,000 spans of one trace: peak +%zu MB\n", peak >> 20);
  if (kMemoryMeasured) {
    EXPECT_LT(peak, o.memory_budget_bytes + (size_t{512} << 20));
  }
}

}  // namespace
}  // namespace tracedx
