#include "text/utf8_repair.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace tracedx {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

struct Row {
  const char* what;
  std::string in;
  std::string out;  // the repaired text; empty when `in` is kept as it is
  size_t count;     // replacements (repair_utf8) or strings repaired (repair_json_text)
};

// Runs `repair` over the rows: a row with nothing to repair leaves the output untouched.
template <typename Repair>
void check_rows(const std::vector<Row>& rows, Repair repair) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string out = "untouched";
    EXPECT_EQ(repair(row.in, out), row.count);
    EXPECT_EQ(out, row.count ? row.out : "untouched");
  }
}

TEST(RepairUtf8, ValidTextIsKept) {
  check_rows(
      {
          {"empty", "", "", 0},
          {"ASCII", "plain text\n", "", 0},
          {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "", 0},
          {"the last code point", "\xF4\x8F\xBF\xBF", "", 0},
          {"U+FFFD itself", R, "", 0},
          {"the edges of the ranges",
           "\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80", "", 0},
      },
      repair_utf8);
}

TEST(RepairUtf8, OneReplacementPerMaximalSubpart) {
  check_rows(
      {
          // Bytes that never start a sequence: one U+FFFD each.
          {"a lone continuation byte", "a\x80z", "a" + R + "z", 1},
          {"two continuation bytes", "\x80\xBF", R + R, 2},
          {"C0 and C1", "\xC0\xC1", R + R, 2},
          {"F5 to FF", "\xF5\xF8\xFE\xFF", R + R + R + R, 4},
          // A sequence cut short: one U+FFFD for the lead and the continuations it had.
          {"two-byte lead at the end", "ok\xC3", "ok" + R, 1},
          {"three-byte sequence cut", "\xE2\x82", R, 1},
          {"four-byte sequence cut (an emoji's first three bytes)", "cut \xF0\x9F\x98", "cut " + R,
           1},
          {"cut, then ASCII",
           "\xF0\x9F\x98"
           "A",
           R + "A", 1},
          {"cut, then a valid sequence", "\xE2\x82\xC3\xA9", R + "\xC3\xA9", 1},
          {"lead followed by a lead", "\xC3\xC3\xA9", R + "\xC3\xA9", 1},
          // Overlong forms: the second byte is out of range, so each byte is its own subpart.
          {"overlong two bytes", "\xC0\xAF", R + R, 2},
          {"overlong three bytes", "\xE0\x80\xAF", R + R + R, 3},
          {"overlong four bytes", "\xF0\x80\x80\xAF", R + R + R + R, 4},
          // Surrogates encoded in UTF-8 (CESU-8) and code points beyond U+10FFFF.
          {"a high surrogate", "\xED\xA0\x80", R + R + R, 3},
          {"a surrogate pair in CESU-8", "\xED\xA0\xBD\xED\xB8\x80", R + R + R + R + R + R, 6},
          {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R, 4},
          // The Unicode Standard's own example of the practice.
          {"mixed",
           "a\xF1\x80\x80\xE1\x80\xC2"
           "b\x80"
           "c\x80\xBF"
           "d",
           "a" + R + R + R + "b" + R + "c" + R + R + "d", 6},
      },
      repair_utf8);
}

// The repair of random bytes is ICU's conversion with substitution, which follows the same
// practice: a second implementation to hold this one to.
TEST(RepairUtf8, SameAsIcuOnRandomBytes) {
  auto icu = [](const std::string& s) {
    std::u16string units(s.size() + 1, u'\0');
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &n, s.data(),
                         static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &status);
    std::string out(static_cast<size_t>(n) * 3 + 1, '\0');
    int32_t m = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &m, units.data(), n, &status);
    EXPECT_TRUE(U_SUCCESS(status));
    out.resize(static_cast<size_t>(m));
    return out;
  };
  // Bytes drawn mostly from the interesting ones: leads, continuations, range edges.
  const unsigned char pool[] = {'a',  0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                                0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::mt19937 rng(20260308);
  std::uniform_int_distribution<size_t> pick(0, sizeof pool - 1), len(0, 12);
  for (int i = 0; i < 20000; ++i) {
    std::string s(len(rng), ' ');
    for (char& c : s) c = static_cast<char>(pool[pick(rng)]);
    std::string out;
    const size_t n = repair_utf8(s, out);
    const std::string expected = icu(s);
    ASSERT_EQ(n ? out : s, expected) << "case " << i;
    EXPECT_EQ(n == 0, valid_utf8(s)) << "case " << i;
  }
}

