// What the receiver's tests share: exports built from span fields, a server in the process
// on 127.0.0.1 (an ephemeral port) with its database in a temporary directory, raw exchanges
// on its port and SQL on its database.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/otlp_spans.h"
#include "serve/server.h"
#include "serve/store.h"
#include "test_support.h"

namespace tracedx::serve_support {

namespace pb = opentelemetry::proto;
using Json = nlohmann::json;
using namespace tracedx::test_support;

inline std::string bytes_of_hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

struct SpanFields {
  std::string trace_id = {};  // hex
  std::string span_id = {};   // hex
  std::string parent = {};    // hex, empty for a root
  std::string name = "agent.step";
  std::string service = "svc";
  std::vector<std::pair<std::string, std::string>> attributes = {};
};

inline pb::collector::trace::v1::ExportTraceServiceRequest request_of(
    const std::vector<SpanFields>& spans) {
  pb::collector::trace::v1::ExportTraceServiceRequest req;
  for (const SpanFields& s : spans) {
    auto* rs = req.add_resource_spans();
    auto* kv = rs->mutable_resource()->add_attributes();
    kv->set_key("service.name");
    kv->mutable_value()->set_string_value(s.service);
    auto* ss = rs->add_scope_spans();
    ss->mutable_scope()->set_name("test");
    auto* span = ss->add_spans();
    span->set_trace_id(bytes_of_hex(s.trace_id));
    span->set_span_id(bytes_of_hex(s.span_id));
    if (!s.parent.empty()) span->set_parent_span_id(bytes_of_hex(s.parent));
    span->set_name(s.name);
    span->set_start_time_unix_nano(1700000000000000000ull);
    span->set_end_time_unix_nano(1700000001000000000ull);
    for (const auto& [k, v] : s.attributes) {
      auto* a = span->add_attributes();
      a->set_key(k);
      a->mutable_value()->set_string_value(v);
    }
  }
  return req;
}

inline std::string gzip_of(std::string_view data) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// --- a server in the process -------------------------------------------------------------

class Served {
 public:
  explicit Served(ServeOptions options, std::filesystem::path dir = {}) {
    dir_ = dir.empty() ? make_temp_dir("serve") : dir;
    options.host = "127.0.0.1";
    options.port = 0;
    options.grpc_port = 0;
    options.db_path = (dir_ / "t.db").string();
    auto server = TraceServer::start(options);
    if (!server) throw std::runtime_error(server.error().display());
    server_ = std::move(*server);
    thread_ = std::thread([this] { status_ = server_->serve(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(30, 0);
  }
  ~Served() { stop(); }
  void stop() {
    if (!server_) return;
    server_->stop();
    thread_.join();
    server_.reset();
  }
  httplib::Client& client() { return *client_; }
  TraceServer& server() { return *server_; }
  int port() const { return server_->port(); }
  const std::filesystem::path& dir() const { return dir_; }

  httplib::Result post_protobuf(const std::string& body, httplib::Headers headers = {}) {
    return client_->Post("/v1/traces", headers, body, "application/x-protobuf");
  }

  // The trace's API document once its status is `status` (and version >= `version`). The
  // bound is generous: a build with the sanitizers diagnoses a large trace slowly.
  Json wait_for(const std::string& id, const std::string& status, int64_t version = 1) {
    for (int i = 0; i < 6000; ++i) {
      auto r = client_->Get(("/api/traces/" + id).c_str());
      if (r && r->status == 200) {
        Json j = Json::parse(r->body);
        if (j["status"] == status && j["version"].get<int64_t>() >= version) return j;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "trace " << id << " never became " << status;
    return Json();
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<TraceServer> server_;
  std::thread thread_;
  std::optional<Status> status_;
  std::unique_ptr<httplib::Client> client_;
};

inline ServeOptions quick() {
  ServeOptions o;
  o.quiet_ms = 100;
  return o;
}

inline const std::string kTrace = "0af7651916cd43dd8448eb211c80319c";

inline std::vector<SpanFields> small_trace(const std::string& id = kTrace) {
  return {{id, "b7ad6b7169203331", "", "invoke_agent"},
          {id,
           "b7ad6b7169203332",
           "b7ad6b7169203331",
           "chat",
           "svc",
           {{"gen_ai.operation.name", "chat"}, {"gen_ai.completion", "The answer is 4."}}}};
}

// Raw bytes to the port; what the server answers (its status line and after).
inline std::string raw_exchange(int port, const std::string& bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "";
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  (void)!write(fd, bytes.data(), bytes.size());
  shutdown(fd, SHUT_WR);
  std::string out;
  char buf[4096];
  for (int i = 0; i < 1000; ++i) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

// A database in `dir` holding small_trace()'s spans, left pending as a server that died
// before diagnosing it would leave it, or with `diagnosis` stored.
inline void seed_database(const std::filesystem::path& dir,
                          const std::optional<DiagnosisRecord>& diagnosis = std::nullopt) {
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  auto batch = spans_from_protobuf(request_of(small_trace()).SerializeAsString());
  ASSERT_TRUE(batch);
  ASSERT_TRUE((*store)->begin());
  for (const SpanRow& row : batch->spans)
    ASSERT_TRUE((*store)->insert_span(row.trace_id, row.span_id, row.data));
  ASSERT_TRUE((*store)->touch_trace(kTrace, "svc", 1700000000000, 2, true));
  if (diagnosis) {
    ASSERT_TRUE((*store)->save_diagnosis(kTrace, 2, 0, *diagnosis));
  }
  ASSERT_TRUE((*store)->commit());
}

inline void exec_sql(const std::filesystem::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.string().c_str(), &h), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(h);
}

inline int64_t count_rows(const std::filesystem::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  EXPECT_EQ(sqlite3_open(db.string().c_str(), &h), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    n = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return n;
}

}  // namespace tracedx::serve_support
