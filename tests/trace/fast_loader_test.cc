// The fast loader against parse_json + build_trace: identical Traces (down to the kind of
// every number and the sign of zero), identical errors and identical reports, over every
// fixture, the fuzz corpora and generated documents, valid and broken.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "report/report_json.h"
#include "test_random.h"
#include "test_support.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using test_support::trace_difference;

Result<Trace> slow(std::string_view bytes) {
  auto doc = parse_json(bytes);
  if (!doc) return std::move(doc).error();
  return build_trace("doc.json", std::move(*doc));
}

std::string error_text(const Error& e) {
  return std::to_string(static_cast<int>(e.kind())) + " " + e.debug() + " @" +
         std::to_string(e.line()) + ":" + std::to_string(e.column());
}

std::string report_of(const Trace& t) {
  Diagnosis d = diagnose_run(t);
  TraceSignals s = extract_signals(t, 2500);
  return dump_report(to_json(d, &s), /*compact=*/true);
}

// Checks every entry point of the fast loader on `bytes`; returns whether it loaded.
bool check_same(std::string_view bytes, const std::string& what, bool with_report) {
  Result<Trace> expected = slow(bytes);
  std::string padded(bytes);
  padded.reserve(padded.size() + kLoadPadding);
  std::string owned = padded;
  Result<Trace> results[] = {
      load_trace("doc.json", bytes), load_trace_padded("doc.json", std::string_view(padded)),
      load_trace_owned("doc.json", std::move(owned)),
      load_trace_owned("doc.json", std::string(bytes)),  // capacity without padding
  };
  for (auto& got : results) {
    if (!expected) {
      EXPECT_FALSE(got) << what;
      if (!got) {
        EXPECT_EQ(error_text(got.error()), error_text(expected.error())) << what;
      }
      continue;
    }
    EXPECT_TRUE(got) << what << ": " << got.error().display();
    if (!got) continue;
    EXPECT_EQ(trace_difference(*got, *expected), "") << what;
    if (with_report) {
      EXPECT_EQ(report_of(*got), report_of(*expected)) << what;
    }
  }
  return expected.ok();
}

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FastLoader, EveryFixtureAndImport) {
  size_t loaded = 0;
  for (const char* dir : {"src/Test/fixtures", "src/Test/imports", "src/Test/expectations"}) {
    for (const auto& e : fs::recursive_directory_iterator(fs::path(TRACEDX_SOURCE_DIR) / dir)) {
      if (e.is_regular_file()) loaded += check_same(read_bytes(e.path()), e.path().string(), true);
    }
  }
  EXPECT_GT(loaded, 50u);
}

TEST(FastLoader, FuzzCorpora) {
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(fs::path(TRACEDX_SOURCE_DIR) / "fuzz")) {
    if (!e.is_regular_file() || e.path().extension() == ".cc") continue;
    std::string bytes = read_bytes(e.path());
    check_same(bytes, e.path().string(), true);
    // The fixture target reads all but the last byte.
    if (!bytes.empty())
      check_same(std::string_view(bytes).substr(0, bytes.size() - 1),
                 e.path().string() + " (fuzz input)", false);
    ++files;
  }
  // The committed seeds (fuzz/seeds, chosen for coverage) and the fuzz sources' neighbours.
  EXPECT_GT(files, 250u);
}

