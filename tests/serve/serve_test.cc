// The receiver end to end within the process: a server on 127.0.0.1 (an ephemeral port) with
// a database in a temporary directory, exports sent with the HTTP client, and the read side.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "import/otlp_envelope.h"
#include "import/otlp_steps.h"
#include "opentelemetry/proto/collector/logs/v1/logs_service.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/diagnose_spans.h"
#include "serve/otlp_spans.h"
#include "serve/proto_repair.h"
#include "serve/server.h"
#include "serve/span_codec.h"
#include "serve/store.h"
#include "test_support.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto;
using Json = nlohmann::json;
using namespace tracedx::test_support;

std::string bytes_of_hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

struct SpanSpec {
  std::string trace_id = {};  // hex
  std::string span_id = {};   // hex
  std::string parent = {};    // hex, empty for a root
  std::string name = "agent.step";
  std::string service = "svc";
  std::vector<std::pair<std::string, std::string>> attributes = {};
};

pb::collector::trace::v1::ExportTraceServiceRequest request_of(const std::vector<SpanSpec>& spans) {
  pb::collector::trace::v1::ExportTraceServiceRequest req;
  for (const SpanSpec& s : spans) {
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

std::string gzip_of(std::string_view data) {
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

// --- the stored form and its OTLP/JSON lines ---------------------------------------------

TEST(OtlpSpans, AnyValueKindsMapToOtlpJson) {
  using V = pb::common::v1::AnyValue;
  struct Case {
    const char* what;
    std::function<void(V&)> set;
    Json expected;  // in the OTLP/JSON line
    Json value;     // as the importer reads it
  };
  const std::vector<Case> cases = {
      {"string", [](V& v) { v.set_string_value("a\"b\n"); }, Json{{"stringValue", "a\"b\n"}},
       "a\"b\n"},
      {"bool", [](V& v) { v.set_bool_value(true); }, Json{{"boolValue", true}}, true},
      {"int as a decimal string", [](V& v) { v.set_int_value(-9007199254740993); },
       Json{{"intValue", "-9007199254740993"}}, -9007199254740993},
      {"double", [](V& v) { v.set_double_value(2.5); }, Json{{"doubleValue", 2.5}}, 2.5},
      // A JSON writer prints an integral double without a fraction: a reader sees an integer.
      {"integral double", [](V& v) { v.set_double_value(-3.0); }, Json{{"intValue", "-3"}}, -3},
      {"negative zero stays a double", [](V& v) { v.set_double_value(-0.0); },
       Json{{"doubleValue", -0.0}}, -0.0},
      {"NaN as its text", [](V& v) { v.set_double_value(std::nan("")); },
       Json{{"doubleValue", "NaN"}}, "NaN"},
      {"bytes as base64", [](V& v) { v.set_bytes_value("\x01\x02\xff"); },
       Json{{"bytesValue", "AQL/"}}, "AQL/"},
      {"array",
       [](V& v) {
         v.mutable_array_value()->add_values()->set_int_value(1);
         v.mutable_array_value()->add_values()->set_string_value("x");
       },
       Json{{"arrayValue",
             {{"values", Json::array({{{"intValue", "1"}}, {{"stringValue", "x"}}})}}}},
       Json::array({1, "x"})},
      {"kvlist",
       [](V& v) {
         auto* kv = v.mutable_kvlist_value()->add_values();
         kv->set_key("k");
         kv->mutable_value()->set_bool_value(false);
       },
       Json{{"kvlistValue",
             {{"values", Json::array({{{"key", "k"}, {"value", {{"boolValue", false}}}}})}}}},
       Json{{"k", false}}},
      {"empty", [](V&) {}, Json::object(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto req = request_of({{"0102030405060708090a0b0c0d0e0f10", "a1a2a3a4a5a6a7a8", ""}});
    auto* a =
        req.mutable_resource_spans(0)->mutable_scope_spans(0)->mutable_spans(0)->add_attributes();
    a->set_key("value");
    c.set(*a->mutable_value());
    auto batch = spans_from_protobuf(req.SerializeAsString());
    ASSERT_TRUE(batch);
    ASSERT_EQ(batch->spans.size(), 1u);
    auto text = stored_span_json(batch->spans[0].data);
    ASSERT_TRUE(text);
    Json line = Json::parse(*text);
    const Json& span = line["scopeSpans"][0]["spans"][0];
    EXPECT_EQ(span["traceId"], "0102030405060708090a0b0c0d0e0f10");
    EXPECT_EQ(span["spanId"], "a1a2a3a4a5a6a7a8");
    EXPECT_FALSE(span.contains("parentSpanId"));
    EXPECT_EQ(span["startTimeUnixNano"], "1700000000000000000");
    EXPECT_EQ(line["resource"]["attributes"][0]["key"], "service.name");
    EXPECT_EQ(line["scopeSpans"][0]["scope"]["name"], "test");
    ASSERT_EQ(span["attributes"].size(), 1u);
    EXPECT_EQ(span["attributes"][0]["value"], c.expected);
    EXPECT_TRUE(batch->spans[0].root);
    EXPECT_EQ(batch->spans[0].service, "svc");
    // Decoded straight from the stored message, and read from its line: the same value.
    auto decoded = decode_stored_span(batch->spans[0].data);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->attrs["value"].dump(), c.value.dump());
    std::vector<OtlpSpan> read;
    ASSERT_TRUE(otlp::read_spans(*text, "line", read));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].attrs["value"].dump(), c.value.dump());
    EXPECT_EQ(decoded->trace_id, read[0].trace_id);
    EXPECT_EQ(decoded->resource_attrs(), read[0].resource_attrs());
    EXPECT_EQ(decoded->scope_name, "test");
  }
}

// The spans of OTLP inputs (whole documents, else line by line) that the receiver would store:
// valid ids, by trace.
std::map<std::string, std::vector<OtlpSpan>> storable_spans(const std::string& bytes,
                                                            std::vector<OtlpLog>& logs) {
  std::vector<OtlpSpan> spans;
  if (!otlp::read_spans(bytes, "input", spans, &logs)) {
    spans.clear();
    logs.clear();
    size_t at = 0;
    while (at < bytes.size()) {
      size_t nl = std::min(bytes.find('\n', at), bytes.size());
      std::vector<OtlpSpan> line;
      std::vector<OtlpLog> line_logs;
      if (otlp::read_spans(std::string_view(bytes).substr(at, nl - at), "line", line, &line_logs)) {
        for (auto& sp : line) spans.push_back(std::move(sp));
        for (auto& l : line_logs) logs.push_back(std::move(l));
      }
      at = nl + 1;
    }
  }
  auto hex_id = [](const std::string& id, size_t n) {
    return id.size() == n && id.find_first_not_of("0123456789abcdef") == std::string::npos &&
           id.find_first_not_of('0') != std::string::npos;
  };
  std::map<std::string, std::vector<OtlpSpan>> out;
  for (auto& sp : spans) {
    opentelemetry::proto::trace::v1::ResourceSpans stored;
    span_to_protobuf(sp, stored);
    if (hex_id(sp.trace_id, 32) && hex_id(sp.span_id, 16) && json_depth(stored) <= kMaxJsonDepth)
      out[sp.trace_id].push_back(std::move(sp));
  }
  return out;
}

// Every OTLP input of the project (the import samples and the import fuzzer's seeds): each
// trace's spans and log records encoded to the stored messages and decoded give the same
// fixture document as the spans read from the input.
TEST(OtlpSpans, StoredFormRoundTripGivesTheSameFixture) {
  const std::filesystem::path source = TRACEDX_SOURCE_DIR;
  std::vector<std::filesystem::path> files;
  for (const auto& dir : {source / "src/Test/imports", source / "fuzz/seeds/import_fuzz"}) {
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (e.path().string().find(".chat.") == std::string::npos) files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  size_t traces = 0, spans = 0, records = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    std::vector<OtlpLog> logs;
    auto groups = storable_spans(read_text(file), logs);
    for (auto& [id, group] : groups) {
      std::vector<OtlpSpan> decoded;
      for (const OtlpSpan& sp : group) {
        opentelemetry::proto::trace::v1::ResourceSpans stored;
        span_to_protobuf(sp, stored);
        auto back = decode_stored_span(stored.SerializeAsString());
        ASSERT_TRUE(back);
        decoded.push_back(std::move(*back));
      }
      std::vector<OtlpLog> mine, mine_decoded;
      for (const OtlpLog& l : logs) {
        if (l.trace_id != id) continue;
        mine.push_back(l);
        opentelemetry::proto::logs::v1::ResourceLogs stored;
        log_to_protobuf(l, stored);
        auto back = decode_stored_log(stored.SerializeAsString());
        ASSERT_TRUE(back);
        EXPECT_EQ(back->event.dump(), l.event.dump());
        mine_decoded.push_back(std::move(*back));
      }
      otlp::attach_logs(group, mine);
      otlp::attach_logs(decoded, mine_decoded);
      spans += group.size();
      records += mine.size();
      ++traces;
      EXPECT_EQ(otlp::fixture_of_spans(decoded).dump(), otlp::fixture_of_spans(group).dump())
          << "trace " << id;
    }
  }
  EXPECT_GT(traces, 30u);  // the samples and the seeds hold 39 storable traces
  std::printf("%zu traces, %zu spans, %zu log records\n", traces, spans, records);
}

TEST(OtlpSpans, SpansWithoutValidIdsAreRejectedAndCounted) {
  auto req = request_of({{"0102030405060708090a0b0c0d0e0f10", "a1a2a3a4a5a6a7a8", ""},
                         {"00000000000000000000000000000000", "a1a2a3a4a5a6a7a9", ""},
                         {"0102030405060708090a0b0c0d0e0f10", "0000000000000000", ""},
                         {"0102", "a1a2a3a4a5a6a7aa", ""}});
  auto batch = spans_from_protobuf(req.SerializeAsString());
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->spans.size(), 1u);
  EXPECT_EQ(batch->rejected, 3u);
  EXPECT_FALSE(batch->rejection.empty());
}

TEST(OtlpSpans, MalformedBodiesFail) {
  EXPECT_FALSE(spans_from_protobuf(std::string("\x0a\xff\xff\xff\x0f", 5)));
  EXPECT_FALSE(spans_from_json("{\"resourceSpans\": ["));
  EXPECT_FALSE(spans_from_json("[1,2]"));
  bool too_large = false;
  std::string gz = gzip_of(std::string(1000, 'a'));
  EXPECT_FALSE(gunzip(gz.substr(0, gz.size() - 6), 1 << 20, too_large));
  EXPECT_FALSE(too_large);
  EXPECT_FALSE(gunzip(gz, 999, too_large));
  EXPECT_TRUE(too_large);
  too_large = false;
  auto whole = gunzip(gz, 1000, too_large);
  ASSERT_TRUE(whole);
  EXPECT_EQ(*whole, std::string(1000, 'a'));
}

using LogsRequest = pb::collector::logs::v1::ExportLogsServiceRequest;

struct RecordSpec {
  std::string trace_id, span_id;  // hex; empty for a record of no span
  std::string event_name;
  Json body;  // a JSON value, as the record's AnyValue body
};

LogsRequest logs_request_of(const std::vector<RecordSpec>& records) {
  LogsRequest req;
  auto* scope = req.add_resource_logs()->add_scope_logs();
  for (const RecordSpec& r : records) {
    auto* rec = scope->add_log_records();
    rec->set_trace_id(bytes_of_hex(r.trace_id));
    rec->set_span_id(bytes_of_hex(r.span_id));
    rec->set_event_name(r.event_name);
    any_value_of_json(r.body, *rec->mutable_body());
  }
  return req;
}

// The same records as OTLP/JSON (ids in hex, the event name as an attribute).
std::string json_logs_of(const std::vector<RecordSpec>& records) {
  Json list = Json::array();
  for (const RecordSpec& r : records) {
    Json rec = {{"attributes", Json::array({{{"key", "event.name"},
                                             {"value", {{"stringValue", r.event_name}}}}})}};
    if (!r.trace_id.empty()) rec["traceId"] = r.trace_id;
    if (!r.span_id.empty()) rec["spanId"] = r.span_id;
    rec["body"] = {
        {"kvlistValue",
         {{"values",
           Json::array({{{"key", "content"}, {"value", {{"stringValue", r.body["content"]}}}}})}}}};
    list.push_back(rec);
  }
  return Json{
      {"resourceLogs", Json::array({{{"scopeLogs", Json::array({{{"logRecords", list}}})}}})}}
      .dump();
}

std::vector<RecordSpec> chat_records(const std::string& trace) {
  return {{trace, "b7ad6b7169203332", "gen_ai.user.message", {{"content", "What is 2+2?"}}},
          {trace, "b7ad6b7169203332", "gen_ai.choice", {{"content", "It is 4."}}}};
}

// --- a server in the process -------------------------------------------------------------

class Served {
 public:
  explicit Served(ServeOptions options, std::filesystem::path dir = {}) {
    dir_ = dir.empty() ? make_temp_dir("serve") : dir;
    options.host = "127.0.0.1";
    options.port = 0;
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

ServeOptions quick() {
  ServeOptions o;
  o.quiet_ms = 100;
  return o;
}

const std::string kTrace = "0af7651916cd43dd8448eb211c80319c";

std::vector<SpanSpec> small_trace(const std::string& id = kTrace) {
  return {{id, "b7ad6b7169203331", "", "invoke_agent"},
          {id,
           "b7ad6b7169203332",
           "b7ad6b7169203331",
           "chat",
           "svc",
           {{"gen_ai.operation.name", "chat"}, {"gen_ai.completion", "The answer is 4."}}}};
}

// Raw bytes to the port; what the server answers (its status line and after).
std::string raw_exchange(int port, const std::string& bytes) {
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

// --- bad text in an export: repaired, the export kept ------------------------------------

const std::string kFffd = "\xEF\xBF\xBD";

// `bytes` with each "BAD" (a placeholder of a valid message) replaced by the first three
// bytes of an emoji: invalid UTF-8 of the same length, so the encoding stays well formed.
std::string with_bad_text(std::string bytes) {
  for (size_t at = bytes.find("BAD"); at != std::string::npos; at = bytes.find("BAD", at))
    bytes.replace(at, 3, "\xF0\x9F\x98");
  return bytes;
}

// An OTLP/JSON export of `count` spans of one trace, the first with `attribute` as the value
// of "input", each named `name` (both spliced in as written: any escape, any bytes).
std::string json_export(size_t count, const std::string& attribute, const std::string& name = "x") {
  Json spans = Json::array();
  for (size_t i = 0; i < count; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "b7ad6b71692033%02zx", i + 1);
    Json span = {{"traceId", kTrace}, {"spanId", id}, {"name", "@name@"}};
    if (i > 0) span["parentSpanId"] = "b7ad6b7169203301";
    if (i == 0)
      span["attributes"] = Json::array({{{"key", "input"}, {"value", {{"stringValue", "@@"}}}}});
    spans.push_back(span);
  }
  std::string text =
      Json{{"resourceSpans", Json::array({{{"scopeSpans", Json::array({{{"spans", spans}}})}}})}}
          .dump();
  text.replace(text.find("\"@@\""), 4, "\"" + attribute + "\"");
  for (size_t at = text.find("@name@"); at != std::string::npos; at = text.find("@name@", at))
    text.replace(at, 6, name);
  return text;
}

TEST(OtlpSpans, BadTextIsRepairedAndTheSpansStored) {
  struct Case {
    const char* what;
    std::function<Result<SpanBatch>()> decode;
    size_t spans;
    uint64_t repaired;
    std::string input, name;  // the first span's "input" attribute and name, as stored
  };
  auto proto = request_of(
      {{kTrace, "b7ad6b7169203301", "", "nameBAD", "svc", {{"keyBAD", "v"}, {"input", "cut BAD"}}},
       {kTrace, "b7ad6b7169203302", "b7ad6b7169203301"}});
  auto ok_proto = request_of({{kTrace, "b7ad6b7169203301", "", "x", "svc", {{"input", "ok"}}}});
  const std::vector<Case> cases = {
      // As JavaScript's JSON.stringify writes a string cut in the middle of an emoji.
      {"JSON, a lone high surrogate in 1 of 20 spans",
       [] { return spans_from_json(json_export(20, "cut \\uD83D")); }, 20, 1, "cut " + kFffd, "x"},
      {"JSON, a pair kept", [] { return spans_from_json(json_export(2, "\\uD83D\\uDE00")); }, 2, 0,
       "\xF0\x9F\x98\x80", "x"},
      {"JSON, an escaped backslash before uD83D",
       [] { return spans_from_json(json_export(2, "\\\\uD83D")); }, 2, 0, "\\uD83D", "x"},
      {"JSON, raw invalid UTF-8 in a value and a name",
       [] { return spans_from_json(json_export(2, "a\xFF", "n\xC3")); }, 2, 3, "a" + kFffd,
       "n" + kFffd},
      {"protobuf, invalid UTF-8 in a name, a key and a value",
       [&] { return spans_from_protobuf(with_bad_text(proto.SerializeAsString())); }, 2, 3,
       "cut " + kFffd, "name" + kFffd},
      {"protobuf, valid", [&] { return spans_from_protobuf(ok_proto.SerializeAsString()); }, 1, 0,
       "ok", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto batch = c.decode();
    ASSERT_TRUE(batch) << batch.error().display();
    EXPECT_EQ(batch->rejected, 0u);
    EXPECT_EQ(batch->repaired, c.repaired);
    ASSERT_EQ(batch->spans.size(), c.spans);
    auto first = decode_stored_span(batch->spans[0].data);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->attrs["input"], c.input);
    EXPECT_EQ(first->name, c.name);
  }
  // The repaired key, in the stored message as in its OTLP/JSON line.
  auto batch = spans_from_protobuf(with_bad_text(proto.SerializeAsString()));
  ASSERT_TRUE(batch);
  auto first = decode_stored_span(batch->spans[0].data);
  EXPECT_TRUE(first->attrs.contains("key" + kFffd)) << first->attrs.dump();
  EXPECT_NE(stored_span_json(batch->spans[0].data)->find("\"key" + kFffd + "\""),
            std::string::npos);
}

TEST(OtlpSpans, BadTextInLogRecordsIsRepaired) {
  auto records = chat_records(kTrace);
  records[0].body = {{"content", "What is 2+2? BAD"}};
  auto batch = logs_from_protobuf(with_bad_text(logs_request_of(records).SerializeAsString()));
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->repaired, 1u);
  ASSERT_EQ(batch->logs.size(), 2u);
  auto log = decode_stored_log(batch->logs[0].data);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->event["body"]["content"], "What is 2+2? " + kFffd);

  std::string json = json_logs_of(chat_records(kTrace));
  json.replace(json.find("It is 4."), 8, "It is \\ud83d");
  auto from_json = logs_from_json(json);
  ASSERT_TRUE(from_json);
  EXPECT_EQ(from_json->repaired, 1u);
  ASSERT_EQ(from_json->logs.size(), 2u);
  EXPECT_EQ(decode_stored_log(from_json->logs[1].data)->event["body"]["content"], "It is " + kFffd);
}

// A body that is not an export at all fails as before, bad text or not.
TEST(OtlpSpans, BodiesThatAreNotExportsStillFail) {
  // A resource that is three bytes of nothing, and a body cut short.
  const std::string valid = request_of(small_trace()).SerializeAsString();
  EXPECT_FALSE(spans_from_protobuf(with_bad_text(valid + "\x0a\x03"
                                                         "BAD")));
  const std::string bad =
      with_bad_text(request_of({{kTrace, "b7ad6b7169203301", "", "BAD"}}).SerializeAsString());
  EXPECT_FALSE(spans_from_protobuf(bad.substr(0, bad.size() - 1)));
  EXPECT_FALSE(spans_from_protobuf("\xFF\xFF\xFF"));
  EXPECT_FALSE(spans_from_json("{\"resourceSpans\": [\"\\uD83D\""));
  EXPECT_FALSE(spans_from_json("not json \xFF"));
  EXPECT_FALSE(logs_from_json("{\"resourceLogs\": \xFF"));
  EXPECT_FALSE(
      logs_from_protobuf(with_bad_text("\x0a\x03"
                                       "BAD")));
}

TEST(ProtoRepair, StringFieldsOnlyAndEverythingElseKept) {
  using google::protobuf::Descriptor;
  const Descriptor& any = *pb::common::v1::AnyValue::descriptor();
  const Descriptor& request = *pb::collector::trace::v1::ExportTraceServiceRequest::descriptor();
  pb::common::v1::AnyValue bytes_value;
  bytes_value.set_bytes_value("BAD");
  pb::common::v1::AnyValue string_value;
  string_value.set_string_value("xBADy");
  // AnyValues nested `levels` deep through array values, a bad string at the bottom.
  auto nested = [](int levels) {
    pb::common::v1::AnyValue top;
    pb::common::v1::AnyValue* v = &top;
    for (int i = 1; i < levels; ++i) v = v->mutable_array_value()->add_values();
    v->set_string_value("BAD");
    return with_bad_text(top.SerializeAsString());
  };
  struct Case {
    const char* what;
    const Descriptor& type;
    std::string in;
    std::optional<size_t> repaired;
    std::string out;  // the repaired bytes; empty when `in` is kept
  };
  const std::string unknown = std::string("\xfa\x06\x03", 3);  // field 111, 3 bytes
  const std::vector<Case> cases = {
      {"valid", request, request_of(small_trace()).SerializeAsString(), 0, ""},
      {"a bytes field is not text", any, with_bad_text(bytes_value.SerializeAsString()), 0, ""},
      {"an unknown field is copied", any, unknown + "\xFF\xFE\xFD", 0, ""},
      {"a string field", any, with_bad_text(string_value.SerializeAsString()), 1,
       "\x0a\x05x" + kFffd + "y"},
      {"a string among numbers and an unknown field", any,
       "\x10\x01" + with_bad_text(string_value.SerializeAsString()) + unknown + "\xFF\xFE\xFD" +
           "\x21" + std::string(8, '\x01'),
       1,
       "\x10\x01\x0a\x05x" + kFffd + "y" + unknown + "\xFF\xFE\xFD\x21" + std::string(8, '\x01')},
      {"nested 30 deep", any, nested(30), 1, ""},
      {"nested deeper than the limit", any, nested(150), std::nullopt, ""},
      {"a field cut short", any, with_bad_text(string_value.SerializeAsString()).substr(0, 5),
       std::nullopt, ""},
      {"a length beyond the end", any,
       "\x0a\x7f"
       "BAD",
       std::nullopt, ""},
      {"a group", any, "\x0b\x0c", std::nullopt, ""},
      {"field number 0", any, std::string("\x02\x00", 2), std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out = "untouched";
    auto n = repair_protobuf_strings(c.type, c.in, out);
    ASSERT_EQ(n, c.repaired);
    if (!n || *n == 0) {
      EXPECT_EQ(out, "untouched");
    } else if (!c.out.empty()) {
      EXPECT_EQ(out, c.out);
    }
  }
  // The deep value parses once repaired, its string with U+FFFD.
  std::string out;
  ASSERT_EQ(repair_protobuf_strings(any, nested(30), out), 1u);
  pb::common::v1::AnyValue parsed;
  ASSERT_TRUE(parsed.ParseFromString(out));
  const pb::common::v1::AnyValue* v = &parsed;
  while (v->has_array_value()) v = &v->array_value().values(0);
  EXPECT_EQ(v->string_value(), kFffd);
}

TEST(OtlpSpans, ExportResponseSaysWhatWasRejectedAndRepaired) {
  const std::string one =
      "1 string held invalid UTF-8 or a lone surrogate and was repaired (U+FFFD)";
  struct Case {
    ExportOutcome outcome;
    bool logs;
    std::string json, message;
  };
  const std::vector<Case> cases = {
      {{}, false, "{}", ""},
      {{0, "ignored without a rejection", 0}, false, "{}", ""},
      {{0, "", 1}, false, R"({"partialSuccess":{"errorMessage":")" + one + "\"}}", one},
      {{0, "", 3},
       true,
       R"j({"partialSuccess":{"errorMessage":"3 strings held invalid UTF-8 or a lone surrogate and were repaired (U+FFFD)"}})j",
       "3 strings held invalid UTF-8 or a lone surrogate and were repaired (U+FFFD)"},
      {{2, "a span has no trace id", 0},
       false,
       R"({"partialSuccess":{"rejectedSpans":"2","errorMessage":"a span has no trace id"}})",
       "a span has no trace id"},
      {{2, "a span has no trace id", 1},
       false,
       R"({"partialSuccess":{"rejectedSpans":"2","errorMessage":"a span has no trace id; )" + one +
           "\"}}",
       "a span has no trace id; " + one},
      {{1, "a log record names no span", 1},
       true,
       R"({"partialSuccess":{"rejectedLogRecords":"1","errorMessage":"a log record names no span; )" +
           one + "\"}}",
       "a log record names no span; " + one},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(partial_success_message(c.outcome), c.message);
    EXPECT_EQ(export_response(false, c.outcome, c.logs), c.json);
    const std::string bytes = export_response(true, c.outcome, c.logs);
    if (c.logs) {
      pb::collector::logs::v1::ExportLogsServiceResponse r;
      ASSERT_TRUE(r.ParseFromString(bytes));
      EXPECT_EQ(r.has_partial_success(), !c.message.empty());
      EXPECT_EQ(r.partial_success().rejected_log_records(),
                static_cast<int64_t>(c.outcome.rejected));
      EXPECT_EQ(r.partial_success().error_message(), c.message);
    } else {
      pb::collector::trace::v1::ExportTraceServiceResponse r;
      ASSERT_TRUE(r.ParseFromString(bytes));
      EXPECT_EQ(r.has_partial_success(), !c.message.empty());
      EXPECT_EQ(r.partial_success().rejected_spans(), static_cast<int64_t>(c.outcome.rejected));
      EXPECT_EQ(r.partial_success().error_message(), c.message);
    }
  }
}

