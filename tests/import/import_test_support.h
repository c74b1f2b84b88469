// Builders shared by the import tests: OTLP exports written as text, read back the way the
// commands read them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "import/importers.h"
#include "input/input.h"

namespace tracedx::test_support {

struct ImportedTrace {
  std::string id;  // the OTLP traceId (hex)
  Json fixture;    // {"run": {...}, "steps": [...]}
};

// All traces of an OTLP JSON document or JSON Lines text, in order of first appearance, as
// the commands read them; a malformed line fails the whole text.
inline Result<std::vector<ImportedTrace>> import_all_otlp(std::string_view bytes,
                                                          std::string_view where) {
  Input input = Input::of_bytes(bytes, std::string(where));
  std::vector<OtlpItem> items;
  std::optional<Error> failed;
  auto done = for_each_otlp_trace(input, [&](OtlpItem item) {
    if (item.error && !failed) failed = std::move(item.error);
    if (!failed) items.push_back(std::move(item));
  });
  if (!done) return std::move(done).error();
  if (failed) return std::move(*failed);
  // In order of first appearance, whatever line completed each trace.
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  std::vector<ImportedTrace> out;
  for (auto& item : items) out.push_back({std::move(item.trace_id), std::move(item.fixture())});
  return out;
}

// One OTLP export holding the given spans (a JSON array text).
inline std::string otlp(const std::string& spans) {
  return R"({"resourceSpans":[{"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":)" +
         spans + "}]}]}";
}

inline std::string span(const std::string& id, const std::string& extra,
                        const std::string& trace = "t1") {
  return R"({"traceId":")" + trace + R"(","spanId":")" + id + R"(","name":"span )" + id + "\"" +
         extra + "}";
}

// The fixture of the one trace of an OTLP text; fails the test if there is not exactly one.
inline Json only_trace(const std::string& bytes) {
  auto traces = import_all_otlp(bytes, "in.json");
  EXPECT_TRUE(traces) << (traces ? "" : traces.error().display());
  if (!traces || traces->size() != 1) return Json();
  return (*traces)[0].fixture;
}

// Everything for_each_otlp_trace hands on for the text, errors included, as it comes.
inline std::vector<OtlpItem> stream_items(const std::string& bytes,
                                          const std::string& name = "in.jsonl") {
  Input in = Input::of_bytes(bytes, name);
  std::vector<OtlpItem> items;
  auto ok = for_each_otlp_trace(in, [&](OtlpItem item) { items.push_back(std::move(item)); });
  EXPECT_TRUE(ok) << (ok ? "" : ok.error().display());
  return items;
}

// An attribute list entry with a string value (JSON-escaped by the caller where needed).
inline std::string attr(const std::string& key, const std::string& value) {
  return R"({"key":")" + key + R"(","value":{"stringValue":")" + value + R"("}})";
}

inline std::string attrs(std::initializer_list<std::string> list) {
  std::string out = R"(,"attributes":[)";
  bool first = true;
  for (const auto& a : list) {
    out += (first ? "" : ",") + a;
    first = false;
  }
  return out + "]";
}

// A span's start and end times, in milliseconds.
inline std::string at(int start, int end) {
  return R"(,"startTimeUnixNano":")" + std::to_string(start) + R"(000000","endTimeUnixNano":")" +
         std::to_string(end) + R"(000000")";
}

// The step types of a fixture, a failed step's marked with "!".
inline std::vector<std::string> types_of(const Json& fixture) {
  std::vector<std::string> out;
  for (const auto& s : fixture["steps"]) {
    out.push_back(s["step_type"].get<std::string>() +
                  (s["status"] == "failed" ? std::string("!") : std::string()));
  }
  return out;
}

}  // namespace tracedx::test_support
