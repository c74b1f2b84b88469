#include "import/python_literal.h"

#include <cstdlib>
#include <string>

#include "text/number.h"

namespace tracedx {
namespace {

constexpr int kMaxDepth = 128;

class LiteralReader {
 public:
  explicit LiteralReader(std::string_view text) : s_(text) {}

  std::optional<Json> read() {
    std::optional<Json> v = value(0);
    space();
    if (!v || at_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  void space() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r'))
      ++at_;
  }
  bool take(char c) {
    space();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (s_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }

  std::optional<Json> value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    space();
    if (at_ >= s_.size()) return std::nullopt;
    char c = s_[at_];
    if (c == '{') return dict(depth);
    if (c == '[') return list(depth, ']');
    if (c == '(') return list(depth, ')');
    if (c == '\'' || c == '"') return string();
    if (word("True") || word("true")) return Json(true);
    if (word("False") || word("false")) return Json(false);
    if (word("None") || word("null")) return Json(nullptr);
    return number();
  }

  std::optional<Json> dict(int depth) {
    ++at_;
    Json out = Json::object();
    if (take('}')) return out;
    for (;;) {
      std::optional<Json> key = value(depth + 1);
      if (!key || !key->is_string() || !take(':')) return std::nullopt;
      std::optional<Json> v = value(depth + 1);
      if (!v) return std::nullopt;
      out[key->get<std::string>()] = std::move(*v);
      if (take('}')) return out;
      if (!take(',')) return std::nullopt;
      if (take('}')) return out;  // a trailing comma
    }
  }

  std::optional<Json> list(int depth, char close) {
    ++at_;
    Json out = Json::array();
    if (take(close)) return out;
    for (;;) {
      std::optional<Json> v = value(depth + 1);
      if (!v) return std::nullopt;
      out.push_back(std::move(*v));
      if (take(close)) return out;
      if (!take(',')) return std::nullopt;
      if (take(close)) return out;
    }
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate cannot be UTF-8
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp <= 0x10FFFF) {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      append_utf8(out, 0xFFFD);
    }
  }

  std::optional<uint32_t> hex(size_t digits) {
    if (at_ + digits > s_.size()) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
      char c = s_[at_ + i];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return std::nullopt;
      v = v * 16 + uint32_t(d);
    }
    at_ += digits;
    return v;
  }

  std::optional<Json> string() {
    const char quote = s_[at_++];
    std::string out;
    while (at_ < s_.size()) {
      char c = s_[at_++];
      if (c == quote) return Json(std::move(out));
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) return std::nullopt;
      char e = s_[at_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case '0':
          out += '\0';
          break;
        case 'x':
        case 'u':
        case 'U': {
          auto cp = hex(e == 'x' ? 2 : e == 'u' ? 4 : 8);
          if (!cp) return std::nullopt;
          // A JSON surrogate pair (\ud83d\ude00) is one character.
          if (*cp >= 0xD800 && *cp <= 0xDBFF && s_.substr(at_, 2) == "\\u") {
            size_t back = at_;
            at_ += 2;
            auto low = hex(4);
            if (low && *low >= 0xDC00 && *low <= 0xDFFF)
              cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
            else
              at_ = back;
          }
          append_utf8(out, *cp);
          break;
        }
        default:
          out += e;  // \\, \', \" and unknown escapes keep the character
      }
    }
    return std::nullopt;
  }

  std::optional<Json> number() {
    size_t start = at_;
    if (at_ < s_.size() && (s_[at_] == '-' || s_[at_] == '+')) ++at_;
    bool fraction = false;
    while (at_ < s_.size() &&
           ((s_[at_] >= '0' && s_[at_] <= '9') || s_[at_] == '.' || s_[at_] == 'e' ||
            s_[at_] == 'E' ||
            ((s_[at_] == '-' || s_[at_] == '+') && (s_[at_ - 1] == 'e' || s_[at_ - 1] == 'E')))) {
      fraction = fraction || s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E';
      ++at_;
    }
    std::string text(s_.substr(start, at_ - start));
    if (text.empty() || text == "-" || text == "+") return std::nullopt;
    char* end = nullptr;
    // An integer beyond 64 bits is kept as the nearest double, as JSON readers do.
    if (!fraction) {
      if (auto v = parse_signed(text.starts_with('+') ? text.substr(1) : text)) return Json(*v);
    }
    double d = std::strtod(text.c_str(), &end);
    if (!end || *end != '\0') return std::nullopt;
    return Json(d);
  }

  std::string_view s_;
  size_t at_ = 0;
};

}  // namespace

std::optional<Json> parse_literal(std::string_view text) {
  // JSON is read by the same reader: it is a Python literal but for true, false and null,
  // which the reader takes too.
  return LiteralReader(text).read();
}

}  // namespace tracedx
