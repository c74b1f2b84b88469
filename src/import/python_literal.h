// Python literals as JSON values. Logs written by Python agents often keep structured
// fields as the text Python prints for them (`str(message["tool_calls"])`: single-quoted
// strings, True, False, None), which is not JSON; this reads that text back into the value
// it stands for, so a tool call logged that way keeps its name and arguments.
#pragma once

#include <optional>
#include <string_view>

#include "trace/trace.h"

namespace tracedx {

// The value of a JSON text or of a Python literal (dicts, lists, tuples, strings, numbers,
// True, False, None); absent when the text is neither. Nesting deeper than 128 levels is
// refused, as for JSON.
std::optional<Json> parse_literal(std::string_view text);

}  // namespace tracedx
