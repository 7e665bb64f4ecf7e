#include "hll/estimate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "error/internal_failure.h"
#include "hll/data.h"
#include "hll/encoding.h"
#include "hll/estimate_rounding.h"
#include "hll/register_sums.h"

namespace vantorelle {

namespace {

// Number of candidates kept for the weighted bias, and the window around the
// position of the raw estimate they are drawn from.
constexpr std::size_t BIAS_NEIGHBOURS = 6;

}  // namespace

double estimate_bias(double raw_estimate, std::int32_t precision) {
  if (precision < TABLE_MIN_PRECISION || precision > TABLE_MAX_PRECISION) return 0.0;
  const auto row = static_cast<std::size_t>(precision - TABLE_MIN_PRECISION);
  const std::span<const double> raw = EMPIRICAL_RAW_ESTIMATES[row];
  const std::span<const double> bias = EMPIRICAL_BIASES[row];
  const std::size_t n = raw.size();
  if (raw_estimate < raw[0] || raw_estimate > raw[n - 1]) return 0.0;

  const std::size_t below =
      static_cast<std::size_t>(std::lower_bound(raw.begin(), raw.end(), raw_estimate) - raw.begin());
  // An exact match centres the window on the entry; otherwise on one past
  // the insertion point.
  const std::size_t q = (below < n && raw[below] == raw_estimate) ? below : below + 1;
  const std::size_t lo = q >= BIAS_NEIGHBOURS ? q - BIAS_NEIGHBOURS : 0;
  const std::size_t hi = std::min(q + BIAS_NEIGHBOURS, n);

  struct Candidate {
    double bias;
    double distance;
  };
  std::array<Candidate, 2 * BIAS_NEIGHBOURS> candidates{};
  std::size_t count = 0;
  for (std::size_t i = lo; i < hi; ++i) {
    const double difference = raw[i] - raw_estimate;
    candidates[count++] = {bias[i], difference * difference};
  }
  // Stable insertion sort by distance: ties keep the lower index first.
  for (std::size_t i = 1; i < count; ++i) {
    const Candidate moving = candidates[i];
    std::size_t j = i;
    while (j > 0 && candidates[j - 1].distance > moving.distance) {
      candidates[j] = candidates[j - 1];
      --j;
    }
    candidates[j] = moving;
  }
  const std::size_t kept = std::min(count, BIAS_NEIGHBOURS);
  if (candidates[0].distance == 0.0) return candidates[0].bias;

  double weighted = 0.0;
  double weights = 0.0;
  for (std::size_t i = 0; i < kept; ++i) {
    weighted += candidates[i].bias / candidates[i].distance;
    weights += 1.0 / candidates[i].distance;
  }
  return weighted / weights;
}

std::int64_t estimate_registers(ByteView registers, std::int32_t precision) {
  return estimate_registers(registers, precision, RegisterSums{summarize_registers(registers), {}});
}

std::int64_t estimate_registers(ByteView registers, std::int32_t precision,
                                const RegisterSums& sums) {
  const RegisterSummary& summary = sums.summary;
  const std::int32_t p = precision;
  VANTORELLE_ASSERT(p >= MINIMUM_PRECISION, "self.state.precision >= Self::MINIMUM_PRECISION");

  VANTORELLE_ASSERT(summary.highest <= 65 - p, "0 <= v && v <= 65 - self.state.precision");
  const double m = std::ldexp(1.0, p);

  if (summary.zeros > 0) {
    const double linear = linear_counting(m, static_cast<double>(summary.zeros));
    if (static_cast<double>(linear_counting_threshold(p)) >= linear) {
      return round_to_int64(linear);
    }
  }
  const double sum = sums.harmonic_sum ? *sums.harmonic_sum : harmonic_sum(registers, summary);
  double t = 1.079 / m;
  t = t + 1.0;
  double a = 0.7213 / t;
  a = a * m;
  a = a * m;
  const double raw = a / sum;
  return round_to_int64(raw - estimate_bias(raw, p));
}

}  // namespace vantorelle
