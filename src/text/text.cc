#include "text/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace tracedx {

using Json = nlohmann::json;

namespace {

bool is_ascii_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// ICU counts lengths in 32-bit integers, so longer texts are handed to it in pieces of at
// most this many bytes (a piece can grow threefold through UTF-16 and lowercasing).
std::atomic<size_t> g_piece_bytes{size_t{64} << 20};
// ASCII runs at least this long in a text with other characters are lowercased without ICU.
constexpr size_t kAsciiStretch = 64;
std::atomic<size_t> g_ascii_stretch{kAsciiStretch};

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

// Fails loudly instead of returning a wrong text when ICU reports an error.
void check(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU error ") + u_errorName(status));
}

// The code point starting at `pos` (negative for an ill-formed sequence); advances `pos`.
UChar32 next_code_point(std::string_view text, size_t& pos) {
  int32_t len = static_cast<int32_t>(std::min<size_t>(text.size() - pos, 4));
  int32_t i = 0;
  UChar32 c;
  U8_NEXT(text.data() + pos, i, len, c);
  pos += static_cast<size_t>(i);
  return c;
}

// The code point ending at `pos`, not reaching before `floor`; moves `pos` back over it.
UChar32 previous_code_point(std::string_view text, size_t floor, size_t& pos) {
  size_t base = pos - std::min<size_t>(pos - floor, 4);
  int32_t i = static_cast<int32_t>(pos - base);
  UChar32 c;
  U8_PREV(text.data() + base, 0, i, c);
  pos = base + static_cast<size_t>(i);
  return c;
}

bool is_case_ignorable(UChar32 c) {
  return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
}
bool is_cased(UChar32 c) {
  return c >= 0 && u_hasBinaryProperty(c, UCHAR_CASED);
}

// Whether the first code point before `pos` that is not case-ignorable is cased: the part
// of the text before a piece that the final-sigma rule looks at.
bool cased_before(std::string_view text, size_t pos) {
  while (pos > 0) {
    UChar32 c = previous_code_point(text, 0, pos);
    if (!is_case_ignorable(c)) return is_cased(c);
  }
  return false;
}

// The same for the first such code point at or after `pos`.
bool cased_after(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    UChar32 c = next_code_point(text, pos);
    if (!is_case_ignorable(c)) return is_cased(c);
  }
  return false;
}

// Lowercases UTF-8 through UTF-16 with the root locale; invalid bytes become U+FFFD. The
// text must be short enough for 32-bit lengths.
std::string icu_lower_piece(std::string_view text) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t len16 = 0;
  u_strFromUTF8WithSub(nullptr, 0, &len16, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                       nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status);
  status = U_ZERO_ERROR;
  std::vector<UChar> src(static_cast<size_t>(len16) + 1);
  u_strFromUTF8WithSub(src.data(), len16 + 1, nullptr, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  check(status);

  std::vector<UChar> dst(static_cast<size_t>(len16) + 16);
  status = U_ZERO_ERROR;
  int32_t lowered =
      u_strToLower(dst.data(), static_cast<int32_t>(dst.size()), src.data(), len16, "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    dst.resize(static_cast<size_t>(lowered) + 1);
    status = U_ZERO_ERROR;
    lowered =
        u_strToLower(dst.data(), static_cast<int32_t>(dst.size()), src.data(), len16, "", &status);
  }
  check(status);
  int32_t len8 = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &len8, dst.data(), lowered, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status);
  std::string out(static_cast<size_t>(len8), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), len8 + 1, nullptr, dst.data(), lowered, &status);
  check(status);
  return out;
}

// Lowercases a text of any length. A long text goes to ICU in pieces cut between code
// points; each piece is framed by one ASCII character standing for what the final-sigma
// rule would see beyond its ends ("a" for a cased letter, a space for none), so every
// piece lowercases exactly as it does inside the whole text. Root-locale lowercasing has
// no other context.
std::string icu_lower(std::string_view text) {
  const size_t piece = std::max<size_t>(1, g_piece_bytes.load(std::memory_order_relaxed));
  if (text.size() <= piece) return icu_lower_piece(text);
  std::string out;
  out.reserve(text.size());
  std::string framed;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = std::min(text.size(), begin + piece);
    // Past the continuation bytes of the code point at the cut (at most three belong to it).
    for (int k = 0; k < 3 && end < text.size() && is_continuation(text[end]); ++k) ++end;
    framed.assign(1, cased_before(text, begin) ? 'a' : ' ');
    framed.append(text.substr(begin, end - begin));
    framed += cased_after(text, end) ? 'a' : ' ';
    std::string lowered = icu_lower_piece(framed);
    out.append(lowered, 1, lowered.size() - 2);
    begin = end;
  }
  return out;
}

// The text without Unicode White_Space at both ends, walking code points.
std::string_view icu_trim(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    UChar32 c = next_code_point(text, next);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t prev = end;
    UChar32 c = previous_code_point(text, begin, prev);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
    end = prev;
  }
  return text.substr(begin, end - begin);
}

// Lowercases the ASCII letters of `s` from `from` on.
// Eight bytes at a time: a byte from 'A' to 'Z' gets its 0x20 bit; bytes with the high bit
// set are left alone.
void ascii_lower_in_place(std::string& s, size_t from = 0) {
  constexpr uint64_t kHigh = 0x8080808080808080ull, kLow7 = 0x7f7f7f7f7f7f7f7full;
  char* p = s.data();
  size_t i = from;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    __builtin_memcpy(&w, p + i, 8);
    const uint64_t low = w & kLow7;
    // Per byte, no carry between bytes: the high bit of low + 0x3f says >= 'A' (0x41), of
    // low + 0x25 says > 'Z' (0x5a).
    const uint64_t upper =
        (low + 0x3f3f3f3f3f3f3f3full) & ~(low + 0x2525252525252525ull) & ~w & kHigh;
    if (upper == 0) continue;
    w |= upper >> 2;
    __builtin_memcpy(p + i, &w, 8);
  }
  for (; i < s.size(); ++i) {
    if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<char>(p[i] - 'A' + 'a');
  }
}

