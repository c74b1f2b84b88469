// The export envelope. The tape reader against the reference reader: on every OTLP input
// the project holds (samples, the fuzz corpora) and on the forms where the two could part
// (numbers, repeated and competing keys, nesting, envelope errors), both give the same spans,
// the same errors and the same fixture documents. Then the envelope as exporters spell it,
// other span formats named in the error, log records joined to their spans.
#include "import/otlp_envelope.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "import/import_test_support.h"
#include "import/importers.h"
#include "import/otlp_steps.h"
#include "input/input.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;

using test_support::import_all_otlp;
using test_support::only_trace;
using test_support::otlp;
using test_support::span;

// Everything a span holds, as one JSON value, so a difference prints readably.
Json dump(const std::vector<OtlpSpan>& spans) {
  Json out = Json::array();
  for (const auto& s : spans) {
    out.push_back({{"trace", s.trace_id},
                   {"span", s.span_id},
                   {"parent", s.parent_id},
                   {"name", s.name},
                   {"kind", s.kind},
                   {"start", s.start ? Json(*s.start) : Json()},
                   {"end", s.end ? Json(*s.end) : Json()},
                   {"attrs", s.attrs},
                   {"events", s.events},
                   {"status", s.status_code},
                   {"message", s.status_message},
                   {"resource", s.resource_attrs()},
                   {"scope", s.scope_name}});
  }
  return out;
}

// Reads `text` with both readers and expects the same outcome; the fixture documents of
// the spans too.
void expect_same(std::string_view text, const std::string& label) {
  std::vector<OtlpSpan> fast, reference;
  auto a = otlp::read_spans(text, "doc", fast);
  auto b = otlp::read_spans_reference(text, "doc", reference);
  ASSERT_EQ(a.ok(), b.ok()) << label;
  if (!a.ok()) {
    EXPECT_EQ(a.error().display(), b.error().display()) << label;
    EXPECT_TRUE(fast.empty()) << label;
    return;
  }
  ASSERT_EQ(dump(fast), dump(reference)) << label;
  if (!fast.empty()) {
    EXPECT_EQ(otlp::fixture_of_spans(fast), otlp::fixture_of_spans(reference)) << label;
  }
}

TEST(OtlpEnvelope, TapeAndReferenceReadersAgreeOnEveryProjectInput) {
  const fs::path root = TRACEDX_SOURCE_DIR;
  size_t documents = 0;
  for (const char* dir : {"src/Test/imports", "fuzz/seeds/import_fuzz", "fuzz/seeds/input_fuzz"}) {
    if (!fs::exists(root / dir)) continue;
    for (const auto& entry : fs::directory_iterator(root / dir)) {
      auto bytes = read_file(entry.path());
      ASSERT_TRUE(bytes.ok());
      const std::string label = entry.path().filename().string();
      expect_same(*bytes, label);
      ++documents;
      size_t line = 0;
      for (size_t at = 0; at < bytes->size();) {
        size_t nl = bytes->find('\n', at);
        if (nl == std::string::npos) nl = bytes->size();
        if (nl > at)
          expect_same(std::string_view(*bytes).substr(at, nl - at),
                      label + ":" + std::to_string(++line));
        at = nl + 1;
      }
    }
  }
  EXPECT_GT(documents, 100u);
}