TEST(Serve, ExportsWithBadTextAreStoredAndSaySo) {
  Served s(quick());
  auto json = s.client().Post("/v1/traces", json_export(20, "cut \\uD83D"), "application/json");
  ASSERT_TRUE(json);
  ASSERT_EQ(json->status, 200) << json->body;
  EXPECT_EQ(
      json->body,
      R"j({"partialSuccess":{"errorMessage":"1 string held invalid UTF-8 or a lone surrogate and was repaired (U+FFFD)"}})j");
  EXPECT_EQ(s.wait_for(kTrace, "diagnosed")["span_count"], 20);

  const std::string other = "1af7651916cd43dd8448eb211c80319c";
  auto req = request_of({{other, "b7ad6b7169203301", "", "BAD", "svc", {{"k", "vBAD"}}},
                         {std::string(32, '0'), "b7ad6b7169203302", ""}});
  auto proto = s.post_protobuf(with_bad_text(req.SerializeAsString()));
  ASSERT_TRUE(proto);
  ASSERT_EQ(proto->status, 200);
  pb::collector::trace::v1::ExportTraceServiceResponse resp;
  ASSERT_TRUE(resp.ParseFromString(proto->body));
  EXPECT_EQ(resp.partial_success().rejected_spans(), 1);
  EXPECT_EQ(resp.partial_success().error_message(),
            "a span has no valid trace id (16 bytes, not all zero); 2 strings held invalid UTF-8 "
            "or a lone surrogate and were repaired (U+FFFD)");
  EXPECT_EQ(s.wait_for(other, "diagnosed")["span_count"], 1);
  auto spans = s.client().Get(("/api/traces/" + other + "/spans").c_str());
  ASSERT_TRUE(spans);
  EXPECT_NE(spans->body.find("\"v" + kFffd + "\""), std::string::npos) << spans->body;
}

