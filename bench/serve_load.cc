// Load generator for `tracedx serve`: N threads export protobuf bodies of 512 spans (traces of
// a fixed number of spans, root first, GenAI attributes) to POST /v1/traces, or with --grpc
// the same bytes to TraceService/Export over OTLP/gRPC, for a bounded time, optionally at a
// fixed total rate. Each thread has a connection of its own. It prints the spans per second
// accepted, the p50 and p99 request latency, the time from a trace's last span to its
// diagnosis (sampled traces polled over HTTP on /api/traces/ID) and checks that every
// acknowledged span was stored.
//
//   serve_load --spawn build/tracedx [--grpc] [--threads 4] [--seconds 10] [--rate SPANS_PER_S]
//              [--spans-per-trace 64] [--spans-per-request 512] [--quiet-ms 1000] [--gzip]
//   serve_load --port PORT [--grpc-port PORT] ...   (a server already running on 127.0.0.1)
//
// With --grpc, --gzip is grpc's own message compression, so it falls inside the timed call;
// over HTTP the body is compressed before the clock starts.
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"

namespace {

namespace otlp = opentelemetry::proto;
using Clock = std::chrono::steady_clock;

struct Config {
  std::string spawn;
  int port = 0;       // OTLP/HTTP, and the read side polled for diagnoses
  bool grpc = false;  // exports over OTLP/gRPC to grpc_port
  int grpc_port = 0;
  int threads = 4;
  double seconds = 10;
  double rate = 0;  // spans per second over all threads; 0: as fast as accepted
  int spans_per_trace = 64;
  int spans_per_request = 512;
  int quiet_ms = 1000;
  bool gzip = false;
  int sample_every = 25;  // one trace in this many is polled for its diagnosis
};

double now_s() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void set_string(otlp::common::v1::KeyValue* kv, const std::string& key, const std::string& v) {
  kv->set_key(key);
  kv->mutable_value()->set_string_value(v);
}

void set_int(otlp::common::v1::KeyValue* kv, const std::string& key, int64_t v) {
  kv->set_key(key);
  kv->mutable_value()->set_int_value(v);
}

std::string id_bytes(std::mt19937_64& rng, size_t n) {
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
  out[0] = static_cast<char>(out[0] | 1);  // never all zero
  return out;
}

std::string hex(const std::string& bytes) {
  static const char* k = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += k[c >> 4];
    out += k[c & 15];
  }
  return out;
}

// One request body of whole traces; the ids of the traces it holds go to `traces`.
std::string make_body(const Config& c, std::mt19937_64& rng, std::vector<std::string>& traces) {
  otlp::collector::trace::v1::ExportTraceServiceRequest request;
  auto* rs = request.add_resource_spans();
  set_string(rs->mutable_resource()->add_attributes(), "service.name", "load-agent");
  auto* ss = rs->add_scope_spans();
  ss->mutable_scope()->set_name("serve_load");
  ss->mutable_scope()->set_version("1.0");
  const uint64_t base =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
  int left = c.spans_per_request;
  while (left > 0) {
    int n = std::min(left, c.spans_per_trace);
    left -= n;
    std::string trace_id = id_bytes(rng, 16);
    traces.push_back(hex(trace_id));
    std::string root_id = id_bytes(rng, 8);
    for (int i = 0; i < n; ++i) {
      auto* s = ss->add_spans();
      s->set_trace_id(trace_id);
      s->set_span_id(i == 0 ? root_id : id_bytes(rng, 8));
      if (i) s->set_parent_span_id(root_id);
      s->set_kind(otlp::trace::v1::Span::SPAN_KIND_INTERNAL);
      s->set_start_time_unix_nano(base + static_cast<uint64_t>(i) * 1000000);
      s->set_end_time_unix_nano(base + static_cast<uint64_t>(i) * 1000000 + 800000);
      if (i == 0) {
        s->set_name("invoke_agent planner");
        set_string(s->add_attributes(), "gen_ai.operation.name", "invoke_agent");
        set_string(s->add_attributes(), "gen_ai.agent.name", "planner");
      } else if (i % 2) {
        s->set_name("chat gpt-4o");
        set_string(s->add_attributes(), "gen_ai.operation.name", "chat");
        set_string(s->add_attributes(), "gen_ai.request.model", "gpt-4o");
        set_int(s->add_attributes(), "gen_ai.usage.input_tokens", 1200 + i);
        set_int(s->add_attributes(), "gen_ai.usage.output_tokens", 85);
        set_string(s->add_attributes(), "gen_ai.response.finish_reasons", "stop");
      } else {
        s->set_name("execute_tool search");
        set_string(s->add_attributes(), "gen_ai.operation.name", "execute_tool");
        set_string(s->add_attributes(), "gen_ai.tool.name", "search");
        set_string(s->add_attributes(), "gen_ai.tool.call.arguments",
                   "{\"query\":\"refund policy for order " + std::to_string(i) + "\"}");
        set_string(s->add_attributes(), "gen_ai.tool.call.result",
                   "{\"results\":[{\"title\":\"Refunds\",\"snippet\":\"Orders can be refunded "
                   "within 30 days of delivery when unused.\"}]}");
        if (i == n - 1) {
          s->mutable_status()->set_code(otlp::trace::v1::Status::STATUS_CODE_ERROR);
          s->mutable_status()->set_message("upstream returned 502");
        }
      }
    }
  }
  return request.SerializeAsString();
}

