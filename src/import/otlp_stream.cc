// Reading an OTLP input trace by trace: one JSON document, or JSON Lines of exports or of
// bare ResourceSpans objects, each trace handed on once no later line holds its spans.
#include <algorithm>
#include <iterator>
#include <tuple>
#include <unordered_map>

#include "import/importers.h"
#include "import/otlp_envelope.h"
#include "import/otlp_steps.h"
#include "import/otlp_values.h"
#include "input/input.h"

namespace tracedx {
namespace {

// A parse error of one line, placed in the file: the line's number, the column in it.
Error line_error(Error e, uint64_t number, const std::string& where) {
  if (e.kind() == Error::Kind::kJson) return Error::json(e.text(), number, e.column(), where);
  return std::move(e).with_path(where + ":" + std::to_string(number));
}

// Whether an input is one JSON document rather than JSON Lines: it has one non-blank line,
// or its first line is the beginning of a document cut by the line feed (printed over
// several lines) and the next is no document of its own. A first line malformed elsewhere
// is a bad line of JSON Lines, so the error names it.
Result<bool> is_one_document(Input& input) {
  auto records = first_records(input, 2);
  if (!records) return std::move(records).error();
  if (records->size() < 2)
    return records->size() == 1 && records->front().size() <= kMaxRecordBytes;
  const LineRange first = (*records)[0], second = (*records)[1];
  if (first.size() > kMaxRecordBytes || second.size() > kMaxRecordBytes) return false;
  // Only when a second record follows is the first read. The fast scan tells a valid line;
  // only an invalid one is scanned again to tell whether it was cut short.
  auto text = read_range(input, first);
  if (!text) return std::move(text).error();
  std::vector<std::string> ignored;
  bool cut = false;
  const bool first_ok =
      otlp::scan_trace_ids(*text, ignored) || otlp::scan_trace_ids(*text, ignored, &cut);
  if (first_ok || !cut) return false;
  text = read_range(input, second);
  if (!text) return std::move(text).error();
  ignored.clear();
  return !otlp::scan_trace_ids(*text, ignored);
}

// Spans grouped by trace in order of first appearance.
std::vector<std::pair<std::string, std::vector<OtlpSpan>>> by_trace(std::vector<OtlpSpan>& spans) {
  std::vector<std::pair<std::string, std::vector<OtlpSpan>>> groups;
  std::unordered_map<std::string, size_t> index;
  for (auto& s : spans) {
    auto [it, fresh] = index.try_emplace(s.trace_id, groups.size());
    if (fresh) groups.emplace_back(s.trace_id, std::vector<OtlpSpan>());
    groups[it->second].second.push_back(std::move(s));
  }
  return groups;
}

// The trace of a trace's spans, with the log records that name them attached: those read
// with the spans, then those given apart (`extra`, taken).
Trace trace_with_logs(const std::string& id, std::vector<OtlpSpan>& spans,
                      std::vector<OtlpLog>& logs, OtlpLogsByTrace* extra) {
  otlp::attach_logs(spans, logs);
  if (extra) {
    if (auto it = extra->find(id); it != extra->end()) otlp::attach_logs(spans, it->second);
  }
  return otlp::trace_of_spans(spans);
}

// Log records grouped by trace.
OtlpLogsByTrace logs_by_trace(std::vector<OtlpLog>& logs) {
  OtlpLogsByTrace out;
  for (auto& log : logs) out[log.trace_id].push_back(std::move(log));
  return out;
}

Status emit_document(Input& input, const std::string& where,
                     const std::function<void(OtlpItem)>& emit, OtlpLogsByTrace* extra) {
  std::vector<OtlpSpan> spans;
  std::vector<OtlpLog> logs;
  {
    auto bytes = input.read_all();
    if (!bytes) return std::move(bytes).error();
    auto ok = otlp::read_spans_in_place(*bytes, where, spans, &logs);
    std::string().swap(*bytes);
    if (!ok) {
      Error e = std::move(ok).error();
      if (e.kind() == Error::Kind::kJson) e = std::move(e).with_path(where);
      emit({"", 0, 0, std::nullopt, std::move(e)});
      return Ok{};
    }
  }
  auto groups = by_trace(spans);
  std::vector<OtlpSpan>().swap(spans);
  OtlpLogsByTrace own = logs_by_trace(logs);
  for (size_t i = 0; i < groups.size(); ++i) {
    std::vector<OtlpSpan> mine = std::move(groups[i].second);
    Trace trace = trace_with_logs(groups[i].first, mine, own[groups[i].first], extra);
    emit({groups[i].first, 0, i, std::move(trace), std::nullopt});
  }
  return Ok{};
}

// JSON Lines in two passes over the lines. The first finds, without building spans, the
// last line that holds spans or log records of each trace; the second parses each line
// once, hands its spans and records to the traces in flight and emits each trace after its
// last line.
Status emit_lines(Input& input, const std::string& where, const std::function<void(OtlpItem)>& emit,
                  OtlpLogsByTrace* extra) {
  struct Known {
    uint64_t last_line = 0;
    size_t sequence = 0;
  };
  std::unordered_map<std::string, Known> known;
  std::vector<std::string> ids;
  {
    LineReader reader(input);
    Line line;
    for (;;) {
      auto got = reader.next(line);
      if (!got) return std::move(got).error();
      if (!*got) break;
      if (line.too_long || is_blank_line(line.text)) continue;
      ids.clear();
      otlp::scan_trace_ids(line.text, ids);
      for (auto& id : ids) {
        auto [it, fresh] = known.try_emplace(std::move(id), Known{line.number, known.size()});
        it->second.last_line = line.number;
      }
    }
  }
  // Traces in the order they are due: by last line, then by first appearance.
  std::vector<std::pair<Known, std::string>> due;
  due.reserve(known.size());
  for (auto& [id, k] : known) due.emplace_back(k, id);
  known.clear();
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first.last_line, a.first.sequence) <
           std::tie(b.first.last_line, b.first.sequence);
  });

  struct Flight {
    std::vector<OtlpSpan> spans;
    std::vector<OtlpLog> logs;
    std::optional<uint64_t> bad_line;  // a line with spans of it that could not be read
  };
  std::unordered_map<std::string, Flight> flight;
  size_t next_due = 0;
  auto finish = [&](const std::string& id, size_t sequence) {
    auto it = flight.find(id);
    if (it == flight.end()) return;
    Flight f = std::move(it->second);
    flight.erase(it);
    if (f.bad_line) {
      emit({id, 0, sequence, std::nullopt,
            Error::message(where + ": trace " + id + " is incomplete: line " +
                           std::to_string(*f.bad_line) + " could not be read")});
    } else if (!f.spans.empty()) {
      emit({id, 0, sequence, trace_with_logs(id, f.spans, f.logs, extra), std::nullopt});
    }
  };
  LineReader reader(input);
  Line line;
  std::vector<OtlpSpan> spans;
  std::vector<OtlpLog> logs;
  for (;;) {
    auto got = reader.next(line);
    if (!got) return std::move(got).error();
    if (!*got) break;
    if (line.too_long) {
      emit({"", line.number, 0, std::nullopt,
            line_too_long(where + ":" + std::to_string(line.number))});
      continue;
    }
    if (is_blank_line(line.text)) continue;
    spans.clear();
    logs.clear();
    std::optional<Error> failed;
    const std::string lwhere = where + ":" + std::to_string(line.number);
    if (auto ok = otlp::read_spans(line.text, lwhere, spans, &logs); !ok) {
      Error e = std::move(ok).error();
      failed = e.kind() == Error::Kind::kJson ? line_error(std::move(e), line.number, where)
                                              : std::move(e);
    }
    if (failed) {
      ids.clear();
      otlp::scan_trace_ids(line.text, ids);
      for (const auto& id : ids) {
        auto& f = flight[id];
        if (!f.bad_line) f.bad_line = line.number;
      }
      emit({"", line.number, 0, std::nullopt, std::move(failed)});
    } else {
      for (auto& s : spans) flight[s.trace_id].spans.push_back(std::move(s));
      for (auto& l : logs) flight[l.trace_id].logs.push_back(std::move(l));
    }
    for (; next_due < due.size() && due[next_due].first.last_line <= line.number; ++next_due)
      finish(due[next_due].second, due[next_due].first.sequence);
  }
  for (; next_due < due.size(); ++next_due)
    finish(due[next_due].second, due[next_due].first.sequence);
  // Spans the first pass did not see (it and the parser disagree only on odd input).
  while (!flight.empty()) {
    std::string id = flight.begin()->first;
    finish(id, due.size());
  }
  return Ok{};
}

}  // namespace