std::string span_with(const std::string& members) {
  return R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"svc"}}]},"scopeSpans":[{"scope":{"name":"lib"},"spans":[{"traceId":"AB","spanId":"01",)" +
         members + "}]}]}]}";
}

std::string attr(const std::string& value) {
  return span_with(R"("name":"x","attributes":[{"key":"k","value":)" + value + "}]");
}

TEST(OtlpEnvelope, TapeAndReferenceReadersAgreeWhereTheyCouldPart) {
  const std::string deep128 = std::string(118, '[') + std::string(118, ']');
  const std::string deep129 = std::string(119, '[') + std::string(119, ']');
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"negative zero", attr(R"({"doubleValue":-0})")},
      {"negative zero in a text", attr(R"({"stringValue":"-0"})")},
      {"integer text", attr(R"({"intValue":"42"})")},
      {"integer text with a tail", attr(R"({"intValue":"42abc"})")},
      {"integer text out of range", attr(R"({"intValue":"99999999999999999999"})")},
      {"float where an integer goes", attr(R"({"intValue":1.5,"doubleValue":2})")},
      {"two kinds of value", attr(R"({"stringValue":"a","boolValue":true})")},
      {"camel and snake", attr(R"({"string_value":"snake","stringValue":"camel"})")},
      {"repeated key", attr(R"({"stringValue":"first","stringValue":"last"})")},
      {"nested lists",
       attr(
           R"({"arrayValue":{"values":[{"intValue":1},{"kvlistValue":{"values":[{"key":"a","value":{"boolValue":false}}]}}]}})")},
      {"bytes and nulls", attr(R"({"bytesValue":"AAEC"})")},
      {"no value", attr("{}")},
      {"big unsigned", attr(R"({"intValue":18446744073709551615})")},
      {"beyond 64 bits", attr(R"({"intValue":18446744073709551616})")},
      {"deep value at the limit", attr(R"({"arrayValue":)" + deep128 + "}")},
      {"deep value past the limit", attr(R"({"arrayValue":)" + deep129 + "}")},
      {"times as texts and numbers",
       span_with(R"("startTimeUnixNano":"1000000000","endTimeUnixNano":3000000000)")},
      {"negative and float times", span_with(R"("startTimeUnixNano":-5,"endTimeUnixNano":1e9)")},
      {"kind and status by name",
       span_with(
           R"("kind":"SPAN_KIND_CLIENT","status":{"code":"STATUS_CODE_ERROR","message":"boom"})")},
      {"kind out of range", span_with(R"("kind":9)")},
      {"snake-case span", span_with(R"("parent_span_id":"0A","start_time_unix_nano":"5")")},
      {"base64 ids",
       R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"AAECAwQFBgcICQoLDA0ODw==","spanId":"AAECAwQFBgc="}]}]}]})"},
      {"events",
       span_with(
           R"("events":[{"name":"exception","attributes":[{"key":"exception.message","value":{"stringValue":"x"}}]},{"attributes":[]},3])")},
      {"missing trace id", R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"01"}]}]}]})"},
      {"span not an object", R"({"resourceSpans":[{"scopeSpans":[{"spans":[1]}]}]})"},
      {"spans not a list", R"({"resourceSpans":[{"scopeSpans":[{"spans":{}}]}]})"},
      {"bare ResourceSpans", R"({"scopeSpans":[{"spans":[{"traceId":"01","spanId":"02"}]}]})"},
      {"both forms",
       R"({"scopeSpans":[{"spans":[{"traceId":"01"}]}],"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"02"}]}]}]})"},
      {"older scope list",
       R"({"resourceSpans":[{"instrumentationLibrarySpans":[{"instrumentationLibrary":{"name":"old"},"spans":[{"traceId":"01"}]}]}]})"},
      {"SDK spans", R"([{"name":"x","context":{"trace_id":"0x1"}}])"},
      {"no spans at all", R"({"other":1})"},
      {"byte order mark", "\xEF\xBB\xBF" + span_with(R"("name":"bom")")},
      {"invalid JSON", R"({"resourceSpans":[{"scopeSpans":[)"},
      {"trailing text", span_with(R"("name":"x")") + " x"},
      {"lone surrogate", attr(R"({"stringValue":"\ud800"})")},
  };
  for (const auto& [label, text] : cases) expect_same(text, label);
}

TEST(OtlpEnvelope, TraceIdScanFindsTheSameIdsBothWays) {
  const std::string text =
      R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"AB","trace_id":"cd"},)"
      R"({"traceId":"AAECAwQFBgcICQoLDA0ODw==","attributes":[{"traceId":"nested"}]}]}]}],)"
      R"("scopeSpans":[{"spans":[{"traceId":"EF"}]}]})";
  std::vector<std::string> fast, sax;
  bool cut = false;
  EXPECT_TRUE(otlp::scan_trace_ids(text, fast));
  EXPECT_TRUE(otlp::scan_trace_ids(text, sax, &cut));  // asking for `cut` takes the SAX pass
  EXPECT_EQ(fast, sax);
  EXPECT_EQ(fast, (std::vector<std::string>{"ab", "cd", "000102030405060708090a0b0c0d0e0f", "ef"}));
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// A GenAI model-call span and the log records the instrumentation writes for it.
constexpr const char* kChatSpan =
    R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"0a","spanId":"01","name":"chat gpt",)"
    R"("attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"chat"}}]}]}]}]})";
