// The one integer reader of the tree and the ASCII trim and case fold beside it.
#include "text/number.h"

#include <gtest/gtest.h>

#include "text/text.h"

namespace tracedx {
namespace {

TEST(ParseUnsigned, WholeDecimalTextsThatFit) {
  struct Row {
    const char* text;
    std::optional<uint64_t> value;
  } rows[] = {
      {"0", 0},
      {"42", 42},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"000000000000000000000000018446744073709551615", UINT64_MAX},  // zeros do not count
      // Refused, not wrapped: one past the top, and the signed top plus one is still fine.
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"9223372036854775808", uint64_t{9223372036854775808u}},
      // Not a number as a whole.
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1\n", std::nullopt},
      {"12abc", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"1.0", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& row : rows) EXPECT_EQ(parse_unsigned(row.text), row.value) << row.text;
}

TEST(ParseSigned, BothEndsOfTheRange) {
  struct Row {
    const char* text;
    std::optional<int64_t> value;
  } rows[] = {
      {"0", 0},
      {"-0", 0},
      {"-42", -42},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"18446744073709551615", std::nullopt},
      {"-", std::nullopt},
      {"--1", std::nullopt},
      {"+1", std::nullopt},
      {"- 1", std::nullopt},
      {"42abc", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(parse_signed(row.text), row.value) << row.text;
}

TEST(TrimAscii, BlanksAndLineBreaksAtBothEndsOnly) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"token\n", "token"},
      {"token\r\n", "token"},
      {" \t token \t\r\n\n", "token"},
      {"\v\fto ken\f\v", "to ken"},
      {"a\nb", "a\nb"},
      {"", ""},
      {"\r\n", ""},
      {"\x1f"
       "a\x1f",
       "\x1f"
       "a\x1f"},                                         // not white space
      {"\xc2\xa0nbsp\xc2\xa0", "\xc2\xa0nbsp\xc2\xa0"},  // U+00A0 is not ASCII
  };
  for (const auto& row : rows) EXPECT_EQ(trim_ascii(row.in), row.out) << row.in;
}

TEST(LowerAscii, LettersOnlyOtherBytesKept) {
  struct Row {
    std::string in;
    std::string out;
  } rows[] = {
      {"Application/X-Protobuf", "application/x-protobuf"},
      {"GZIP", "gzip"},
      {"@[`{", "@[`{"},                            // the neighbours of A-Z and a-z
      {"\xc3\x89T\xc3\x89", "\xc3\x89t\xc3\x89"},  // non-ASCII bytes untouched
      {std::string("A\0B", 3), std::string("a\0b", 3)},
      {"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", "0123456789abcdefghijklmnopqrstuvwxyz"},
  };
  for (const auto& row : rows) EXPECT_EQ(lower_ascii(row.in), row.out) << row.in;
}

}  // namespace
}  // namespace tracedx
