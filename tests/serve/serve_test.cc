// The receiver end to end within the process: a server on 127.0.0.1 (an ephemeral port) with
// a database in a temporary directory, exports sent with the HTTP client, and the read side.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
#include "import/otlp_values.h"
#include "opentelemetry/proto/collector/logs/v1/logs_service.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/db_lock.h"
#include "serve/diagnose_spans.h"
#include "serve/otlp_spans.h"
#include "serve/proto_repair.h"
#include "serve/server.h"
#include "serve/span_codec.h"
#include "serve/store.h"
#include "serve_support.h"
#include "test_support.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto;
using Json = nlohmann::json;
using namespace tracedx::test_support;
using namespace tracedx::serve_support;

// --- the stored form and its OTLP/JSON lines ---------------------------------------------

// The OTLP/JSON line of a span row, and the span it decodes to.
std::string line_of(const StoredMessage& m) {
  auto line = stored_span_json(*m.envelope, m.message);
  EXPECT_TRUE(line);
  return line ? *line : std::string();
}

Result<OtlpSpan> decoded_span(const StoredMessage& m) {
  auto envelope = decode_span_envelope(*m.envelope);
  if (!envelope) return std::move(envelope).error();
  return decode_stored_span(*envelope, m.message);
}

// A stored message of no particular content under a one-off envelope.
StoredMessage message_of(std::string bytes) {
  return {std::make_shared<const std::string>("envelope"), std::move(bytes)};
}

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
    const std::string text = line_of(batch->spans[0].data);
    Json line = Json::parse(text);
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
    auto decoded = decoded_span(batch->spans[0].data);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->attrs["value"].dump(), c.value.dump());
    std::vector<OtlpSpan> read;
    ASSERT_TRUE(otlp::read_spans(text, "line", read));
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

struct RecordFields {
  std::string trace_id, span_id;  // hex; empty for a record of no span
  std::string event_name;
  Json body;  // a JSON value, as the record's AnyValue body
};

LogsRequest logs_request_of(const std::vector<RecordFields>& records) {
  LogsRequest req;
  auto* scope = req.add_resource_logs()->add_scope_logs();
  for (const RecordFields& r : records) {
    auto* rec = scope->add_log_records();
    rec->set_trace_id(bytes_of_hex(r.trace_id));
    rec->set_span_id(bytes_of_hex(r.span_id));
    rec->set_event_name(r.event_name);
    any_value_of_json(r.body, *rec->mutable_body());
  }
  return req;
}

// The same records as OTLP/JSON (ids in hex, the event name as an attribute).
std::string json_logs_of(const std::vector<RecordFields>& records) {
  Json list = Json::array();
  for (const RecordFields& r : records) {
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

std::vector<RecordFields> chat_records(const std::string& trace) {
  return {{trace, "b7ad6b7169203332", "gen_ai.user.message", {{"content", "What is 2+2?"}}},
          {trace, "b7ad6b7169203332", "gen_ai.choice", {{"content", "It is 4."}}}};
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
    auto first = decoded_span(batch->spans[0].data);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->attrs["input"], c.input);
    EXPECT_EQ(first->name, c.name);
  }
  // The repaired key, in the stored message as in its OTLP/JSON line.
  auto batch = spans_from_protobuf(with_bad_text(proto.SerializeAsString()));
  ASSERT_TRUE(batch);
  auto first = decoded_span(batch->spans[0].data);
  EXPECT_TRUE(first->attrs.contains("key" + kFffd)) << first->attrs.dump();
  EXPECT_NE(line_of(batch->spans[0].data).find("\"key" + kFffd + "\""), std::string::npos);
}