constexpr const char* kChatLogs =
    R"({"resourceLogs":[{"scopeLogs":[{"logRecords":[)"
    R"({"traceId":"0A","spanId":"01","attributes":[{"key":"event.name","value":{"stringValue":"gen_ai.user.message"}}],)"
    R"("body":{"kvlistValue":{"values":[{"key":"content","value":{"stringValue":"Book a flight"}}]}}},)"
    R"({"traceId":"0a","spanId":"01","eventName":"gen_ai.choice","body":{"kvlistValue":{"values":[)"
    R"({"key":"finish_reason","value":{"stringValue":"stop"}},)"
    R"({"key":"message","value":{"kvlistValue":{"values":[{"key":"content","value":{"stringValue":"Booked"}}]}}}]}}},)"
    R"({"body":{"stringValue":"no span named"}},)"
    R"({"traceId":"0a","spanId":"99","body":{"stringValue":"a span not in the trace"}}]}]}]})";

std::vector<OtlpItem> read_all(const std::string& text, OtlpLogsByTrace* logs = nullptr) {
  Input input = Input::of_bytes(text, "in.jsonl");
  std::vector<OtlpItem> items;
  auto done = for_each_otlp_trace(
      input, [&](OtlpItem item) { items.push_back(std::move(item)); }, logs);
  EXPECT_TRUE(done.ok());
  return items;
}

TEST(OtlpLogs, RecordsNamingASpanBecomeItsEvents) {
  std::vector<OtlpSpan> spans;
  std::vector<OtlpLog> logs;
  ASSERT_TRUE(otlp::read_spans(kChatLogs, "logs", spans, &logs).ok());
  EXPECT_TRUE(spans.empty());
  ASSERT_EQ(logs.size(), 3u);  // the record without ids has no span to join
  EXPECT_EQ(logs[0].trace_id, "0a");
  EXPECT_EQ(logs[0].event["name"], "gen_ai.user.message");  // from the event.name attribute
  EXPECT_EQ(logs[0].event["body"], (Json{{"content", "Book a flight"}}));
  EXPECT_EQ(logs[1].event["name"], "gen_ai.choice");  // from eventName

  ASSERT_TRUE(otlp::read_spans(kChatSpan, "spans", spans).ok());
  EXPECT_EQ(otlp::attach_logs(spans, logs), 2u);  // span 99 is not there
  ASSERT_EQ(spans[0].events.size(), 2u);
}

TEST(OtlpLogs, ContentInRecordsReachesTheModelCall) {
  auto check = [](const std::vector<OtlpItem>& items, const char* how) {
    ASSERT_EQ(items.size(), 1u) << how;
    ASSERT_TRUE(items[0].trace) << how;
    const TraceStep& step = items[0].trace->steps.at(0);
    ASSERT_TRUE(step.raw_input) << how;
    EXPECT_EQ(step.raw_input->dump(), R"([{"content":"Book a flight","role":"user"}])") << how;
    ASSERT_TRUE(step.raw_output) << how;
    EXPECT_NE(step.raw_output->dump().find("Booked"), std::string::npos) << how;
  };
  // Records on a later line than the span: the trace waits for them.
  check(read_all(std::string(kChatSpan) + "\n" + kChatLogs + "\n"), "logs after the spans");
  check(read_all(std::string(kChatLogs) + "\n" + kChatSpan + "\n"), "logs before the spans");
  // Records read apart, as --logs gives them.
  Input logs_input = Input::of_bytes(kChatLogs, "logs.json");
  auto logs = read_otlp_logs(logs_input);
  ASSERT_TRUE(logs.ok());
  check(read_all(std::string(kChatSpan) + "\n", &*logs), "logs given apart");
  // Without them the call has no content.
  auto bare = read_all(std::string(kChatSpan) + "\n");
  EXPECT_FALSE(bare.at(0).trace->steps.at(0).raw_input);
}

