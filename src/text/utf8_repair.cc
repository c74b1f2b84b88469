#include "text/utf8_repair.h"

#include <simdjson.h>

namespace tracedx {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kEscapedReplacement = "\\uFFFD";

// At text[i], a byte of 0x80 or more: the length of the well-formed sequence that starts
// there (2 to 4), or, negated, the length of the maximal subpart of an ill-formed one (the
// lead byte and the continuation bytes that could still have completed it, 1 to 3). The
// ranges are those of the Unicode Standard's table of well-formed byte sequences: they
// leave out overlong forms, surrogates and code points above U+10FFFF.
int sequence_at(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  int need = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead == 0xE0) {
    need = 2, low = 0xA0;
  } else if (lead == 0xED) {
    need = 2, high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    need = 2;
  } else if (lead == 0xF0) {
    need = 3, low = 0x90;
  } else if (lead == 0xF4) {
    need = 3, high = 0x8F;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    need = 3;
  } else {
    return -1;  // a continuation byte, C0, C1 or F5 to FF: never part of a valid sequence
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= text.size()) return -k;
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (c < low || c > high) return -k;
    low = 0x80, high = 0xBF;
  }
  return need + 1;
}

// The output of a repair, built on the first replacement: the stretches of the input between
// replacements are appended whole.
class Patched {
 public:
  explicit Patched(std::string_view in) : in_(in) {}

  // Replaces in_[at, at + size) by `with`.
  void replace(size_t at, size_t size, std::string_view with) {
    if (out_.empty()) out_.reserve(in_.size() + in_.size() / 8 + 16);
    out_.append(in_.substr(copied_, at - copied_));
    out_.append(with);
    copied_ = at + size;
  }

  // The whole repaired text, moved to `out`.
  void finish(std::string& out) {
    out_.append(in_.substr(copied_));
    out = std::move(out_);
  }

 private:
  std::string_view in_;
  std::string out_;
  size_t copied_ = 0;
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-16 unit of the escape \uXXXX at json[at], or -1 when none stands there.
int escaped_unit(std::string_view json, size_t at) {
  if (json.size() < 6 || at > json.size() - 6 || json[at] != '\\' || json[at + 1] != 'u') return -1;
  int unit = 0;
  for (size_t k = at + 2; k < at + 6; ++k) {
    const int v = hex_value(json[k]);
    if (v < 0) return -1;
    unit = unit * 16 + v;
  }
  return unit;
}

// Whether "\u" followed by D8 to DF appears anywhere (escaped backslashes not told apart): the
// cheap test that lets most JSON texts skip the scan for lone surrogates.
bool may_hold_surrogate_escape(std::string_view json) {
  for (size_t at = json.find("\\u"); at != std::string_view::npos; at = json.find("\\u", at + 2)) {
    if (at + 3 >= json.size() || (json[at + 2] != 'd' && json[at + 2] != 'D')) continue;
    const int v = hex_value(json[at + 3]);
    if (v >= 8) return true;
  }
  return false;
}

}  // namespace

bool valid_utf8(std::string_view text) {
  return simdjson::validate_utf8(text.data(), text.size());
}

size_t repair_utf8(std::string_view text, std::string& out) {
  if (valid_utf8(text)) return 0;
  Patched patched(text);
  size_t replaced = 0;
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const int n = sequence_at(text, i);
    if (n > 0) {
      i += static_cast<size_t>(n);
      continue;
    }
    patched.replace(i, static_cast<size_t>(-n), kReplacement);
    ++replaced;
    i += static_cast<size_t>(-n);
  }
  patched.finish(out);
  return replaced;
}

size_t repair_json_text(std::string_view json, std::string& out) {
  if (valid_utf8(json) && !may_hold_surrogate_escape(json)) return 0;
  Patched patched(json);
  size_t strings = 0;
  // Strings are followed so that a backslash is read as JSON reads it: "\\uD83D" is an
  // escaped backslash followed by the letters uD83D, not an escape.
  bool in_string = false, string_repaired = false;
  auto repaired = [&](size_t at, size_t size, std::string_view with) {
    patched.replace(at, size, with);
    if (in_string) {
      string_repaired = true;
    } else {
      ++strings;
    }
  };
  const size_t n = json.size();
  for (size_t i = 0; i < n;) {
    const auto c = static_cast<unsigned char>(json[i]);
    if (c >= 0x80) {
      const int len = sequence_at(json, i);
      if (len < 0) repaired(i, static_cast<size_t>(-len), kReplacement);
      i += static_cast<size_t>(len < 0 ? -len : len);
      continue;
    }
    if (!in_string || (c != '"' && c != '\\')) {
      if (c == '"') in_string = true, string_repaired = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = false;
      strings += string_repaired;
      ++i;
      continue;
    }
    // An escape. One of a character other than 'u' takes two bytes, unless that character is
    // not ASCII (invalid JSON), which is then read as text.
    if (i + 1 == n) break;
    const int unit = escaped_unit(json, i);
    if (unit < 0) {
      i += static_cast<unsigned char>(json[i + 1]) < 0x80 ? 2 : 1;
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const int next = escaped_unit(json, i + 6);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        i += 12;  // a surrogate pair
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) repaired(i, 6, kEscapedReplacement);
    i += 6;
  }
  strings += in_string && string_repaired;
  if (strings == 0) return 0;
  patched.finish(out);
  return strings;
}

}  // namespace tracedx
