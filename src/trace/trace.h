// A Trace is one recorded agent run: the run-level fields and the ordered steps.
// Every field but the step list, the id and the total duration is optional, because
// fixtures are partial; absent means "no information", never an error. JSON-valued
// fields keep the value as parsed (objects are key-ordered maps), and texts are stored
// as written: every comparison trims and lowercases at the point of use.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tracedx {

using Json = nlohmann::json;

// Empties a JSON value from the leaves up without allocating. The library's own destructor
// first copies a container's children into a new vector, which throws (and so terminates)
// when memory is exhausted; values are released through this before they are destroyed
// where that can happen.
void release_json(Json& value) noexcept;

// An optional value kept on the heap: one pointer when absent, which is what most step
// fields are. Reads like std::optional (bool, *, ->, value_or, has_value, comparisons);
// copies are deep.
template <typename T>
class Boxed {
 public:
  using value_type = T;

  Boxed() noexcept = default;
  Boxed(std::nullopt_t) noexcept {}
  Boxed(const T& v) : p_(new T(v)) {}
  Boxed(T&& v) : p_(new T(std::move(v))) {}
  Boxed(const char* v) requires std::is_same_v<T, std::string> : p_(new T(v)) {}
  Boxed(const std::optional<T>& v) : p_(v ? new T(*v) : nullptr) {}
  Boxed(std::optional<T>&& v) : p_(v ? new T(std::move(*v)) : nullptr) {}
  Boxed(const Boxed& o) : p_(o.p_ ? new T(*o.p_) : nullptr) {}
  Boxed(Boxed&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~Boxed() { reset(); }

  Boxed& operator=(const Boxed& o) {
    if (this != &o) *this = o.p_ ? Boxed(*o.p_) : Boxed();
    return *this;
  }
  Boxed& operator=(Boxed&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Boxed& operator=(std::nullopt_t) noexcept {
    reset();
    return *this;
  }
  Boxed& operator=(T&& v) {
    if (p_)
      *p_ = std::move(v);
    else
      p_ = new T(std::move(v));
    return *this;
  }
  Boxed& operator=(const T& v) { return *this = T(v); }
  Boxed& operator=(const char* v) requires std::is_same_v<T, std::string> { return *this = T(v); }
  Boxed& operator=(std::optional<T>&& v) {
    if (v) return *this = std::move(*v);
    reset();
    return *this;
  }
  Boxed& operator=(const std::optional<T>& v) { return *this = std::optional<T>(v); }

  void reset() noexcept {
    if (!p_) return;
    if constexpr (std::is_same_v<T, Json>) release_json(*p_);
    delete std::exchange(p_, nullptr);
  }
  template <typename... Args>
  T& emplace(Args&&... args) {
    reset();
    p_ = new T(std::forward<Args>(args)...);
    return *p_;
  }

  bool has_value() const noexcept { return p_ != nullptr; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T& operator*() noexcept { return *p_; }
  const T& operator*() const noexcept { return *p_; }
  T* operator->() noexcept { return p_; }
  const T* operator->() const noexcept { return p_; }
  // The value's address, or null when absent.
  const T* get() const noexcept { return p_; }
  const T& value() const {
    if (!p_) throw std::bad_optional_access();
    return *p_;
  }
  template <typename U>
  T value_or(U&& fallback) const {
    return p_ ? *p_ : static_cast<T>(std::forward<U>(fallback));
  }
  // A std::optional copy, for the few readers that take one.
  std::optional<T> optional() const { return p_ ? std::optional<T>(*p_) : std::nullopt; }

  friend bool operator==(const Boxed& a, const Boxed& b) {
    return a.p_ && b.p_ ? *a.p_ == *b.p_ : a.p_ == b.p_;
  }
  friend bool operator==(const Boxed& a, std::nullopt_t) noexcept { return !a.p_; }
  friend bool operator==(const Boxed& a, const std::optional<T>& b) {
    return a.p_ && b ? *a.p_ == *b : !a.p_ && !b;
  }
  template <typename U>
  requires(!std::is_same_v<std::decay_t<U>, Boxed> &&
           !std::is_same_v<std::decay_t<U>, std::nullopt_t> &&
           !std::is_same_v<std::decay_t<U>, std::optional<T>>) friend bool
  operator==(const Boxed& a, const U& b) {
    return a.p_ && *a.p_ == b;
  }

 private:
  T* p_ = nullptr;
};

// The texts and JSON values of a step are boxed (an empty step takes 104 bytes, not 328);
// the two integers stay inline.
struct TraceStep {
  Boxed<Json> id;
  std::optional<int64_t> step_index;
  Boxed<std::string> step_type;
  Boxed<std::string> display_name;
  Boxed<std::string> summary;
  Boxed<std::string> status;
  std::optional<uint64_t> duration_ms;
  Boxed<std::string> error_message;
  Boxed<Json> raw_input;
  Boxed<Json> raw_output;
  Boxed<Json> metadata;
};

struct Trace {
  Json id;  // always a string: the name under which the trace was requested
  std::optional<std::string> status;
  std::optional<std::string> title;
  std::optional<std::string> service_name;  // run.service_name: the service that recorded it
  std::optional<std::string> agent_name;    // run.agent_name: the agent that ran it
  std::optional<std::string> diagnostic_summary;
  std::optional<double> total_cost;
  uint64_t total_duration_ms = 0;  // sum of step durations, saturating at 2^64-1
  std::vector<TraceStep> steps;
  // The recording the trace was imported from ("otlp", "chat"), as `import` writes it in
  // the run object; absent for a fixture written by hand.
  std::optional<std::string> recorded_from;
  // The importer inferred the status from the steps; a status recorded by the run itself or
  // stated by a user leaves this false.
  bool status_inferred = false;
};

// Sum of the present step durations; saturates at 2^64-1 instead of wrapping.
uint64_t sum_step_durations(const std::vector<TraceStep>& steps);

}  // namespace tracedx
