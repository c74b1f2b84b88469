#include "report/report_html.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tracedx {
namespace {

using test_support::run_of;

size_t count(const std::string& haystack, std::string_view needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

TEST(HtmlEscape, AllFiveCharacters) {
  EXPECT_EQ(html_escape(R"(<a href="x">'&'</a>)"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(DiagnosisHtml, FindingStepsAndEscaping) {
  Trace t = run_of("failed", R"([
      {"step_index":1,"step_type":"plan","display_name":"<b>Planner</b>","duration_ms":100},
      {"step_index":2,"step_type":"tool","status":"failed","display_name":"API","duration_ms":900,
       "error_message":"</pre><script>alert(1)</script>","raw_output":{"html":"<img src=x onerror=alert(2)>"}},
      {"step_index":3,"step_type":"final_answer","summary":"done"}])");
  std::string html = diagnosis_html(t, diagnose_run(t));
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("Tool failure or misuse"), std::string::npos);
  EXPECT_EQ(count(html, "<details class=\"step"), 3u);
  EXPECT_NE(html.find("id=\"step-1\""), std::string::npos);
  EXPECT_NE(html.find("<a href=\"#step-1\">API (step_index 2)</a>"),
            std::string::npos);  // anchor linked
  EXPECT_NE(html.find("class=\"step failed anchor slowest\""), std::string::npos);
  // Hostile text shows as text: no tag from the trace survives.
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<b>Planner"), std::string::npos);
  EXPECT_NE(html.find("&lt;/pre&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  // Nothing is fetched from anywhere.
  EXPECT_EQ(html.find("://"), std::string::npos);
  EXPECT_NE(html.find("default-src 'none'"), std::string::npos);
}

TEST(DiagnosisHtml, LongValuesFoldedAndEmptyTrace) {
  Trace t = run_of("completed", R"([{"raw_output":")" + std::string(5000, 'x') + R"("}])");
  std::string html = diagnosis_html(t, diagnose_run(t));
  EXPECT_NE(html.find("<details><summary>5000 characters (show)</summary>"), std::string::npos);
  Trace empty = run_of("completed", "[]");
  EXPECT_NE(diagnosis_html(empty, diagnose_run(empty)).find("No steps."), std::string::npos);
}

TEST(ComparisonHtml, BothTimelinesAndTheDivergence) {
  Trace p = run_of("failed", R"([{"step_type":"plan"},{"step_type":"tool","status":"failed"}])");
  Trace c =
      run_of("completed", R"([{"step_type":"plan"},{"step_type":"search"},{"step_type":"final"}])");
  std::string html = comparison_html(p, c, compare_runs(p, c));
  EXPECT_NE(html.find("Execution path divergence"), std::string::npos);
  EXPECT_EQ(count(html, "<details class=\"step"), 5u);
  EXPECT_EQ(count(html, " diverge\""), 2u);  // marked on both sides
  EXPECT_NE(html.find("id=\"p-step-1\""), std::string::npos);
  EXPECT_NE(html.find("id=\"c-step-2\""), std::string::npos);
  EXPECT_NE(html.find("duration delta: 0 ms"), std::string::npos);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// The run's cost is printed whole with four decimals, however large it is.
TEST(DiagnosisHtml, CostsOfAnySize) {
  struct Row {
    const char* cost;
    size_t digits_before_point;
    std::string_view starts;
  } rows[] = {
      {"0.5", 1, "0.5000"},
      {"12345.67891", 5, "12345.6789"},
      {"1e308", 309, "10000000000000000109790636294404554174049230967731184633681068290315"},
      {"-1.7976931348623157e308", 309, "-179769313486231570814527423731704356798070567525844"},
  };
  for (const auto& row : rows) {
    Trace t = test_support::trace_of(std::string(R"({"run":{"total_cost":)") + row.cost +
                                     R"(},"steps":[]})");
    std::string html = diagnosis_html(t, diagnose_run(t));
    size_t at = html.find("<span>cost: ");
    ASSERT_NE(at, std::string::npos) << row.cost;
    at += 12;
    std::string shown = html.substr(at, html.find("</span>", at) - at);
    EXPECT_EQ(shown.rfind(row.starts, 0), 0u) << shown;
    EXPECT_EQ(shown.size(), row.digits_before_point + (shown[0] == '-') + 5) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 5, 1), ".") << shown;
  }
}

}  // namespace
}  // namespace tracedx
