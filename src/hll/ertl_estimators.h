// Cardinality estimators that need no bias tables, after O. Ertl, "New
// cardinality estimation algorithms for HyperLogLog sketches" (2017), and
// the interval arithmetic that goes with them.
//
// Everything here works on what a sketch already decodes to:
//
//   registers at precision p  ->  RegisterHistogram C_0 .. C_{q+1}, q = 64 - p
//   sparse values at sp       ->  the number of occupied sparse indices
//
// The model is the Poisson one: with rate lambda = n / m, a register is
// <= k with probability exp(-lambda 2^-k) for k <= q and certainly <= q + 1;
// registers are independent. Under it
//
//   improved_estimate  the closed-form estimator (sigma / tau corrections at
//                      both ends of the register range)
//   ml_estimate        the root of d/dlambda ln L, a concave function: Newton
//                      steps inside a bracket that bisection keeps. The
//                      observed information gives the variance under the
//                      Poisson model, whose total is itself random (variance
//                      n); a sketch of n fixed values lacks that part, so the
//                      standard error is sqrt(m^2 / information - n)
//   joint_ml_estimate  two register arrays of one precision, three rates
//                      (only in A, only in B, in both): a register pair's
//                      probability factorises by how the two values
//                      compare, so five histograms carry the likelihood
//                      (K_A < K_B by each value, K_A > K_B likewise, equal).
//                      Projected Newton steps with backtracking on the box
//                      of non-negative rates, from inclusion-exclusion of
//                      the single estimates
//   occupancy          n balls in M cells leave K cells occupied; the
//                      collisions D = n - K have a known mean and variance.
//                      Linear counting is the maximum-likelihood estimate
//                      from K alone, and inverting the test on D gives an
//                      interval: with Poisson tails while collisions are
//                      rare (coverage at least the stated probability;
//                      the exact count while a collision is unlikely),
//                      with a normal tail of the exact variance after
//                      (coverage close to the stated probability).
#pragma once

#include <array>
#include <cstdint>

#include "hll/linear_counting.h"
#include "utils/bytes.h"

namespace vantorelle {

// C_k for k = 0 .. 65 - p; entries above 65 - p stay 0.
struct RegisterHistogram {
  std::int32_t precision = 0;
  std::array<std::uint64_t, 66> counts{};

  std::int32_t q() const { return 64 - precision; }
  double m() const;
};

// The histogram of 2^p registers (an empty view is all zero). A register
// above 65 - p is an internal failure: validated sketches never hold one.
RegisterHistogram histogram_of(ByteView registers, std::int32_t precision);

double improved_estimate(const RegisterHistogram& histogram);

struct MlEstimate {
  double estimate = 0.0;
  double std_error = 0.0;  // of the estimate, from the observed information
};
MlEstimate ml_estimate(const RegisterHistogram& histogram);

// Rates times m: distinct values only in A, only in B, and in both.
struct JointEstimate {
  double only_a = 0.0;
  double only_b = 0.0;
  double both = 0.0;
};
// Two register arrays of the same precision (an empty view is all zero).
JointEstimate joint_ml_estimate(ByteView a, ByteView b, std::int32_t precision);

struct CountInterval {
  double lower = 0.0;
  double upper = 0.0;
};
// The values of n not rejected at level 1 - confidence by either tail of the
// collision count, given `occupied` of `cells` cells. The lower end is never
// below `occupied`; with every cell occupied the upper end is infinity.
CountInterval occupancy_interval(double cells, double occupied, double confidence);

// The two-sided standard normal quantile of `confidence` (0 < c < 1).
double normal_quantile(double confidence);

}  // namespace vantorelle
