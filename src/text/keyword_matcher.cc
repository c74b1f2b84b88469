#include "text/keyword_matcher.h"

#include <deque>
#include <map>
#include <stdexcept>

#include "text/text.h"

namespace tracedx {
namespace {

using Trie = std::vector<std::map<uint8_t, uint32_t>>;  // per state: byte class to state

// The keywords of each list ("a|b|c"), with the number of the list they belong to.
std::vector<std::pair<std::string_view, uint16_t>> keywords_of(
    std::span<const std::string_view> lists) {
  std::vector<std::pair<std::string_view, uint16_t>> words;
  for (size_t i = 0; i < lists.size(); ++i) {
    std::string_view rest = lists[i];
    for (;;) {
      size_t bar = rest.find('|');
      words.emplace_back(rest.substr(0, bar), static_cast<uint16_t>(i));
      if (bar == std::string_view::npos) break;
      rest.remove_prefix(bar + 1);
    }
  }
  return words;
}

// Breadth-first failure links over the trie, folded into a complete transition table of
// state numbers (`k` byte classes a state); each state's outputs gain its failure state's.
std::vector<uint32_t> transitions_of(const Trie& next, std::vector<std::vector<uint16_t>>& outputs,
                                     size_t k) {
  const size_t n = next.size();
  std::vector<uint32_t> delta(n * k, 0);
  std::vector<uint32_t> fail(n, 0);
  std::deque<uint32_t> queue;
  for (size_t c = 1; c < k; ++c) {
    auto it = next[0].find(static_cast<uint8_t>(c));
    if (it != next[0].end()) {
      delta[c] = it->second;
      queue.push_back(it->second);
    }
  }
  while (!queue.empty()) {
    uint32_t s = queue.front();
    queue.pop_front();
    auto& inherited = outputs[fail[s]];
    outputs[s].insert(outputs[s].end(), inherited.begin(), inherited.end());
    for (size_t c = 0; c < k; ++c) {
      auto it = c == 0 ? next[s].end() : next[s].find(static_cast<uint8_t>(c));
      if (it != next[s].end()) {
        fail[it->second] = delta[fail[s] * k + c];
        delta[s * k + c] = it->second;
        queue.push_back(it->second);
      } else {
        delta[s * k + c] = delta[fail[s] * k + c];
      }
    }
  }
  return delta;
}

}  // namespace

KeywordMatcher::KeywordMatcher(std::span<const std::string_view> lists) {
  if (lists.size() > kMaxKeywordLists) throw std::logic_error("too many keyword lists");
  const auto words = keywords_of(lists);

  // Class 0 stands for every byte that no keyword uses.
  class_count_ = 1;
  for (const auto& [word, list] : words) {
    for (unsigned char c : word) {
      if (byte_class_[c] == 0) byte_class_[c] = static_cast<uint8_t>(class_count_++);
    }
  }
  for (int c = 'A'; c <= 'Z'; ++c) byte_class_[c] = byte_class_[c - 'A' + 'a'];

  // Trie of the keywords.
  Trie next(1);
  std::vector<std::vector<uint16_t>> outputs(1);
  for (const auto& [word, list] : words) {
    uint32_t s = 0;
    for (unsigned char c : word) {
      uint8_t k = byte_class_[c];
      auto it = next[s].find(k);
      if (it == next[s].end()) {
        next.emplace_back();
        outputs.emplace_back();
        it = next[s].emplace(k, static_cast<uint32_t>(next.size() - 1)).first;
      }
      s = it->second;
    }
    outputs[s].push_back(list);  // the empty keyword lands on the root and always matches
  }

  const size_t n = next.size();
  const size_t k = class_count_;
  const std::vector<uint32_t> delta = transitions_of(next, outputs, k);

  if (n * k >= kOutputBit) throw std::logic_error("keyword automaton too large");
  root_output_ = !outputs[0].empty();
  table_.resize(n * k);
  for (size_t i = 0; i < n * k; ++i) {
    uint32_t target = delta[i];
    table_[i] = static_cast<uint32_t>(target * k) | (outputs[target].empty() ? 0 : kOutputBit);
  }
  out_begin_.resize(n + 1);
  for (size_t s = 0; s < n; ++s) {
    out_begin_[s] = static_cast<uint32_t>(out_lists_.size());
    out_lists_.insert(out_lists_.end(), outputs[s].begin(), outputs[s].end());
  }
  out_begin_[n] = static_cast<uint32_t>(out_lists_.size());
}

void KeywordScan::mark(uint32_t offset) {
  const KeywordMatcher& m = *m_;
  size_t s = offset / m.class_count_;
  for (uint32_t i = m.out_begin_[s]; i < m.out_begin_[s + 1]; ++i) hits_.set(m.out_lists_[i]);
}

void KeywordScan::feed(std::string_view bytes) {
  const KeywordMatcher& m = *m_;
  if (m.root_output_) mark(0);
  const uint32_t* table = m.table_.data();
  const uint8_t* cls = m.byte_class_;
  uint32_t s = state_;
  for (unsigned char c : bytes) {
    uint32_t v = table[s + cls[c]];
    s = v & ~KeywordMatcher::kOutputBit;
    if (v & KeywordMatcher::kOutputBit) [[unlikely]]
      mark(s);
  }
  state_ = s;
}

void KeywordScan::feed_both(KeywordScan& a, KeywordScan& b, std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size() && a.state_ != b.state_) {
    a.feed(bytes.substr(i, 1));
    b.feed(bytes.substr(i, 1));
    ++i;
  }
  if (i == bytes.size()) return;
  KeywordScan rest(*a.m_);
  rest.state_ = a.state_;
  rest.feed(bytes.substr(i));
  a.state_ = b.state_ = rest.state_;
  a.hits_ |= rest.hits_;
  b.hits_ |= rest.hits_;
}

void KeywordScan::feed_lower(std::string_view text) {
  if (is_ascii(text))
    feed(text);
  else
    feed(lower(text));
}

void KeywordScan::feed_norm(std::string_view text) {
  if (is_ascii(text))
    feed(trim_ascii(text));
  else
    feed(norm(text));
}

}  // namespace tracedx