// A request body built once per thread, with where each trace's id sits in the bytes, so
// that sending a new body costs a copy and a few id writes, not building 512 spans.
struct Template {
  std::string body;
  std::vector<std::vector<size_t>> places;  // per trace, the offsets of its id
};

Template make_template(const Config& c, std::mt19937_64& rng) {
  Template t;
  std::vector<std::string> ids;
  t.body = make_body(c, rng, ids);
  for (const auto& h : ids) {
    std::string bytes;
    for (size_t i = 0; i < h.size(); i += 2)
      bytes += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    std::vector<size_t> at;
    for (size_t p = t.body.find(bytes); p != std::string::npos; p = t.body.find(bytes, p + 1))
      at.push_back(p);
    t.places.push_back(std::move(at));
  }
  return t;
}

std::string gzipped(const std::string& in) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

enum class Outcome { kAcked, kRefused, kFailed };

// Sends export bodies (ExportTraceServiceRequest bytes) over a connection of its own.
class Exporter {
 public:
  virtual ~Exporter() = default;
  // Work done on a body before the clock starts.
  virtual std::string prepare(std::string body) { return body; }
  virtual Outcome send(const std::string& body) = 0;
};

class HttpExporter : public Exporter {
 public:
  HttpExporter(int port, bool gzip) : client_("127.0.0.1", port), gzip_(gzip) {
    client_.set_keep_alive(true);
    client_.set_read_timeout(30);
    if (gzip_) headers_.emplace("Content-Encoding", "gzip");
  }
  std::string prepare(std::string body) override { return gzip_ ? gzipped(body) : body; }
  Outcome send(const std::string& body) override {
    auto res = client_.Post("/v1/traces", headers_, body, "application/x-protobuf");
    if (!res) return Outcome::kFailed;
    if (res->status == 429 || res->status == 503) return Outcome::kRefused;
    return res->status == 200 ? Outcome::kAcked : Outcome::kFailed;
  }

 private:
  httplib::Client client_;
  bool gzip_;
  httplib::Headers headers_;
};

// The body goes out as it is, never parsed into a message on this side.
class GrpcExporter : public Exporter {
 public:
  GrpcExporter(int port, bool gzip) : gzip_(gzip) {
    grpc::ChannelArguments args;
    // A connection per exporter, as over HTTP, not one shared by every channel to the address.
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    channel_ = grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port),
                                         grpc::InsecureChannelCredentials(), args);
    stub_ = std::make_unique<grpc::GenericStub>(channel_);
    // Connected up front: name resolution and the HTTP/2 handshake are not an export's time.
    channel_->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(10));
  }
  Outcome send(const std::string& body) override {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
    if (gzip_) context.set_compression_algorithm(GRPC_COMPRESS_GZIP);
    grpc::Slice slice(body);
    grpc::ByteBuffer request(&slice, 1), response;
    std::promise<grpc::Status> done;
    stub_->UnaryCall(&context, "/opentelemetry.proto.collector.trace.v1.TraceService/Export", {},
                     &request, &response, [&done](grpc::Status s) { done.set_value(s); });
    grpc::Status status = done.get_future().get();
    // The codes OTLP exporters retry after a pause: the server pushing back.
    if (status.error_code() == grpc::StatusCode::UNAVAILABLE ||
        status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED)
      return Outcome::kRefused;
    return status.ok() ? Outcome::kAcked : Outcome::kFailed;
  }

 private:
  bool gzip_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<grpc::GenericStub> stub_;
};

std::unique_ptr<Exporter> make_exporter(const Config& c) {
  if (c.grpc) return std::make_unique<GrpcExporter>(c.grpc_port, c.gzip);
  return std::make_unique<HttpExporter>(c.port, c.gzip);
}

struct Sample {
  std::string id;
  double last_span_at;  // when the request holding its spans was acknowledged
  int spans;
};