TEST(OtlpSpans, BadTextInLogRecordsIsRepaired) {
  auto records = chat_records(kTrace);
  records[0].body = {{"content", "What is 2+2? BAD"}};
  auto batch = logs_from_protobuf(with_bad_text(logs_request_of(records).SerializeAsString()));
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->repaired, 1u);
  ASSERT_EQ(batch->logs.size(), 2u);
  auto log = decode_stored_log_record(batch->logs[0].data.message);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->event["body"]["content"], "What is 2+2? " + kFffd);

  std::string json = json_logs_of(chat_records(kTrace));
  json.replace(json.find("It is 4."), 8, "It is \\ud83d");
  auto from_json = logs_from_json(json);
  ASSERT_TRUE(from_json);
  EXPECT_EQ(from_json->repaired, 1u);
  ASSERT_EQ(from_json->logs.size(), 2u);
  EXPECT_EQ(decode_stored_log_record(from_json->logs[1].data.message)->event["body"]["content"],
            "It is " + kFffd);
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
  // The same two spans sent four times are stored once: the copies are counted apart.
  EXPECT_NE(metrics->body.find("tracedx_spans_received_total 3\n"), std::string::npos);
  EXPECT_NE(metrics->body.find("tracedx_spans_dropped_total{reason=\"duplicate\"} 6\n"),
            std::string::npos)
      << metrics->body;
  EXPECT_NE(metrics->body.find("tracedx_exports_refused_total{reason=\"too_large\"} 2\n"),
            std::string::npos);
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
  SpanFields late{kTrace, "b7ad6b7169203334", "b7ad6b7169203331", "tool"};
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
  seed_database(dir);
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
  SpanFields root{kTrace, "b7ad6b7169203331", ""};
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
  Json doc = Json::parse(line_of(rows->spans[0].data));  // the resource and scope
  Json spans = Json::array();
  for (const auto& row : rows->spans)
    spans.push_back(Json::parse(line_of(row.data))["scopeSpans"][0]["spans"][0]);
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

