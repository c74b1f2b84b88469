#include "text/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "text/json_writer.h"

namespace tracedx {
namespace {

using Json = nlohmann::json;

TEST(Norm, TrimsWhiteSpaceAndLowercases) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"  Timeout  ", "timeout"},
      {"\t\n\v\f\rMiXeD\r\n", "mixed"},
      {"", ""},
      {"   ", ""},
      {"\x1f"
       "A\x1f",
       "\x1f"
       "a\x1f"},                                               // U+001F is not White_Space
      {"\xc2\xa0No-Break\xc2\xa0", "no-break"},                // U+00A0
      {"\xe3\x80\x80Ideographic\xe3\x80\x80", "ideographic"},  // U+3000
      {"\xc2\x85Next Line\xc2\x85", "next line"},              // U+0085
      {"\xe2\x80\xa8Line\xe2\x80\xa9", "line"},                // U+2028, U+2029
      {"\xc4\xb0stanbul", "i\xcc\x87stanbul"},                 // U+0130 expands to i + U+0307
      {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82"},  // final sigma
      {"\xce\xa3\xce\x91", "\xcf\x83\xce\xb1"},  // sigma not at the end
      {"\xc3\x89T\xc3\x89 ", "\xc3\xa9t\xc3\xa9"},
      {"\xe2\x84\xaa", "k"},  // KELVIN SIGN lowercases to ASCII k
  };
  for (const auto& row : rows) {
    EXPECT_EQ(norm(std::string_view(row.in)), row.out) << row.in;
    EXPECT_EQ(norm_icu(row.in), row.out) << row.in;
  }
  EXPECT_EQ(norm(std::optional<std::string>()), "");
}

TEST(Norm, AsciiFastPathEqualsIcu) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byte(0, 127), len(0, 40);
  for (int i = 0; i < 20000; ++i) {
    std::string s(len(rng), ' ');
    for (char& c : s) c = static_cast<char>(byte(rng));
    ASSERT_EQ(norm(std::string_view(s)), norm_icu(s)) << "case " << i;
    ASSERT_EQ(lower(s), norm_icu(std::string("x") + s + "x").substr(1, lower(s).size()));
  }
}

TEST(Lower, KeepsWhiteSpace) {
  EXPECT_EQ(lower("  AbC "), "  abc ");
  EXPECT_EQ(lower("\xc2\xa0\xc3\x84"), "\xc2\xa0\xc3\xa4");
}

TEST(JsonText, CompactThenNormalised) {
  EXPECT_EQ(json_text(Json("Done")), "\"done\"");
  EXPECT_EQ(json_text(Json::parse(R"({"b": 1, "Attempt": 2})")), R"({"attempt":2,"b":1})");
  EXPECT_EQ(json_text(Json()), "null");
  EXPECT_EQ(json_text(std::nullopt), "");
  EXPECT_EQ(json_text(Json("a\"b\n")), R"("a\"b\n")");
  EXPECT_EQ(json_text(Json("\xc3\x89")), "\"\xc3\xa9\"");
}

