// Multi-keyword presence matching. Keyword lists ("a|b|c") are compiled once into an
// Aho-Corasick automaton over byte classes; one pass over a text then tells which lists
// have a member contained in it, exactly as separate substring tests would. The automaton
// folds ASCII A-Z onto a-z, so ASCII texts are matched without a lowercased copy; callers
// hand non-ASCII texts over already lowercased (feed_lower / feed_norm do it for them).
#pragma once

#include <bitset>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tracedx {

inline constexpr size_t kMaxKeywordLists = 128;
using KeywordHits = std::bitset<kMaxKeywordLists>;

class KeywordMatcher {
 public:
  // `lists[i]` holds the members of list i separated by '|'; members are lowercase.
  explicit KeywordMatcher(std::span<const std::string_view> lists);

 private:
  friend class KeywordScan;
  size_t class_count_ = 0;
  uint8_t byte_class_[256] = {};
  // Transitions indexed by (state offset + byte class), where a state's offset is its
  // number times class_count_. An entry is the next state's offset, with kOutputBit set
  // when that state ends a keyword, so the scan loop does one lookup per byte.
  static constexpr uint32_t kOutputBit = 0x80000000u;
  std::vector<uint32_t> table_;
  std::vector<uint32_t> out_begin_;  // per state number, into out_lists_
  std::vector<uint16_t> out_lists_;
  bool root_output_ = false;  // the empty keyword matches every text
};

// One streaming scan: texts fed in a row are matched as their concatenation.
class KeywordScan {
 public:
  explicit KeywordScan(const KeywordMatcher& matcher) : m_(&matcher) {}

  // Feeds bytes as they stand (ASCII case folded).
  void feed(std::string_view bytes);
  void feed(char c) { feed(std::string_view(&c, 1)); }
  // Feeds the text lowercased.
  void feed_lower(std::string_view text);
  // Feeds the text trimmed of white space and lowercased.
  void feed_norm(std::string_view text);

  const KeywordHits& hits() const { return hits_; }

  // Feeds the same bytes into two scans. Once both are in the same automaton state their
  // futures are identical, so the rest is scanned once and its hits given to both.
  static void feed_both(KeywordScan& a, KeywordScan& b, std::string_view bytes);

 private:
  void mark(uint32_t offset);

  const KeywordMatcher* m_;
  uint32_t state_ = 0;
  KeywordHits hits_;
};

}  // namespace tracedx