// The line `tracedx serve` prints on standard output, without its line break.
std::string read_line(int fd) {
  std::string line;
  char ch;
  while (read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

int port_of(const std::string& line) {
  auto colon = line.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

// Whether this `tracedx serve` takes --grpc-listen (older ones served only OTLP/HTTP).
bool has_grpc_listen(const std::string& tracedx) {
  std::string command = "'" + tracedx + "' serve --help 2>/dev/null";
  FILE* help = popen(command.c_str(), "r");
  if (!help) return false;
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, help)) > 0;) text.append(buffer, n);
  pclose(help);
  return text.find("--grpc-listen") != std::string::npos;
}

// Starts `tracedx serve` on ephemeral ports and reads them from its first two lines: the
// HTTP one, then (with gRPC) "tracedx serve: OTLP/gRPC on HOST:PORT". The gRPC listener is
// moved off its fixed default port whenever the server has one, so runs side by side work.
pid_t spawn_server(Config& c, const std::string& db) {
  std::vector<std::string> args = {c.spawn, "serve", "--listen",   "127.0.0.1:0",
                                   "--db",  db,      "--quiet-ms", std::to_string(c.quiet_ms)};
  const bool grpc_listener = c.grpc || has_grpc_listen(c.spawn);
  if (grpc_listener) {
    args.push_back("--grpc-listen");
    args.push_back("127.0.0.1:0");
  }
  int out[2];
  if (pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(c.spawn.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  c.port = port_of(read_line(out[0]));
  if (grpc_listener) {
    std::string line = read_line(out[0]);
    if (c.grpc && line.rfind("tracedx serve: OTLP/gRPC on ", 0) == 0) c.grpc_port = port_of(line);
  }
  close(out[0]);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  Config c;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--spawn")
      c.spawn = next();
    else if (a == "--port")
      c.port = std::atoi(next().c_str());
    else if (a == "--grpc")
      c.grpc = true;
    else if (a == "--grpc-port")
      c.grpc_port = std::atoi(next().c_str());
    else if (a == "--threads")
      c.threads = std::max(1, std::atoi(next().c_str()));
    else if (a == "--seconds")
      c.seconds = std::atof(next().c_str());
    else if (a == "--rate")
      c.rate = std::atof(next().c_str());
    else if (a == "--spans-per-trace")
      c.spans_per_trace = std::max(1, std::atoi(next().c_str()));
    else if (a == "--spans-per-request")
      c.spans_per_request = std::max(1, std::atoi(next().c_str()));
    else if (a == "--quiet-ms")
      c.quiet_ms = std::atoi(next().c_str());
    else if (a == "--gzip")
      c.gzip = true;
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  std::string db;
  pid_t server = -1;
  if (!c.spawn.empty()) {
    db = (std::filesystem::temp_directory_path() /
          ("serve_load_" + std::to_string(getpid()) + ".db"))
             .string();
    server = spawn_server(c, db);
  }
  if (c.port <= 0 || (c.grpc && c.grpc_port <= 0)) {
    std::fprintf(stderr, c.grpc ? "no OTLP/gRPC server: give --spawn TRACEDX, or --port PORT and "
                                  "--grpc-port PORT\n"
                                : "no server: give --spawn TRACEDX or --port PORT\n");
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
    return 2;
  }

  std::atomic<uint64_t> acked_spans{0}, refused{0}, failed{0};
  std::mutex m;
  std::vector<double> latencies;
  std::vector<Sample> samples;
  std::vector<std::unique_ptr<Exporter>> exporters;
  for (int t = 0; t < c.threads; ++t) exporters.push_back(make_exporter(c));
  const double start = now_s(), end = start + c.seconds;
  std::vector<std::thread> threads;
  for (int t = 0; t < c.threads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(1234 + t);
      Exporter* exporter = exporters[static_cast<size_t>(t)].get();
      const double interval =
          c.rate > 0 ? c.spans_per_request * c.threads / c.rate : 0;  // seconds per request
      double due = start + (interval > 0 ? interval * t / c.threads : 0);
      Template tmpl = make_template(c, rng);
      std::vector<double> mine;
      uint64_t trace_count = 0;
      while (now_s() < end) {
        if (interval > 0) {
          double wait = due - now_s();
          if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
          due += interval;
        }
        // A fresh trace id for each trace of the template, written over the old one.
        std::vector<std::string> ids;
        std::string body = tmpl.body;
        for (size_t k = 0; k < tmpl.places.size(); ++k) {
          std::string id = id_bytes(rng, 16);
          for (size_t at : tmpl.places[k]) body.replace(at, 16, id);
          ids.push_back(hex(id));
        }
        body = exporter->prepare(std::move(body));
        double sent = now_s();
        Outcome outcome = exporter->send(body);
        double done = now_s();
        if (outcome == Outcome::kFailed) {
          failed++;
          continue;
        }
        if (outcome == Outcome::kRefused) {
          refused++;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        mine.push_back((done - sent) * 1000);
        acked_spans += static_cast<uint64_t>(c.spans_per_request);
        for (size_t k = 0; k < ids.size(); ++k) {
          if (trace_count++ % static_cast<uint64_t>(c.sample_every) == 0) {
            int spans = std::min(c.spans_per_trace,
                                 c.spans_per_request - static_cast<int>(k) * c.spans_per_trace);
            std::lock_guard lock(m);
            samples.push_back({ids[k], done, spans});
          }
        }
      }
      std::lock_guard lock(m);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }

  // Diagnosis times of the sampled traces, polled while the load runs: every 10 ms each
  // sample that is due (its quiet time over) and not yet seen diagnosed is asked for once,
  // so a trace's time is known to within a round, whatever the others do.
  std::vector<double> to_diagnosis;
  uint64_t lost = 0, undiagnosed = 0;
  std::atomic<bool> load_done{false};
  std::thread poller([&] {
    httplib::Client poll("127.0.0.1", c.port);
    poll.set_keep_alive(true);
    std::vector<Sample> waiting;
    for (;;) {
      {
        std::lock_guard lock(m);
        waiting.insert(waiting.end(), samples.begin(), samples.end());
        samples.clear();
      }
      const bool last_round = load_done && waiting.empty();
      if (last_round) return;
      const double now = now_s();
      std::vector<Sample> still;
      for (const auto& s : waiting) {
        if (now < s.last_span_at + c.quiet_ms / 1000.0) {
          still.push_back(s);
          continue;
        }
        auto res = poll.Get(("/api/traces/" + s.id).c_str());
        if (res && res->status == 200 &&
            res->body.find("\"status\":\"diagnosed\"") != std::string::npos) {
          to_diagnosis.push_back((now_s() - s.last_span_at) * 1000);
          std::string count = "\"span_count\":" + std::to_string(s.spans) + ",";
          if (res->body.find(count) == std::string::npos) lost++;
        } else if (now_s() > s.last_span_at + c.quiet_ms / 1000.0 + 30) {
          undiagnosed++;
        } else {
          still.push_back(s);
        }
      }
      waiting = std::move(still);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  for (auto& t : threads) t.join();
  const double elapsed = now_s() - start;
  load_done = true;
  poller.join();
  uint64_t received = 0;
  httplib::Client metrics("127.0.0.1", c.port);
  if (auto res = metrics.Get("/metrics"); res && res->status == 200) {
    auto at = res->body.find("\ntracedx_spans_received_total ");
    if (at != std::string::npos) received = std::strtoull(res->body.c_str() + at + 30, nullptr, 10);
  }

  std::printf("%s, threads %d, %.1f s, %d spans per request, %d spans per trace%s%s\n",
              c.grpc ? "OTLP/gRPC" : "OTLP/HTTP", c.threads, elapsed, c.spans_per_request,
              c.spans_per_trace, c.gzip ? ", gzip" : "",
              c.rate > 0
                  ? (", offered " + std::to_string(static_cast<long>(c.rate)) + " spans/s").c_str()
                  : ", as fast as accepted");
  std::printf("accepted: %llu spans, %.0f spans/s; refused (%s): %llu requests; failed: %llu\n",
              static_cast<unsigned long long>(acked_spans.load()),
              static_cast<double>(acked_spans.load()) / elapsed,
              c.grpc ? "UNAVAILABLE/RESOURCE_EXHAUSTED" : "429/503",
              static_cast<unsigned long long>(refused.load()),
              static_cast<unsigned long long>(failed.load()));
  std::printf("request latency: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu requests)\n",
              percentile(latencies, 0.5), percentile(latencies, 0.99),
              latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()),
              latencies.size());
  std::printf(
      "last span to diagnosis (quiet-ms %d, %zu sampled traces): p50 %.0f ms, p99 %.0f ms, max "
      "%.0f ms; not diagnosed in time: %llu; with spans missing: %llu\n",
      c.quiet_ms, to_diagnosis.size(), percentile(to_diagnosis, 0.5),
      percentile(to_diagnosis, 0.99),
      to_diagnosis.empty() ? 0 : *std::max_element(to_diagnosis.begin(), to_diagnosis.end()),
      static_cast<unsigned long long>(undiagnosed), static_cast<unsigned long long>(lost));
  if (server > 0) {
    std::printf("server's spans received: %llu (acknowledged: %llu)\n",
                static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(acked_spans.load()));
    double stop_at = now_s();
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
    std::printf("SIGTERM to exit: %.2f s, exit status %d\n", now_s() - stop_at,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
  }
  return lost || (server > 0 && received != acked_spans.load()) ? 1 : 0;
}