TEST(Serve, OldTextRowsStillDiagnoseTheSame) {
  auto dir = make_temp_dir("serve-old");
  std::string lines, sql = kOldSchema;
  auto spans = small_trace();
  spans[1].attributes.emplace_back("gen_ai.request.model", "gpt-4o");
  auto rows = spans_from_protobuf(request_of(spans).SerializeAsString());
  ASSERT_TRUE(rows);
  for (const auto& row : rows->spans) {
    std::string line = line_of(row.data);
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
  SpanFields late{kTrace, "b7ad6b7169203334", "b7ad6b7169203331", "tool"};
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

TEST(Serve, ATraceKeepsItsLogRecordsUpToItsLimit) {
  ServeOptions o = quick();
  o.max_trace_log_records = 3;
  Served s(o);
  const auto db = s.dir() / "t.db";
  auto post_logs = [&](const std::string& trace, int n) {
    std::vector<RecordFields> records;
    for (int i = 0; i < n; ++i)
      records.push_back({trace, "b7ad6b7169203332", "gen_ai.choice", {{"content", "r"}}});
    auto r = s.client().Post("/v1/logs", logs_request_of(records).SerializeAsString(),
                             "application/x-protobuf");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
  };
  auto records_of = [&](const std::string& trace) {
    return count_rows(db, "SELECT count(*) FROM logs WHERE trace_id = '" + trace + "'");
  };
  // Over two exports, and across their commits: 3 kept of 7, the trace counting the rest.
  ASSERT_EQ(s.post_protobuf(request_of(small_trace()).SerializeAsString())->status, 200);
  s.wait_for(kTrace, "diagnosed", 1);
  post_logs(kTrace, 5);
  post_logs(kTrace, 2);
  Json t = s.wait_for(kTrace, "diagnosed", 2);
  for (int i = 0; i < 200 && t["log_records_dropped"] != 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t = Json::parse(s.client().Get(("/api/traces/" + kTrace).c_str())->body);
  }
  EXPECT_EQ(t["log_records_dropped"], 4) << t.dump();
  EXPECT_EQ(t["spans_dropped"], 0);
  EXPECT_EQ(records_of(kTrace), 3);
  // Records that come before their trace's spans are held to the same limit.
  const std::string early = "2af7651916cd43dd8448eb211c80319c";
  post_logs(early, 4);
  ASSERT_EQ(s.post_protobuf(request_of(small_trace(early)).SerializeAsString())->status, 200);
  s.wait_for(early, "diagnosed", 1);
  EXPECT_EQ(records_of(early), 3);
  auto metrics = s.client().Get("/metrics");
  EXPECT_NE(metrics->body.find("tracedx_log_records_dropped_total{reason=\"trace_limit\"} 5\n"),
            std::string::npos)
      << metrics->body;
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
  ASSERT_TRUE((*store)->insert_span(kTrace, "b7ad6b7169203331", message_of("x")));
  ASSERT_TRUE((*store)->touch_trace(kTrace, "svc", 1000, 1, true));
  ASSERT_TRUE((*store)->insert_log(kTrace, "b7ad6b7169203331", 1000, message_of("r")));
  // Records whose trace never came: an old one goes, a recent one stays.
  ASSERT_TRUE((*store)->insert_log("4af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331", 1000,
                                   message_of("r")));
  ASSERT_TRUE((*store)->insert_log(fresh, "b7ad6b7169203331", 5000, message_of("r")));
  ASSERT_TRUE((*store)->commit());
  auto deleted = (*store)->delete_older(2000, 100);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(*deleted, std::vector<std::string>{kTrace});
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM spans"), 0);
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM logs"), 1);
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM logs WHERE trace_id = '" + fresh + "'"),
            1);
}

// --- envelopes: a resource and scope held once --------------------------------------

// The rows of an export of these spans.
SpanBatch batch_of(const std::vector<SpanFields>& fields) {
  auto batch = spans_from_protobuf(request_of(fields).SerializeAsString());
  EXPECT_TRUE(batch);
  return batch ? std::move(*batch) : SpanBatch{};
}

// Each resource and scope of an export becomes one envelope, however many spans it has and
// however many of the export's entries repeat it; an envelope and a span give back the whole
// message older versions stored for that span.
TEST(OtlpSpans, EnvelopesAreMadeOncePerResourceAndScope) {
  auto one_resource = [](int scopes, int spans) {
    pb::collector::trace::v1::ExportTraceServiceRequest req = request_of(small_trace());
    req.mutable_resource_spans()->DeleteSubrange(1, 1);
    auto* rs = req.mutable_resource_spans(0);
    rs->set_schema_url("https://opentelemetry.io/schemas/1.26.0");
    const auto first = rs->scope_spans(0);
    rs->clear_scope_spans();
    for (int s = 0; s < scopes; ++s) {
      auto* scope = rs->add_scope_spans();
      *scope->mutable_scope() = first.scope();
      scope->mutable_scope()->set_name("scope" + std::to_string(s));
      for (int i = 0; i < spans; ++i) {
        auto* span = scope->add_spans();
        *span = first.spans(0);
        span->set_span_id(bytes_of_hex("c0c0c0c0c0c0c0" + std::to_string(10 + s * 10 + i)));
      }
    }
    return req;
  };
  auto two_services = small_trace();
  two_services[1].service = "other";
  struct Case {
    const char* what;
    pb::collector::trace::v1::ExportTraceServiceRequest request;
    size_t envelopes;
  };
  const std::vector<Case> cases = {
      {"one resource, one scope, three spans", one_resource(1, 3), 1},
      {"one resource, two scopes", one_resource(2, 2), 2},
      {"the same resource and scope in two entries", request_of(small_trace()), 1},
      {"two services", request_of(two_services), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto batch = spans_from_protobuf(c.request.SerializeAsString());
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->envelopes.size(), c.envelopes);
    size_t row = 0;
    for (const auto& rs : c.request.resource_spans()) {
      for (const auto& ss : rs.scope_spans()) {
        for (const auto& span : ss.spans()) {
          ASSERT_LT(row, batch->spans.size());
          const StoredMessage& data = batch->spans[row++].data;
          EXPECT_NE(std::find(batch->envelopes.begin(), batch->envelopes.end(), data.envelope),
                    batch->envelopes.end());
          pb::trace::v1::ResourceSpans whole;
          *whole.mutable_resource() = rs.resource();
          whole.set_schema_url(rs.schema_url());
          auto* scope = whole.add_scope_spans();
          *scope->mutable_scope() = ss.scope();
          *scope->add_spans() = span;
          EXPECT_EQ(line_of(data), *stored_span_json(whole.SerializeAsString()));
        }
      }
    }
    EXPECT_EQ(row, batch->spans.size());
  }
  // An OTLP/JSON export of one resource: one envelope too.
  std::string json = "{\"resourceSpans\":[";
  for (const auto& row : batch_of(small_trace()).spans)
    json += (json.back() == '[' ? "" : ",") + line_of(row.data);
  auto from_json = spans_from_json(json + "]}");
  ASSERT_TRUE(from_json);
  EXPECT_EQ(from_json->spans.size(), 2u);
  EXPECT_EQ(from_json->envelopes.size(), 1u);
}

// A resource of 256 KiB over 200 spans (and log records) is held once, not 200 times.
TEST(OtlpSpans, ALargeResourceIsHeldOnceForAllItsRows) {
  const std::string large(256 * 1024, 'r');
  std::vector<SpanFields> fields;
  std::vector<RecordFields> records;
  for (int i = 0; i < 200; ++i) {
    fields.push_back({kTrace, "b7ad6b7169" + std::to_string(200000 + i), "b7ad6b7169203331"});
    records.push_back({kTrace, "b7ad6b7169203331", "gen_ai.choice", {{"content", "x"}}});
  }
  auto spans = request_of(fields);
  auto logs = logs_request_of(records);
  for (auto& rs : *spans.mutable_resource_spans()) {
    auto* kv = rs.mutable_resource()->add_attributes();
    kv->set_key("process.command_args");
    kv->mutable_value()->set_string_value(large);
  }
  *logs.mutable_resource_logs(0)->mutable_resource() = spans.resource_spans(0).resource();
  auto span_batch = spans_from_protobuf(spans.SerializeAsString());
  auto log_batch = logs_from_protobuf(logs.SerializeAsString());
  ASSERT_TRUE(span_batch && log_batch);
  ASSERT_EQ(span_batch->spans.size(), 200u);
  ASSERT_EQ(log_batch->logs.size(), 200u);
  EXPECT_LT(stored_bytes(*span_batch), large.size() + 200 * 100);
  EXPECT_LT(stored_bytes(*log_batch), large.size() + 200 * 100);
  for (const auto& row : log_batch->logs) {
    auto line = stored_log_json(*row.data.envelope, row.data.message);
    ASSERT_TRUE(line);
    EXPECT_EQ(
        Json::parse(*line)["resourceLogs"][0]["resource"]["attributes"][1]["value"]["stringValue"],
        large);
    auto record = decode_stored_log_record(row.data.message);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->event["name"], "gen_ai.choice");
  }
}

