// The compact JSON text writer: byte for byte the JSON library's compact dump (members in
// key order, no spaces, invalid UTF-8 replaced as its replacing dump does), written
// without its per-character overhead, with a shortened form for evidence.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tracedx {

// Compact JSON serialisation (members in key order, no spaces), byte for byte the JSON
// library's compact dump, written without its per-character overhead.
std::string compact_json(const nlohmann::json& value);

// compact_json of `value` with every string value longer than `max_string` bytes cut to
// that many (back to a character boundary) and ended with "...", then the whole cut to
// `max_total` bytes the same way. What is past `max_total` is never written.
std::string compact_json_shortened(const nlohmann::json& value, size_t max_string,
                                   size_t max_total);

// Appends `text` as a JSON string, byte for byte the library's form (invalid UTF-8 is
// replaced by U+FFFD as the library's replacing dump does).
void append_json_string(std::string& out, std::string_view text);

// Compact JSON of a present value, normalised; absent gives the empty text.
std::string json_text(const std::optional<nlohmann::json>& value);

}  // namespace tracedx