TEST(FastLoader, EdgeCases) {
  const char* docs[] = {
      // Numbers: kinds, signs of zero, the ends of the 64-bit ranges and beyond them.
      R"({"run":{"total_cost":-0},"steps":[{"id":-0,"step_index":-0,"duration_ms":-0}]})",
      R"({"run":{"total_cost":0},"steps":[{"id":0,"step_index":0,"duration_ms":0}]})",
      R"({"run":{"total_cost":-0.0},"steps":[{"id":-0.0,"raw_input":[-0,0,-0.0,0.0,-0e1]}]})",
      R"({"run":{},"steps":[{"raw_input":"2024-01-05 -0 x","step_index":0}]})",
      R"({"run":{},"steps":[{"id":18446744073709551615,"step_index":9223372036854775807}]})",
      R"({"run":{},"steps":[{"id":18446744073709551616,"step_index":9223372036854775808}]})",
      R"({"run":{},"steps":[{"id":-9223372036854775808,"duration_ms":-9223372036854775809}]})",
      R"({"run":{"total_cost":123456789012345678901234567890},"steps":[]})",
      R"({"run":{"total_cost":18446744073709551615},"steps":[]})",
      R"({"run":{},"steps":[{"raw_output":[1e-400,4.9e-324,2.4e-324,1.7976931348623157e308]}]})",
      R"({"run":{},"steps":[{"raw_output":[0.1,1E+2,1e2,-1.5e-3,5e-324,2.2250738585072014e-308]}]})",
      R"({"run":{},"steps":[{"raw_output":1e400}]})",
      R"({"run":{},"steps":[{"raw_output":-1e400}]})",
      // Duplicates: the last occurrence wins, also across kinds.
      R"({"run":{"status":"a","status":5},"steps":[{"summary":"x","summary":"y"}]})",
      R"({"run":{"diagnostic_summary":"a","diagnostic_summary":null,"failure_reason":"f"},
          "steps":[{"raw_input":{"b":1,"a":2,"b":3}}]})",
      R"({"run":{"failure_reason":"f","failure_reason":"g"},"steps":[],"steps":[{}]})",
      R"({"run":{},"steps":[{}],"steps":5})",
      R"({"run":{},"run":[],"steps":[]})",
      R"({"run":[],"run":{"title":"t"},"steps":[]})",
      // Key order, escapes and non-ASCII text.
      R"({"run":{"t\u0069tle":"\u00e9\ud83d\ude00\n\/"},"steps":[{"st\u0061tus":"ok",
          "raw_input":{"\u00e9":1,"e":2,"E":3,"":4,"\u0000":5}}]})",
      "{\"run\":{\"title\":\"caf\xc3\xa9 \xef\xbf\xbf\"},\"steps\":[]}",
      // A byte-order mark, white space, shapes.
      "\xEF\xBB\xBF{\"run\":{},\"steps\":[]}",
      "\xEF\xBB\xBF",
      "\xEF\xBB\xBF\xEF\xBB\xBF{\"run\":{},\"steps\":[]}",
      " \t\r\n{\"run\":{},\"steps\":[1,\"x\",null,[],{}]}\n ",
      "[]",
      "5",
      "\"s\"",
      "null",
      "{}",
      // Broken documents: every error comes from the document parser.
      "",
      " ",
      "{\"run\":{},\"steps\":[]}x",
      "{\"run\":{},\"steps\":[]}}",
      "{\"run\":{},\"steps\":[1,]}",
      "{\"run\":{},\"steps\":[1 2]}",
      "{\"run\":{},\"steps\":[tru]}",
      "{\"run\":{},\"steps\":[truex]}",
      "{\"run\":{},\"steps\":[01]}",
      "{\"run\":{},\"steps\":[1.]}",
      "{\"run\":{},\"steps\":[-]}",
      "{\"run\":{},\"steps\":[NaN]}",
      "{\"run\":{},\"steps\":[\"\\ud800\"]}",
      "{\"run\":{},\"steps\":[\"\\udc00\"]}",
      "{\"run\":{},\"steps\":[\"\\ud800\\u0041\"]}",
      "{\"run\":{},\"steps\":[\"\\x\"]}",
      "{\"run\":{},\"steps\":[\"a\x01\"]}",
      "{\"run\":{},\"steps\":[\"\xff\"]}",
      "{\"run\":{},\"steps\":[\"\xed\xa0\x80\"]}",
      "{\"run\":{},\"steps\":[\"\xc0\x80\"]}",
      "{\"run\":{},\"steps\":[\"\xf4\x90\x80\x80\"]}",
      "{\"run\":{},\"steps\":[\"abc",
      "{\"run\":{},\"steps\":[]\x0c}",
      "{\"run\" {},\"steps\":[]}",
      "{\"run\":{},,\"steps\":[]}",
      "{1:{}}",
  };
  for (const char* doc : docs) check_same(doc, doc, true);
  std::string nul("{\"run\":{},\"steps\":[]}\0", 22);
  check_same(nul, "trailing NUL", true);
  std::string nul_in("{\"run\":{\"title\":\"a\0b\"},\"steps\":[]}", 34);
  check_same(nul_in, "NUL in a string", true);
}

TEST(FastLoader, DepthLimit) {
  for (size_t depth : {kMaxJsonDepth - 2, kMaxJsonDepth - 1, kMaxJsonDepth, kMaxJsonDepth + 1}) {
    // The top-level object is one level, the steps array and those inside it the rest.
    std::string inner = std::string(depth - 1, '[') + std::string(depth - 1, ']');
    std::string doc = "{\"run\":{},\"steps\":" + inner + "}";
    bool loaded = check_same(doc, "depth " + std::to_string(depth), false);
    EXPECT_EQ(loaded, depth <= kMaxJsonDepth) << depth;
  }
  check_same(std::string(100000, '['), "a hundred thousand brackets", false);
}