TEST(OtlpLogs, ABadLogFileNamesItsLine) {
  const std::string text = std::string(kChatLogs) + "\n{oops\n";
  Input input = Input::of_bytes(text, "logs.jsonl");
  auto logs = read_otlp_logs(input);
  ASSERT_FALSE(logs.ok());
  EXPECT_NE(logs.error().display().find("logs.jsonl: invalid JSON at line 2"), std::string::npos)
      << logs.error().display();
}

// The envelope as exporters write it: proto field names, bare ResourceSpans per line,
// base64 and upper-case ids, the resource and scope kept on each span.
TEST(OtlpEnvelope, SpellingsOfTheSameTrace) {
  const std::string camel = otlp(
      "[" +
      span(
          "b000000000000004",
          R"(,"parentSpanId":"b000000000000001","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000")",
          "0af7651916cd43dd8448eb211c80319c") +
      "," +
      span("b000000000000001", R"(,"startTimeUnixNano":"1000000")",
           "0af7651916cd43dd8448eb211c80319c") +
      "]");
  const Json expected = only_trace(camel);
  // The parent is a wrapper of unknown kind with a child, so only the child is a step; its
  // metadata still holds the trace, span and parent ids the spellings must agree on.
  ASSERT_EQ(expected["steps"].size(), 1u);
  ASSERT_EQ(expected["steps"][0]["metadata"]["parent_span_id"], "b000000000000001");
  const std::string snake =
      R"({"resource_spans":[{"resource":{},"scope_spans":[{"scope":{"name":"t"},"spans":[)"
      R"({"trace_id":"0AF7651916CD43DD8448EB211C80319C","span_id":"b000000000000004","parent_span_id":"B000000000000001","name":"span b000000000000004","start_time_unix_nano":"2000000","end_time_unix_nano":5000000},)"
      R"({"trace_id":"CvdlGRbNQ92ESOshHIAxnA==","span_id":"sAAAAAAAAAE=","name":"span b000000000000001","start_time_unix_nano":1000000}]}]}]})";
  const std::string bare =
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000004","parentSpanId":"b000000000000001","name":"span b000000000000004","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000"}]}]})"
      "\n"
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000001","name":"span b000000000000001","startTimeUnixNano":"1000000"}]}]})"
      "\n";
  for (const auto& text : {snake, bare}) {
    Json f = only_trace(text);
    EXPECT_EQ(f, expected) << text;
  }
  // The id given to pick a trace is matched however it is written.
  auto picked =
      import_document(snake, Source::kOtlp, "in.json", "0AF7651916CD43DD8448EB211C80319C");
  EXPECT_TRUE(picked) << picked.error().display();
}

TEST(OtlpEnvelope, OtherFormatsAreNamed) {
  const std::string expected =
      "in.json: expected an object with resourceSpans (or resource_spans), or one ResourceSpans "
      "object per line";
  const std::string sdk = expected +
                          "; this is a list of SDK spans (span.to_json() or {\"spans\": [...]}), "
                          "not OTLP JSON";
  struct Row {
    std::string input, error;
  } rows[] = {
      {R"([{"name":"x","context":{"trace_id":"0x1","span_id":"0x2"}}])", sdk},
      {R"({"spans":[{"name":"x","context":{"trace_id":"0x1"}}]})", sdk},
      {R"({"name":"x","context":{"trace_id":"0x1"},"parent":null})", sdk},
      {"[1]", expected},
      {"\"text\"", expected},
  };
  for (const auto& row : rows) {
    auto r = import_all_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display(), row.error);
  }
}

TEST(OtlpEnvelope, ResourceAndScopeReachTheSpans) {
  // The mapping reads them from the spans; here only that they import and stay out of
  // the way of a trace that does not use them.
  std::string text =
      R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"svc"}}]},)"
      R"("scopeSpans":[{"scope":{"name":"openinference.instrumentation"},"spans":[)" +
      span("a", "") + "]}]}]}";
  EXPECT_EQ(only_trace(text)["steps"].size(), 1u);
}

}  // namespace
}  // namespace tracedx