// --- the store: envelopes, the span limit, versions, health, one server per database -----

// Stores a batch as the writer does, in one transaction: each span offered with `limit`, each
// trace that got spans touched. How each span fared.
std::vector<SpanInsert> store_batch(Store& store, const SpanBatch& batch, uint64_t limit = 0) {
  std::vector<SpanInsert> out;
  std::map<std::string, std::pair<int64_t, bool>> touched;
  EXPECT_TRUE(store.begin());
  for (const SpanRow& row : batch.spans) {
    auto r = store.insert_span(row.trace_id, row.span_id, row.data, row.root, limit);
    EXPECT_TRUE(r) << r.error().display();
    if (!r) continue;
    out.push_back(*r);
    if (*r != SpanInsert::kStored) continue;
    touched[row.trace_id].first++;
    touched[row.trace_id].second = touched[row.trace_id].second || row.root;
  }
  for (const auto& [id, t] : touched)
    EXPECT_TRUE(store.touch_trace(id, "svc", 1700000000000, t.first, t.second));
  EXPECT_TRUE(store.commit());
  return out;
}

std::string diagnosis_of(const SpanSnapshot& snapshot) {
  DiagnosisRecord r = diagnose_spans(kTrace, snapshot, DiagnoseOptions{});
  EXPECT_FALSE(r.failed) << r.error;
  return r.diagnosis;
}

// The rows of a batch as older versions stored them: each span's whole ResourceSpans.
std::vector<std::string> whole_rows(const SpanBatch& batch) {
  std::vector<std::string> out;
  for (const SpanRow& row : batch.spans) {
    pb::trace::v1::ResourceSpans whole;
    EXPECT_TRUE(whole.ParseFromString(*row.data.envelope));
    EXPECT_TRUE(whole.mutable_scope_spans(0)->add_spans()->ParseFromString(row.data.message));
    out.push_back(whole.SerializeAsString());
  }
  return out;
}

