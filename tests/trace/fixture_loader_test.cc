#include "trace/fixture_loader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "test_support.h"

namespace tracedx {
namespace {

using test_support::step_of;
using test_support::trace_of;

TEST(FixtureLoader, ShapeFailuresInOrder) {
  struct Row {
    const char* doc;
    const char* message;
  } rows[] = {
      {R"([])", "fixture.run missing"},
      {R"({})", "fixture.run missing"},  // run is checked before steps
      {R"({"run":[],"steps":[]})", "fixture.run missing"},
      {R"({"run":null,"steps":[]})", "fixture.run missing"},
      {R"({"run":{}})", "fixture.steps missing"},
      {R"({"run":{},"steps":{}})", "fixture.steps missing"},
      {R"({"run":{},"steps":"x"})", "fixture.steps missing"},
  };
  for (const auto& row : rows) {
    auto doc = parse_json(row.doc);
    ASSERT_TRUE(doc) << row.doc;
    auto trace = build_trace("f.json", std::move(*doc));
    ASSERT_FALSE(trace) << row.doc;
    EXPECT_EQ(trace.error().kind(), Error::Kind::kMessage);
    EXPECT_EQ(trace.error().text(), row.message) << row.doc;
    EXPECT_EQ(trace.error().debug(), std::string("\"") + row.message + "\"");
  }
}

TEST(FixtureLoader, StepFieldKindRules) {
  struct Row {
    const char* step;
    std::optional<int64_t> step_index;
    std::optional<uint64_t> duration;
  } rows[] = {
      {R"({"step_index":3,"duration_ms":1500})", 3, 1500},
      {R"({"step_index":-4,"duration_ms":0})", -4, 0},
      {R"({"step_index":2.0,"duration_ms":1500.0})", std::nullopt, std::nullopt},
      {R"({"step_index":9223372036854775807})", std::numeric_limits<int64_t>::max(), std::nullopt},
      {R"({"step_index":9223372036854775808})", std::nullopt, std::nullopt},
      {R"({"step_index":18446744073709551615,"duration_ms":18446744073709551615})", std::nullopt,
       std::numeric_limits<uint64_t>::max()},
      {R"({"step_index":"1","duration_ms":"5"})", std::nullopt, std::nullopt},
      {R"({"duration_ms":-5})", std::nullopt, std::nullopt},
      {R"({"duration_ms":12.5})", std::nullopt, std::nullopt},
      {R"({"step_index":-0,"duration_ms":-0})", std::nullopt, std::nullopt},  // -0 is a float
      {R"({"step_index":null,"duration_ms":null})", std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    TraceStep s = step_of(row.step);
    EXPECT_EQ(s.step_index, row.step_index) << row.step;
    EXPECT_EQ(s.duration_ms, row.duration) << row.step;
  }
}

TEST(FixtureLoader, TextAndJsonFields) {
  TraceStep s = step_of(
      R"({"id":null,"step_type":"search","display_name":"","summary":5,"status":"ok",
          "error_message":["x"],"raw_input":null,"raw_output":{"b":1,"a":[2]},"metadata":"m"})");
  ASSERT_TRUE(s.id.has_value());
  EXPECT_TRUE(s.id->is_null());
  EXPECT_EQ(s.step_type, "search");
  EXPECT_EQ(s.display_name, "");
  EXPECT_FALSE(s.summary.has_value());
  EXPECT_EQ(s.status, "ok");
  EXPECT_FALSE(s.error_message.has_value());
  ASSERT_TRUE(s.raw_input.has_value());  // present null is not absent
  EXPECT_TRUE(s.raw_input->is_null());
  EXPECT_EQ(s.raw_output->dump(), R"({"a":[2],"b":1})");
  EXPECT_EQ(*s.metadata, "m");

  TraceStep bare = step_of(R"({})");
  EXPECT_FALSE(bare.id || bare.raw_input || bare.raw_output || bare.metadata);
}

TEST(FixtureLoader, NonObjectStepsKeepTheirPosition) {
  Trace t = trace_of(R"({"run":{},"steps":["text",7,{"status":"failed"},null]})");
  ASSERT_EQ(t.steps.size(), 4u);
  EXPECT_FALSE(t.steps[0].status || t.steps[0].id || t.steps[1].step_type);
  EXPECT_EQ(t.steps[2].status, "failed");
}

TEST(FixtureLoader, RunHeader) {
  struct Row {
    const char* run;
    std::optional<std::string> summary;
    std::optional<double> cost;
  } rows[] = {
      {R"({"diagnostic_summary":"d","failure_reason":"f"})", "d", std::nullopt},
      {R"({"failure_reason":"f","total_cost":3})", "f", 3.0},
      {R"({"diagnostic_summary":null,"failure_reason":"f"})", std::nullopt, std::nullopt},
      {R"({"diagnostic_summary":1,"total_cost":"3"})", std::nullopt, std::nullopt},
      {R"({"total_cost":-2})", std::nullopt, -2.0},
      {R"({"total_cost":0.25})", std::nullopt, 0.25},
  };
  for (const auto& row : rows) {
    Trace t = trace_of(std::string(R"({"steps":[],"run":)") + row.run + "}");
    EXPECT_EQ(t.diagnostic_summary, row.summary) << row.run;
    EXPECT_EQ(t.total_cost, row.cost) << row.run;
  }
  Trace t =
      trace_of(R"({"run":{"status":" Completed ","title":"T","id":"x"},"steps":[]})", "a.json");
  EXPECT_EQ(t.status, " Completed ");
  EXPECT_EQ(t.title, "T");
  EXPECT_EQ(t.id, "a.json");
  EXPECT_TRUE(t.steps.empty());
  EXPECT_EQ(t.total_duration_ms, 0u);
}

// The service and agent of a run are texts; another kind is absent.
TEST(FixtureLoader, ServiceAndAgentNames) {
  Trace t = trace_of(R"({"run":{"service_name":"checkout","agent_name":"planner"},"steps":[]})");
  EXPECT_EQ(t.service_name, "checkout");
  EXPECT_EQ(t.agent_name, "planner");
  Trace odd = trace_of(R"({"run":{"service_name":7,"agent_name":null},"steps":[]})");
  EXPECT_EQ(odd.service_name, std::nullopt);
  EXPECT_EQ(odd.agent_name, std::nullopt);
}

TEST(FixtureLoader, DurationTotalSaturates) {
  EXPECT_EQ(trace_of(R"({"run":{},"steps":[{"duration_ms":5},{"duration_ms":2.5},{},
                      {"duration_ms":7}]})")
                .total_duration_ms,
            12u);
  EXPECT_EQ(trace_of(R"({"run":{},"steps":[{"duration_ms":18446744073709551615},
                      {"duration_ms":2}]})")
                .total_duration_ms,
            std::numeric_limits<uint64_t>::max());
}

