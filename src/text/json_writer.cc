#include "text/json_writer.h"

#include <nlohmann/json.hpp>

#include "text/text.h"

namespace tracedx {

using Json = nlohmann::json;

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

// A string value as a shortened writer shows it: at most `max` bytes, cut back to a
// character boundary, then "...".
void append_shortened(std::string& out, const std::string& s, size_t max) {
  if (s.size() <= max) return append_string(out, s);
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  append_string(out, s.substr(0, cut) + "...");
}

// The compact writer. `max_string` shortens string values (not keys); once `out` holds
// more than `stop` bytes the rest is not written (what was written is a prefix of the
// whole text).
void append_json(std::string& out, const Json& v, size_t max_string = std::string::npos,
                 size_t stop = std::string::npos) {
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
      append_shortened(out, v.get_ref<const std::string&>(), max_string);
      return;
    case T::array: {
      out += '[';
      bool first = true;
      for (const auto& e : v.get_ref<const Json::array_t&>()) {
        if (out.size() > stop) return;
        if (!first) out += ',';
        first = false;
        append_json(out, e, max_string, stop);
      }
      out += ']';
      return;
    }
    case T::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, e] : v.get_ref<const Json::object_t&>()) {
        if (out.size() > stop) return;
        if (!first) out += ',';
        first = false;
        append_string(out, key);
        out += ':';
        append_json(out, e, max_string, stop);
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

std::string compact_json_shortened(const Json& value, size_t max_string, size_t max_total) {
  std::string out;
  append_json(out, value, max_string, max_total);
  if (out.size() > max_total) {
    size_t cut = max_total;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "...";
  }
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
