// What the libFuzzer targets share: the check that aborts on a broken
// invariant, and a burst of distinct values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "hll/hyperloglogplusplus.h"

namespace vantorelle {

// Reports a broken invariant of `target` (the line scripts/fuzz.sh looks
// for) and aborts, which libFuzzer records as a crash.
[[noreturn]] inline void broken(const char* target, const char* what, int line) {
  std::fprintf(stderr, "%s: invariant broken at line %d: %s\n", target, line, what);
  std::abort();
}

// Each target names itself in kFuzzTarget.
#define FUZZ_CHECK(condition)                                  \
  do {                                                         \
    if (!(condition)) broken(kFuzzTarget, #condition, __LINE__); \
  } while (0)

// A burst of distinct values, enough at low precisions to push a sparse
// sketch past its budget into the normal form: `count` values derived from
// `seed`, as integers or as 8-byte strings, whichever the sketch takes;
// stops at the first refusal.
inline void add_burst(HyperLogLogPlusPlus& sketch, std::uint64_t seed, int count) {
  const bool longs = sketch.allowed_input_types().contains(InputType::LONG);
  for (int i = 0; i < count; ++i) {
    const std::uint64_t value = seed + static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull;
    Status status;
    if (longs) {
      status = sketch.add_long(static_cast<std::int64_t>(value));
    } else {
      std::uint8_t buffer[8];
      for (int b = 0; b < 8; ++b) buffer[b] = static_cast<std::uint8_t>(value >> (8 * b));
      status = sketch.add_bytes(ByteView(buffer, 8));
    }
    if (!status) return;
  }
}

}  // namespace vantorelle
