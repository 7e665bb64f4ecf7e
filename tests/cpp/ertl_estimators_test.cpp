#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "hll/ertl_estimators.h"
#include "hll/sketch_estimates.h"
#include "state/state_message.h"
#include "state/state_validation.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::unwrap;

// Registers of precision p holding a random histogram whose top is `top`.
Bytes random_registers(std::mt19937_64& rng, std::int32_t p, std::uint32_t top) {
  Bytes registers(std::size_t{1} << p);
  std::uniform_int_distribution<std::uint32_t> value(0, top);
  for (std::uint8_t& r : registers) r = static_cast<std::uint8_t>(value(rng));
  return registers;
}

// The improved estimator from its definition, summed term by term in long
// double (no Horner form, series to a fixed depth).
long double improved_by_definition(const RegisterHistogram& h) {
  const long double m = std::ldexp(1.0L, h.precision);
  const std::int32_t q = h.q();
  const long double x0 = h.counts[0] / m;
  const long double x1 = 1.0L - h.counts[q + 1] / m;
  long double sigma = x0;
  for (int k = 1; k < 64; ++k) sigma += std::pow(x0, std::ldexp(1.0L, k)) * std::ldexp(1.0L, k - 1);
  long double tau = 1.0L - x1;
  if (x1 > 0.0L && x1 < 1.0L) {
    for (int k = 1; k < 64; ++k) {
      const long double root = std::pow(x1, std::ldexp(1.0L, -k));
      tau -= (1.0L - root) * (1.0L - root) * std::ldexp(1.0L, -k);
    }
  } else {
    tau = 0.0L;
  }
  tau /= 3.0L;
  long double denominator = m * sigma + m * tau * std::ldexp(1.0L, -q);
  for (int k = 1; k <= q; ++k) denominator += h.counts[k] * std::ldexp(1.0L, -k);
  return m * m / (2.0L * std::log(2.0L)) / denominator;
}

// ln L of the Poisson model, written from P(register = k) directly.
long double log_likelihood(const RegisterHistogram& h, long double lambda) {
  const std::int32_t q = h.q();
  auto at_most = [&](int k) -> long double {
    if (k < 0) return 0.0L;
    if (k > q) return 1.0L;
    return std::exp(-lambda * std::ldexp(1.0L, -k));
  };
  long double sum = 0.0L;
  for (int k = 0; k <= q + 1; ++k) {
    if (h.counts[k] != 0) sum += h.counts[k] * std::log(at_most(k) - at_most(k - 1));
  }
  return sum;
}

TEST(ErtlEstimators, ImprovedMatchesItsDefinitionOnRandomStates) {
  std::mt19937_64 rng(18);
  for (int round = 0; round < 40; ++round) {
    const std::int32_t p = 10 + round % 6;
    // Tops from a few (mostly empty registers) to the largest value.
    const std::uint32_t top = round % 5 == 4 ? static_cast<std::uint32_t>(65 - p) : 1 + round % 9;
    const RegisterHistogram h = histogram_of(random_registers(rng, p, top), p);
    const double expected = static_cast<double>(improved_by_definition(h));
    EXPECT_NEAR(improved_estimate(h), expected, 1e-9 * expected) << "p " << p << " top " << top;
  }
}

TEST(ErtlEstimators, EmptyAndUniformStates) {
  const RegisterHistogram empty = histogram_of(ByteView(), 12);
  EXPECT_EQ(improved_estimate(empty), 0.0);
  EXPECT_EQ(ml_estimate(empty).estimate, 0.0);
  // Registers of 0 and 1 only: d ln L / d lambda = 0 has the closed form
  // lambda = 2 ln(1 + C1 / (2 C0 + C1)).
  for (std::size_t ones : {1u, 100u, 1000u, 4095u}) {
    Bytes registers(4096, 0);
    std::fill_n(registers.begin(), ones, 1);
    const RegisterHistogram h = histogram_of(registers, 12);
    const double c0 = 4096.0 - static_cast<double>(ones);
    const double c1 = static_cast<double>(ones);
    const double expected = 4096.0 * 2.0 * std::log1p(c1 / (2.0 * c0 + c1));
    EXPECT_NEAR(ml_estimate(h).estimate, expected, 1e-9 * expected) << ones;
  }
}

