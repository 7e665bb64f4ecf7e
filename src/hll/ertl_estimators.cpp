#include "hll/ertl_estimators.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "error/internal_failure.h"
#include "hll/register_sums.h"

namespace vantorelle {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// sigma(x) = x + sum_{k>=1} x^(2^k) 2^(k-1); infinite at x = 1.
double sigma(double x) {
  if (x == 1.0) return kInfinity;
  double y = 1.0;
  double z = x;
  double previous = 0.0;
  do {
    x *= x;
    previous = z;
    z += x * y;
    y += y;
  } while (z != previous);
  return z;
}

// tau(x) = (1 - x - sum_{k>=1} (1 - x^(2^-k))^2 2^-k) / 3; 0 at both ends.
double tau(double x) {
  if (x == 0.0 || x == 1.0) return 0.0;
  double y = 1.0;
  double z = 1.0 - x;
  double previous = 0.0;
  do {
    x = std::sqrt(x);
    previous = z;
    y *= 0.5;
    z -= (1.0 - x) * (1.0 - x) * y;
  } while (z != previous);
  return z / 3.0;
}

// The two widths of register value k at precision q: w, the rate's factor in
// ln P(U <= k) = -lambda w (0 for the top value q + 1), and d, the factor of
// the step from k - 1 to k (infinite for k = 0: P(U <= -1) = 0).
struct Widths {
  double w;
  double d;
};
Widths widths(std::int32_t k, std::int32_t q) {
  if (k == 0) return {1.0, kInfinity};
  if (k <= q) return {std::ldexp(1.0, -k), std::ldexp(1.0, -k)};
  return {0.0, std::ldexp(1.0, -q)};
}

// ln P(U = k) for U of rate lambda, with its first two derivatives.
struct Term {
  double value;
  double first;
  double second;
};
Term point_term(double lambda, Widths widths) {
  if (std::isinf(widths.d)) return {-lambda, -1.0, 0.0};
  const double step = std::expm1(lambda * widths.d);  // e^{lambda d} - 1
  const double value = -lambda * widths.w + std::log(-std::expm1(-lambda * widths.d));
  const double first = -widths.w + widths.d / step;
  const double second = -widths.d * widths.d * (step + 1.0) / (step * step);
  return {value, first, second};
}

}  // namespace

double RegisterHistogram::m() const { return std::ldexp(1.0, precision); }

RegisterHistogram histogram_of(ByteView registers, std::int32_t precision) {
  RegisterHistogram histogram;
  histogram.precision = precision;
  const auto m = static_cast<std::uint64_t>(histogram.m());
  VANTORELLE_ASSERT(registers.empty() || registers.size() == m, "register array of 2^precision bytes");
  // The range is checked once, on the counts.
  const RegisterCounts counts = count_register_values(registers);
  const std::uint32_t top = static_cast<std::uint32_t>(65 - precision);
  for (std::uint32_t v = 0; v < 256; ++v) {
    const std::uint64_t count = counts[v];
    if (count == 0) continue;
    VANTORELLE_ASSERT(v <= top, "register value <= 65 - precision");
    histogram.counts[v] = count;
  }
  histogram.counts[0] += m - registers.size();
  return histogram;
}

double improved_estimate(const RegisterHistogram& histogram) {
  const double m = histogram.m();
  const std::int32_t q = histogram.q();
  const auto& c = histogram.counts;
  if (static_cast<double>(c[0]) == m) return 0.0;
  double z = m * tau(1.0 - static_cast<double>(c[q + 1]) / m);
  for (std::int32_t k = q; k >= 1; --k) z = 0.5 * (z + static_cast<double>(c[k]));
  z += m * sigma(static_cast<double>(c[0]) / m);
  return m * m / (2.0 * std::log(2.0)) / z;
}

