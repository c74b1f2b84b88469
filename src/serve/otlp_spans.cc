#include "serve/otlp_spans.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "import/otlp_envelope.h"
#include "import/otlp_values.h"
#include "opentelemetry/proto/collector/logs/v1/logs_service.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "serve/proto_repair.h"
#include "serve/span_codec.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "text/utf8_repair.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto;

bool all_zero(std::string_view s, char zero) {
  return std::all_of(s.begin(), s.end(), [zero](char c) { return c == zero; });
}

// A binary id of `size` bytes, not all zero.
bool valid_id(std::string_view bytes, size_t size) {
  return bytes.size() == size && !all_zero(bytes, '\0');
}

// An id of `digits` lower-case hex digits, not all zero.
bool hex_id(std::string_view id, size_t digits) {
  return id.size() == digits && !all_zero(id, '0') && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

template <typename Batch>
void reject(Batch& batch, std::string why) {
  if (!batch.rejected++) batch.rejection = std::move(why);
}

const std::string kTooDeep =
    "values nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";

// An envelope's bytes unless its OTLP/JSON line would nest deeper than the importer reads
// (nullopt).
template <typename Message>
std::optional<std::string> envelope_bytes(const Message& envelope) {
  if (json_depth(envelope) > kMaxJsonDepth) return std::nullopt;
  return envelope.SerializeAsString();
}

// Serializes a stored span (record) unless its OTLP/JSON line would nest deeper than the
// importer reads; false when it would.
template <typename Message>
bool stored_bytes(const Message& stored, std::string& out) {
  if (json_depth(stored) > kMaxJsonDepth) return false;
  return stored.SerializeToString(&out);
}

// The distinct envelopes of a batch being made, by content: an export may repeat a resource
// in several of its entries (a collector's batches do), and each is held once.
class EnvelopeSet {
 public:
  explicit EnvelopeSet(std::vector<std::shared_ptr<const std::string>>& list) : list_(list) {}

  // The batch's envelope holding `bytes`, added the first time they come.
  std::shared_ptr<const std::string> add(std::string bytes) {
    if (auto it = index_.find(bytes); it != index_.end()) return list_[it->second];
    list_.push_back(std::make_shared<const std::string>(std::move(bytes)));
    index_.emplace(*list_.back(), list_.size() - 1);
    return list_.back();
  }

 private:
  std::vector<std::shared_ptr<const std::string>>& list_;
  std::unordered_map<std::string_view, size_t> index_;
};

std::string service_of(const pb::resource::v1::Resource& r) {
  for (const auto& kv : r.attributes()) {
    if (kv.key() == "service.name" && kv.value().has_string_value())
      return kv.value().string_value();
  }
  return {};
}

template <typename Message>
bool parse_strict(std::string_view body, Message& out) {
  return body.size() <= static_cast<size_t>(INT32_MAX) &&
         out.ParseFromArray(body.data(), static_cast<int>(body.size()));
}

// Parses a protobuf body. One the parser refuses is parsed again with the invalid UTF-8 of
// its string fields repaired, if it has any: their number goes to `repaired`.
template <typename Message>
bool parse_body(std::string_view body, Message& out, uint64_t& repaired) {
  if (parse_strict(body, out)) return true;
  std::string fixed;
  auto strings = repair_protobuf_strings(*Message::descriptor(), body, fixed);
  if (!strings || *strings == 0) return false;
  out.Clear();
  if (!parse_strict(fixed, out)) return false;
  repaired = *strings;
  return true;
}

// The JSON body to read: `body` itself, or its repair held in `fixed`.
std::string_view repaired_json(std::string_view body, std::string& fixed, uint64_t& repaired) {
  repaired = repair_json_text(body, fixed);
  return repaired ? std::string_view(fixed) : body;
}

// The spans of one scope, stored under one envelope holding their resource and scope.
void store_scope_spans(const pb::trace::v1::ResourceSpans& rs, const pb::trace::v1::ScopeSpans& ss,
                       const std::string& service, EnvelopeSet& envelopes, SpanBatch& batch) {
  pb::trace::v1::ResourceSpans stored;
  if (rs.has_resource()) *stored.mutable_resource() = rs.resource();
  stored.set_schema_url(rs.schema_url());
  auto* scope = stored.add_scope_spans();
  if (ss.has_scope()) *scope->mutable_scope() = ss.scope();
  scope->set_schema_url(ss.schema_url());
  const auto bytes = envelope_bytes(stored);
  std::shared_ptr<const std::string> envelope;  // made with the first span kept
  for (const auto& span : ss.spans()) {
    if (!valid_id(span.trace_id(), 16)) {
      reject(batch, "a span has no valid trace id (16 bytes, not all zero)");
      continue;
    }
    if (!valid_id(span.span_id(), 8)) {
      reject(batch, "a span has no valid span id (8 bytes, not all zero)");
      continue;
    }
    pb::trace::v1::Span copy = span;
    integral_doubles_as_integers(copy);
    SpanRow row;
    if (!bytes || !stored_bytes(copy, row.data.message)) {
      reject(batch, "a span's " + kTooDeep);
      continue;
    }
    if (!envelope) envelope = envelopes.add(*bytes);
    row.data.envelope = envelope;
    row.trace_id = otlp::hex_of_bytes(span.trace_id());
    row.span_id = otlp::hex_of_bytes(span.span_id());
    row.root = span.parent_span_id().empty() || all_zero(span.parent_span_id(), '\0');
    row.service = service;
    batch.spans.push_back(std::move(row));
  }
}

// The envelopes of the spans read from an OTLP/JSON export: the importer's spans of one
// resource share its attributes, so the envelope of the previous span is reused as long as
// the resource and scope stay the same.
class JsonEnvelopes {
 public:
  explicit JsonEnvelopes(SpanBatch& batch) : set_(batch.envelopes) {}

  // The envelope of `span`; null when it nests deeper than the importer reads.
  std::shared_ptr<const std::string> of(const OtlpSpan& span) {
    if (made_ && span.resource.get() == resource_ && span.scope_name == scope_) return last_;
    made_ = true;
    resource_ = span.resource.get();
    scope_ = span.scope_name;
    pb::trace::v1::ResourceSpans envelope;
    envelope_to_protobuf(span, envelope);
    auto bytes = envelope_bytes(envelope);
    last_ = bytes ? set_.add(std::move(*bytes)) : nullptr;
    return last_;
  }

 private:
  EnvelopeSet set_;
  bool made_ = false;
  const Json* resource_ = nullptr;
  std::string scope_;
  std::shared_ptr<const std::string> last_;
};

// A span read from an OTLP/JSON export, stored (or rejected) as a protobuf export's would be.
void store_json_span(const OtlpSpan& span, JsonEnvelopes& envelopes, SpanBatch& batch) {
  if (!hex_id(span.trace_id, 32)) {
    reject(batch, "a span has no valid trace id (32 hex digits, not all zero)");
    return;
  }
  if (!hex_id(span.span_id, 16)) {
    reject(batch, "a span has no valid span id (16 hex digits, not all zero)");
    return;
  }
  pb::trace::v1::Span stored;
  span_to_protobuf(span, stored);
  SpanRow row;
  row.data.envelope = envelopes.of(span);
  if (!row.data.envelope || !stored_bytes(stored, row.data.message)) {
    reject(batch, "a span's " + kTooDeep);
    return;
  }
  row.trace_id = span.trace_id;
  row.span_id = span.span_id;
  row.root = span.parent_id.empty() || all_zero(span.parent_id, '0');
  auto service = span.resource_attrs().find("service.name");
  if (service != span.resource_attrs().end() && service->is_string()) row.service = *service;
  batch.spans.push_back(std::move(row));
}

// The log records of one scope, stored under one envelope holding their resource and scope.
void store_scope_logs(const pb::logs::v1::ResourceLogs& rl, const pb::logs::v1::ScopeLogs& sl,
                      EnvelopeSet& envelopes, LogBatch& batch) {
  pb::logs::v1::ResourceLogs stored;
  if (rl.has_resource()) *stored.mutable_resource() = rl.resource();
  stored.set_schema_url(rl.schema_url());
  auto* scope = stored.add_scope_logs();
  if (sl.has_scope()) *scope->mutable_scope() = sl.scope();
  scope->set_schema_url(sl.schema_url());
  const auto bytes = envelope_bytes(stored);
  std::shared_ptr<const std::string> envelope;
  for (const auto& record : sl.log_records()) {
    if (!valid_id(record.trace_id(), 16) || !valid_id(record.span_id(), 8)) {
      reject(batch, "a log record names no span (a valid trace id and span id)");
      continue;
    }
    pb::logs::v1::LogRecord copy = record;
    integral_doubles_as_integers(copy);
    LogRow row;
    if (!bytes || !stored_bytes(copy, row.data.message)) {
      reject(batch, "a log record's " + kTooDeep);
      continue;
    }
    if (!envelope) envelope = envelopes.add(*bytes);
    row.data.envelope = envelope;
    row.trace_id = otlp::hex_of_bytes(record.trace_id());
    row.span_id = otlp::hex_of_bytes(record.span_id());
    batch.logs.push_back(std::move(row));
  }
}

// A log record read from an OTLP/JSON log export, stored under `envelope` (the importer
// reads no resource or scope of a record: every record shares the one empty envelope).
void store_json_log(const OtlpLog& log, const std::shared_ptr<const std::string>& envelope,
                    LogBatch& batch) {
  if (!hex_id(log.trace_id, 32) || !hex_id(log.span_id, 16)) {
    reject(batch, "a log record names no span (a valid trace id and span id)");
    return;
  }
  pb::logs::v1::LogRecord stored;
  log_to_protobuf(log, stored);
  LogRow row;
  if (!stored_bytes(stored, row.data.message)) {
    reject(batch, "a log record's " + kTooDeep);
    return;
  }
  row.data.envelope = envelope;
  row.trace_id = log.trace_id;
  row.span_id = log.span_id;
  batch.logs.push_back(std::move(row));
}

// The trace id the importer reads for a span object; empty when it has none.
bool has_trace_id(const Json& span) {
  return !otlp::hex_of(otlp::member(span, "traceId", "trace_id")).empty();
}

// Takes the spans without a trace id out of a parsed export (the importer refuses a document
// holding one), counting them as rejected.
void drop_spans_without_trace_id(Json& doc, SpanBatch& batch) {
  auto scopes = [&](Json& holder) {
    for (const char* key : {"scopeSpans", "scope_spans", "instrumentationLibrarySpans",
                            "instrumentation_library_spans"}) {
      auto list = holder.find(key);
      if (list == holder.end() || !list->is_array()) continue;
      for (Json& scope : *list) {
        if (!scope.is_object()) continue;
        auto spans = scope.find("spans");
        if (spans == scope.end() || !spans->is_array()) continue;
        auto& items = spans->get_ref<Json::array_t&>();
        auto kept = std::remove_if(items.begin(), items.end(), [&](const Json& s) {
          if (!s.is_object() || has_trace_id(s)) return false;
          reject(batch, "a span has no trace id");
          return true;
        });
        items.erase(kept, items.end());
      }
    }
  };
  if (!doc.is_object()) return;
  for (const char* key : {"resourceSpans", "resource_spans"}) {
    auto list = doc.find(key);
    if (list == doc.end() || !list->is_array()) continue;
    for (Json& rs : *list) {
      if (rs.is_object()) scopes(rs);
    }
  }
  scopes(doc);
}

Error not_json(const Error& e) {
  return Error::message("the body is not valid JSON: " + e.display());
}

// The spans of a JSON export as the importer reads them.
Result<std::vector<OtlpSpan>> read_json_spans(std::string_view body, SpanBatch& batch) {
  std::vector<OtlpSpan> spans;
  auto read = otlp::read_spans(body, "the body", spans);
  if (read) return spans;
  if (read.error().kind() == Error::Kind::kJson) return not_json(read.error());
  // A span without a trace id fails the whole document in the importer; here it is rejected
  // alone and the others are stored.
  auto doc = parse_json(body);
  if (!doc) return not_json(doc.error());
  const uint64_t before = batch.rejected;
  drop_spans_without_trace_id(*doc, batch);
  if (batch.rejected == before) return std::move(read).error();
  spans.clear();
  if (auto again = otlp::collect_spans(*doc, "the body", spans); !again)
    return std::move(again).error();
  return spans;
}

// How many log records a parsed log export holds, counted where the importer looks for them.
uint64_t log_record_count(const Json& doc) {
  uint64_t n = 0;
  auto each = [](const Json* list, auto&& f) {
    if (!list || !list->is_array()) return;
    for (const auto& item : *list) {
      if (item.is_object()) f(item);
    }
  };
  for (const char* key : {"resourceLogs", "resource_logs"}) {
    auto list = doc.find(key);
    if (list == doc.end()) continue;
    each(&*list, [&](const Json& rl) {
      each(otlp::member(rl, "scopeLogs", "scope_logs"), [&](const Json& scope) {
        each(otlp::member(scope, "logRecords", "log_records"), [&](const Json&) { ++n; });
      });
    });
  }
  return n;
}

}  // namespace