Json OtlpItem::fixture() const {
  return trace ? otlp::fixture_of_trace(*trace) : Json();
}

std::string normalize_trace_id(std::string_view id) {
  return otlp::normalized_id(id);
}

Status for_each_otlp_trace(Input& input, const std::function<void(OtlpItem)>& emit,
                           OtlpLogsByTrace* logs) {
  if (auto ok = input.spool(); !ok) return ok;
  const std::string where = display_path(input.name());
  auto one = is_one_document(input);
  if (!one) return std::move(one).error();
  return *one ? emit_document(input, where, emit, logs) : emit_lines(input, where, emit, logs);
}

Status for_each_otlp_trace(const std::string& path, const std::function<void(OtlpItem)>& emit) {
  auto input = Input::open(path);
  if (!input) return std::move(input).error();
  return for_each_otlp_trace(*input, emit);
}

Result<OtlpLogsByTrace> read_otlp_log_files(const std::vector<std::string>& paths) {
  OtlpLogsByTrace all;
  for (const auto& path : paths) {
    auto input = Input::open(path);
    if (!input) return std::move(input).error();
    auto logs = read_otlp_logs(*input);
    if (!logs) return std::move(logs).error();
    for (auto& [id, records] : *logs) {
      auto& into = all[id];
      std::move(records.begin(), records.end(), std::back_inserter(into));
    }
  }
  return all;
}

Result<OtlpLogsByTrace> read_otlp_logs(Input& input) {
  const std::string where = display_path(input.name());
  auto bytes = input.read_all();
  if (!bytes) return std::move(bytes).error();
  std::vector<OtlpSpan> ignored;
  std::vector<OtlpLog> logs;
  // One document, else JSON Lines of exports.
  if (auto whole = otlp::read_spans_reference(*bytes, where, ignored, &logs); whole.ok())
    return logs_by_trace(logs);
  std::string_view rest = *bytes;
  for (uint64_t number = 1; !rest.empty(); ++number) {
    size_t nl = rest.find('\n');
    std::string_view text = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    if (is_blank_line(text)) continue;
    ignored.clear();
    auto ok =
        otlp::read_spans_reference(text, where + ":" + std::to_string(number), ignored, &logs);
    if (!ok) {
      Error e = std::move(ok).error();
      return e.kind() == Error::Kind::kJson ? line_error(std::move(e), number, where)
                                            : std::move(e);
    }
  }
  return logs_by_trace(logs);
}

}  // namespace tracedx
