#include "fleet/error_normaliser.h"

#include <cctype>
#include <optional>

namespace tracedx {
namespace {

bool is_word(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool is_hex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c));
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
// Characters that end a path or URL: white space, quotes, brackets and sentence ends.
bool ends_token(char c) {
  return is_space(c) || c == '"' || c == '\'' || c == '`' || c == '(' || c == ')' || c == '[' ||
         c == ']' || c == '{' || c == '}' || c == '<' || c == '>' || c == ',' || c == ';';
}

// Each matcher looks at `s` from `at` (a position where a token may start) and returns the
// length it replaces, or nothing.
using Matcher = std::optional<size_t> (*)(std::string_view s, size_t at);

// 'x', "x" or `x`, opened after a non-word character and closed before one, on one line.
std::optional<size_t> quoted(std::string_view s, size_t at) {
  char q = s[at];
  if (q != '"' && q != '\'' && q != '`') return std::nullopt;
  if (at > 0 && is_word(s[at - 1])) return std::nullopt;  // an apostrophe: don't
  for (size_t i = at + 1; i < s.size() && s[i] != '\n'; ++i) {
    if (s[i] == '\\') {
      ++i;
      continue;
    }
    if (s[i] == q) {
      if (i + 1 < s.size() && is_word(s[i + 1])) return std::nullopt;
      return i + 1 - at;
    }
  }
  return std::nullopt;
}

// The rest of a path or URL from `from`, trailing sentence punctuation left out.
size_t run_to_end(std::string_view s, size_t at, size_t from) {
  size_t i = from;
  while (i < s.size() && !ends_token(s[i])) ++i;
  while (i > from && (s[i - 1] == '.' || s[i - 1] == ':' || s[i - 1] == '!' || s[i - 1] == '?'))
    --i;
  return i - at;
}

// scheme://...
std::optional<size_t> url(std::string_view s, size_t at) {
  if (at > 0 && is_word(s[at - 1])) return std::nullopt;
  size_t i = at;
  while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
  if (i == at || s.substr(i, 3) != "://") return std::nullopt;
  return run_to_end(s, at, i + 3);
}

// /a/b, ./a, ../a, ~/a, C:\a: a slash-separated name with at least two parts.
std::optional<size_t> path(std::string_view s, size_t at) {
  if (at > 0 && (is_word(s[at - 1]) || s[at - 1] == '/' || s[at - 1] == '.')) return std::nullopt;
  size_t i = at;
  if (s[i] == '~' || s[i] == '.') {
    while (i < s.size() && (s[i] == '.' || s[i] == '~') && i - at < 2) ++i;
  } else if (i + 2 < s.size() && std::isalpha(static_cast<unsigned char>(s[i])) &&
             s[i + 1] == ':' && s[i + 2] == '\\') {
    return run_to_end(s, at, i + 3);
  }
  if (i >= s.size() || s[i] != '/') return std::nullopt;
  size_t len = run_to_end(s, at, i + 1);
  // "/" alone, or "a/b" words such as "and/or", are not paths.
  if (len <= i + 1 - at) return std::nullopt;
  return len;
}

// 8-4-4-4-12 hex digits.
std::optional<size_t> uuid(std::string_view s, size_t at) {
  constexpr size_t kGroups[] = {8, 4, 4, 4, 12};
  size_t i = at;
  for (size_t g = 0; g < 5; ++g) {
    for (size_t k = 0; k < kGroups[g]; ++k, ++i) {
      if (i >= s.size() || !is_hex(s[i])) return std::nullopt;
    }
    if (g < 4 && (i >= s.size() || s[i++] != '-')) return std::nullopt;
  }
  if (i < s.size() && is_word(s[i])) return std::nullopt;
  return i - at;
}

// 0x1f, or a run of 8 or more hex digits holding a digit and a letter (hashes, span ids).
std::optional<size_t> hex(std::string_view s, size_t at) {
  size_t i = at;
  if (s.substr(at, 2) == "0x" || s.substr(at, 2) == "0X") {
    i += 2;
    size_t start = i;
    while (i < s.size() && is_hex(s[i])) ++i;
    if (i == start) return std::nullopt;
  } else {
    bool digit = false, letter = false;
    while (i < s.size() && is_hex(s[i])) {
      (is_digit(s[i]) ? digit : letter) = true;
      ++i;
    }
    if (i - at < 8 || !digit || !letter) return std::nullopt;
  }
  if (i < s.size() && is_word(s[i])) return std::nullopt;
  return i - at;
}

// name@host.tld
std::optional<size_t> email(std::string_view s, size_t at) {
  size_t i = at;
  while (i < s.size() && (is_word(s[i]) || s[i] == '.' || s[i] == '+')) ++i;
  if (i == at || i >= s.size() || s[i] != '@') return std::nullopt;
  size_t host = ++i;
  while (i < s.size() && (is_word(s[i]) || s[i] == '.')) ++i;
  if (s.substr(host, i - host).find('.') == std::string_view::npos) return std::nullopt;
  return i - at;
}

// A number (digits with . , : separators, a sign or exponent aside) or a word holding a
// digit (an id such as req_8812 or a3f9): <n> when all digits, <id> otherwise.
std::optional<size_t> number_or_id(std::string_view s, size_t at) {
  size_t i = at;
  bool digit = false;
  while (i < s.size() && (is_word(s[i]) || ((s[i] == '.' || s[i] == ',' || s[i] == ':') &&
                                            i + 1 < s.size() && is_digit(s[i + 1]) && digit))) {
    digit |= is_digit(s[i]);
    ++i;
  }
  if (!digit) return std::nullopt;
  return i - at;
}

struct Rule {
  Matcher match;
  std::string_view placeholder;  // empty: <n> or <id> by the text
};

// Tried in order at each position where a token may start.
constexpr Rule kRules[] = {
    {quoted, "<str>"}, {url, "<url>"},     {path, "<path>"},   {uuid, "<uuid>"},
    {hex, "<hex>"},    {email, "<email>"}, {number_or_id, ""},
};

bool all_digits(std::string_view t) {
  for (char c : t) {
    if (!is_digit(c) && c != '.' && c != ',' && c != ':') return false;
  }
  return true;
}

// Cuts to at most `max` bytes without splitting a UTF-8 sequence.
void cut(std::string& out, size_t max) {
  if (out.size() <= max) return;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
  out.resize(n);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  out += "...";
}

}  // namespace

std::string normalise_error(std::string_view s) {
  std::string out;
  out.reserve(std::min(s.size(), kMaxNormalisedBytes + 8));
  size_t i = 0;
  bool space = false;
  while (i < s.size() && out.size() <= kMaxNormalisedBytes + 8) {
    char c = s[i];
    if (is_space(c)) {
      space = !out.empty();
      ++i;
      continue;
    }
    if (space) out += ' ';
    space = false;
    bool starts_token = i == 0 || !is_word(s[i - 1]);
    std::optional<size_t> len;
    const Rule* rule = nullptr;
    for (const auto& r : kRules) {
      // Quotes and paths decide their own boundaries; the others start at a word start.
      if (!starts_token && r.match != quoted && r.match != path) continue;
      if ((len = r.match(s, i))) {
        rule = &r;
        break;
      }
    }
    if (!len) {
      out += c;
      ++i;
      continue;
    }
    std::string_view token = s.substr(i, *len);
    if (!rule->placeholder.empty())
      out += rule->placeholder;
    else
      out += all_digits(token) ? "<n>" : "<id>";
    i += *len;
  }
  cut(out, kMaxNormalisedBytes);
  return out;
}

}  // namespace tracedx
