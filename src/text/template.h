// The system's fixed texts with "{}" placeholders (evidence, explanations, titles), filled
// in order.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tracedx {

// Fills each "{}" of a template with the next argument, in order.
std::string fill_template(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace tracedx
