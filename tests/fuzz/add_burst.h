// A burst of distinct values for the fuzz targets: enough, at low
// precisions, to push a sparse sketch past its budget into the normal form.
#pragma once

#include <cstdint>

#include "hll/hyperloglogplusplus.h"

namespace vantorelle {

// Adds `count` distinct values derived from `seed`, as integers or as 8-byte
// strings, whichever the sketch takes; stops at the first refusal.
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
