#include "import/otlp_values.h"

#include <algorithm>
#include <array>

#include "text/number.h"

namespace tracedx::otlp {
namespace {

// Each byte's lower-case hex digit, 0 for a byte that is none.
constexpr auto kHexDigits = [] {
  std::array<char, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<char>(c);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<char>(c - 'A' + 'a');
  return t;
}();

}  // namespace

Error bad(std::string_view where, const std::string& what) {
  return Error::message(std::string(where) + ": " + what);
}

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A 64-bit integer written as a number or a decimal string.
std::optional<uint64_t> u64_of(const Json& v) {
  if (v.type() == Json::value_t::number_unsigned) return v.get<uint64_t>();
  if (v.is_string()) return u64_of_text(v.get_ref<const std::string&>());
  return std::nullopt;
}

std::optional<uint64_t> u64_of_text(std::string_view s) {
  if (!digits(s) || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

// An enum written as its number or its name.
int enum_of(const Json& v, std::span<const std::string_view> names) {
  if (v.is_number_integer()) return v.get<int>();
  if (v.is_string()) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == v.get_ref<const std::string&>()) return static_cast<int>(i);
    }
  }
  return 0;
}

// The member `camel` of an object, or its proto field name `snake` (protobuf JSON printed
// with the field names, as some exporters and collectors write it).
const Json* member(const Json& object, std::string_view camel, std::string_view snake) {
  if (!object.is_object()) return nullptr;
  if (auto it = object.find(camel); it != object.end()) return &*it;
  if (auto it = object.find(snake); it != object.end()) return &*it;
  return nullptr;
}

Json any_value(const Json& v) {
  if (!v.is_object()) return nullptr;
  if (auto* s = member(v, "stringValue", "string_value")) return *s;
  if (auto* b = member(v, "boolValue", "bool_value")) return *b;
  if (auto* i = member(v, "intValue", "int_value")) {
    if (i->is_number_integer()) return *i;
    // An int64 travels as a decimal text in OTLP JSON; a text that is not one whole is kept.
    if (i->is_string()) {
      auto n = parse_signed(i->get_ref<const std::string&>());
      return n ? Json(*n) : *i;
    }
  }
  if (auto* d = member(v, "doubleValue", "double_value")) return *d;
  if (auto* b = member(v, "bytesValue", "bytes_value")) return *b;
  if (auto* a = member(v, "arrayValue", "array_value")) {
    Json out = Json::array();
    if (a->is_object() && a->contains("values") && (*a)["values"].is_array()) {
      for (const auto& e : (*a)["values"]) out.push_back(any_value(e));
    }
    return out;
  }
  if (auto* kv = member(v, "kvlistValue", "kvlist_value")) {
    Json out = Json::object();
    if (kv->is_object() && kv->contains("values") && (*kv)["values"].is_array()) {
      for (const auto& e : (*kv)["values"]) {
        if (e.is_object() && e.contains("key") && e["key"].is_string()) {
          out[e["key"].get<std::string>()] = any_value(e.value("value", Json()));
        }
      }
    }
    return out;
  }
  return nullptr;
}

Json attributes(const Json* list) {
  Json out = Json::object();
  if (!list || !list->is_array()) return out;
  for (const auto& kv : *list) {
    if (kv.is_object() && kv.contains("key") && kv["key"].is_string()) {
      out[kv["key"].get<std::string>()] = any_value(kv.value("value", Json()));
    }
  }
  return out;
}

// The bytes of a padded base64 text (standard or URL alphabet), or nullopt.
std::optional<std::string> base64_bytes(std::string_view s) {
  if (s.empty() || s.size() % 4 != 0) return std::nullopt;
  size_t pad = s.ends_with("==") ? 2 : s.ends_with('=') ? 1 : 0;
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (char c : s.substr(0, s.size() - pad)) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+' || c == '-' ? 62
            : c == '/' || c == '_' ? 63
                                   : -1;
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return out;
}

// A trace or span id as lower-case hex. Hex is lower-cased; a 16-byte trace id or 8-byte
// span id in padded base64 (24 or 12 characters: how protobuf JSON writes bytes fields) is
// decoded; anything else is kept as written.
std::string normalized_id(std::string_view s) {
  std::string out(s);
  bool hex = true;
  for (char& c : out) {
    const char digit = kHexDigits[static_cast<unsigned char>(c)];
    hex = hex && digit != 0;
    c = digit != 0 ? digit : c;
  }
  if (hex) return out;
  if (s.size() == 12 || s.size() == 24) {
    if (auto bytes = base64_bytes(s); bytes && bytes->size() == (s.size() == 12 ? 8u : 16u)) {
      return hex_of_bytes(*bytes);
    }
  }
  return std::string(s);
}

std::string hex_of_bytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string hex_of(const Json* v) {
  return v && v->is_string() ? normalized_id(v->get_ref<const std::string&>()) : std::string();
}

}  // namespace tracedx::otlp
