// The bytes the receiver may hold for work in flight: request bodies being received,
// decoded batches waiting for their commit, and the bookkeeping of traces pending their
// diagnosis. Work takes its bytes before it is done and gives them back after; what does
// not fit is refused (with Retry-After) instead of growing the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace tracedx {

class MemoryBudget {
 public:
  explicit MemoryBudget(size_t limit) : limit_(limit) {}

  // Takes `n` bytes when they fit under the limit; false, with nothing taken, otherwise.
  bool try_take(size_t n) {
    size_t used = used_.load(std::memory_order_relaxed);
    do {
      if (n > limit_ || used > limit_ - n) return false;
    } while (!used_.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
    return true;
  }
  // Takes `n` bytes whether they fit or not: memory already spent, which later work must
  // make room for.
  void take(size_t n) { used_.fetch_add(n, std::memory_order_relaxed); }
  void give_back(size_t n) { used_.fetch_sub(n, std::memory_order_relaxed); }

  size_t used() const { return used_.load(std::memory_order_relaxed); }
  size_t limit() const { return limit_; }

 private:
  const size_t limit_;
  std::atomic<size_t> used_{0};
};

// Bytes taken from a budget, given back when the lease ends.
class BudgetLease {
 public:
  BudgetLease() = default;
  explicit BudgetLease(MemoryBudget* budget) : budget_(budget) {}
  BudgetLease(BudgetLease&& o) noexcept
      : budget_(std::exchange(o.budget_, nullptr)), held_(std::exchange(o.held_, 0)) {}
  BudgetLease& operator=(BudgetLease&& o) noexcept {
    if (this != &o) {
      release();
      budget_ = std::exchange(o.budget_, nullptr);
      held_ = std::exchange(o.held_, 0);
    }
    return *this;
  }
  ~BudgetLease() { release(); }

  // Holds `n` more bytes; false when the budget has no room for them.
  bool grow(size_t n) {
    if (!budget_ || n == 0) return true;
    if (!budget_->try_take(n)) return false;
    held_ += n;
    return true;
  }
  // Holds `n` more bytes, whether the budget has room for them or not (memory that will be
  // spent anyway, which later work must make room for).
  void take_anyway(size_t n) {
    if (!budget_) return;
    budget_->take(n);
    held_ += n;
  }
  // Holds `n` bytes in all, taking or giving back the difference.
  bool hold(size_t n) {
    if (n >= held_) return grow(n - held_);
    if (budget_) budget_->give_back(held_ - n);
    held_ = n;
    return true;
  }
  void release() {
    if (budget_ && held_) budget_->give_back(held_);
    held_ = 0;
  }
  size_t held() const { return held_; }

 private:
  MemoryBudget* budget_ = nullptr;
  size_t held_ = 0;
};

}  // namespace tracedx