TEST(Serve, IngestStatusCodes) {
  ServeOptions o = quick();
  o.max_body_bytes = 4096;
  Served s(o);
  const std::string body = request_of(small_trace()).SerializeAsString();
  struct Case {
    const char* what;
    std::string content_type, encoding, body;
    int status;
  };
  std::string big =
      request_of({{kTrace, "b7ad6b7169203339", "", std::string(5000, 'x')}}).SerializeAsString();
  const std::vector<Case> cases = {
      {"protobuf", "application/x-protobuf", "", body, 200},
      {"type parameters ignored", "application/x-protobuf; charset=binary", "", body, 200},
      {"gzip", "application/x-protobuf", "gzip", gzip_of(body), 200},
      {"identity", "application/x-protobuf", "identity", body, 200},
      {"json", "application/json", "",
       R"({"resourceSpans":[{"resource":{},"scopeSpans":[{"scope":{},"spans":[{"traceId":")" +
           kTrace +
           R"(","spanId":"b7ad6b7169203333","parentSpanId":"b7ad6b7169203331","name":"x"}]}]}]})",
       200},
      {"bad protobuf", "application/x-protobuf", "", std::string("\x0a\xff\xff\xff\x0f", 5), 400},
      {"bad json", "application/json", "", "{\"resourceSpans\":", 400},
      {"bad gzip", "application/x-protobuf", "gzip", "not gzip at all", 400},
      {"gzip cut short", "application/x-protobuf", "gzip",
       gzip_of(body).substr(0, gzip_of(body).size() / 2), 400},
      {"wrong content type", "text/plain", "", body, 415},
      {"other encoding", "application/x-protobuf", "br", body, 415},
      {"over the limit as sent", "application/x-protobuf", "", big, 413},
      {"over the limit decompressed", "application/x-protobuf", "gzip", gzip_of(big), 413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Headers h;
    if (!c.encoding.empty()) h.emplace("Content-Encoding", c.encoding);
    auto r = s.client().Post("/v1/traces", h, c.body, c.content_type.c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status);
    if (c.status == 200 && c.content_type.rfind("application/x-protobuf", 0) == 0) {
      pb::collector::trace::v1::ExportTraceServiceResponse resp;
      EXPECT_TRUE(resp.ParseFromString(r->body));
      EXPECT_FALSE(resp.has_partial_success());
    }
  }
  // Read side answers.
  EXPECT_EQ(s.client().Get("/healthz")->status, 200);
  EXPECT_EQ(s.client().Get("/healthz")->body, "ok\n");
  EXPECT_EQ(s.client().Get("/nothing/here")->status, 404);
  EXPECT_EQ(s.client().Delete("/api/traces")->status, 405);
  EXPECT_EQ(s.client().Get("/api/traces/xyz")->status, 400);
  EXPECT_EQ(s.client().Get(("/api/traces/" + std::string(65, 'a')).c_str())->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces/abcdef")->status, 404);
  EXPECT_EQ(s.client().Get("/traces/abcdef")->status, 404);
  EXPECT_EQ(s.client().Get("/api/traces?limit=0")->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces?limit=1001")->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces?since=yesterday")->status, 400);
  EXPECT_EQ(s.client().Get("/api/traces?limit=")->status, 200);

  auto metrics = s.client().Get("/metrics");
  ASSERT_TRUE(metrics);
  for (const char* name :
       {"tracedx_spans_received_total", "tracedx_spans_rejected_total", "tracedx_queue_depth",
        "tracedx_request_duration_seconds_bucket{le=", "tracedx_request_duration_seconds_sum",
        "tracedx_request_duration_seconds_count", "tracedx_requests_total{code=\"415\"}"})
    EXPECT_NE(metrics->body.find(name), std::string::npos) << name;
  EXPECT_NE(metrics->body.find("tracedx_spans_received_total 9"), std::string::npos);
}