TEST(Store, EnvelopesAreStoredOnceAndReadBackShared) {
  auto dir = make_temp_dir("store-envelopes");
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  auto spans = small_trace();
  spans.push_back({kTrace, "b7ad6b7169203333", "b7ad6b7169203331", "tool", "other"});
  // Three exports: the same resource in two transactions, then another service.
  const SpanBatch first = batch_of({spans[0]}), second = batch_of({spans[1]}),
                  third = batch_of({spans[2]});
  for (const SpanBatch* b : {&first, &second, &third})
    EXPECT_EQ(store_batch(**store, *b), std::vector<SpanInsert>{SpanInsert::kStored});
  EXPECT_EQ(count_rows(dir / "t.db", "SELECT count(*) FROM envelopes"), 2);
  auto snapshot = (*store)->read_spans(kTrace);
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->spans.size(), 3u);
  EXPECT_EQ(snapshot->spans[0].envelope, snapshot->spans[1].envelope);  // one object
  EXPECT_NE(snapshot->spans[1].envelope, snapshot->spans[2].envelope);

  // The same spans stored whole, as older versions did: the same diagnosis, byte for byte.
  SpanSnapshot old = *snapshot;
  std::vector<std::string> whole;
  for (const SpanBatch* b : {&first, &second, &third}) {
    for (auto& row : whole_rows(*b)) whole.push_back(std::move(row));
  }
  for (size_t i = 0; i < whole.size(); ++i) old.spans[i] = {false, whole[i], nullptr};
  EXPECT_EQ(diagnosis_of(*snapshot), diagnosis_of(old));
  EXPECT_EQ(*snapshot_lines(*snapshot), *snapshot_lines(old));
}

// The tables as the previous version made them: each span and log record stored whole, no
// envelopes, no recorded version.
constexpr const char* kPreviousSchema = R"sql(
CREATE TABLE traces (id TEXT PRIMARY KEY, service TEXT, title TEXT, first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL, status TEXT NOT NULL, has_root INTEGER NOT NULL DEFAULT 0,
  span_count INTEGER NOT NULL DEFAULT 0, step_count INTEGER, duration_ms INTEGER, outcome TEXT,
  label TEXT, severity TEXT, diagnosis TEXT, error TEXT, version INTEGER NOT NULL DEFAULT 0,
  log_count INTEGER NOT NULL DEFAULT 0, page TEXT);
CREATE TABLE spans (seq INTEGER PRIMARY KEY, trace_id TEXT NOT NULL, span_id TEXT NOT NULL,
  line TEXT NOT NULL);
CREATE UNIQUE INDEX spans_id ON spans(trace_id, span_id);
CREATE TABLE logs (seq INTEGER PRIMARY KEY, trace_id TEXT NOT NULL, span_id TEXT NOT NULL,
  received INTEGER NOT NULL, record BLOB NOT NULL);
)sql";

