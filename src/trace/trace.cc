#include "trace/trace.h"

#include <iterator>
#include <limits>

namespace tracedx {
namespace {

// Empties the containers below `v` and then `v`, by recursion while it is shallow; deeper
// down, by removing the last leaf at the end of a walk from `v` (slower, but allocation-free
// and without stack growth: only values not read by the parser can be that deep).
constexpr int kReleaseRecursion = 200;

void release_below(Json& v, int depth) noexcept {
  if (depth >= kReleaseRecursion) {
    while (v.is_structured() && !v.empty()) {
      Json* node = &v;
      for (;;) {
        Json* last = node->is_array() ? &node->get_ref<Json::array_t&>().back()
                                      : &std::prev(node->get_ref<Json::object_t&>().end())->second;
        if (last->is_structured() && !last->empty()) {
          node = last;
          continue;
        }
        if (node->is_array()) {
          node->get_ref<Json::array_t&>().pop_back();
        } else {
          auto& obj = node->get_ref<Json::object_t&>();
          obj.erase(std::prev(obj.end()));
        }
        break;
      }
    }
    return;
  }
  if (v.is_array()) {
    auto& a = v.get_ref<Json::array_t&>();
    for (auto& e : a) {
      if (e.is_structured()) release_below(e, depth + 1);
    }
    a.clear();
  } else if (v.is_object()) {
    auto& o = v.get_ref<Json::object_t&>();
    for (auto& [key, e] : o) {
      if (e.is_structured()) release_below(e, depth + 1);
    }
    o.clear();
  }
}

}  // namespace

void release_json(Json& value) noexcept {
  if (value.is_structured()) release_below(value, 0);
}

uint64_t sum_step_durations(const std::vector<TraceStep>& steps) {
  uint64_t total = 0;
  for (const auto& step : steps) {
    if (!step.duration_ms) continue;
    if (__builtin_add_overflow(total, *step.duration_ms, &total)) {
      return std::numeric_limits<uint64_t>::max();
    }
  }
  return total;
}

}  // namespace tracedx
