#include "import/otlp_conventions.h"

namespace tracedx::otlp {

bool is_configuration(std::string_view key) {
  for (auto kept : kConfigurationKept) {
    if (key == kept) return false;
  }
  for (auto c : kConfiguration) {
    if (key.starts_with(c) && (key.size() == c.size() || key[c.size()] == '.')) return true;
  }
  return false;
}

}  // namespace tracedx::otlp