TEST(Store, RowsOfThePreviousVersionReadTheSame) {
  auto dir = make_temp_dir("store-previous");
  const auto db = dir / "t.db";
  const SpanBatch batch = batch_of(small_trace());
  auto logs = logs_from_protobuf(logs_request_of(chat_records(kTrace)).SerializeAsString());
  ASSERT_TRUE(logs);
  std::string sql = kPreviousSchema;
  const auto whole = whole_rows(batch);
  for (size_t i = 0; i < whole.size(); ++i) {
    sql += "INSERT INTO spans(trace_id, span_id, line) VALUES('" + kTrace + "', '" +
           batch.spans[i].span_id + "', X'" + otlp::hex_of_bytes(whole[i]) + "');\n";
  }
  for (const LogRow& row : logs->logs) {
    pb::logs::v1::ResourceLogs record;
    ASSERT_TRUE(record.ParseFromString(*row.data.envelope));
    ASSERT_TRUE(record.mutable_scope_logs(0)->add_log_records()->ParseFromString(row.data.message));
    sql += "INSERT INTO logs(trace_id, span_id, received, record) VALUES('" + kTrace + "', '" +
           row.span_id + "', 1700000000000, X'" + otlp::hex_of_bytes(record.SerializeAsString()) +
           "');\n";
  }
  sql +=
      "INSERT INTO traces(id, first_seen, last_seen, status, has_root, span_count, log_count) "
      "VALUES('" +
      kTrace + "', 1700000000000, 1700000000000, 'pending', 1, 2, 2);\n";
  exec_sql(db, sql);

  // The same spans and records stored by this version, in a database of its own.
  auto now = Store::open((dir / "now.db").string());
  ASSERT_TRUE(now);
  store_batch(**now, batch);
  ASSERT_TRUE((*now)->begin());
  for (const LogRow& row : logs->logs)
    ASSERT_TRUE((*now)->insert_log(row.trace_id, row.span_id, 1700000000000, row.data));
  ASSERT_TRUE((*now)->commit());
  auto expected = (*now)->read_spans(kTrace);
  ASSERT_TRUE(expected);

  auto store = Store::open(db.string());
  ASSERT_TRUE(store) << store.error().display();
  EXPECT_EQ(count_rows(db, "PRAGMA user_version"), Store::kSchemaVersion);
  EXPECT_EQ(count_rows(db,
                       "SELECT count(*) FROM pragma_table_info('spans') WHERE name = "
                       "'envelope'"),
            1);
  auto snapshot = (*store)->read_spans(kTrace);
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->spans.size(), 2u);
  ASSERT_EQ(snapshot->logs.size(), 2u);
  EXPECT_FALSE(snapshot->spans[0].envelope);
  EXPECT_EQ(diagnosis_of(*snapshot), diagnosis_of(*expected));
  EXPECT_EQ(*snapshot_lines(*snapshot), *snapshot_lines(*expected));
  EXPECT_NE(snapshot_lines(*snapshot)->find("It is 4."), std::string::npos);

  // A late span joins the old rows in the new form; both are read.
  SpanFields late{kTrace, "b7ad6b7169203334", "b7ad6b7169203331", "tool"};
  EXPECT_EQ(store_batch(**store, batch_of({late})), std::vector<SpanInsert>{SpanInsert::kStored});
  snapshot = (*store)->read_spans(kTrace);
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->spans.size(), 3u);
  EXPECT_TRUE(snapshot->spans[2].envelope);
  EXPECT_EQ(snapshot->span_count, 3);
  EXPECT_NE(snapshot_lines(*snapshot)->find("\"name\":\"tool\""), std::string::npos);
}

TEST(Store, DatabaseOfALaterVersionIsRefused) {
  auto dir = make_temp_dir("store-later");
  const auto db = dir / "t.db";
  exec_sql(db, "PRAGMA user_version = " + std::to_string(Store::kSchemaVersion + 1));
  auto store = Store::open(db.string());
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().display(),
            db.string() +
                ": the database was made by a later version of tracedx (its tables are of "
                "version 2; this one knows up to 1)");
}

