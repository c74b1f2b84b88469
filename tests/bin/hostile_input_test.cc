// Hostile and malformed inputs for both commands: each row gives the input, the expected
// exit status, and the start of the expected standard error.
#include <gtest/gtest.h>

#include "test_support.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using test_support::read_text;
using test_support::run_command;
using test_support::write_text;

std::string nested(size_t depth) {
  // The top-level object is level 1.
  return R"({"run":{},"steps":[],"x":)" + std::string(depth - 1, '[') +
         std::string(depth - 1, ']') + "}";
}

std::string with_step(const std::string& step) {
  return R"({"run":{"status":"failed"},"steps":[)" + step + "]}";
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test_support::make_temp_dir("hostile"); }
  void TearDown() override { fs::remove_all(dir_); }
  test_support::CommandResult diagnose(const std::string& bytes) {
    write_text(dir_ / "f.json", bytes);
    return run_command({TRACEDX_BIN, "diagnose", "f.json", "--compact"}, dir_);
  }
  fs::path dir_;
};

TEST_F(Hostile, TracedxDiagnose) {
  const std::string bad_json = "Error: f.json: invalid JSON at line ";
  struct Row {
    const char* what;
    std::string input;
    int status;
    std::string err;
  } rows[] = {
      {"invalid UTF-8 in a string",
       with_step(R"({"summary":"a)"
                 "\xff"
                 R"("})"),
       1, bad_json},
      {"invalid UTF-8 in a key",
       with_step(R"({")"
                 "\xc3\x28"
                 R"(":1})"),
       1, bad_json},
      {"overlong UTF-8",
       with_step(R"({"summary":")"
                 "\xc0\xaf"
                 R"("})"),
       1, bad_json},
      {"byte-order mark",
       "\xef\xbb\xbf"
       R"({"run":{},"steps":[]})",
       0, ""},
      {"NaN", with_step(R"({"duration_ms":NaN})"), 1, bad_json},
      {"Infinity", with_step(R"({"duration_ms":Infinity})"), 1, bad_json},
      {"lone high surrogate", with_step(R"({"summary":"\ud800"})"), 1, bad_json},
      {"lone low surrogate", with_step(R"({"summary":"\udc00x"})"), 1, bad_json},
      {"surrogate pair", with_step(R"({"summary":"\ud83d\ude00"})"), 0, ""},
      {"64-bit limits",
       with_step(R"({"step_index":-9223372036854775808,"duration_ms":18446744073709551615},
          {"step_index":9223372036854775808,"duration_ms":18446744073709551616},
          {"duration_ms":18446744073709551615,"metadata":{"results_count":-9223372036854775809,"evidence_count":1e300}})"),
       0, ""},
      {"number beyond the float range", R"({"run":{"total_cost":1e999},"steps":[]})", 1,
       bad_json + "1, column 26: number overflow parsing '1e999'"},
      {"nesting at 128", nested(128), 0, ""},
      {"nesting at 129", nested(129), 1,
       bad_json + "1, column 153: nesting deeper than 128 levels"},
      {"nesting at 1,000,000", std::string(1000000, '['), 1,
       bad_json + "1, column 129: nesting deeper than 128 levels"},
      {"truncated", with_step(R"({"summary":"cut)").substr(0, 40), 1, bad_json},
      {"empty file", "", 1, bad_json},
      {"NUL bytes", std::string(64, '\0'), 1, bad_json},
      {"trailing garbage", R"({"run":{},"steps":[]} {})", 1, bad_json},
      {"control characters and bars",
       with_step(R"({"summary":"a\u0000b\u001f|c\r\n","display_name":"x|y"})"), 0, ""},
      {"top level not an object", "[1,2]", 1, "Error: fixture.run missing\n"},
      {"steps not an array", R"({"run":{},"steps":null})", 1, "Error: fixture.steps missing\n"},
  };
  for (const auto& row : rows) {
    auto r = diagnose(row.input);
    EXPECT_EQ(r.status, row.status) << row.what << ": " << r.err;
    EXPECT_EQ(r.err.substr(0, row.err.size()), row.err) << row.what;
    if (row.status == 0) {
      EXPECT_NO_THROW(Json::parse(r.out)) << row.what;
    } else {
      EXPECT_EQ(r.out, "") << row.what;
    }
  }
}