TEST(ErtlEstimators, MaximumLikelihoodIsTheMaximumAndItsErrorTheCurvature) {
  std::mt19937_64 rng(1702);
  for (int round = 0; round < 30; ++round) {
    const std::int32_t p = 10 + round % 5;
    const RegisterHistogram h = histogram_of(random_registers(rng, p, 2 + round % 20), p);
    const MlEstimate ml = ml_estimate(h);
    const long double lambda = ml.estimate / h.m();
    const long double best = log_likelihood(h, lambda);
    for (long double factor : {0.999L, 0.99999L, 1.00001L, 1.001L}) {
      EXPECT_LE(log_likelihood(h, lambda * factor), best) << round << " " << static_cast<double>(factor);
    }
    // Curvature by central differences; the standard error is that of the
    // Poisson model less the variance n of its random total.
    const long double step = lambda * 1e-4L;
    const long double curvature =
        (log_likelihood(h, lambda + step) - 2 * best + log_likelihood(h, lambda - step)) / (step * step);
    const double poisson = static_cast<double>(h.m() * h.m() / -curvature);
    const double expected = std::sqrt(std::max(poisson - ml.estimate, 0.0));
    EXPECT_NEAR(ml.std_error, expected, 1e-3 * expected + 1e-9) << round;
  }
}

TEST(ErtlEstimators, OccupancyIntervalsHoldTheExactCountOfCollisionFreeStates) {
  for (double cells : {1024.0, 1048576.0}) {
    double previous_upper = 0.0;
    for (double occupied = 1; occupied <= 300; occupied += 1) {
      for (double confidence : {0.68, 0.95, 0.99}) {
        const CountInterval interval = occupancy_interval(cells, occupied, confidence);
        // While a collision is unlikely (expected collisions n^2 / 2M below
        // 0.1), the collision-free count is inside at every level; the
        // lower end can never be below the occupied count.
        if (occupied * occupied / (2 * cells) <= 0.1) {
          EXPECT_EQ(interval.lower, occupied);
        }
        EXPECT_GE(interval.lower, occupied);
        EXPECT_GE(interval.upper, std::floor(linear_count(cells, occupied)));
        const CountInterval wider = occupancy_interval(cells, occupied, std::min(0.999, confidence + 0.01));
        EXPECT_LE(wider.lower, interval.lower);
        EXPECT_GE(wider.upper, interval.upper);
      }
      const double upper = occupancy_interval(cells, occupied, 0.95).upper;
      EXPECT_GE(upper, previous_upper);
      previous_upper = upper;
    }
  }
  // Many collisions: the linear-counting estimate lies strictly inside.
  const CountInterval loaded = occupancy_interval(4096, 3000, 0.95);
  EXPECT_LT(loaded.lower, linear_count(4096, 3000));
  EXPECT_GT(loaded.upper, linear_count(4096, 3000));
  EXPECT_GT(loaded.lower, 3000);
  EXPECT_TRUE(std::isinf(occupancy_interval(4096, 4096, 0.95).upper));
}

TEST(ErtlEstimators, NormalQuantile) {
  EXPECT_NEAR(normal_quantile(0.95), 1.959963985, 1e-8);
  EXPECT_NEAR(normal_quantile(0.68), 0.994457883, 1e-8);
  EXPECT_NEAR(normal_quantile(0.99), 2.575829304, 1e-8);
}

// Registers of the hashes first..last of a splitmix-like stream at p.
Bytes registers_of_stream(std::uint64_t first, std::uint64_t last, std::int32_t p) {
  Bytes registers(std::size_t{1} << p, 0);
  const NormalEncoding encoding = unwrap(NormalEncoding::create(p));
  for (std::uint64_t i = first; i < last; ++i) {
    std::uint64_t z = i * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    const NormalCoordinates c = encoding.coordinates(z);
    registers[c.index] = std::max<std::uint8_t>(registers[c.index], static_cast<std::uint8_t>(c.rho_w));
  }
  return registers;
}