MlEstimate ml_estimate(const RegisterHistogram& histogram) {
  const double m = histogram.m();
  const std::int32_t q = histogram.q();
  const auto& c = histogram.counts;
  if (static_cast<double>(c[0]) == m) return {};
  if (static_cast<double>(c[q + 1]) == m) return {kInfinity, kInfinity};

  // f(lambda) = d ln L / d lambda, decreasing from +inf to -linear, and the
  // information -f'.
  auto derivative = [&](double lambda, double* information) {
    double f = 0.0;
    double info = 0.0;
    for (std::int32_t k = 0; k <= q + 1; ++k) {
      if (c[k] == 0) continue;
      const Term term = point_term(lambda, widths(k, q));
      f += static_cast<double>(c[k]) * term.first;
      info -= static_cast<double>(c[k]) * term.second;
    }
    *information = info;
    return f;
  };

  double low = 0.0;
  double high = std::max(improved_estimate(histogram) / m, 1e-300) * 2.0;
  double information = 0.0;
  while (derivative(high, &information) > 0.0) {
    low = high;
    high *= 2.0;
  }
  double lambda = 0.5 * (low + high);
  for (int iteration = 0; iteration < 200; ++iteration) {
    const double f = derivative(lambda, &information);
    if (f > 0.0) low = lambda; else high = lambda;
    double next = information > 0.0 ? lambda + f / information : 0.5 * (low + high);
    if (!(next > low && next < high)) next = 0.5 * (low + high);
    const bool settled = std::abs(next - lambda) <= 1e-12 * lambda;
    lambda = next;
    if (settled || high - low <= 1e-15 * high) break;
  }
  derivative(lambda, &information);
  // The information is that of the Poisson model, whose total count is
  // itself random with variance n; a sketch of n fixed values lacks that
  // part of the variance.
  const double estimate = m * lambda;
  const double poisson_variance = m * m / information;
  return {estimate, std::sqrt(std::max(poisson_variance - estimate, 0.0))};
}