TEST_F(Hostile, DirectoryWhereAFileIsExpected) {
  fs::create_directories(dir_ / "d.json");
  auto r = run_command({TRACEDX_BIN, "diagnose", "d.json"}, dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: d.json: Is a directory (os error 21)\n");
}

#ifndef TRACEDX_SANITIZED
// A 200 MB tool output completes; the memory it takes is measured in the benchmarks.
TEST_F(Hostile, HugeRawOutput) {
  std::string big = with_step(R"({"status":"failed","step_type":"tool","raw_output":")" +
                              std::string(200u << 20, 'a') + R"( ledger"})");
  auto r = diagnose(big);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out)["root_cause"]["label"], "Tool failure or misuse");
  EXPECT_EQ(Json::parse(r.out)["secondary_issues"][0]["label"],
            "Artifact / ledger pollution cost blow-up");
}
#endif

class HostileWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test_support::make_temp_dir("hostile-ws");
    fs::create_directories(root_ / "build");
    fs::create_directories(root_ / "src/Test/expectations");
    write_text(root_ / "src/Test/fixtures/ok.json", R"({"run":{"status":"completed"},"steps":[]})");
  }
  void TearDown() override { fs::remove_all(root_); }
  void scenario(const std::string& doc) {
    write_text(root_ / "src/Test/expectations/s.expected.json", doc);
  }
  test_support::CommandResult run() { return run_command({PARITY_CHECK_BIN}, root_ / "build"); }
  fs::path root_;
};

TEST_F(HostileWorkspace, FixtureNamesAreFollowed) {
  write_text(root_ / "src/Test/outside.json", R"({"run":{"status":"completed"},"steps":[]})");
  write_text(root_ / "abs.json", R"({"run":{"status":"completed"},"steps":[]})");
  scenario(
      R"({"name":"up","fixture":"../outside.json","checks":{"contains_any":{"primary.root_cause.label":["healthy"]}}})");
  write_text(root_ / "src/Test/expectations/t.expected.json",
             R"({"name":"abs","fixture":")" + (root_ / "abs.json").string() +
                 R"(","checks":{"contains_any":{"primary.root_cause.label":["healthy"]}}})");
  auto r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  auto rows = Json::parse(read_text(root_ / "parity_checklist.json"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["status"], "match");
  EXPECT_EQ(rows[1]["status"], "match");
}

TEST_F(HostileWorkspace, ControlCharactersAndBarsInNames) {
  scenario(R"({"name":"a|b\nc\u0001","mode":"x|\r","fixture":"ok.json"})");
  ASSERT_EQ(run().status, 0);
  EXPECT_NE(read_text(root_ / "parity_checklist.md")
                .find("| a\\|b c\x01 | x\\|\r | unknown | Healthy run |  | needs_tuning |  |\n"),
            std::string::npos);
  auto rows = Json::parse(read_text(root_ / "parity_checklist.json"));
  EXPECT_EQ(rows[0]["name"], "a|b\nc\x01");
  EXPECT_NE(read_text(root_ / "parity_checklist.json").find(R"("name": "a|b\nc\u0001")"),
            std::string::npos);
}

TEST_F(HostileWorkspace, LargeScenarioFile) {
  std::string phrases;
  for (int i = 0; i < 2'400'000; ++i) phrases += "\"phrase number " + std::to_string(i) + "\",";
  scenario(
      R"({"name":"big","fixture":"ok.json","checks":{"contains_any":{"primary.root_cause.label":[)" +
      phrases + R"("healthy"]}}})");
  ASSERT_GT(fs::file_size(root_ / "src/Test/expectations/s.expected.json"), 50u << 20);
  auto r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Json::parse(read_text(root_ / "parity_checklist.json"))[0]["status"], "match");
}

TEST_F(HostileWorkspace, FailureLeavesExistingChecklistsUntouched) {
  write_text(root_ / "parity_checklist.md", "old markdown\n");
  write_text(root_ / "parity_checklist.json", "[\"old\"]");
  for (const char* doc : {"{", R"({"fixture":"missing.json"})", "[[[[", R"({"mode":"compare"})"}) {
    scenario(doc);
    auto r = run();
    EXPECT_EQ(r.status, 1) << doc;
    EXPECT_EQ(read_text(root_ / "parity_checklist.md"), "old markdown\n");
    EXPECT_EQ(read_text(root_ / "parity_checklist.json"), "[\"old\"]");
  }
}

}  // namespace
}  // namespace tracedx