// A deterministic generator of trace-shaped documents made of awkward parts, and of
// broken variants of them.
class DocGen {
 public:
  explicit DocGen(uint64_t seed) : rng_(seed) {}

  std::string trace() {
    std::string out = pick(8) == 0 ? "\xEF\xBB\xBF" : "";
    out += "{\"run\":" + run() + ",\"steps\":[";
    size_t n = pick(6);
    for (size_t i = 0; i < n; ++i) out += (i ? "," : "") + step();
    out += "]";
    if (pick(5) == 0) out += ",\"extra\":" + value(3);
    return out + "}";
  }

  // Cuts, repeats or overwrites a byte or a span.
  std::string mutate(std::string doc) {
    if (doc.empty()) return doc;
    size_t at = pick(doc.size());
    switch (pick(4)) {
      case 0:
        return doc.substr(0, at);
      case 1:
        doc[at] = kBytes[pick(sizeof kBytes - 1)];
        return doc;
      case 2:
        return doc.insert(at, 1, kBytes[pick(sizeof kBytes - 1)]);
      default:
        return doc.erase(at, 1 + pick(4));
    }
  }

 private:
  static constexpr char kBytes[] = "{}[],:\"\\-0123456789.eE+ \nabtrufnl\x01\x80\xc3\xff";

  uint64_t next() { return rng_.next(); }
  size_t pick(size_t n) { return rng_.below(n); }

  std::string scalar() {
    static const char* kScalars[] = {"0",
                                     "-0",
                                     "-0.0",
                                     "0.0",
                                     "1",
                                     "-1",
                                     "3.0",
                                     "1e2",
                                     "1E-2",
                                     "-5",
                                     "2.5",
                                     "1e-400",
                                     "5e-324",
                                     "18446744073709551615",
                                     "18446744073709551616",
                                     "9223372036854775807",
                                     "9223372036854775808",
                                     "-9223372036854775808",
                                     "-9223372036854775809",
                                     "123456789012345678901234567890",
                                     "0.30000000000000004",
                                     "true",
                                     "false",
                                     "null",
                                     "\"\"",
                                     "\"error\"",
                                     "\" Failed \"",
                                     "\"timeout\"",
                                     "\"caf\\u00e9\"",
                                     "\"\\ud83d\\ude00\"",
                                     "\"line\\nbreak\\t\\\"q\\\"\"",
                                     "\"\xc3\xa9t\xc3\xa9\"",
                                     "\"2024-01-05\"",
                                     "\"-0\"",
                                     "\"\\u0000\""};
    return kScalars[pick(std::size(kScalars))];
  }

  std::string value(int depth) {
    if (depth <= 0 || pick(3) != 0) return scalar();
    std::string out;
    size_t n = pick(4);
    if (pick(2)) {
      out = "[";
      for (size_t i = 0; i < n; ++i) out += (i ? "," : "") + value(depth - 1);
      return out + "]";
    }
    static const char* kKeys[] = {"a", "b", "A", "", "\\u0061", "\xc3\xa9", "z", "a"};
    out = "{";
    for (size_t i = 0; i < n; ++i) {
      out += (i ? ",\"" : "\"") + std::string(kKeys[pick(std::size(kKeys))]) +
             "\":" + value(depth - 1);
    }
    return out + "}";
  }

  std::string members(std::initializer_list<const char*> keys) {
    std::string out = "{";
    bool first = true;
    for (const char* k : keys) {
      for (size_t times = pick(7) == 0 ? 2 : (pick(3) ? 1 : 0); times > 0; --times) {
        out += (first ? "\"" : ",\"") + std::string(k) + "\":" + value(3);
        first = false;
      }
    }
    return out + "}";
  }

  std::string run() {
    return members({"status", "diagnostic_summary", "failure_reason", "title", "total_cost", "id",
                    "service_name", "agent_name", "recorded_from", "status_inferred"});
  }
  std::string step() {
    if (pick(10) == 0) return value(2);
    return members({"id", "step_index", "step_type", "display_name", "summary", "status",
                    "duration_ms", "error_message", "raw_input", "raw_output", "metadata",
                    "other"});
  }

  test_support::SplitMix rng_;
};

TEST(FastLoader, GeneratedDocuments) {
  DocGen gen(20261209);
  size_t loaded = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string doc = gen.trace();
    loaded += check_same(doc, doc, i % 4 == 0);
    std::string broken = gen.mutate(doc);
    check_same(broken, broken, false);
  }
  EXPECT_GT(loaded, 2000u);
}

}  // namespace
}  // namespace tracedx
