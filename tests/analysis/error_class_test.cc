// Error classes of a failed step: the structured fields (error and exception types, status
// and exit codes, finish reasons) decide before the message's words.
#include "analysis/error_class.h"

#include <gtest/gtest.h>

#include <string>

#include "trace/trace.h"

namespace tracedx {
namespace {

TEST(ErrorClass, StructuredFieldsDecide) {
  struct ClassRow {
    const char* metadata;
    const char* message;
    ErrorClass expected;
  } rows[] = {
      {R"({"error.type": "RateLimitError"})", "", ErrorClass::kRateLimit},
      {R"({"error.type": "429"})", "", ErrorClass::kRateLimit},
      {R"({"exception.type": "openai.APIConnectionTimeoutError"})", "", ErrorClass::kTimeout},
      {R"({"http.status_code": "503"})", "", ErrorClass::kServer},
      {R"({})", "500 The server had an error", ErrorClass::kServer},
      {R"({"exception.type": "SyntaxError"})", "Unexpected token 'S' is not valid JSON",
       ErrorClass::kInvalidJson},
      {R"({"exception.type": "SyntaxError"})", "Unexpected token '}'", ErrorClass::kNone},
      {R"({})", "json.decoder.JSONDecodeError: Expecting value", ErrorClass::kInvalidJson},
      {R"({"exit_code": 124})", "", ErrorClass::kTimeout},
      {R"({"exit_code": 2})", "", ErrorClass::kCommandFailed},
      {R"({"finish_reasons": ["content_filter"]})", "", ErrorClass::kContentFilter},
      {R"({})", "GraphRecursionError: Recursion limit of 25 reached", ErrorClass::kTurnLimit},
      {R"({})", "connect ECONNREFUSED 10.0.0.5:5432", ErrorClass::kConnection},
      // Prose that only mentions a failure word is not a class.
      {R"({})", "The agent stalled while installing", ErrorClass::kNone},
  };
  for (const auto& row : rows) {
    TraceStep s;
    s.metadata = Json::parse(row.metadata);
    if (*row.message) s.error_message = std::string(row.message);
    EXPECT_EQ(classify_error(s).cls, row.expected) << row.metadata << " " << row.message;
  }
}

}  // namespace
}  // namespace tracedx
