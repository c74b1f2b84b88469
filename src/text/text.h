// The text layer, below the trace model and the engine, and their Unicode boundary. A
// normalised text is trimmed of White_Space characters at both ends and then mapped to full
// Unicode lowercase (root locale, so expanding mappings and the final-sigma rule apply).
// Pure ASCII takes a fast path that gives the same bytes as the ICU path; ICU is reached
// only for texts holding non-ASCII bytes.
#pragma once

#include <concepts>
#include <initializer_list>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tracedx {

// A text that may be absent, read in place: from a std::optional<std::string> or any type
// that reads like one (the boxed fields of a step).
class MaybeText {
 public:
  MaybeText(std::nullopt_t) {}
  template <typename O>
  requires requires(const O& o) {
    static_cast<bool>(o);
    { *o } -> std::convertible_to<const std::string&>;
  }
  MaybeText(const O& o) : p_(o ? &*o : nullptr) {}

  explicit operator bool() const { return p_ != nullptr; }
  const std::string& operator*() const { return *p_; }
  const std::string* operator->() const { return p_; }

 private:
  const std::string* p_ = nullptr;
};

bool is_ascii(std::string_view text);
bool is_valid_utf8(std::string_view text);

// The text without ASCII White_Space (tab to carriage return, space) at both ends.
std::string_view trim_ascii(std::string_view text);

// The ASCII letters lowercased, every other byte as it is: for protocol words (header
// values, media types, schemes), which are ASCII and compare without case. Trimmed too:
// lower_ascii(trim_ascii(text)).
std::string lower_ascii(std::string_view text);

// Full Unicode lowercase, no trimming.
std::string lower(std::string_view text);
// The same, lowercasing the text it is given (an ASCII text where it is, without a copy).
std::string lowered(std::string text);

// Trimmed of Unicode White_Space, then lowercased.
std::string norm(std::string_view text);
std::string norm(MaybeText text);
inline std::string norm(const std::string& text) {
  return norm(std::string_view(text));
}
inline std::string norm(const char* text) {
  return norm(std::string_view(text));
}

// Byte-wise substring test; the empty keyword is always contained.
inline bool contains(std::string_view text, std::string_view keyword) {
  return text.find(keyword) != std::string_view::npos;
}

// The ICU implementation of norm, also for ASCII input; the fast path is tested against it.
std::string norm_icu(std::string_view text);

// Texts longer than ICU's 32-bit lengths are lowercased in pieces (64 MiB by default);
// tests set a small piece size to check that pieces join to the whole text's result.
// 0 restores the default.
void set_icu_piece_bytes_for_testing(size_t bytes);

// In a text that is not all ASCII, runs of this many ASCII bytes or more are lowercased
// without ICU (64 by default); tests vary it to check the parts join to ICU's result of
// the whole text (SIZE_MAX sends every such text to ICU whole). 0 restores the default.
void set_ascii_stretch_for_testing(size_t bytes);

}  // namespace tracedx
