// The exit statuses of the tracedx commands, parity_check and serve: what a script or a CI
// job reads of a run.
#pragma once

namespace tracedx {

// The command did what was asked.
inline constexpr int kExitOk = 0;
// An input could not be read, a write failed, or the run could not be done.
inline constexpr int kExitError = 1;
// The command line was wrong (an unknown option, a missing argument): help follows.
inline constexpr int kExitUsage = 2;
// A run met its --fail-on condition, or a gate failed: distinct from an error, so CI can
// tell a bad result from a broken run.
inline constexpr int kExitConditionMet = 3;

}  // namespace tracedx