TEST(FixtureLoader, LaterDuplicateKeyWins) {
  EXPECT_EQ(step_of(R"({"status":"a","status":"b"})").status, "b");
}

TEST(ParseJson, FailuresAreValuesWithPosition) {
  auto bad = parse_json("{\"run\": }");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), Error::Kind::kJson);
  EXPECT_EQ(bad.error().line(), 1u);
  EXPECT_EQ(bad.error().column(), 9u);
  EXPECT_EQ(bad.error().debug().rfind("Error(\"syntax error", 0), 0u) << bad.error().debug();
  EXPECT_NE(bad.error().debug().find(", line: 1, column: 9)"), std::string::npos);

  EXPECT_FALSE(parse_json("{} x"));   // trailing content
  EXPECT_TRUE(parse_json(" {} \n"));  // trailing white space is fine
  EXPECT_FALSE(parse_json(""));
  EXPECT_FALSE(parse_json("[NaN]"));
  EXPECT_FALSE(parse_json("\"\\ud800\""));
  EXPECT_FALSE(parse_json("\"\xff\""));
}

TEST(ParseJson, DepthLimit) {
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_json(nested(128)));
  auto deep = parse_json(nested(129));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().text(), "nesting deeper than 128 levels");
  EXPECT_EQ(deep.error().column(), 129u);
  // Brackets inside strings do not count.
  EXPECT_TRUE(parse_json("[\"" + std::string(500, '[') + "\"]"));
  std::string objects;
  for (int i = 0; i < 129; ++i) objects += "{\"k\":";
  objects += "1" + std::string(129, '}');
  EXPECT_FALSE(parse_json(objects));
  auto huge = parse_json(std::string(100000, '['));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().text(), "nesting deeper than 128 levels");
}

TEST(LoadFixture, FileFailures) {
  auto dir = test_support::make_temp_dir("loader");
  auto missing = load_fixture(dir, "nope.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().debug(),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  std::filesystem::create_directories(dir / "sub.json");
  auto is_dir = load_fixture(dir, "sub.json");
  ASSERT_FALSE(is_dir);
  EXPECT_EQ(is_dir.error().debug(),
            "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");

  test_support::write_text(dir / "nested/ok.json", R"({"run":{"status":"passed"},"steps":[{}]})");
  auto ok = load_fixture(dir, "nested/ok.json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->id, "nested/ok.json");
  EXPECT_EQ(ok->steps.size(), 1u);
  auto absolute = load_fixture("/nonexistent-dir", (dir / "nested/ok.json").string());
  EXPECT_TRUE(absolute);
  std::filesystem::remove_all(dir);
}

TEST(FixtureLoader, LongTokensAreCutInErrors) {
  const std::string syntax =
      "syntax error while parsing value - invalid string: forbidden character after backslash; "
      "last read: '...";
  struct Row {
    std::string doc;
    std::string message;
  } rows[] = {
      {R"({"run":{"total_cost":)" + std::string(1000000, '9') + "}}",
       "number overflow parsing '" + std::string(32, '9') + "...'"},
      {R"({"run":{"total_cost":1e999},"steps":[]})", "number overflow parsing '1e999'"},
      {R"({"run":{"title":")" + std::string(100000, 'a') + R"(\x"}})",
       syntax + std::string(30, 'a') + R"(\x')"},
      // The cut never splits a character: a continuation byte at the cut moves it on.
      {R"({"run":{"title":")" + std::string(100000, 'a') + "\xc3\xa9\xc3\xa9" +
           std::string(27, 'b') + R"(\x"}})",
       syntax + "\xc3\xa9" + std::string(27, 'b') + R"(\x')"},
  };
  for (const auto& row : rows) {
    auto doc = parse_json(row.doc);
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().text(), row.message);
  }
}

}  // namespace
}  // namespace tracedx
