// A fixed-seed generator for the benchmark inputs: split-mix, whose sequence does not
// depend on the standard library, so the inputs are the same on every machine.
#pragma once

#include <cstdint>

namespace tracedx::bench {

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    s_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = s_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }

 private:
  uint64_t s_;
};

}  // namespace tracedx::bench