namespace {

// Register-pair counts of two arrays, reduced to what the likelihood reads.
struct PairHistograms {
  std::array<double, 66> less_a{};     // K_A = i with K_A < K_B
  std::array<double, 66> less_b{};     // K_B = j with K_A < K_B
  std::array<double, 66> greater_a{};  // K_A = i with K_A > K_B
  std::array<double, 66> greater_b{};  // K_B = j with K_A > K_B
  std::array<double, 66> equal{};      // K_A = K_B = i
};

// The 66 x 66 table of register pairs (K_A, K_B): one pass over both arrays.
using JointTable = std::array<std::array<std::uint32_t, 66>, 66>;

void count_pairs(ByteView a, ByteView b, std::size_t m, JointTable& joint) {
  if (a.empty() || b.empty()) {
    const ByteView present = a.empty() ? b : a;
    std::array<std::uint32_t, 256> counts{};
    for (std::uint8_t v : present) ++counts[v];
    counts[0] += static_cast<std::uint32_t>(m - present.size());
    for (std::uint32_t v = 0; v < 66; ++v) (a.empty() ? joint[0][v] : joint[v][0]) = counts[v];
    for (std::uint32_t v = 66; v < 256; ++v) VANTORELLE_ASSERT(counts[v] == 0, "register value <= 65 - precision");
    return;
  }
  // Four interleaved tables of 64 x 64, so that runs of equal pairs do not
  // serialise on one counter. Register values stay below 56 for the
  // precisions here; a larger one is caught below (masked meanwhile).
  std::vector<std::uint32_t> partial(4 * 4096, 0);
  std::uint8_t highest = 0;
  std::size_t i = 0;
  auto count = [&](std::size_t table, std::size_t at) {
    const std::uint8_t x = a[at];
    const std::uint8_t y = b[at];
    highest = std::max(highest, static_cast<std::uint8_t>(x | y));
    ++partial[table * 4096 + ((x & 63u) << 6) + (y & 63u)];
  };
  for (; i + 4 <= m; i += 4) {
    count(0, i);
    count(1, i + 1);
    count(2, i + 2);
    count(3, i + 3);
  }
  for (; i < m; ++i) count(0, i);
  VANTORELLE_ASSERT(highest <= 63, "register value <= 65 - precision");
  for (std::size_t x = 0; x < 64; ++x) {
    for (std::size_t y = 0; y < 64; ++y) {
      const std::size_t at = (x << 6) + y;
      joint[x][y] = partial[at] + partial[4096 + at] + partial[2 * 4096 + at] + partial[3 * 4096 + at];
    }
  }
}

PairHistograms pair_histograms(const JointTable& joint, std::uint32_t top) {
  PairHistograms h;
  for (std::uint32_t x = 0; x <= top; ++x) {
    for (std::uint32_t y = 0; y <= top; ++y) {
      const double count = joint[x][y];
      if (count == 0) continue;
      if (x < y) {
        h.less_a[x] += count;
        h.less_b[y] += count;
      } else if (x > y) {
        h.greater_a[x] += count;
        h.greater_b[y] += count;
      } else {
        h.equal[x] += count;
      }
    }
  }
  return h;
}

// The histograms of A, B and of their register maximum (the merged sketch).
struct MarginalHistograms {
  RegisterHistogram a;
  RegisterHistogram b;
  RegisterHistogram merged;
};
MarginalHistograms marginals(const JointTable& joint, std::int32_t precision) {
  MarginalHistograms out;
  out.a.precision = out.b.precision = out.merged.precision = precision;
  for (std::uint32_t x = 0; x < 66; ++x) {
    for (std::uint32_t y = 0; y < 66; ++y) {
      const std::uint32_t count = joint[x][y];
      out.a.counts[x] += count;
      out.b.counts[y] += count;
      out.merged.counts[std::max(x, y)] += count;
    }
  }
  return out;
}

using Vector3 = std::array<double, 3>;
using Matrix3 = std::array<Vector3, 3>;

struct Evaluation {
  double value = 0.0;
  Vector3 gradient{};
  Matrix3 hessian{};
};

// ln L of rates (only A, only B, both) with gradient and Hessian.
Evaluation evaluate(const PairHistograms& h, const Vector3& rates, std::int32_t q) {
  const double ra = rates[0];
  const double rb = rates[1];
  const double rx = rates[2];
  Evaluation e;
  // A term of one rate that is a sum of the three with 0/1 coefficients.
  auto add_single = [&](double count, double rate, Widths w, const Vector3& uses) {
    const Term t = point_term(rate, w);
    e.value += count * t.value;
    for (int i = 0; i < 3; ++i) {
      e.gradient[i] += count * t.first * uses[i];
      for (int j = 0; j < 3; ++j) e.hessian[i][j] += count * t.second * uses[i] * uses[j];
    }
  };
  for (std::int32_t k = 0; k <= q + 1; ++k) {
    const Widths w = widths(k, q);
    if (h.less_a[k] > 0) add_single(h.less_a[k], ra + rx, w, {1, 0, 1});
    if (h.less_b[k] > 0) add_single(h.less_b[k], rb, w, {0, 1, 0});
    if (h.greater_a[k] > 0) add_single(h.greater_a[k], ra, w, {1, 0, 0});
    if (h.greater_b[k] > 0) add_single(h.greater_b[k], rb + rx, w, {0, 1, 1});
    const double count = h.equal[k];
    if (count == 0) continue;
    const double total = ra + rb + rx;
    if (std::isinf(w.d)) {
      add_single(count, total, w, {1, 1, 1});
      continue;
    }
    // P = exp(-total w) g, g = X + E_x A B with A = 1 - E_a etc.
    const double d = w.d;
    const double ea = std::exp(-ra * d), eb = std::exp(-rb * d), ex = std::exp(-rx * d);
    const double A = -std::expm1(-ra * d), B = -std::expm1(-rb * d), X = -std::expm1(-rx * d);
    const double g = X + ex * A * B;
    const Vector3 dg = {ex * B * d * ea, ex * A * d * eb, d * ex * (1.0 - A * B)};
    const double d2 = d * d;
    const Matrix3 ddg = {{{-d2 * ex * B * ea, d2 * ex * ea * eb, -d2 * ex * B * ea},
                          {d2 * ex * ea * eb, -d2 * ex * A * eb, -d2 * ex * A * eb},
                          {-d2 * ex * B * ea, -d2 * ex * A * eb, -d2 * ex * (1.0 - A * B)}}};
    e.value += count * (-total * w.w + std::log(g));
    for (int i = 0; i < 3; ++i) {
      e.gradient[i] += count * (-w.w + dg[i] / g);
      for (int j = 0; j < 3; ++j) {
        e.hessian[i][j] += count * (ddg[i][j] / g - dg[i] * dg[j] / (g * g));
      }
    }
  }
  return e;
}

// Solves -H_FF delta = g_F over the free coordinates by Cholesky; false when
// -H_FF is not positive definite.
bool newton_direction(const Evaluation& e, const std::array<bool, 3>& free, Vector3* delta) {
  int index[3];
  int n = 0;
  for (int i = 0; i < 3; ++i) {
    if (free[i]) index[n++] = i;
  }
  double l[3][3] = {};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = -e.hessian[index[i]][index[j]];
      for (int k = 0; k < j; ++k) sum -= l[i][k] * l[j][k];
      if (i == j) {
        if (!(sum > 0.0) || !std::isfinite(sum)) return false;
        l[i][i] = std::sqrt(sum);
      } else {
        l[i][j] = sum / l[j][j];
      }
    }
  }
  double y[3] = {};
  for (int i = 0; i < n; ++i) {
    double sum = e.gradient[index[i]];
    for (int k = 0; k < i; ++k) sum -= l[i][k] * y[k];
    y[i] = sum / l[i][i];
  }
  double x[3] = {};
  for (int i = n - 1; i >= 0; --i) {
    double sum = y[i];
    for (int k = i + 1; k < n; ++k) sum -= l[k][i] * x[k];
    x[i] = sum / l[i][i];
  }
  *delta = {0.0, 0.0, 0.0};
  for (int i = 0; i < n; ++i) (*delta)[index[i]] = x[i];
  return std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]);
}

}  // namespace