// A trace keeps its first spans up to its limit; the spans after it are counted, not stored.
TEST(Store, SpanLimitKeepsTheFirstSpansAndTheRoot) {
  constexpr uint64_t kLimit = 3;
  const std::string root = "b7ad6b71692033a0";
  struct Offer {
    std::string span;
    bool root;
    SpanInsert expected;
  };
  using enum SpanInsert;
  // One transaction a row; the trace's count carries over from one to the next.
  const std::vector<std::vector<Offer>> transactions = {
      {{"b7ad6b71692033a1", false, kStored},
       {"b7ad6b71692033a2", false, kStored},
       {"b7ad6b71692033a3", false, kStored},
       {"b7ad6b71692033a4", false, kOverLimit},
       {"b7ad6b71692033a2", false, kDuplicate},
       {root, true, kStored},                   // over the limit, but the trace had no root
       {"b7ad6b71692033b0", true, kOverLimit},  // a second root
       {"b7ad6b71692033a5", false, kOverLimit}},
      {{"b7ad6b71692033a6", false, kOverLimit},
       {"b7ad6b71692033a1", false, kDuplicate},  // an export sent again
       {root, true, kDuplicate}},
  };
  const std::vector<int64_t> dropped_after = {3, 4};
  auto dir = make_temp_dir("store-limit");
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  for (size_t t = 0; t < transactions.size(); ++t) {
    SCOPED_TRACE("transaction " + std::to_string(t + 1));
    std::vector<SpanFields> fields;
    std::vector<SpanInsert> expected;
    for (const Offer& o : transactions[t]) {
      fields.push_back({kTrace, o.span, o.root ? "" : root});
      expected.push_back(o.expected);
    }
    EXPECT_EQ(store_batch(**store, batch_of(fields), kLimit), expected);
    auto row = (*store)->get_trace(kTrace);
    ASSERT_TRUE(row && *row);
    EXPECT_EQ((**row).span_count, 4);
    EXPECT_EQ((**row).spans_dropped, dropped_after[t]);
    EXPECT_TRUE((**row).has_root);
  }
  auto snapshot = (*store)->read_spans(kTrace);
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->spans.size(), 4u);
  EXPECT_EQ(snapshot->spans_dropped, 4);
  EXPECT_TRUE(snapshot->has_root);
  auto listed = (*store)->list_traces({});
  ASSERT_TRUE(listed && listed->size() == 1);
  EXPECT_EQ((*listed)[0].spans_dropped, 4);

  // No limit: every span is kept.
  std::vector<SpanFields> many;
  for (int i = 0; i < 10; ++i)
    many.push_back({"1af7651916cd43dd8448eb211c80319c", "c7ad6b716920333" + std::to_string(i)});
  EXPECT_EQ(store_batch(**store, batch_of(many), 0),
            std::vector<SpanInsert>(10, SpanInsert::kStored));
}

// Retention deletes the envelopes no span or record references any more, and only those; a
// transaction whose spans were all stored before leaves no envelope behind.
TEST(Store, RetentionDeletesTheEnvelopesNoRowReferences) {
  auto dir = make_temp_dir("store-retention");
  const auto db = dir / "t.db";
  auto store = Store::open(db.string());
  ASSERT_TRUE(store);
  const std::string fresh = "3af7651916cd43dd8448eb211c80319c";
  auto shared = std::make_shared<const std::string>("shared by the old and the fresh trace");
  auto old_only = std::make_shared<const std::string>("only the old trace's");
  auto orphan = std::make_shared<const std::string>("an old record's whose trace never came");
  ASSERT_TRUE((*store)->begin());
  ASSERT_TRUE((*store)->insert_span(kTrace, "b7ad6b7169203331", {shared, "a"}));
  ASSERT_TRUE((*store)->insert_span(kTrace, "b7ad6b7169203332", {old_only, "b"}));
  ASSERT_TRUE((*store)->touch_trace(kTrace, "svc", 1000, 2, true));
  ASSERT_TRUE((*store)->insert_span(fresh, "b7ad6b7169203331", {shared, "c"}));
  ASSERT_TRUE((*store)->touch_trace(fresh, "svc", 5000, 1, true));
  ASSERT_TRUE((*store)->insert_log("4af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331", 1000,
                                   {orphan, "r"}));
  ASSERT_TRUE((*store)->commit());
  auto envelopes = [&] {
    return count_rows(db, "SELECT group_concat(id) = '1' FROM envelopes") == 1
               ? 1
               : count_rows(db, "SELECT count(*) FROM envelopes");
  };
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM envelopes"), 3);

  // Every span of the fresh trace again, under a new envelope: nothing is stored.
  auto again = std::make_shared<const std::string>("sent again with another resource");
  ASSERT_TRUE((*store)->begin());
  auto stored = (*store)->insert_span(fresh, "b7ad6b7169203331", {again, "c"}, true, 0);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, SpanInsert::kDuplicate);
  ASSERT_TRUE((*store)->commit());
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM envelopes"), 3);

  ASSERT_TRUE((*store)->delete_older(2000, 100));
  EXPECT_EQ(envelopes(), 1);  // the shared one, id 1
  ASSERT_TRUE((*store)->delete_older(6000, 100));
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM envelopes"), 0);
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM spans"), 0);
}

