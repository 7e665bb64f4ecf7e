// Distinct counts per group from one pass over the rows, with the martingale
// (historic inverse probability) estimate: no sketch is written, so none is
// ever merged, and the count can use the order in which the state changed.
//
// Each group keeps two states while its values arrive in row order:
//
//   cells      which of the M = 2^sp sparse indices are occupied (K of them)
//   registers  the m = 2^p registers a normal sketch would hold
//
// Before a value, a new distinct value changes the cells with probability
// q_c = (M - K) / M and the registers with q_r = (1/m) sum_j 2^-r_j (a
// register at its top value 65 - p counts 0). The estimate picks one state,
// fixed before the value is seen, and adds 1 / q when the value changes
// that state: each new distinct value then adds 1 in expectation, whatever
// the choice, so the sum is unbiased at every n. The cells are picked while
// q_c is at least the expected q_r at the count so far: a fixed number of
// occupied cells, after which the registers count.
// Its variance is the sum of (1 - q) / q over the values; each change adds
// (1 - q) / q^2, an unbiased estimate of it. The larger q gives the smaller
// step variance, so the cells count while few of them are occupied (far
// below the error of any register estimate) and the registers take over
// when q_r overtakes q_c, with a relative standard error near 0.83 / sqrt(m)
// against 1.04 / sqrt(m) for an estimate from the registers alone.
//
// Without a sparse precision only the registers count. Values are the codes
// GroupedSketchBuilder gives (sparse values at (p, sp), or at (p, p) without
// a sparse precision), so a grouped count and a grouped sketch share their
// hashing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error/result.h"
#include "hll/encoding.h"

namespace vantorelle {

struct MartingaleCount {
  double estimate = 0.0;
  double variance = 0.0;     // estimated variance of `estimate`
  std::uint64_t occupied = 0;  // a certain lower bound: occupied cells (or registers)
  // Whether the cells counted every change (the registers never took over):
  // the occupied cells then bound the count as a sparse sketch's do.
  bool cells_only = true;
};

class MartingaleCounter {
 public:
  // Precisions as the aggregator accepts them; a sparse precision of 0
  // means none (registers only).
  static Result<MartingaleCounter> create(std::int32_t normal_precision, std::int32_t sparse_precision);

  // The code of a row without a value (skipped).
  static constexpr std::uint32_t kNoValue = UINT32_MAX;

  // The count of each group 0 .. group_count - 1 from the rows' groups and
  // codes in row order. Threads take runs of groups; the counts do not
  // depend on their number.
  std::vector<MartingaleCount> count(std::span<const std::uint32_t> groups,
                                     std::span<const std::uint32_t> codes, std::uint32_t group_count,
                                     int threads) const;

  // The count of one stream of codes, in order.
  MartingaleCount count_one(std::span<const std::uint32_t> codes) const;

  std::int32_t normal_precision() const { return encoding_.normal_precision(); }
  // 0 without a sparse precision.
  std::int32_t sparse_precision() const { return with_cells_ ? encoding_.sparse_precision() : 0; }

 private:
  MartingaleCounter(SparseEncoding encoding, bool with_cells) : encoding_(encoding), with_cells_(with_cells) {}
  class Scratch;

  SparseEncoding encoding_;
  bool with_cells_;
  // The occupied cells at which the registers take over.
  std::uint64_t switch_at_ = UINT64_MAX;
};

struct CountBounds {
  double lower = 0.0;
  double upper = 0.0;
};
// Bounds that hold the count with probability `confidence` (0 < c < 1): for
// a count of the cells alone, the occupancy interval of a sparse sketch;
// otherwise the estimate plus or minus the normal quantile times its
// standard error, never below the occupied count.
CountBounds martingale_bounds(const MartingaleCount& count, std::int32_t sparse_precision, double confidence);

}  // namespace vantorelle
