// Reading an OTLP input trace by trace (otlp_stream): trace ids normalised, parse errors and
// bad lines naming their place while the other traces go on, and the order traces are
// handed on in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "import/import_test_support.h"
#include "import/importers.h"

namespace tracedx {
namespace {

using test_support::import_all_otlp;
using test_support::otlp;
using test_support::span;
using test_support::stream_items;

TEST(OtlpEnvelope, IdsAreNormalised) {
  struct Row {
    const char* written;
    const char* id;
  } rows[] = {
      {"0AF7651916CD43DD8448EB211C80319C", "0af7651916cd43dd8448eb211c80319c"},
      {"CvdlGRbNQ92ESOshHIAxnA==", "0af7651916cd43dd8448eb211c80319c"},  // 16 bytes, base64
      {"sAAAAAAAAAE=", "b000000000000001"},                              // 8 bytes, base64
      {"_-8AAAAAAAE=", "ffef000000000001"},                              // URL alphabet
      {"retrievalop", "retrievalop"},  // no padding: a name, kept as written
      {"t1", "t1"},
  };
  for (const auto& row : rows) EXPECT_EQ(normalize_trace_id(row.written), row.id) << row.written;
}

// Where a parse error is reported: the line of the file and the column in it; a document
// printed over several lines is one document, whose error is at its own place.
TEST(OtlpEnvelope, ParseErrorsNameThePlace) {
  std::string pretty = Json::parse(otlp("[" + span("a", "") + "]")).dump(2);
  std::string cut = pretty.substr(0, pretty.size() - 20);
  size_t lines = std::count(cut.begin(), cut.end(), '\n') + 1;
  auto r = import_all_otlp(cut, "in.json");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::kJson);
  EXPECT_EQ(r.error().line(), lines) << r.error().display();
  EXPECT_GT(r.error().line(), 1u);
  // The first line of JSON Lines cut short is that line's error; the next lines are read.
  auto items = stream_items(R"({"resourceSpans":[)"
                            "\n" +
                            otlp("[" + span("a", "") + "]") + "\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].line, 1u);
  EXPECT_EQ(items[0].error->display().rfind("in.jsonl: invalid JSON at line 1, column 19", 0), 0u)
      << items[0].error->display();
  EXPECT_EQ(items[1].trace_id, "t1");
  EXPECT_FALSE(items[1].error);
}

// A malformed line is an error of its own and of each trace it would have touched; the
// other traces are read.
TEST(OtlpEnvelope, MalformedLineSparesOtherTraces) {
  std::string text = otlp("[" + span("a", "", "t1") + "," + span("b", "", "t2") + "]") + "\n" +
                     otlp("[" + span("c", "", "t3") + "]") + "\n" +
                     // Cut after a span of t2: t2 is touched, t3 is not.
                     otlp("[" + span("d", "", "t2") + "," + span("e", "", "t4")).substr(0, 120) +
                     "\n" + otlp("[" + span("f", "", "t3") + "]") + "\n" +
                     R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"x"}]}]}]})" + "\n";
  auto items = stream_items(text);
  std::vector<std::string> got;
  for (const auto& i : items) {
    got.push_back(std::to_string(i.line) + " " + i.trace_id + " " +
                  (i.error ? i.error->display() : std::to_string(i.fixture()["steps"].size())));
  }
  EXPECT_EQ(got[0], "0 t1 1");
  ASSERT_EQ(got.size(), 5u) << ::testing::PrintToString(got);
  EXPECT_EQ(got[1].rfind("3  in.jsonl: invalid JSON at line 3, column", 0), 0u) << got[1];
  EXPECT_EQ(got[2], "0 t2 in.jsonl: trace t2 is incomplete: line 3 could not be read");
  EXPECT_EQ(got[3], "0 t3 2");
  EXPECT_EQ(got[4], "5  in.jsonl:5: resourceSpans[0].scopeSpans[0].spans[0]: traceId missing");
  // Strict import fails on the first bad line and names it.
  auto whole = import_all_otlp(text, "in.jsonl");
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().line(), 3u);
}

