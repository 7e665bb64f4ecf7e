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

namespace vantorelle {

namespace {

// 2^-v for every register value v; each entry is exact.
constexpr std::array<double, 66> inverse_powers_of_two() {
  std::array<double, 66> table{};
  double value = 1.0;
  for (double& entry : table) {
    entry = value;
    value /= 2.0;
  }
  return table;
}
constexpr std::array<double, 66> INVERSE_POWERS = inverse_powers_of_two();

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
  const std::int32_t p = precision;
  VANTORELLE_ASSERT(p >= MINIMUM_PRECISION, "self.state.precision >= Self::MINIMUM_PRECISION");

  // Histogram of register values, in four interleaved copies so that runs of
  // equal bytes do not serialise on one counter.
  std::array<std::array<std::uint32_t, 256>, 4> partial{};
  const std::size_t n = registers.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++partial[0][registers[i]];
    ++partial[1][registers[i + 1]];
    ++partial[2][registers[i + 2]];
    ++partial[3][registers[i + 3]];
  }
  for (; i < n; ++i) ++partial[0][registers[i]];
  std::array<std::uint32_t, 256> histogram{};
  std::uint32_t highest = 0;
  for (std::uint32_t v = 0; v < 256; ++v) {
    histogram[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
    if (histogram[v] != 0) highest = v;
  }
  VANTORELLE_ASSERT(highest <= static_cast<std::uint32_t>(65 - p),
                    "0 <= v && v <= 65 - self.state.precision");

  // Summed register by register, the running total is a multiple of
  // 2^-highest below 2^p; while that fits in a double's 53 bits every
  // partial sum is exact, so summing by value gives the identical result.
  double sum = 0.0;
  if (static_cast<std::uint32_t>(p) + highest <= 53) {
    for (std::uint32_t v = 0; v <= highest; ++v) {
      sum += static_cast<double>(histogram[v]) * INVERSE_POWERS[v];
    }
  } else {
    for (std::uint8_t v : registers) sum += INVERSE_POWERS[v];
  }
  const auto zeros = static_cast<std::int32_t>(histogram[0]);
  const double m = std::ldexp(1.0, p);

  if (zeros > 0) {
    const double linear = m * std::log(m / static_cast<double>(zeros));
    if (static_cast<double>(linear_counting_threshold(p)) >= linear) {
      return round_to_int64(linear);
    }
  }
  double t = 1.079 / m;
  t = t + 1.0;
  double a = 0.7213 / t;
  a = a * m;
  a = a * m;
  const double raw = a / sum;
  return round_to_int64(raw - estimate_bias(raw, p));
}

}  // namespace vantorelle
