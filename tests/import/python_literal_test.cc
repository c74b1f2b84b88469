// Python literals as a recording prints them (repr of lists, dicts, tuples, None, True),
// read as JSON values.
#include "import/python_literal.h"

#include <gtest/gtest.h>

#include <string>

namespace tracedx {
namespace {

TEST(PythonLiteral, ReadsWhatPythonPrints) {
  EXPECT_EQ(parse_literal(R"([{'a': 'it\'s', "b": None, 'c': (True, 1.5, -2)}])"),
            Json::parse(R"([{"a": "it's", "b": null, "c": [true, 1.5, -2]}])"));
  EXPECT_EQ(parse_literal(R"({"x": "\ud83d\ude00 \u00e9"})"),
            Json::parse(R"({"x": "\ud83d\ude00 \u00e9"})"));
  for (const char* bad : {"", "[1, 2", "{'a' 1}", "[1] tail", "'open"}) {
    EXPECT_FALSE(parse_literal(bad)) << bad;
  }
  EXPECT_FALSE(parse_literal(std::string(200, '[') + std::string(200, ']')));  // too deep
}

}  // namespace
}  // namespace tracedx
