// JSON form of the engine's records for the tracedx command: every member of a record in
// the record's field order, null for an absent value, [] for an empty list.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "report/record_writers.h"

namespace tracedx {

OrderedJson to_json(const RootCause& rc);
OrderedJson to_json(const Recommendations& rec);
OrderedJson to_json(const TraceSignals& signals);
OrderedJson to_json(const Divergence& d);
OrderedJson to_json(const Comparison& c);
// The diagnosis, with a "signals" member after "ruleset" when `signals` is given.
OrderedJson to_json(const Diagnosis& d, const TraceSignals* signals = nullptr);

// The document text: pretty with a two-space indent, or compact; no final line feed.
std::string dump_report(const OrderedJson& doc, bool compact);

// Appends the compact text of to_json(d) (no signals) without building the JSON value:
// the same bytes as dump_report(to_json(d), true).
void append_compact_json(std::string& out, const Diagnosis& d);

}  // namespace tracedx