TEST(ErtlEstimators, JointEstimateOfDisjointIdenticalAndOverlappingStreams) {
  const std::int32_t p = 12;
  struct Case {
    std::uint64_t a_first, a_last, b_first, b_last;
  };
  for (const Case c : {Case{1, 50001, 50001, 100001}, Case{1, 50001, 1, 50001}, Case{1, 60001, 40001, 100001},
                       Case{1, 100001, 99001, 110001}}) {
    const Bytes a = registers_of_stream(c.a_first, c.a_last, p);
    const Bytes b = registers_of_stream(c.b_first, c.b_last, p);
    const JointEstimate joint = joint_ml_estimate(a, b, p);
    const double both = std::max(0.0, static_cast<double>(std::min(c.a_last, c.b_last)) -
                                          static_cast<double>(std::max(c.a_first, c.b_first)));
    const double only_a = static_cast<double>(c.a_last - c.a_first) - both;
    const double only_b = static_cast<double>(c.b_last - c.b_first) - both;
    // 5 standard errors of a union estimate at m = 4096 (1.6 % of it).
    const double tolerance = 0.08 * (only_a + only_b + both);
    EXPECT_NEAR(joint.both, both, tolerance);
    EXPECT_NEAR(joint.only_a, only_a, tolerance);
    EXPECT_NEAR(joint.only_b, only_b, tolerance);
    // The arguments swapped give the mirrored estimate.
    const JointEstimate swapped = joint_ml_estimate(b, a, p);
    EXPECT_NEAR(swapped.only_a, joint.only_b, 1e-6 * joint.only_b + 1e-6);
    EXPECT_NEAR(swapped.only_b, joint.only_a, 1e-6 * joint.only_a + 1e-6);
    EXPECT_NEAR(swapped.both, joint.both, 1e-6 * joint.both + 1e-6);
    if (both == 0 || only_a == 0) continue;
    // Identical registers put (almost) everything in both; at the interior
    // optimum no small move raises the likelihood, written from G(i, j).
    const std::int32_t q = 64 - p;
    auto at_most = [&](double rate, int k) -> double {
      if (k < 0) return 0.0;
      if (k > q) return 1.0;
      return std::exp(-rate * std::ldexp(1.0, -k));
    };
    auto likelihood = [&](double ra, double rb, double rx) {
      double sum = 0.0;
      for (std::size_t i = 0; i < a.size(); ++i) {
        auto g = [&](int x, int y) { return at_most(ra, x) * at_most(rb, y) * at_most(rx, std::min(x, y)); };
        const int x = a[i];
        const int y = b[i];
        sum += std::log(g(x, y) - g(x - 1, y) - g(x, y - 1) + g(x - 1, y - 1));
      }
      return sum;
    };
    const double m = std::ldexp(1.0, p);
    const double best = likelihood(joint.only_a / m, joint.only_b / m, joint.both / m);
    for (int axis = 0; axis < 3; ++axis) {
      for (double factor : {0.995, 1.005}) {
        double r[3] = {joint.only_a / m, joint.only_b / m, joint.both / m};
        r[axis] *= factor;
        EXPECT_LE(likelihood(r[0], r[1], r[2]), best + 1e-9 * std::abs(best)) << axis << " " << factor;
      }
    }
  }
  const Bytes same = registers_of_stream(1, 30001, p);
  const JointEstimate identical = joint_ml_estimate(same, same, p);
  EXPECT_LT(identical.only_a + identical.only_b, 0.01 * identical.both);
  const JointEstimate with_empty = joint_ml_estimate(same, ByteView(), p);
  EXPECT_EQ(with_empty.both, 0.0);
  EXPECT_EQ(with_empty.only_b, 0.0);
}

HyperLogLogPlusPlus sketch_of(std::uint64_t first, std::uint64_t last, std::int32_t p,
                              std::optional<std::int32_t> sp, bool strings = false) {
  HyperLogLogPlusPlus sketch =
      strings ? unwrap(HyperLogLogPlusPlus::new_string_or_bytes(p, sp)) : unwrap(HyperLogLogPlusPlus::new_long(p, sp));
  for (std::uint64_t i = first; i < last; ++i) {
    if (strings) {
      unwrap(sketch.add_string(std::to_string(i)));
    } else {
      unwrap(sketch.add_long(static_cast<std::int64_t>(i)));
    }
  }
  return sketch;
}