JointEstimate joint_ml_estimate(ByteView a, ByteView b, std::int32_t precision) {
  const std::int32_t q = 64 - precision;
  const auto size = static_cast<std::size_t>(std::ldexp(1.0, precision));
  VANTORELLE_ASSERT((a.empty() || a.size() == size) && (b.empty() || b.size() == size),
                    "register arrays of 2^precision bytes");
  JointTable joint{};
  count_pairs(a, b, size, joint);
  const std::uint32_t top = static_cast<std::uint32_t>(q + 1);
  const MarginalHistograms single = marginals(joint, precision);
  for (std::uint32_t v = top + 1; v < 66; ++v) {
    VANTORELLE_ASSERT(single.merged.counts[v] == 0, "register value <= 65 - precision");
  }
  const double m = single.a.m();
  const double na = ml_estimate(single.a).estimate;
  const double nb = ml_estimate(single.b).estimate;
  if (na == 0.0) return {0.0, nb, 0.0};
  if (nb == 0.0) return {na, 0.0, 0.0};
  const PairHistograms h = pair_histograms(joint, top);

  // Start from inclusion-exclusion of the single estimates, kept inside.
  const double nu = ml_estimate(single.merged).estimate;
  const double la = na / m, lb = nb / m, lu = nu / m;
  const double lx = std::clamp(la + lb - lu, 0.05 * std::min(la, lb), 0.95 * std::min(la, lb));
  Vector3 rates = {std::max(la - lx, 0.05 * la), std::max(lb - lx, 0.05 * lb), lx};

  Evaluation current = evaluate(h, rates, q);
  for (int iteration = 0; iteration < 200; ++iteration) {
    // Coordinates on the boundary whose gradient points outwards stay there.
    std::array<bool, 3> free{};
    for (int i = 0; i < 3; ++i) free[i] = !(rates[i] <= 0.0 && current.gradient[i] <= 0.0);
    Vector3 delta{};
    if (!newton_direction(current, free, &delta)) {
      // Steepest ascent, scaled to the rates.
      const double scale = rates[0] + rates[1] + rates[2];
      const double norm = std::sqrt(current.gradient[0] * current.gradient[0] +
                                    current.gradient[1] * current.gradient[1] +
                                    current.gradient[2] * current.gradient[2]);
      if (!(norm > 0.0) || !std::isfinite(norm)) break;
      for (int i = 0; i < 3; ++i) delta[i] = free[i] ? 0.1 * scale * current.gradient[i] / norm : 0.0;
    }
    double step = 1.0;
    bool moved = false;
    Vector3 candidate{};
    Evaluation next;
    for (int halving = 0; halving < 60; ++halving, step *= 0.5) {
      for (int i = 0; i < 3; ++i) candidate[i] = std::max(0.0, rates[i] + step * delta[i]);
      next = evaluate(h, candidate, q);
      if (std::isfinite(next.value) && next.value >= current.value) {
        moved = true;
        break;
      }
    }
    if (!moved) break;
    double change = 0.0;
    for (int i = 0; i < 3; ++i) change = std::max(change, std::abs(candidate[i] - rates[i]));
    rates = candidate;
    const double gain = next.value - current.value;
    current = next;
    if (change <= 1e-12 * (rates[0] + rates[1] + rates[2]) ||
        gain <= 1e-13 * std::abs(current.value)) {
      break;
    }
  }
  return {m * rates[0], m * rates[1], m * rates[2]};
}

