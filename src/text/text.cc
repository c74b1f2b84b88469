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

void ascii_lower_in_place(std::string& s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

}  // namespace

bool is_ascii(std::string_view text) {
  // Eight bytes at a time: a set high bit anywhere means non-ASCII.
  size_t i = 0;
  uint64_t acc = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    __builtin_memcpy(&word, text.data() + i, 8);
    acc |= word;
  }
  for (; i < text.size(); ++i) acc |= static_cast<unsigned char>(text[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

std::string_view trim_ascii(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && is_ascii_space(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && is_ascii_space(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

std::string lower(std::string_view text) {
  if (!is_ascii(text)) return icu_lower(text);
  std::string out(text);
  ascii_lower_in_place(out);
  return out;
}

std::string norm(std::string_view text) {
  if (!is_ascii(text)) return icu_lower(icu_trim(text));
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

namespace {

// The offset of the first byte from `i` on that needs an escape (a control character, a
// quote or a backslash), or the size: eight bytes at a time, as most texts need none.
size_t next_to_escape(std::string_view s, size_t i) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    __builtin_memcpy(&w, s.data() + i, 8);
    // High bit of each byte below 0x20, or equal to '"' or '\\'. The lowest flagged
    // byte is exact (borrows only run upwards), and that is the one wanted.
    uint64_t control = (w - kOnes * 0x20) & ~w;
    uint64_t quote = w ^ (kOnes * '"');
    uint64_t slash = w ^ (kOnes * '\\');
    uint64_t hits = (control | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash)) & kHigh;
    if (hits) return i + static_cast<size_t>(__builtin_ctzll(hits) / 8);
  }
  for (; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"' || c == '\\') return i;
  }
  return s.size();
}

// The library's escaping: quote, backslash and control characters escaped (short forms
// where JSON has them, else \u00xx in lowercase hex), everything else copied, which is
// valid UTF-8 for every parsed text. Anything else goes through the library itself.
void append_string(std::string& out, std::string_view s) {
  if (!is_ascii(s) && !is_valid_utf8(s)) {
    out += Json(std::string(s)).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    i = next_to_escape(s, i);
    if (i == s.size()) break;
    unsigned char c = static_cast<unsigned char>(s[i]);
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(s, run, std::string::npos);
  out += '"';
}

void append_json(std::string& out, const Json& v) {
  using T = Json::value_t;
  switch (v.type()) {
    case T::null:
      out += "null";
      return;
    case T::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    case T::number_integer:
      out += std::to_string(v.get<int64_t>());
      return;
    case T::number_unsigned:
      out += std::to_string(v.get<uint64_t>());
      return;
    case T::string:
      append_string(out, v.get_ref<const std::string&>());
      return;
    case T::array: {
      out += '[';
      bool first = true;
      for (const auto& e : v.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        append_json(out, e);
      }
      out += ']';
      return;
    }
    case T::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, e] : v.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        append_string(out, key);
        out += ':';
        append_json(out, e);
      }
      out += '}';
      return;
    }
    default:  // floats, binary values: the library's own form
      out += v.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

}  // namespace

std::string compact_json(const Json& value) {
  std::string out;
  append_json(out, value);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  append_string(out, text);
}

std::string json_text(const std::optional<Json>& value) {
  // A compact serialisation never starts or ends with white space, so norm is lower.
  return value ? lower(compact_json(*value)) : std::string();
}

}  // namespace tracedx

namespace tracedx {

std::string fill_template(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace tracedx
