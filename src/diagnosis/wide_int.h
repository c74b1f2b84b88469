// 128-bit integers for exact arithmetic on 64-bit durations (differences of two totals).
#pragma once

namespace tracedx {

__extension__ using Int128 = __int128;
__extension__ using UInt128 = unsigned __int128;

}  // namespace tracedx