TEST(Serve, BodyCutShortIs400) {
  Served s(quick());
  const std::string body = request_of(small_trace()).SerializeAsString();
  std::string out =
      raw_exchange(s.port(),
                   "POST /v1/traces HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-protobuf\r\n"
                   "Content-Length: " +
                       std::to_string(body.size() + 100) + "\r\n\r\n" + body);
  // Either a 400 or the connection closed without an answer; never a 200.
  EXPECT_EQ(out.find("200 OK"), std::string::npos) << out;
  auto list = s.client().Get("/api/traces");
  ASSERT_TRUE(list);
  EXPECT_EQ(Json::parse(list->body)["traces"].size(), 0u);
}

TEST(Serve, PartialSuccessInTheRequestsContentType) {
  Served s(quick());
  auto req = request_of({{kTrace, "b7ad6b7169203331", ""},
                         {"00000000000000000000000000000000", "b7ad6b7169203332", ""}});
  auto r = s.post_protobuf(req.SerializeAsString());
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  pb::collector::trace::v1::ExportTraceServiceResponse resp;
  ASSERT_TRUE(resp.ParseFromString(r->body));
  EXPECT_EQ(resp.partial_success().rejected_spans(), 1);
  EXPECT_FALSE(resp.partial_success().error_message().empty());

  auto j = s.client().Post(
      "/v1/traces",
      R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"zz","spanId":"b7ad6b7169203333"}]}]}]})",
      "application/json");
  ASSERT_TRUE(j);
  ASSERT_EQ(j->status, 200);
  Json doc = Json::parse(j->body);
  EXPECT_EQ(doc["partialSuccess"]["rejectedSpans"], "1");
  auto metrics = s.client().Get("/metrics");
  EXPECT_NE(metrics->body.find("tracedx_spans_rejected_total 2"), std::string::npos);
}