Result<SpanBatch> spans_from_protobuf(std::string_view body) {
  google::protobuf::Arena arena;
  auto* request =
      google::protobuf::Arena::CreateMessage<pb::collector::trace::v1::ExportTraceServiceRequest>(
          &arena);
  SpanBatch batch;
  if (!parse_body(body, *request, batch.repaired))
    return Error::message("the body is not a valid protobuf ExportTraceServiceRequest");
  EnvelopeSet envelopes(batch.envelopes);
  for (const auto& rs : request->resource_spans()) {
    const std::string service = rs.has_resource() ? service_of(rs.resource()) : std::string();
    for (const auto& ss : rs.scope_spans()) store_scope_spans(rs, ss, service, envelopes, batch);
  }
  return batch;
}

Result<SpanBatch> spans_from_json(std::string_view body) {
  SpanBatch batch;
  std::string fixed;
  body = repaired_json(body, fixed, batch.repaired);
  auto spans = read_json_spans(body, batch);
  if (!spans) return std::move(spans).error();
  JsonEnvelopes envelopes(batch);
  for (const OtlpSpan& span : *spans) store_json_span(span, envelopes, batch);
  return batch;
}

Result<LogBatch> logs_from_protobuf(std::string_view body) {
  google::protobuf::Arena arena;
  auto* request =
      google::protobuf::Arena::CreateMessage<pb::collector::logs::v1::ExportLogsServiceRequest>(
          &arena);
  LogBatch batch;
  if (!parse_body(body, *request, batch.repaired))
    return Error::message("the body is not a valid protobuf ExportLogsServiceRequest");
  EnvelopeSet envelopes(batch.envelopes);
  for (const auto& rl : request->resource_logs()) {
    for (const auto& sl : rl.scope_logs()) store_scope_logs(rl, sl, envelopes, batch);
  }
  return batch;
}

