// Repairing text that is not valid UTF-8, so that one bad string does not cost the whole
// document that holds it. Each maximal subpart of an ill-formed sequence becomes one U+FFFD
// (Unicode's recommended practice, as ICU and the WHATWG decoder do): "\xE2\x82" cut short is
// one U+FFFD, a surrogate encoded in UTF-8 (ED A0 80) three. In JSON text, an escaped lone
// surrogate ("\uD83D" not followed by a low one, as JavaScript writes a string cut in the
// middle of an emoji) becomes "\uFFFD". Valid text is checked at SIMD speed and not copied.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tracedx {

// Whether `text` is valid UTF-8 (simdjson's validator).
bool valid_utf8(std::string_view text);

// `text` with each maximal invalid subpart replaced by U+FFFD (EF BF BD), written to `out`.
// Returns the number of replacements; 0 when the text is valid, and `out` is then untouched.
size_t repair_utf8(std::string_view text, std::string& out);

// JSON text with its invalid UTF-8 repaired as repair_utf8 does and each escaped lone
// surrogate (\uD800-\uDBFF not followed by an escaped \uDC00-\uDFFF, or the latter not
// preceded by the former) replaced by \uFFFD, written to `out`. Returns the number of JSON
// strings (keys and values) that held something repaired, each repair outside any string
// counting as one; 0 when there was nothing to repair, and `out` is then untouched. The text
// need not be valid JSON: whatever else is wrong with it is left for the parser to report.
size_t repair_json_text(std::string_view json, std::string& out);

}  // namespace tracedx