// Text that is not valid UTF-8, or a lone surrogate escaped (a string cut in the middle of an
// emoji), is read with U+FFFD in its place, in one document as on a line of JSON Lines; a
// line with another fault still fails as before.
TEST(OtlpEnvelope, BadTextIsReadRepaired) {
  using test_support::attr;
  using test_support::attrs;
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string surrogate = attrs({attr("note", "cut \\uD83D")});
  const std::string raw = attrs({attr("note", "cut \xF0\x9F\x98")});
  std::string cut_short = otlp("[" + span("a", raw, "t1") + "]");
  cut_short.resize(cut_short.size() - 5);  // after the bad text
  struct Row {
    const char* what;
    std::string text;
    std::vector<std::string> got;  // line, trace id, then the error's start or the step count
  };
  const std::vector<Row> rows = {
      {"one document, a lone surrogate", otlp("[" + span("a", surrogate) + "]"), {"0 t1 1"}},
      {"one document, invalid UTF-8", otlp("[" + span("a", raw) + "]"), {"0 t1 1"}},
      {"JSON Lines",
       otlp("[" + span("a", raw, "t1") + "]") + "\n" + otlp("[" + span("b", "", "t2") + "]") +
           "\n" + otlp("[" + span("c", surrogate, "t1") + "]") + "\n",
       {"0 t2 1", "0 t1 2"}},
      {"a line also cut short",
       cut_short + "\n" + otlp("[" + span("b", "", "t2") + "]") + "\n",
       {"1  in.jsonl: invalid JSON at line 1, ",
        "0 t1 in.jsonl: trace t1 is incomplete: ", "0 t2 1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> got;
    for (const auto& i : stream_items(row.text)) {
      got.push_back(std::to_string(i.line) + " " + i.trace_id + " " +
                    (i.error ? i.error->display().substr(0, 34)
                             : std::to_string(i.fixture()["steps"].size())));
      if (i.trace && i.trace_id == "t1") {
        const std::string dump = i.fixture().dump();
        EXPECT_NE(dump.find("cut " + fffd), std::string::npos) << dump;
      }
    }
    EXPECT_EQ(got, row.got);
  }
}

// 2,000 traces on one line (what OTLP/HTTP JSON exporters send): every trace once, each
// line parsed once; 2,000 more spread over 2,000 lines in reverse order of completion.
TEST(OtlpEnvelope, OneLineExportOfManyTraces) {
  std::string spans;
  for (int i = 0; i < 2000; ++i)
    spans += (i ? "," : "") + span("s" + std::to_string(i), "", "t" + std::to_string(i));
  auto items = stream_items(otlp("[" + spans + "]") + "\n");
  ASSERT_EQ(items.size(), 2000u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].trace_id, "t" + std::to_string(i));
    EXPECT_EQ(items[i].fixture()["steps"].size(), 1u);
  }
  std::string lines;
  for (int i = 0; i < 2000; ++i)
    lines += otlp("[" + span("a", "", "t" + std::to_string(i)) + "]") + "\n";
  for (int i = 1999; i >= 0; --i)
    lines += otlp("[" + span("b", "", "t" + std::to_string(i)) + "]") + "\n";
  items = stream_items(lines);
  ASSERT_EQ(items.size(), 2000u);
  EXPECT_EQ(items[0].trace_id, "t1999");  // complete first: its last line comes first
  EXPECT_EQ(items[0].fixture()["steps"].size(), 2u);
  auto traces = import_all_otlp(lines, "in.jsonl");
  ASSERT_TRUE(traces);
  EXPECT_EQ((*traces)[0].id, "t0");  // import keeps the order of first appearance
}

}  // namespace
}  // namespace tracedx