namespace {

// (t - 1 + e^-t) and (e^-t - (1 + t) e^-2t): the expected collisions and the
// variance of the occupied count per cell, both by series where they cancel.
double collisions_per_cell(double t) {
  if (t < 1e-3) return t * t * (0.5 - t / 6.0 + t * t / 24.0);
  return t + std::expm1(-t);
}
double occupancy_variance_per_cell(double t) {
  // 1 - (1 + t) e^-t = sum_{k>=2} (-1)^k (k - 1) t^k / k!
  double inner;
  if (t < 0.1) {
    inner = 0.0;
    double power = t;
    double factorial = 1.0;
    for (int k = 2; k < 14; ++k) {
      power *= t;
      factorial *= k;
      inner += ((k % 2 == 0) ? 1.0 : -1.0) * (k - 1) * power / factorial;
    }
  } else {
    inner = -std::expm1(-t) - t * std::exp(-t);
  }
  return std::exp(-t) * inner;
}

// P(D <= d) and P(D >= d) for the collisions D among n values in `cells`.
double poisson_cdf(double mean, double d) {
  if (d < 0) return 0.0;
  if (d > mean + 40.0 * std::sqrt(mean) + 60.0) return 1.0;
  double term = std::exp(-mean);
  double sum = term;
  for (double k = 1; k <= d; ++k) {
    term *= mean / k;
    sum += term;
  }
  return std::min(sum, 1.0);
}

double standard_normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// The tails P(D <= d) and P(D >= d). While collisions are rare D takes a
// few values only, and the full (Poisson) tails keep the coverage at or
// above the stated confidence: no interval of whole counts can come closer
// to it at every n, and half-counting the observed value (mid-p) was
// measured 9 points below at 68 %. Beyond, the normal tail is taken without
// a continuity correction, which is what keeps the coverage at the stated
// confidence there (with it, 5 to 9 points above at 68 %).
struct CollisionTails {
  double at_most;
  double at_least;
};
CollisionTails collision_tails(double cells, double n, double d) {
  const double t = n / cells;
  const double mean = cells * collisions_per_cell(t);
  if (t <= 0.05 && mean <= 30.0) {
    return {poisson_cdf(mean, d), 1.0 - poisson_cdf(mean, d - 1.0)};
  }
  const double sd = std::sqrt(cells * occupancy_variance_per_cell(t));
  return {standard_normal_cdf((d - mean) / sd), standard_normal_cdf((mean - d) / sd)};
}

}  // namespace

CountInterval occupancy_interval(double cells, double occupied, double confidence) {
  const double tail = 0.5 * (1.0 - confidence);
  if (occupied <= 0.0) return {0.0, 0.0};
  // n is plausible from below while P(D <= n - K) >= tail, and from above
  // while P(D >= n - K) >= tail; both move monotonically with n.
  auto plausible_low = [&](double n) { return collision_tails(cells, n, n - occupied).at_most >= tail; };
  auto plausible_high = [&](double n) { return collision_tails(cells, n, n - occupied).at_least >= tail; };
  if (occupied >= cells) return {occupied, kInfinity};
  // A far end that is implausible from above.
  double far = std::max(2.0 * linear_count(cells, occupied), occupied + 64.0);
  while (plausible_high(far)) {
    far *= 2.0;
    if (far > 1e300) return {occupied, kInfinity};
  }
  // Integer bisections.
  auto first_true = [](double lo, double hi, auto&& predicate) {
    // predicate false at lo - 1 (or lo is the answer), true at hi.
    while (hi - lo > 0.5) {
      const double mid = std::floor(0.5 * (lo + hi));
      if (predicate(mid)) hi = mid; else lo = mid + 1.0;
    }
    return hi;
  };
  const double lower = plausible_low(occupied)
                           ? occupied
                           : first_true(occupied, far, plausible_low);
  const double upper =
      first_true(lower, far, [&](double n) { return !plausible_high(n); }) - 1.0;
  return {lower, std::max(upper, lower)};
}

double normal_quantile(double confidence) {
  const double tail = 0.5 * (1.0 - confidence);
  double low = 0.0;
  double high = 40.0;
  for (int i = 0; i < 200 && high - low > 1e-15; ++i) {
    const double mid = 0.5 * (low + high);
    if (0.5 * std::erfc(mid / std::sqrt(2.0)) > tail) low = mid; else high = mid;
  }
  return 0.5 * (low + high);
}

}  // namespace vantorelle