TEST(SketchEstimates, SparseSketchesAreCountedOnTheirIndices) {
  // 300 values at sp = 25: no two share an index with overwhelming odds, so
  // every estimate is the exact count and the bounds are exact.
  for (std::uint64_t n : {1u, 2u, 17u, 300u}) {
    const HyperLogLogPlusPlus sketch = sketch_of(0, n, 15, 25);
    ASSERT_NE(sketch.representation().sparse(), nullptr);
    for (EstimateMethod method : {EstimateMethod::Default, EstimateMethod::Improved, EstimateMethod::Ml}) {
      EXPECT_EQ(unwrap(estimate_sketch(sketch, method)), static_cast<std::int64_t>(n));
    }
    const SketchBounds bounds = unwrap(bounds_of(sketch, 0.99));
    EXPECT_EQ(bounds.lower, static_cast<std::int64_t>(n));
    EXPECT_EQ(bounds.upper, static_cast<std::int64_t>(n));
  }
}

TEST(SketchEstimates, AnEstimateAsStoredIsTheEstimateOfTheWrittenSketch) {
  // Grown value by value, sketches meet the point where writing them would
  // flush the buffer past the sparse budget while they are still sparse.
  for (const auto& [p, sp] : {std::pair{10, 15}, std::pair{10, 25}, std::pair{12, 20}}) {
    HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_long(p, sp));
    int differing_live = 0;
    for (std::int64_t v = 1; v <= 2500; ++v) {
      ASSERT_TRUE(sketch.add_long(v * 7919));
      const std::int64_t stored = unwrap(unwrap(HyperLogLogPlusPlus::from_bytes(unwrap(sketch.to_bytes()))).result());
      ASSERT_EQ(unwrap(estimate_as_stored(sketch)), stored) << p << ", " << sp << ": " << v;
      differing_live += unwrap(sketch.result()) != stored;
    }
    EXPECT_GT(differing_live, 0) << p << ", " << sp;
  }
}

TEST(SketchEstimates, PairsOfSparseSketchesUseExactCounts) {
  const HyperLogLogPlusPlus a = sketch_of(0, 400, 14, 25);
  const HyperLogLogPlusPlus b = sketch_of(300, 900, 14, 25);
  const PairEstimate pair = unwrap(estimate_pair(a, b));
  EXPECT_TRUE(pair.from_sparse_indices);
  EXPECT_NEAR(pair.both, 100.0, 0.5);
  EXPECT_NEAR(pair.only_a, 300.0, 0.5);
  EXPECT_NEAR(pair.only_b, 500.0, 0.5);
  const PairEstimate disjoint = unwrap(estimate_pair(a, sketch_of(1000, 1500, 14, 25)));
  EXPECT_EQ(disjoint.both, 0.0);
  // Lowered to (12, 20) first: b's sparse values fold into a's encoding.
  const PairEstimate lowered = unwrap(estimate_pair(sketch_of(0, 400, 12, 20), b));
  EXPECT_NEAR(lowered.both, 100.0, 2.0);
}

TEST(SketchEstimates, MixedSketchesAreLoweredAndJointlyEstimated) {
  const HyperLogLogPlusPlus dense = sketch_of(0, 40000, 12, std::nullopt);
  const HyperLogLogPlusPlus sparse = sketch_of(39000, 39500, 14, 19);
  const PairEstimate pair = unwrap(estimate_pair(dense, sparse));
  EXPECT_FALSE(pair.from_sparse_indices);
  EXPECT_NEAR(pair.both, 500.0, 250.0);
  const PairEstimate mirrored = unwrap(estimate_pair(sparse, dense));
  EXPECT_NEAR(mirrored.both, pair.both, 1e-6 * pair.both);
}

TEST(SketchEstimates, Refusals) {
  const HyperLogLogPlusPlus longs = sketch_of(0, 10, 12, 17);
  const HyperLogLogPlusPlus strings = sketch_of(0, 10, 12, 17, true);
  Result<PairEstimate> mixed = estimate_pair(longs, strings);
  ASSERT_FALSE(mixed.has_value());
  EXPECT_EQ(mixed.error().kind(), ErrorKind::InvalidArgument);
  // Precision pairs that merge refuses: lower p but higher sp.
  Result<PairEstimate> crossed = estimate_pair(sketch_of(0, 10, 12, 20), sketch_of(0, 10, 14, 18));
  EXPECT_FALSE(crossed.has_value());
  for (double confidence : {0.0, 1.0, -0.5, 2.0, std::nan("")}) {
    Result<SketchBounds> refused = bounds_of(longs, confidence);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  }
  // The refused value as given, not rounded to six places.
  EXPECT_EQ(bounds_of(longs, 1.0000001).error().message(),
            "confidence must lie strictly between 0 and 1, not 1.0000001");
  EXPECT_EQ(bounds_of(longs, -1e-9).error().message(), "confidence must lie strictly between 0 and 1, not -1e-09");
}

