// Batch records written directly against the compact dump of their JSON value: the same
// bytes for every fixture, import and expectation file (as fixtures, chat transcripts and
// with a stated run status), for errors, and for generated diagnoses whose texts hold
// quotes, control characters and invalid UTF-8.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "batch/batch.h"
#include "test_random.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;

std::string direct(const BatchResult& r) {
  std::string out = "prefix:";  // appended to what is there
  append_record(out, r);
  return out.substr(7);
}

std::string via_json(const BatchResult& r) {
  return dump_report(to_json(r), /*compact=*/true);
}

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(BatchRecord, EveryWorkspaceFileEveryWay) {
  struct Way {
    Source source;
    std::optional<RunStatus> status;
    DiagnoseOptions options;
  };
  DiagnoseOptions no_advice;
  no_advice.include_recommendations = false;
  const Way ways[] = {{Source::kFixture, std::nullopt, {}},
                      {Source::kFixture, std::nullopt, no_advice},
                      {Source::kFixture, RunStatus::kFailed, {}},
                      {Source::kChat, std::nullopt, {}}};
  size_t diagnosed = 0, failed = 0;
  for (const char* dir : {"src/Test/fixtures", "src/Test/imports", "src/Test/expectations"}) {
    for (const auto& e : fs::recursive_directory_iterator(fs::path(TRACEDX_SOURCE_DIR) / dir)) {
      if (!e.is_regular_file()) continue;
      for (const Way& way : ways) {
        BatchTrace trace;
        trace.id = e.path().filename().string();
        trace.bytes = read_bytes(e.path());
        BatchResult r = diagnose_batch_trace(trace, way.source, way.options, way.status);
        (r.diagnosis ? diagnosed : failed)++;
        EXPECT_EQ(direct(r), via_json(r)) << e.path();
        // batch_record gives the same value.
        BatchTrace again;
        again.id = trace.id;
        again.bytes = read_bytes(e.path());
        std::optional<std::string> label;
        EXPECT_EQ(
            dump_report(batch_record(again, way.source, way.options, &label, way.status), true),
            via_json(r));
        EXPECT_EQ(label, r.diagnosis && r.diagnosis->root_cause
                             ? std::optional(r.diagnosis->root_cause->label)
                             : std::nullopt);
      }
    }
  }
  EXPECT_GT(diagnosed, 100u);
  EXPECT_GT(failed, 10u);
}

// Diagnoses made up of awkward texts, absent values and empty or long lists.
class ResultGen {
 public:
  explicit ResultGen(uint64_t seed) : rng_(seed) {}

  BatchResult result() {
    BatchResult r;
    r.id = text();
    if (pick(4) == 0) {
      r.error = text();
      return r;
    }
    Diagnosis d;
    if (pick(3)) d.root_cause = finding();
    for (size_t n = pick(4); n > 0; --n) d.secondary_issues.push_back(finding());
    d.outcome = text();
    if (pick(3)) {
      Recommendations rec;
      rec.recommendedActions = texts();
      rec.instrumentation = texts();
      rec.guardrails = texts();
      rec.observations = texts();
      rec.config_changes = texts();
      rec.related_issues = texts();
      rec.title = text();
      rec.severity = text();
      rec.summary = maybe_text();
      d.recommendations = rec;
    }
    if (pick(5) == 0) d.engine = text();
    r.diagnosis = d;
    return r;
  }

 private:
  uint64_t next() { return rng_.next(); }
  size_t pick(size_t n) { return rng_.below(n); }

  std::string text() {
    static const char* kParts[] = {"tool",
                                   "\"",
                                   "\\",
                                   "\n",
                                   "\t",
                                   "\x01",
                                   "\x1f",
                                   "\x7f",
                                   "caf\xc3\xa9",
                                   "\xc3",
                                   "\xff",
                                   "\xe2\x82",
                                   "\xf0\x9f\x98\x80",
                                   "</script>",
                                   "",
                                   "a longer piece of text that runs over eight bytes",
                                   "\xed\xa0\x80",
                                   "\r\b\f"};
    std::string out;
    for (size_t n = pick(6); n > 0; --n) out += kParts[pick(std::size(kParts))];
    return out;
  }
  std::optional<std::string> maybe_text() {
    return pick(3) == 0 ? std::nullopt : std::optional(text());
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (size_t n = pick(4); n > 0; --n) out.push_back(text());
    return out;
  }
  RootCause finding() {
    RootCause rc;
    static const int64_t kIndexes[] = {0, -1, 7, INT64_MIN, INT64_MAX};
    if (pick(4)) rc.step_index = kIndexes[pick(std::size(kIndexes))];
    rc.label = text();
    rc.evidence = texts();
    rc.phase = maybe_text();
    rc.severity = text();
    rc.explanation = maybe_text();
    rc.step_name = maybe_text();
    return rc;
  }

  test_support::SplitMix rng_;
};

TEST(BatchRecord, GeneratedResults) {
  ResultGen gen(20261209);
  for (int i = 0; i < 4000; ++i) {
    BatchResult r = gen.result();
    ASSERT_EQ(direct(r), via_json(r)) << i;
  }
}

}  // namespace
}  // namespace tracedx