// The end of the run of ASCII bytes starting at `i`, eight bytes at a time (a set high bit
// anywhere in a word means a byte that is not ASCII).
size_t ascii_run_end(std::string_view text, size_t i) {
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    __builtin_memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

// What the final-sigma rule sees after positions that only grow: the first code point at or
// after a position that is not case-ignorable, found once for every position before it.
class CasedAfter {
 public:
  explicit CasedAfter(std::string_view text) : text_(text) {}
  bool at(size_t pos) {
    if (pos < from_ || pos > to_) {
      from_ = pos;
      cased_ = false;
      to_ = text_.size();
      for (size_t p = pos; p < text_.size();) {
        size_t start = p;
        UChar32 c = next_code_point(text_, p);
        if (!is_case_ignorable(c)) {
          cased_ = is_cased(c);
          to_ = start;
          break;
        }
      }
    }
    return cased_;
  }

 private:
  std::string_view text_;
  size_t from_ = 1, to_ = 0;  // empty: nothing found yet
  bool cased_ = false;
};

// Whether the part [begin, end) of a text, or what came before it when it is all
// case-ignorable (`before`), ends in a cased letter for the final-sigma rule.
bool cased_at_end(std::string_view text, size_t begin, size_t end, bool before) {
  while (end > begin) {
    UChar32 c = previous_code_point(text, begin, end);
    if (!is_case_ignorable(c)) return is_cased(c);
  }
  return before;
}

// Lowercases a text that is not all ASCII. Runs of many ASCII bytes are lowercased
// directly (an ASCII letter lowercases alike in every context); each part between them
// goes to ICU framed like a piece of a long text, with the final-sigma context on each side
// carried along, so no part of the text is scanned twice.
std::string mixed_lower(std::string_view text) {
  const size_t stretch = std::max<size_t>(1, g_ascii_stretch.load(std::memory_order_relaxed));
  std::string out;
  out.reserve(text.size());
  CasedAfter cased_after_at(text);
  bool cased_before_part = false;  // the final-sigma context before `begin`
  std::string framed;
  auto lower_part = [&](size_t begin, size_t end) {
    framed.assign(1, cased_before_part ? 'a' : ' ');
    framed.append(text.substr(begin, end - begin));
    framed += cased_after_at.at(end) ? 'a' : ' ';
    std::string lowered = icu_lower(framed);
    out.append(lowered, 1, lowered.size() - 2);
    cased_before_part = cased_at_end(text, begin, end, cased_before_part);
  };
  size_t begin = 0;  // the start of what is not lowered yet
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      ++i;
      continue;
    }
    size_t end = ascii_run_end(text, i);
    if (end - i >= stretch) {
      if (i > begin) lower_part(begin, i);
      size_t at = out.size();
      out.append(text.substr(i, end - i));
      ascii_lower_in_place(out, at);
      cased_before_part = cased_at_end(text, i, end, cased_before_part);
      begin = end;
    }
    i = end;
  }
  if (begin == 0) return icu_lower(text);
  if (begin < text.size()) lower_part(begin, text.size());
  return out;
}

}  // namespace

bool is_ascii(std::string_view text) {
  return ascii_run_end(text, 0) == text.size();
}

std::string_view trim_ascii(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && is_ascii_space(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && is_ascii_space(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  ascii_lower_in_place(out);
  return out;
}

std::string lowered(std::string text) {
  if (!is_ascii(text)) return mixed_lower(text);
  ascii_lower_in_place(text);
  return text;
}

std::string lower(std::string_view text) {
  if (!is_ascii(text)) return mixed_lower(text);
  std::string out(text);
  ascii_lower_in_place(out);
  return out;
}

std::string norm(std::string_view text) {
  if (!is_ascii(text)) return mixed_lower(icu_trim(text));
  std::string out(trim_ascii(text));
  ascii_lower_in_place(out);
  return out;
}

std::string norm(MaybeText text) {
  return text ? norm(std::string_view(*text)) : std::string();
}

std::string norm_icu(std::string_view text) {
  return icu_lower(icu_trim(text));
}

bool is_valid_utf8(std::string_view text) {
  // In windows that fit 32-bit indexes, cut before a byte that starts a code point.
  constexpr size_t kWindow = size_t{1} << 30;
  for (size_t base = 0; base < text.size();) {
    size_t size = std::min(text.size() - base, kWindow);
    for (int k = 0; k < 3 && base + size < text.size() && is_continuation(text[base + size]); ++k)
      ++size;
    const char* s = text.data() + base;
    int32_t i = 0, n = static_cast<int32_t>(size);
    while (i < n) {
      UChar32 c;
      U8_NEXT(s, i, n, c);
      if (c < 0) return false;
    }
    base += size;
  }
  return true;
}

void set_icu_piece_bytes_for_testing(size_t bytes) {
  g_piece_bytes.store(bytes ? bytes : size_t{64} << 20, std::memory_order_relaxed);
}

void set_ascii_stretch_for_testing(size_t bytes) {
  g_ascii_stretch.store(bytes ? bytes : kAsciiStretch, std::memory_order_relaxed);
}

}  // namespace tracedx
