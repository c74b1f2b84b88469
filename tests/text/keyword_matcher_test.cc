#include "text/keyword_matcher.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "diagnosis/keywords.h"
#include "text/text.h"

namespace tracedx {
namespace {

TEST(KeywordRows, OneRowPerListLowercaseMembers) {
  auto rows = keyword_rows();
  ASSERT_EQ(rows.size(), static_cast<size_t>(Kw::kCount));
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(static_cast<size_t>(rows[i].list), i) << rows[i].words;
    EXPECT_EQ(lower(rows[i].words), rows[i].words);
    EXPECT_EQ(rows[i].words.find("||"), std::string_view::npos) << rows[i].words;
  }
}

// The automaton must agree with separate substring tests on every list.
TEST(KeywordMatcher, AgreesWithSubstringTests) {
  std::vector<std::string_view> lists = {"he|she|his|hers", "e",        "correcting to ",
                                         "\"a\":2",         "x|xx|xxx", "abcd|bc"};
  KeywordMatcher m(lists);
  std::mt19937 rng(7);
  const std::string alphabet = "hesirxabcdHESX \":2to";
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1), len(0, 30);
  for (int i = 0; i < 20000; ++i) {
    std::string text(len(rng), ' ');
    for (char& c : text) c = alphabet[pick(rng)];
    KeywordScan scan(m);
    // Feeding in two pieces must equal feeding the whole.
    size_t cut = text.size() / 2;
    scan.feed(std::string_view(text).substr(0, cut));
    scan.feed(std::string_view(text).substr(cut));
    std::string lowered = lower(text);
    for (size_t l = 0; l < lists.size(); ++l) {
      bool expected = false;
      std::string_view rest = lists[l];
      for (;;) {
        size_t bar = rest.find('|');
        expected |= contains(lowered, rest.substr(0, bar));
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
      }
      ASSERT_EQ(scan.hits().test(l), expected) << "list " << lists[l] << " text [" << text << "]";
    }
  }
}

TEST(KeywordMatcher, EmptyKeywordAlwaysMatches) {
  std::vector<std::string_view> lists = {"", "z"};
  KeywordMatcher m(lists);
  KeywordScan scan(m);
  scan.feed("");
  EXPECT_TRUE(scan.hits().test(0));
  EXPECT_FALSE(scan.hits().test(1));
}

TEST(KeywordMatcher, NonAsciiFedLowercased) {
  std::vector<std::string_view> lists = {"k", "\xc3\xa9t\xc3\xa9"};
  KeywordMatcher m(lists);
  KeywordScan scan(m);
  scan.feed_lower("\xe2\x84\xaa \xc3\x89T\xc3\x89");
  EXPECT_TRUE(scan.hits().test(0));
  EXPECT_TRUE(scan.hits().test(1));
}

}  // namespace
}  // namespace tracedx