TEST(Serve, FullQueueAnswers429WithRetryAfter) {
  ServeOptions o = quick();
  o.max_queued_spans = 2;
  Served s(o);
  s.server().hold_writes(true);
  const std::string body = request_of(small_trace()).SerializeAsString();
  httplib::Client first("127.0.0.1", s.port());
  first.set_read_timeout(30, 0);
  std::thread waiting([&] {
    auto r = first.Post("/v1/traces", body, "application/x-protobuf");
    EXPECT_TRUE(r && r->status == 200);
  });
  // The first export holds the queue once it is in it (a loaded machine can take a while
  // to send it); a second one is refused until the writer goes on.
  for (int i = 0; i < 3000; ++i) {
    auto metrics = s.client().Get("/metrics");
    if (metrics && metrics->body.find("tracedx_queue_depth 0\n") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int refused = 0;
  for (int i = 0; i < 200 && !refused; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto r =
        s.post_protobuf(request_of({{"1af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331", ""}})
                            .SerializeAsString());
    ASSERT_TRUE(r);
    if (r->status == 429) {
      refused++;
      EXPECT_EQ(r->get_header_value("Retry-After"), "1");
    }
  }
  EXPECT_EQ(refused, 1);
  s.server().hold_writes(false);
  waiting.join();
}

TEST(Serve, TokenOnEveryEndpointButHealthz) {
  ServeOptions o = quick();
  o.token = "s3cret";
  Served s(o);
  const std::string body = request_of(small_trace()).SerializeAsString();
  EXPECT_EQ(s.post_protobuf(body)->status, 401);
  EXPECT_EQ(s.post_protobuf(body, {{"Authorization", "Bearer wrong!"}})->status, 401);
  EXPECT_EQ(s.post_protobuf(body, {{"Authorization", "Bearer s3cre"}})->status, 401);
  EXPECT_EQ(s.post_protobuf(body, {{"Authorization", "Bearer s3cret"}})->status, 200);
  EXPECT_EQ(s.client()
                .Post("/v1/logs", logs_request_of(chat_records(kTrace)).SerializeAsString(),
                      "application/x-protobuf")
                ->status,
            401);
  for (const char* path :
       {"/", "/api/traces", "/metrics", "/traces/0af7651916cd43dd8448eb211c80319c"})
    EXPECT_EQ(s.client().Get(path)->status, 401) << path;
  EXPECT_EQ(s.client().Get("/healthz")->status, 200);
  EXPECT_EQ(s.client().Get("/api/traces", {{"Authorization", "Bearer s3cret"}})->status, 200);
}

TEST(Serve, CompletionReopenAndVersion) {
  Served s(quick());
  // No root yet: the trace stays pending however quiet it is.
  auto child = small_trace()[1];
  ASSERT_EQ(s.post_protobuf(request_of({child}).SerializeAsString())->status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  Json t = Json::parse(s.client().Get(("/api/traces/" + kTrace).c_str())->body);
  EXPECT_EQ(t["status"], "pending");
  EXPECT_EQ(t["version"], 0);
  EXPECT_TRUE(t["diagnosis"].is_null());

  ASSERT_EQ(s.post_protobuf(request_of({small_trace()[0]}).SerializeAsString())->status, 200);
  t = s.wait_for(kTrace, "diagnosed", 1);
  EXPECT_EQ(t["version"], 1);
  EXPECT_EQ(t["span_count"], 2);
  EXPECT_EQ(t["service"], "svc");
  EXPECT_TRUE(t["diagnosis"].is_object());
  EXPECT_TRUE(t["error"].is_null());

  // A late span re-opens it; it is diagnosed again with the next version.
  SpanSpec late{kTrace, "b7ad6b7169203334", "b7ad6b7169203331", "tool"};
  ASSERT_EQ(s.post_protobuf(request_of({late}).SerializeAsString())->status, 200);
  t = s.wait_for(kTrace, "diagnosed", 2);
  EXPECT_EQ(t["version"], 2);
  EXPECT_EQ(t["span_count"], 3);

  // An export resent (its answer lost) stores nothing twice and re-opens nothing.
  ASSERT_EQ(s.post_protobuf(request_of({late}).SerializeAsString())->status, 200);
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  t = Json::parse(s.client().Get(("/api/traces/" + kTrace).c_str())->body);
  EXPECT_EQ(t["status"], "diagnosed");
  EXPECT_EQ(t["version"], 2);
  EXPECT_EQ(t["span_count"], 3);

  // The stored lines, in arrival order, diagnosed by the command give the same report.
  auto spans = s.client().Get(("/api/traces/" + kTrace + "/spans").c_str());
  ASSERT_TRUE(spans);
  EXPECT_EQ(spans->get_header_value("Content-Type").rfind("application/jsonl", 0), 0u);
  write_text(s.dir() / "spans.jsonl", spans->body);
  auto run = run_command(
      {TRACEDX_BIN, "diagnose", "--from", "otlp", "spans.jsonl", "--trace-id", kTrace, "--compact"},
      s.dir());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Json::parse(run.out), t["diagnosis"]);
  std::string text = run.out;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  // Byte for byte: the API embeds the stored text as it is.
  auto raw = s.client().Get(("/api/traces/" + kTrace).c_str());
  ASSERT_TRUE(raw);
  EXPECT_NE(raw->body.find("\"diagnosis\":" + text), std::string::npos) << raw->body;
}

TEST(Serve, PendingTracesArePickedUpOnRestart) {
  // A database left by a server that died with a trace pending: its spans committed, its
  // diagnosis never made. The next server diagnoses it.
  auto dir = make_temp_dir("serve-restart");
  {
    auto store = Store::open((dir / "t.db").string());
    ASSERT_TRUE(store);
    auto batch = spans_from_protobuf(request_of(small_trace()).SerializeAsString());
    ASSERT_TRUE(batch);
    ASSERT_TRUE((*store)->begin());
    for (const SpanRow& row : batch->spans)
      ASSERT_TRUE((*store)->insert_span(row.trace_id, row.span_id, row.data));
    ASSERT_TRUE((*store)->touch_trace(kTrace, "svc", 1700000000000, 2, true));
    ASSERT_TRUE((*store)->commit());
  }
  Served s(quick(), dir);
  Json t = s.wait_for(kTrace, "diagnosed", 1);
  EXPECT_EQ(t["version"], 1);
  EXPECT_EQ(t["span_count"], 2);
  EXPECT_EQ(t["last_seen"], 1700000000000);
}

TEST(Serve, StopDiagnosesEveryPendingTrace) {
  auto dir = make_temp_dir("serve-drain");
  {
    ServeOptions o;
    o.quiet_ms = 600000;  // never quiet long enough while this server runs
    Served s(o, dir);
    // One trace with its root, one without: both are diagnosed by the drain.
    ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
    auto orphan = small_trace("1af7651916cd43dd8448eb211c80319c")[1];
    ASSERT_EQ(s.post_protobuf(request_of({orphan}).SerializeAsString())->status, 200);
    s.stop();
  }
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  auto pending = (*store)->pending();
  ASSERT_TRUE(pending);
  EXPECT_TRUE(pending->empty());
  auto row = (*store)->get_trace(kTrace);
  ASSERT_TRUE(row && *row);
  EXPECT_EQ((**row).status, "diagnosed");
  EXPECT_EQ((**row).version, 1);
}

TEST(Serve, FailedImportIsStoredWithTheError) {
  Served s(quick());
  // A root span whose only content cannot be a run: the importer's message is kept.
  SpanSpec root{kTrace, "b7ad6b7169203331", ""};
  ASSERT_EQ(s.post_protobuf(request_of({root}).SerializeAsString())->status, 200);
  for (int i = 0; i < 300; ++i) {
    Json t = Json::parse(s.client().Get(("/api/traces/" + kTrace).c_str())->body);
    if (t["status"] != "pending") {
      if (t["status"] == "failed") {
        EXPECT_TRUE(t["error"].is_string());
        EXPECT_TRUE(t["diagnosis"].is_null());
      } else {
        EXPECT_EQ(t["status"], "diagnosed");
      }
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "never diagnosed";
}

TEST(Serve, TenMegabyteAttributeIsStoredWhole) {
  Served s(quick());
  std::string huge(10u << 20, 'q');
  auto spans = small_trace();
  spans[1].attributes.emplace_back("gen_ai.prompt", huge);
  ASSERT_EQ(s.post_protobuf(gzip_of(request_of(spans).SerializeAsString()),
                            {{"Content-Encoding", "gzip"}})
                ->status,
            200);
  s.wait_for(kTrace, "diagnosed", 1);
  auto lines = s.client().Get(("/api/traces/" + kTrace + "/spans").c_str());
  ASSERT_TRUE(lines);
  EXPECT_NE(lines->body.find(huge), std::string::npos);
}

TEST(Serve, ApiFiltersAndOrder) {
  Served s(quick());
  const std::string a = "00000000000000000000000000000a0a", b = "00000000000000000000000000000b0b";
  auto ta = small_trace(a);
  for (auto& sp : ta) sp.service = "alpha";
  ASSERT_EQ(s.post_protobuf(request_of(ta).SerializeAsString())->status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto tb = small_trace(b);
  for (auto& sp : tb) sp.service = "beta";
  ASSERT_EQ(s.post_protobuf(request_of(tb).SerializeAsString())->status, 200);
  s.wait_for(a, "diagnosed");
  Json jb = s.wait_for(b, "diagnosed");

  auto list = [&](const std::string& query) {
    auto r = s.client().Get(("/api/traces" + query).c_str());
    EXPECT_TRUE(r && r->status == 200);
    std::vector<std::string> ids;
    const Json doc = Json::parse(r->body);
    for (const auto& t : doc["traces"]) ids.push_back(t["trace_id"]);
    return ids;
  };
  using Ids = std::vector<std::string>;
  EXPECT_EQ(list(""), (Ids{b, a}));
  EXPECT_EQ(list("?limit=1"), (Ids{b}));
  EXPECT_EQ(list("?service=alpha"), (Ids{a}));
  EXPECT_EQ(list("?service=gamma"), Ids{});
  EXPECT_EQ(list("?service=&label="), (Ids{b, a}));
  const int64_t last_b = jb["last_seen"];
  EXPECT_EQ(list("?since=" + std::to_string(last_b)), (Ids{b}));
  EXPECT_EQ(list("?until=" + std::to_string(last_b)), (Ids{a}));
  if (jb["outcome"].is_string()) {
    EXPECT_EQ(list("?outcome=" + jb["outcome"].get<std::string>()).size(), 2u);
  }
  EXPECT_EQ(list("?outcome=no-such-outcome"), Ids{});
  if (jb["label"].is_string()) {
    EXPECT_EQ(list("?label=" + jb["label"].get<std::string>()).size(), 2u);
  }

  auto index = s.client().Get("/?service=alpha");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
  EXPECT_NE(index->body.find(a), std::string::npos);
  EXPECT_EQ(index->body.find(b), std::string::npos);
  EXPECT_EQ(s.client().Get("/?limit=abc")->status, 400);
}

TEST(Serve, HostileSpanTextsAreEscaped) {
  Served s(quick());
  const std::string evil = "<script>alert(1)</script>\"'&<img src=x onerror=alert(2)>";
  auto spans = small_trace();
  for (auto& sp : spans) {
    sp.service = evil;
    sp.name = evil;
    sp.attributes.emplace_back("gen_ai.completion", evil);
  }
  ASSERT_EQ(s.post_protobuf(request_of(spans).SerializeAsString())->status, 200);
  s.wait_for(kTrace, "diagnosed");
  for (std::string path : {std::string("/"), "/traces/" + kTrace}) {
    SCOPED_TRACE(path);
    auto r = s.client().Get(path.c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/html", 0), 0u);
    EXPECT_EQ(r->body.find("<script"), std::string::npos);
    EXPECT_EQ(r->body.find("<img"), std::string::npos);
    EXPECT_EQ(r->body.find(evil), std::string::npos);
  }
  auto report = s.client().Get(("/traces/" + kTrace).c_str());
  EXPECT_NE(report->body.find("all runs</a>"), std::string::npos);
}

// --- the stored form end to end, log records, stored pages --------------------------------

// The command's compact diagnosis of the trace's /spans lines.
Json diagnose_spans_endpoint(Served& s, const std::string& id) {
  auto spans = s.client().Get(("/api/traces/" + id + "/spans").c_str());
  EXPECT_TRUE(spans && spans->status == 200);
  write_text(s.dir() / "spans.jsonl", spans ? spans->body : "");
  auto run = run_command(
      {TRACEDX_BIN, "diagnose", "--from", "otlp", "spans.jsonl", "--trace-id", id, "--compact"},
      s.dir());
  EXPECT_EQ(run.status, 0) << run.err;
  return run.status == 0 ? Json::parse(run.out) : Json();
}

// The fixture of the trace as the server reads its stored rows.
std::string stored_fixture(const std::filesystem::path& db, const std::string& id) {
  auto store = Store::open(db.string());
  EXPECT_TRUE(store);
  auto snapshot = (*store)->read_spans(id);
  EXPECT_TRUE(snapshot);
  auto fixture = fixture_of_snapshot(id, *snapshot);
  EXPECT_TRUE(fixture);
  return fixture ? fixture->dump() : "";
}

TEST(Serve, ProtobufAndJsonBodiesStoreTheSameSpans) {
  auto req = request_of(small_trace());
  auto* chat = req.mutable_resource_spans(1)->mutable_scope_spans(0)->mutable_spans(0);
  auto add = [&](const char* key, const Json& value) {
    auto* kv = chat->add_attributes();
    kv->set_key(key);
    any_value_of_json(value, *kv->mutable_value());
  };
  add("gen_ai.usage.input_tokens", 12);
  add("gen_ai.request.temperature", 0.5);
  add("whole", 3.0);  // a JSON exporter writes 3
  add("flags", Json::array({true, "x", 1}));
  add("nested", Json{{"a", {{"b", nullptr}}}});
  chat->mutable_status()->set_code(pb::trace::v1::Status::STATUS_CODE_ERROR);
  chat->mutable_status()->set_message("rate limited");
  auto* event = chat->add_events();
  event->set_name("exception");
  auto* kv = event->add_attributes();
  kv->set_key("exception.message");
  kv->mutable_value()->set_string_value("429");

  // The same export as an OTLP/JSON exporter writes it.
  auto rows = spans_from_protobuf(req.SerializeAsString());
  ASSERT_TRUE(rows);
  Json doc = Json::parse(*stored_span_json(rows->spans[0].data));  // the resource and scope
  Json spans = Json::array();
  for (const auto& row : rows->spans)
    spans.push_back(Json::parse(*stored_span_json(row.data))["scopeSpans"][0]["spans"][0]);
  doc["scopeSpans"][0]["spans"] = spans;
  const std::string json_body = Json{{"resourceSpans", Json::array({doc})}}.dump();

  Served proto(quick()), json(quick());
  ASSERT_EQ(proto.post_protobuf(req.SerializeAsString())->status, 200);
  auto posted = json.client().Post("/v1/traces", json_body, "application/json");
  ASSERT_TRUE(posted);
  ASSERT_EQ(posted->status, 200) << posted->body;
  Json a = proto.wait_for(kTrace, "diagnosed"), b = json.wait_for(kTrace, "diagnosed");
  EXPECT_EQ(a["diagnosis"], b["diagnosis"]);
  EXPECT_EQ(a["span_count"], 2);
  EXPECT_EQ(b["span_count"], 2);
  EXPECT_EQ(stored_fixture(proto.dir() / "t.db", kTrace),
            stored_fixture(json.dir() / "t.db", kTrace));
  // Each server's stored diagnosis is the command's on its /spans lines.
  EXPECT_EQ(diagnose_spans_endpoint(proto, kTrace), a["diagnosis"]);
  EXPECT_EQ(diagnose_spans_endpoint(json, kTrace), b["diagnosis"]);
}

// The tables as the first versions of the receiver made them: spans stored as OTLP/JSON text.
constexpr const char* kOldSchema = R"sql(
CREATE TABLE traces (id TEXT PRIMARY KEY, service TEXT, title TEXT, first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL, status TEXT NOT NULL, has_root INTEGER NOT NULL DEFAULT 0,
  span_count INTEGER NOT NULL DEFAULT 0, step_count INTEGER, duration_ms INTEGER, outcome TEXT,
  label TEXT, severity TEXT, diagnosis TEXT, error TEXT, version INTEGER NOT NULL DEFAULT 0);
CREATE TABLE spans (seq INTEGER PRIMARY KEY, trace_id TEXT NOT NULL, span_id TEXT NOT NULL,
  line TEXT NOT NULL);
CREATE UNIQUE INDEX spans_id ON spans(trace_id, span_id);
)sql";

void exec_sql(const std::filesystem::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.string().c_str(), &h), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(h);
}

int64_t count_rows(const std::filesystem::path& db, const std::string& sql) {
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

TEST(Serve, OldTextRowsStillDiagnoseTheSame) {
  auto dir = make_temp_dir("serve-old");
  std::string lines, sql = kOldSchema;
  auto spans = small_trace();
  spans[1].attributes.emplace_back("gen_ai.request.model", "gpt-4o");
  auto rows = spans_from_protobuf(request_of(spans).SerializeAsString());
  ASSERT_TRUE(rows);
  for (const auto& row : rows->spans) {
    std::string line = *stored_span_json(row.data);
    lines += line + "\n";
    std::string quoted;
    for (char c : line) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    sql += "INSERT INTO spans(trace_id, span_id, line) VALUES('" + row.trace_id + "', '" +
           row.span_id + "', '" + quoted + "');\n";
  }
  sql += "INSERT INTO traces(id, first_seen, last_seen, status, has_root, span_count) VALUES('" +
         kTrace + "', 1700000000000, 1700000000000, 'pending', 1, 2);\n";
  exec_sql(dir / "t.db", sql);
  ASSERT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM spans WHERE typeof(line) = 'text'"), 2);
  write_text(dir / "old.jsonl", lines);
  auto cli = run_command(
      {TRACEDX_BIN, "diagnose", "--from", "otlp", "old.jsonl", "--trace-id", kTrace, "--compact"},
      dir);
  ASSERT_EQ(cli.status, 0) << cli.err;

  Served s(quick(), dir);
  Json t = s.wait_for(kTrace, "diagnosed", 1);
  EXPECT_EQ(t["diagnosis"], Json::parse(cli.out));
  auto stored = s.client().Get(("/api/traces/" + kTrace + "/spans").c_str());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, lines);  // the old rows as they were stored
  auto page = s.client().Get(("/traces/" + kTrace).c_str());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("all runs</a>"), std::string::npos);

  // A late span is stored in the new form beside the old rows; both are read.
  SpanSpec late{kTrace, "b7ad6b7169203334", "b7ad6b7169203331", "tool"};
  ASSERT_EQ(s.post_protobuf(request_of({late}).SerializeAsString())->status, 200);
  t = s.wait_for(kTrace, "diagnosed", 2);
  EXPECT_EQ(t["span_count"], 3);
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM spans WHERE typeof(line) = 'blob'"), 1);
  EXPECT_EQ(diagnose_spans_endpoint(s, kTrace), t["diagnosis"]);
}

TEST(Serve, LogExportsAnswerAsTraceExportsDo) {
  ServeOptions o = quick();
  o.max_body_bytes = 4096;
  Served s(o);
  const std::string proto = logs_request_of(chat_records(kTrace)).SerializeAsString();
  const std::string json = json_logs_of(chat_records(kTrace));
  auto without_ids = chat_records(kTrace);
  without_ids.push_back({"", "", "gen_ai.system.message", {{"content", "no span"}}});
  without_ids.push_back({kTrace, "", "gen_ai.system.message", {{"content", "no span id"}}});
  struct Case {
    const char* what;
    std::string content_type, encoding, body;
    int status;
    int64_t rejected;
  };
  const std::vector<Case> cases = {
      {"protobuf", "application/x-protobuf", "", proto, 200, 0},
      {"protobuf gzip", "application/x-protobuf", "gzip", gzip_of(proto), 200, 0},
      {"json", "application/json", "", json, 200, 0},
      {"json gzip", "application/json", "gzip", gzip_of(json), 200, 0},
      {"protobuf, records without ids", "application/x-protobuf", "",
       logs_request_of(without_ids).SerializeAsString(), 200, 2},
      {"json, records without ids", "application/json", "", json_logs_of(without_ids), 200, 2},
      {"bad protobuf", "application/x-protobuf", "", std::string("\x0a\xff\xff\xff\x0f", 5), 400,
       0},
      {"bad json", "application/json", "", "{\"resourceLogs\":", 400, 0},
      {"bad gzip", "application/json", "gzip", "not gzip", 400, 0},
      {"wrong content type", "text/plain", "", json, 415, 0},
      {"over the limit", "application/json", "", std::string(5000, ' ') + json, 413, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Headers h;
    if (!c.encoding.empty()) h.emplace("Content-Encoding", c.encoding);
    auto r = s.client().Post("/v1/logs", h, c.body, c.content_type.c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    if (c.status != 200) continue;
    if (c.content_type == "application/x-protobuf") {
      pb::collector::logs::v1::ExportLogsServiceResponse resp;
      ASSERT_TRUE(resp.ParseFromString(r->body));
      EXPECT_EQ(resp.partial_success().rejected_log_records(), c.rejected);
      EXPECT_EQ(resp.has_partial_success(), c.rejected > 0);
    } else {
      Json doc = Json::parse(r->body);
      if (c.rejected) {
        EXPECT_EQ(doc["partialSuccess"]["rejectedLogRecords"], std::to_string(c.rejected));
      } else {
        EXPECT_EQ(doc, Json::object());
      }
    }
  }
  EXPECT_EQ(s.client().Get("/v1/logs")->status, 405);
  auto metrics = s.client().Get("/metrics");
  EXPECT_NE(metrics->body.find("tracedx_log_records_received_total 12"), std::string::npos)
      << metrics->body;
  EXPECT_NE(metrics->body.find("tracedx_log_records_rejected_total 4"), std::string::npos);
  EXPECT_NE(metrics->body.find("tracedx_spans_received_total 0"), std::string::npos);
}

TEST(Serve, LogRecordsJoinTheirSpansAndReopenTheTrace) {
  Served s(quick());
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  s.wait_for(kTrace, "diagnosed", 1);
  // Records after the diagnosis: the trace is diagnosed again with them.
  auto r = s.client().Post("/v1/logs", logs_request_of(chat_records(kTrace)).SerializeAsString(),
                           "application/x-protobuf");
  ASSERT_TRUE(r && r->status == 200);
  Json after = s.wait_for(kTrace, "diagnosed", 2);
  EXPECT_EQ(after["span_count"], 2);
  // The records are events of the chat span now.
  EXPECT_NE(stored_fixture(s.dir() / "t.db", kTrace).find("It is 4."), std::string::npos);
  EXPECT_EQ(diagnose_spans_endpoint(s, kTrace), after["diagnosis"]);
  auto lines = s.client().Get(("/api/traces/" + kTrace + "/spans").c_str());
  EXPECT_NE(lines->body.find("\"resourceLogs\""), std::string::npos);
  EXPECT_NE(lines->body.find("It is 4."), std::string::npos);

  // Records before their trace's spans wait for them.
  const std::string other = "2af7651916cd43dd8448eb211c80319c";
  r = s.client().Post("/v1/logs", json_logs_of(chat_records(other)), "application/json");
  ASSERT_TRUE(r && r->status == 200);
  EXPECT_EQ(s.client().Get(("/api/traces/" + other).c_str())->status, 404);
  ASSERT_EQ(s.post_protobuf(request_of(small_trace(other)).SerializeAsString())->status, 200);
  Json joined = s.wait_for(other, "diagnosed", 1);
  EXPECT_EQ(joined["diagnosis"], after["diagnosis"]);
  EXPECT_EQ(diagnose_spans_endpoint(s, other), joined["diagnosis"]);
}

TEST(Serve, ReportPageIsRenderedOnItsFirstViewThenServedAsStored) {
  Served s(quick());
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  s.wait_for(kTrace, "diagnosed", 1);
  const auto db = s.dir() / "t.db";
  // A diagnosis stores no page: most traces are never viewed.
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM traces WHERE page IS NOT NULL"), 0);
  auto wait_for_page = [&] {
    int64_t stored = 0;
    for (int i = 0; i < 500 && stored == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      stored = count_rows(db, "SELECT count(*) FROM traces WHERE page LIKE '<!DOCTYPE%'");
    }
    return stored;
  };
  auto first = s.client().Get(("/traces/" + kTrace).c_str());
  ASSERT_TRUE(first && first->status == 200);
  EXPECT_NE(first->body.find("all runs</a>"), std::string::npos);
  EXPECT_EQ(wait_for_page(), 1);
  // What is served from then on is what is stored: nothing is imported or diagnosed again.
  exec_sql(db, "UPDATE traces SET page = '<p>as stored</p>'");
  EXPECT_EQ(s.client().Get(("/traces/" + kTrace).c_str())->body, "<p>as stored</p>");
  // A page lost (or never stored) is rendered again, the same, and stored again.
  exec_sql(db, "UPDATE traces SET page = NULL");
  EXPECT_EQ(s.client().Get(("/traces/" + kTrace).c_str())->body, first->body);
  EXPECT_EQ(wait_for_page(), 1);
}

TEST(Serve, RetentionDeletesLogRecordsWithTheirTrace) {
  auto dir = make_temp_dir("serve-retention");
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  const std::string fresh = "3af7651916cd43dd8448eb211c80319c";
  ASSERT_TRUE((*store)->begin());
  ASSERT_TRUE((*store)->insert_span(kTrace, "b7ad6b7169203331", "x"));
  ASSERT_TRUE((*store)->touch_trace(kTrace, "svc", 1000, 1, true));
  ASSERT_TRUE((*store)->insert_log(kTrace, "b7ad6b7169203331", 1000, "r"));
  // Records whose trace never came: an old one goes, a recent one stays.
  ASSERT_TRUE(
      (*store)->insert_log("4af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331", 1000, "r"));
  ASSERT_TRUE((*store)->insert_log(fresh, "b7ad6b7169203331", 5000, "r"));
  ASSERT_TRUE((*store)->commit());
  auto deleted = (*store)->delete_older(2000, 100);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(*deleted, std::vector<std::string>{kTrace});
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM spans"), 0);
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM logs"), 1);
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM logs WHERE trace_id = '" + fresh + "'"),
            1);
}

// Commits only append to the write-ahead log; a checkpoint (the server's own thread) moves
// them into the database file, while another connection keeps the log open.
TEST(Serve, CommitsLeaveCheckpointsToTheirOwnCall) {
  auto dir = make_temp_dir("serve-checkpoint");
  const auto db = dir / "t.db";
  auto store = Store::open(db.string());
  auto other = Store::open(db.string());
  ASSERT_TRUE(store && other);
  const auto before = std::filesystem::file_size(db);
  const std::string data(4096, 'x');
  for (int t = 0; t < 4; ++t) {
    ASSERT_TRUE((*store)->begin());
    for (int i = 0; i < 500; ++i)
      ASSERT_TRUE((*store)->insert_span(kTrace, std::to_string(t * 1000 + i), data));
    ASSERT_TRUE((*store)->commit());
  }
  EXPECT_EQ(std::filesystem::file_size(db), before);
  ASSERT_TRUE((*other)->checkpoint());
  EXPECT_GT(std::filesystem::file_size(db), before + 2000 * data.size());
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM spans"), 2000);
}

}  // namespace
}  // namespace tracedx