// A trace whose root never came: the store says so (has_root), and the importer makes the
// run of the spans it has, the earliest span without its parent standing for the root.
TEST(Store, TraceWithoutItsRootIsDiagnosedFromTheSpansItHas) {
  auto dir = make_temp_dir("store-rootless");
  auto store = Store::open((dir / "t.db").string());
  ASSERT_TRUE(store);
  store_batch(**store, batch_of({small_trace()[1]}));
  auto pending = (*store)->pending();
  ASSERT_TRUE(pending && pending->size() == 1);
  EXPECT_FALSE((*pending)[0].root);
  EXPECT_EQ((*pending)[0].last_seen, 1700000000000);
  auto row = (*store)->get_trace(kTrace);
  ASSERT_TRUE(row && *row);
  EXPECT_FALSE((**row).has_root);
  auto snapshot = (*store)->read_spans(kTrace);
  ASSERT_TRUE(snapshot);
  EXPECT_FALSE(snapshot->has_root);
  DiagnosisRecord r = diagnose_spans(kTrace, *snapshot, DiagnoseOptions{});
  ASSERT_FALSE(r.failed) << r.error;
  EXPECT_EQ(r.title, "chat");
  EXPECT_EQ(r.step_count, 1);
}

TEST(Store, ProbeSaysWhyTheDatabaseCannotBeWritten) {
  auto dir = make_temp_dir("store-probe");
  const auto db = dir / "t.db";
  auto store = Store::open(db.string());
  ASSERT_TRUE(store);
  EXPECT_TRUE((*store)->probe());
  EXPECT_EQ((*store)->write_error(), std::nullopt);

  auto full = (*store)->probe(UINT64_MAX);
  ASSERT_FALSE(full);
  EXPECT_EQ(
      full.error().display().rfind("database: the file system holding " + db.string() + " has ", 0),
      0u)
      << full.error().display();

  // A failed write is remembered until a commit succeeds.
  ASSERT_TRUE((*store)->begin());
  EXPECT_FALSE((*store)->begin());
  EXPECT_EQ((*store)->write_error(),
            "database: begin: cannot start a transaction within a transaction");
  ASSERT_TRUE((*store)->commit());
  EXPECT_EQ((*store)->write_error(), std::nullopt);
}

TEST(DatabaseLock, OneServerPerDatabase) {
  auto dir = make_temp_dir("store-lock");
  const std::string db = (dir / "t.db").string();
  const std::string in_use = "the database " + db + " is in use by another tracedx serve (pid ";
  const std::string mine = in_use + std::to_string(getpid()) + ")";
  {
    auto held = DatabaseLock::acquire(db);
    ASSERT_TRUE(held) << held.error().display();
    EXPECT_EQ(read_text(db + ".lock"), std::to_string(getpid()) + "\n");
    // Another lock in this process, and one in another process: both refused.
    auto second = DatabaseLock::acquire(db);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().display(), mine);
    pid_t child = fork();
    if (child == 0) {
      auto refused = DatabaseLock::acquire(db);
      _exit(!refused && refused.error().display() == mine ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Released: free again, and the pid gone with it.
  EXPECT_EQ(read_text(db + ".lock"), "");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    auto held = DatabaseLock::acquire(db);
    (void)!write(ready[1], held ? "1" : "0", 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(c, '1');
  auto refused = DatabaseLock::acquire(db);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), in_use + std::to_string(holder) + ")");
  // A server killed outright leaves no lock behind.
  kill(holder, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  auto after = DatabaseLock::acquire(db);
  ASSERT_TRUE(after) << after.error().display();
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
      ASSERT_TRUE((*store)->insert_span(kTrace, std::to_string(t * 1000 + i), message_of(data)));
    ASSERT_TRUE((*store)->commit());
  }
  EXPECT_EQ(std::filesystem::file_size(db), before);
  ASSERT_TRUE((*other)->checkpoint());
  EXPECT_GT(std::filesystem::file_size(db), before + 2000 * data.size());
  EXPECT_EQ(count_rows(db, "SELECT count(*) FROM spans"), 2000);
}

}  // namespace
}  // namespace tracedx
