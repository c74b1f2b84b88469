// OTLP JSON values: ids, 64-bit integers, enums and AnyValue attributes, read from parsed
// JSON as the OTLP/JSON mapping writes them (lowerCamelCase keys, and the proto field names
// some exporters print instead).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "trace/trace.h"

namespace tracedx::otlp {

// "where: what", the form of every envelope message.
Error bad(std::string_view where, const std::string& what);

bool digits(std::string_view s);

// A 64-bit integer written as a number or a decimal string.
std::optional<uint64_t> u64_of(const Json& v);
// The same of a text: decimal digits only, within 64 bits.
std::optional<uint64_t> u64_of_text(std::string_view s);

// An enum written as its number or its name (0 for anything else).
int enum_of(const Json& v, std::span<const std::string_view> names);

// The member `camel` of an object, or its proto field name `snake`.
const Json* member(const Json& object, std::string_view camel, std::string_view snake);

// An AnyValue object as the JSON value it holds (null when it holds none).
Json any_value(const Json& v);

// A list of KeyValue objects as one object; a later key replaces an earlier one.
Json attributes(const Json* list);

// The bytes of a padded base64 text (standard or URL alphabet), or nullopt.
std::optional<std::string> base64_bytes(std::string_view s);

// A trace or span id as lower-case hex (see normalize_trace_id).
std::string normalized_id(std::string_view s);

// Bytes as lower-case hex (a protobuf id's bytes).
std::string hex_of_bytes(std::string_view bytes);

// normalized_id of a string value; empty for anything else.
std::string hex_of(const Json* v);

}  // namespace tracedx::otlp
