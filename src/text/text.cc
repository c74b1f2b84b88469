#include "text/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <nlohmann/json.hpp>
#include <vector>

namespace tracedx {

using Json = nlohmann::json;

namespace {

bool is_ascii_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Lowercases UTF-8 through UTF-16 with the root locale; invalid bytes become U+FFFD.
std::string icu_lower(std::string_view text) {
  if (text.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t len16 = 0;
  u_strFromUTF8WithSub(nullptr, 0, &len16, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                       nullptr, &status);
  status = U_ZERO_ERROR;
  std::vector<UChar> src(static_cast<size_t>(len16) + 1);
  u_strFromUTF8WithSub(src.data(), len16 + 1, nullptr, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);

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

std::string norm_icu(std::string_view text) {
  return icu_lower(icu_trim(text));
}

bool is_valid_utf8(std::string_view text) {
  int32_t i = 0, n = static_cast<int32_t>(text.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(text.data(), i, n, c);
    if (c < 0) return false;
  }
  return true;
}

namespace {

// The library's escaping: quote, backslash and control characters escaped (short forms
// where JSON has them, else \u00xx in lowercase hex), everything else copied, which is
// valid UTF-8 for every parsed text. Anything else goes through the library itself.
void append_string(std::string& out, const std::string& s) {
  if (!is_ascii(s) && !is_valid_utf8(s)) {
    out += Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
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