// One estimator over a column whose rows change precisions, sizes and
// forms (the estimates and bounds of small counts are remembered per
// sparse precision, and sparse rows of the layout last seen are read from
// their bytes in place) gives each row what its loaded sketch gives, for
// every method, and for confidences that change between rows.
TEST(SketchEstimates, AViewEstimatorGivesEachRowWhatItsSketchGives) {
  std::mt19937_64 random(31);
  const std::int32_t pairs[][2] = {{15, 20}, {12, 17}, {15, 25}, {10, 10}, {14, 19}};
  const double confidences[] = {0.5, 0.9, 0.99};
  ViewEstimator estimator;
  SketchStateView room;
  for (int row = 0; row < 1500; ++row) {
    const auto& pair = pairs[random() % std::size(pairs)];
    // Mostly small sketches, so that counts repeat; some past the switch.
    const std::uint64_t n = random() % 8 == 0 ? random() % 30000 : random() % 40;
    const std::uint64_t first = random() % 1000000;
    // Loaded from its bytes, as the rows are read.
    const Bytes message = unwrap(sketch_of(first, first + n, pair[0], pair[1]).to_bytes());
    const HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::from_bytes(message));
    const auto method = static_cast<EstimateMethod>(random() % 3);
    const std::optional<double> confidence =
        random() % 4 == 0 ? std::nullopt : std::optional<double>(confidences[random() % std::size(confidences)]);
    const ViewEstimator::Estimate got = unwrap(estimator.estimate_message(message, room, method, confidence));
    ASSERT_EQ(got.estimate, unwrap(estimate_sketch(sketch, method)))
        << "row " << row << ", n " << n << ", method " << static_cast<int>(method) << ", sparse "
        << (sketch.representation().sparse() != nullptr) << ", p " << pair[0] << ", sp " << pair[1];
    if (confidence) {
      const SketchBounds want = unwrap(bounds_of(sketch, *confidence));
      ASSERT_EQ(got.bounds.lower, want.lower) << "row " << row << ", n " << n;
      ASSERT_EQ(got.bounds.upper, want.upper) << "row " << row << ", n " << n;
    }
  }
}

// Rows of one layout read in place, with edited ones among them (any byte
// of the header or of the values, cut, lengthened): each edited row is
// refused exactly as validation refuses its bytes, or estimated as its
// loaded sketch, and the rows after it are read as before.
TEST(SketchEstimates, AViewEstimatorRefusesEditedRowsAsValidationDoes) {
  std::mt19937_64 random(57);
  ViewEstimator estimator;
  SketchStateView room;
  int refused = 0;
  for (int row = 0; row < 4000; ++row) {
    const std::uint64_t first = random() % 1000000;
    const std::int32_t p = row % 50 == 0 ? 12 : 15;
    Bytes message = unwrap(sketch_of(first, first + 1 + random() % 30, p, p + 5).to_bytes());
    if (random() % 3 == 0) {
      const std::size_t at = random() % message.size();
      switch (random() % 4) {
        case 0: message[at] = static_cast<std::uint8_t>(random()); break;
        case 1: message[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 2: message.resize(at); break;
        default: message.push_back(static_cast<std::uint8_t>(random())); break;
      }
    }
    const Status door = validate_bytes(message);
    const Result<ViewEstimator::Estimate> got =
        estimator.estimate_message(message, room, EstimateMethod::Default, std::nullopt);
    ASSERT_EQ(got.has_value(), door.has_value()) << "row " << row;
    if (!door) {
      ++refused;
      ASSERT_EQ(got.error().display(), door.error().display()) << "row " << row;
      continue;
    }
    ASSERT_EQ(got->estimate, unwrap(unwrap(HyperLogLogPlusPlus::from_bytes(message)).result())) << "row " << row;
  }
  EXPECT_GT(refused, 400);
}

}  // namespace
}  // namespace vantorelle
