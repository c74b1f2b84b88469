// Generated test inputs that are the same on every machine: a fixed-seed split-mix
// generator. It is the one the benchmarks generate their inputs with (bench/rng.h), kept
// there as its single definition: the bench targets build without the tests, and the tests
// only read the header.
#pragma once

#include "../bench/rng.h"

namespace tracedx::test_support {

// next() gives the next 64 bits, below(n) a number in [0, n).
using SplitMix = bench::Rng;

}  // namespace tracedx::test_support