TEST(Contains, ByteWise) {
  EXPECT_TRUE(contains("timeout", "time"));
  EXPECT_TRUE(contains("abc", ""));
  EXPECT_TRUE(contains("abc", "abc"));
  EXPECT_FALSE(contains("abc", "abcd"));
  EXPECT_FALSE(contains("abc", "ABC"));
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// Random JSON values for the writer tests: texts joined from `pieces`, numbers of each
// kind, and arrays and objects a few levels deep.
struct RandomJson {
  std::mt19937 rng;
  std::vector<std::string> pieces;
  int longest;  // pieces in a text at most, less one

  std::string text() {
    std::string s;
    for (int n = rng() % longest; n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
  }
  Json value(int depth = 0) {
    switch (rng() % (depth > 3 ? 6 : 8)) {
      case 0:
        return nullptr;
      case 1:
        return rng() % 2 == 0;
      case 2:
        return -static_cast<int64_t>(rng());
      case 3:
        return static_cast<uint64_t>(rng()) << 20;
      case 4:
        return (rng() % 1000) / 7.0;
      case 5:
        return text();
      case 6: {
        Json a = Json::array();
        for (int n = rng() % 4; n > 0; --n) a.push_back(value(depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (int n = rng() % 4; n > 0; --n) o[text()] = value(depth + 1);
        return o;
      }
    }
  }
};

// The own serialiser must give the library's compact dump byte for byte.
TEST(CompactJson, EqualsLibraryDump) {
  RandomJson random{
      std::mt19937(3),
      {"a", "\"", "\\", "\n", "\t", "\x01", "\x1f", "\x7f", "\xc3\xa9", "/", " ", "\xe2\x82\xac"},
      6};
  auto value = [&](int) { return random.value(); };
  for (int i = 0; i < 5000; ++i) {
    Json v = value(0);
    ASSERT_EQ(compact_json(v), v.dump(-1, ' ', false, Json::error_handler_t::replace)) << i;
  }
  EXPECT_EQ(compact_json(Json(std::string("bad\xff"))),
            Json(std::string("bad\xff")).dump(-1, ' ', false, Json::error_handler_t::replace));
}

TEST(CompactJson, EveryByteAtEveryOffset) {
  // The escape search goes a word at a time: each byte at each place of a word and of the
  // tail, alone and after an earlier byte that needs an escape.
  for (int c = 0; c < 0x80; ++c) {
    for (size_t at = 0; at < 17; ++at) {
      for (const char* base : {"abcdefghijklmnopq", "ab\"defghijklmnopq",
                               "\x01"
                               "bcdefghijklm\\nopq"}) {
        std::string s(base);
        s[at] = static_cast<char>(c);
        Json v(s);
        ASSERT_EQ(compact_json(v), v.dump()) << c << " at " << at;
      }
    }
  }
  Json non_ascii(std::string("caf\xc3\xa9 \"\x1f\xe2\x82\xac\\"));
  EXPECT_EQ(compact_json(non_ascii), non_ascii.dump());
}

// ASCII lowercasing goes a word at a time: each byte at each place of a word and of the
// tail, among letters of either case, and after a stretch of other characters.
TEST(Lowered, EveryAsciiByteAtEveryOffset) {
  auto bytewise = [](std::string s) {
    for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
  };
  for (int c = 0; c < 0x80; ++c) {
    for (size_t at = 0; at < 17; ++at) {
      for (const char* base : {"abcdefghijklmnopq", "ABCDEFGHIJKLMNOPQ", "@[`{AZaz@[`{AZaz@"}) {
        std::string s(base);
        s[at] = static_cast<char>(c);
        ASSERT_EQ(lowered(s), bytewise(s)) << c << " at " << at;
        const std::string mixed = "\xc3\x89" + std::string(70, 'Q') + s;
        ASSERT_EQ(lowered(mixed), "\xc3\xa9" + bytewise(mixed.substr(2))) << c << " at " << at;
      }
    }
  }
}

// The shortened writer against shortening a copy, dumping it and cutting the text: strings
// of one- to four-byte characters (and invalid bytes) cut around every limit, keys never.
TEST(CompactJson, ShortenedIsTheDumpOfAShortenedCopyCut) {
  auto cut = [](std::string s, size_t max) {
    if (s.size() <= max) return s;
    size_t at = max;
    while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
    return s.substr(0, at) + "...";
  };
  auto shortened_copy = [&](Json v, size_t max_string) {
    std::vector<Json*> stack{&v};
    while (!stack.empty()) {
      Json* node = stack.back();
      stack.pop_back();
      if (node->is_string()) *node = cut(node->get<std::string>(), max_string);
      if (node->is_structured())
        for (auto& m : *node) stack.push_back(&m);
    }
    return v;
  };
  RandomJson random{
      std::mt19937(11), {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\"", "\xff"}, 12};
  auto value = [&](int) { return random.value(); };
  for (int i = 0; i < 3000; ++i) {
    const Json v = value(0);
    for (size_t max_string : {0u, 1u, 3u, 7u, 120u}) {
      for (size_t max_total : {0u, 5u, 16u, 40u, 480u}) {
        const Json copy = shortened_copy(v, max_string);
        const std::string expected =
            cut(copy.dump(-1, ' ', false, Json::error_handler_t::replace), max_total);
        ASSERT_EQ(compact_json_shortened(v, max_string, max_total), expected)
            << i << " " << max_string << " " << max_total;
      }
    }
  }
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// Long texts reach ICU in pieces: cut anywhere, with sigmas, combining marks, expanding
// letters and invalid bytes around the cuts, the pieces join to the whole text's result.
TEST(Norm, PiecesJoinToTheWholeResult) {
  const char* alphabet[] = {
      "\xce\xa3",  // GREEK CAPITAL LETTER SIGMA: final form depends on its neighbours
      "\xce\xa3\xce\xa3",
      "A",
      "a",
      " ",
      "'",
      ".",
      "3",
      "\xcc\x81",          // COMBINING ACUTE ACCENT: case-ignorable
      "\xc2\xad",          // SOFT HYPHEN: case-ignorable
      "\xc4\xb0",          // LATIN CAPITAL LETTER I WITH DOT ABOVE: lowercases to two code points
      "\xf0\x9d\x90\x80",  // MATHEMATICAL BOLD CAPITAL A: four bytes, cased
      "\xe4\xb8\x80",      // a CJK ideograph: neither cased nor case-ignorable
      "\xff",
      "\xe2\x82",  // invalid bytes
      "\xc2\xa0",  // NO-BREAK SPACE
  };
  std::mt19937 random(17);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    size_t parts = random() % 40;
    for (size_t i = 0; i < parts; ++i) text += alphabet[random() % std::size(alphabet)];
    const std::string whole = norm_icu(text), whole_lower = lower(text);
    for (size_t piece : {1, 2, 3, 5, 8, 13}) {
      set_icu_piece_bytes_for_testing(piece);
      EXPECT_EQ(norm_icu(text), whole)
          << "piece " << piece << ": " << ::testing::PrintToString(text);
      EXPECT_EQ(lower(text), whole_lower) << "piece " << piece;
    }
    set_icu_piece_bytes_for_testing(0);
  }
  // Long ASCII runs are lowercased without ICU: with runs of any length taken so, around
  // sigmas, case-ignorable ASCII ("'", ".") and invalid bytes, the parts join to ICU's result
  // of the whole text.
  const char* ascii_runs[] = {"AbC", "x.Y'z", "''..", "QUITE A LONG ASCII RUN, Of Words. ", "I"};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    size_t parts = random() % 30;
    for (size_t i = 0; i < parts; ++i) {
      text += random() % 2 ? alphabet[random() % std::size(alphabet)]
                           : ascii_runs[random() % std::size(ascii_runs)];
    }
    set_ascii_stretch_for_testing(SIZE_MAX);
    const std::string whole_lower = lower(text);
    for (size_t stretch : {1, 2, 3, 5, 8, 64}) {
      set_ascii_stretch_for_testing(stretch);
      EXPECT_EQ(lower(text), whole_lower)
          << "stretch " << stretch << ": " << ::testing::PrintToString(text);
      EXPECT_EQ(norm(text), norm_icu(text)) << "stretch " << stretch;
      set_icu_piece_bytes_for_testing(3);
      EXPECT_EQ(lower(text), whole_lower) << "stretch " << stretch << ", pieces of 3";
      set_icu_piece_bytes_for_testing(0);
    }
    set_ascii_stretch_for_testing(0);
  }
  // Final sigma across a cut, checked against the known answer.
  set_icu_piece_bytes_for_testing(2);
  EXPECT_EQ(norm_icu("\xce\x9f\xce\x94\xce\x9f\xce\xa3"), "\xce\xbf\xce\xb4\xce\xbf\xcf\x82");
  set_ascii_stretch_for_testing(1);
  EXPECT_EQ(lower("\xce\x9f\xce\x94\xce\x9f\xce\xa3. \xce\xa3"
                  "A"),
            "\xce\xbf\xce\xb4\xce\xbf\xcf\x82. \xcf\x83"
            "a");
  EXPECT_EQ(lower("A.\xce\xa3"), "a.\xcf\x82");
  set_ascii_stretch_for_testing(0);
  EXPECT_EQ(norm_icu("\xce\xa3\xcc\x81\xce\x91"), "\xcf\x83\xcc\x81\xce\xb1");
  set_icu_piece_bytes_for_testing(0);
}

}  // namespace
}  // namespace tracedx
