#include "diagnosis/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <vector>

namespace tracedx {
namespace {

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Lowercases UTF-8 through UTF-16 with the root locale; invalid bytes become U+FFFD.
std::string icu_lower(std::string_view text) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t len16 = 0;
  u_strFromUTF8WithSub(nullptr, 0, &len16, text.data(), static_cast<int32_t>(text.size()),
                       0xFFFD, nullptr, &status);
  status = U_ZERO_ERROR;
  std::vector<UChar> src(static_cast<size_t>(len16) + 1);
  u_strFromUTF8WithSub(src.data(), len16 + 1, nullptr, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);

  std::vector<UChar> dst(static_cast<size_t>(len16) + 16);
  status = U_ZERO_ERROR;
  int32_t lowered = u_strToLower(dst.data(), static_cast<int32_t>(dst.size()), src.data(), len16,
                                 "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    dst.resize(static_cast<size_t>(lowered) + 1);
    status = U_ZERO_ERROR;
    lowered = u_strToLower(dst.data(), static_cast<int32_t>(dst.size()), src.data(), len16, "",
                           &status);
  }
  int32_t len8 = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &len8, dst.data(), lowered, &status);
  std::string out(static_cast<size_t>(len8), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), len8 + 1, nullptr, dst.data(), lowered, &status);
  return out;
}

// The text without Unicode White_Space at both ends, walking code points.
std::string_view icu_trim(std::string_view text) {
  const char* s = text.data();
  int32_t len = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < len) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, len, c);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
    begin = next;
  }
  int32_t end = len;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(s, begin, prev, c);
    if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
    end = prev;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
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

std::string norm(const std::optional<std::string>& text) {
  return text ? norm(std::string_view(*text)) : std::string();
}

std::string norm_icu(std::string_view text) { return icu_lower(icu_trim(text)); }

std::string compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
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
