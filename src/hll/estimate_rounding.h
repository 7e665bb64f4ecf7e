// Rounding of estimates: C round (halves away from zero), then a saturating
// conversion to signed 64 bits (NaN becomes 0).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace vantorelle {

inline std::int64_t saturate_to_int64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (value < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

inline std::int64_t round_to_int64(double value) { return saturate_to_int64(std::round(value)); }

}  // namespace vantorelle
