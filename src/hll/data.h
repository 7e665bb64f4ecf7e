// data: the bias tables, i.e. the constant data of the HLL++ estimator:
// linear-counting thresholds and the empirical raw-estimate and bias tables
// published with the algorithm. (The file name is the project's layout.)
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vantorelle {

// Precisions covered by the tables below, indexed by precision - 10.
inline constexpr std::int32_t TABLE_MIN_PRECISION = 10;
inline constexpr std::int32_t TABLE_MAX_PRECISION = 18;

inline constexpr std::array<std::int32_t, 9> LINEAR_COUNTING_THRESHOLDS = {
    900, 1800, 3100, 6500, 11500, 20000, 50000, 120000, 350000};

// Entry i of a raw array is a mean raw estimate; entry i of the bias array is
// that raw estimate minus the true cardinality. Each raw array ascends strictly.
extern const std::array<std::span<const double>, 9> EMPIRICAL_RAW_ESTIMATES;
extern const std::array<std::span<const double>, 9> EMPIRICAL_BIASES;

// The threshold for precision 10..24: the table up to 18, then 5 * 2^(p-1).
constexpr std::int32_t linear_counting_threshold(std::int32_t precision) {
  if (precision <= TABLE_MAX_PRECISION) {
    return LINEAR_COUNTING_THRESHOLDS[static_cast<std::size_t>(precision - TABLE_MIN_PRECISION)];
  }
  return (5 * (std::int32_t{1} << precision)) / 2;
}

}  // namespace vantorelle