Result<LogBatch> logs_from_json(std::string_view body) {
  LogBatch batch;
  std::string fixed;
  auto doc = parse_json(repaired_json(body, fixed, batch.repaired));
  std::string().swap(fixed);
  if (!doc) return not_json(doc.error());
  std::vector<OtlpSpan> ignored;
  std::vector<OtlpLog> logs;
  if (auto ok = otlp::collect_spans(*doc, "the body", ignored, &logs); !ok)
    return std::move(ok).error();
  // Records without both ids are passed over by the importer: they count as rejected.
  const uint64_t total = doc->is_object() ? log_record_count(*doc) : 0;
  for (uint64_t i = logs.size(); i < total; ++i)
    reject(batch, "a log record names no span (a valid trace id and span id)");
  pb::logs::v1::ResourceLogs empty;
  empty.add_scope_logs();
  const auto envelope = EnvelopeSet(batch.envelopes).add(empty.SerializeAsString());
  for (const OtlpLog& log : logs) store_json_log(log, envelope, batch);
  return batch;
}

size_t stored_bytes(const SpanBatch& batch) {
  size_t n = 0;
  for (const auto& e : batch.envelopes) n += e->size();
  for (const auto& row : batch.spans) n += row.data.message.size();
  return n;
}

size_t stored_bytes(const LogBatch& batch) {
  size_t n = 0;
  for (const auto& e : batch.envelopes) n += e->size();
  for (const auto& row : batch.logs) n += row.data.message.size();
  return n;
}

}  // namespace tracedx