TEST(RepairJsonText, KeepsValidText) {
  check_rows(
      {
          {"no string", "[1,2,{}]", "", 0},
          {"plain strings", R"({"a":"b","c":["d"]})", "", 0},
          {"a surrogate pair", R"({"e":"\uD83D\uDE00"})", "", 0},
          {"a pair in lower case", R"(["\ud83d\ude00"])", "", 0},
          {"other escapes", R"(["\u00e9\n\"\\\/"])", "", 0},
          {"an escaped backslash before uD83D", R"(["\\uD83D"])", "", 0},
          {"three escaped backslashes", R"(["\\\\\\uDE00"])", "", 0},
          {"uD83D outside any string", R"([\uD83D])", "", 0},
          {"a cut escape, left to the parser", R"(["\uD8)", "", 0},
          {"a backslash at the end", "[\"\\", "", 0},
          {"raw UTF-8", "[\"\xF0\x9F\x98\x80\"]", "", 0},
      },
      repair_json_text);
}

TEST(RepairJsonText, RepairsLoneSurrogatesAndInvalidUtf8) {
  check_rows(
      {
          // A string cut in the middle of an emoji, as JavaScript's JSON.stringify writes it.
          {"a lone high surrogate", R"({"v":"cut \uD83D"})", R"({"v":"cut \uFFFD"})", 1},
          {"in lower case", R"(["\ud83d!"])", R"(["\uFFFD!"])", 1},
          {"a lone low surrogate", R"(["\uDE00x"])", R"(["\uFFFDx"])", 1},
          {"low before high", R"(["\uDE00\uD83D"])", R"(["\uFFFD\uFFFD"])", 1},
          {"high before a non-surrogate escape", R"(["\uD83D\u0041"])", R"(["\uFFFD\u0041"])", 1},
          {"high, then a pair", R"(["\uD83D\uD83D\uDE00"])", R"(["\uFFFD\uD83D\uDE00"])", 1},
          {"an escaped backslash, then an escape", R"(["\\\uD83D"])", R"(["\\\uFFFD"])", 1},
          {"a pair whose high half is not an escape", R"(["\\uD83D\uDE00"])",
           R"(["\\uD83D\uFFFD"])", 1},
          {"after an escaped quote", R"(["\"\uD83D"])", R"(["\"\uFFFD"])", 1},
          {"raw invalid UTF-8",
           "[\"a\xFF"
           "b\"]",
           "[\"a" + R + "b\"]", 1},
          {"a surrogate in raw UTF-8", "[\"\xED\xA0\xBD\"]", "[\"" + R + R + R + "\"]", 1},
          // Counted by string: a key, a value, and two faults in one string.
          {"key and value", R"({"\uD83D":"\uDC00"})", R"({"\uFFFD":"\uFFFD"})", 2},
          {"two faults, one string", "[\"\\uD83D \xC3\"]", "[\"\\uFFFD " + R + "\"]", 1},
          {"three strings", "[\"\xFF\",\"ok\",\"\xFE\",\"\\udfff\"]",
           "[\"" + R + "\",\"ok\",\"" + R + "\",\"\\uFFFD\"]", 3},
          // At the end of the text.
          {"an unterminated string", R"(["abc\uD83D)", R"(["abc\uFFFD)", 1},
          {"a cut sequence at the end", "[\"\xE2\x82", "[\"" + R, 1},
          {"outside any string", "{}\xFF", "{}" + R, 1},
      },
      repair_json_text);
}

// Over random texts made of the pieces that matter (quotes, backslashes, surrogate escapes,
// bad bytes): the repair leaves valid UTF-8 and nothing more to repair, and changes nothing
// in a text that needed nothing.
TEST(RepairJsonText, RepairedTextNeedsNoSecondRepair) {
  const std::vector<std::string> pieces = {"\"",           "\\",   "u",    "\\u", "D83D", "d83d",
                                           "DE00",         "dfff", "00e9", "a",   " ",    "\xFF",
                                           "\xF0\x9F\x98", "\xC3", "\xA9", R};
  std::mt19937 rng(20260309);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1), len(0, 16);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (size_t k = len(rng); k > 0; --k) text += pieces[pick(rng)];
    std::string once = "untouched";
    const size_t n = repair_json_text(text, once);
    if (n == 0) {
      ASSERT_EQ(once, "untouched") << "case " << i;
      once = text;
    }
    ASSERT_TRUE(valid_utf8(once)) << "case " << i;
    std::string twice;
    ASSERT_EQ(repair_json_text(once, twice), 0u) << "case " << i << ": " << once;
  }
}

// The repaired text parses, and the repaired string holds U+FFFD where its fault was.
TEST(RepairJsonText, RepairedTextParses) {
  const std::string bad = "{\"a\":\"cut \\uD83D\",\"b\":\"x\xC3\",\"c\":\"\\uD83D\\uDE00\"}";
  EXPECT_FALSE(nlohmann::json::accept(bad));
  std::string fixed;
  ASSERT_EQ(repair_json_text(bad, fixed), 2u);
  auto doc = nlohmann::json::parse(fixed);
  EXPECT_EQ(doc["a"], "cut " + R);
  EXPECT_EQ(doc["b"], "x" + R);
  EXPECT_EQ(doc["c"], "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace tracedx
