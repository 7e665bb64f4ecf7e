#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

#include "hll/data.h"
#include "hll/estimate.h"
#include "hll/estimate_rounding.h"
#include "hll/normal_representation.h"
#include "hll/register_sums.h"

namespace vantorelle {
namespace {

NormalRepresentation with_registers(std::int32_t precision, Bytes registers) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.encoding_version = 2;
  state.precision = precision;
  state.data = std::move(registers);
  Result<NormalRepresentation> normal = NormalRepresentation::create(std::move(state));
  EXPECT_TRUE(normal.has_value());
  return std::move(*normal);
}

NormalRepresentation uniform(std::int32_t precision, std::uint8_t value) {
  return with_registers(precision, Bytes(std::size_t{1} << precision, value));
}

struct UniformCase {
  std::int32_t precision;
  std::uint8_t value;
  std::int64_t expected;
};

class UniformRegisters : public ::testing::TestWithParam<UniformCase> {};

TEST_P(UniformRegisters, GiveThePublishedEstimate) {
  EXPECT_EQ(uniform(GetParam().precision, GetParam().value).estimate(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, UniformRegisters,
                         ::testing::Values(UniformCase{10, 0, 0}, UniformCase{14, 0, 0},
                                           UniformCase{10, 1, 1204}, UniformCase{10, 2, 2918},
                                           UniformCase{14, 1, 19265}, UniformCase{14, 2, 46681},
                                           UniformCase{19, 1, 756336}));

TEST(Estimate, AbsentRegistersEstimateZero) {
  SketchState state;
  state.precision = 12;
  Result<NormalRepresentation> normal = NormalRepresentation::create(std::move(state));
  ASSERT_TRUE(normal.has_value());
  EXPECT_EQ(normal->estimate(), 0);
}

TEST(Estimate, OneOccupiedRegisterCountsOne) {
  for (std::int32_t precision : {10, 14}) {
    Bytes registers(std::size_t{1} << precision, 0);
    registers[7] = 1;
    EXPECT_EQ(with_registers(precision, registers).estimate(), 1) << precision;
  }
}

// The estimate with the register sum taken one register at a time in index
// order, as the estimator is defined; the production code sums by value or
// in integer lanes. Estimates beyond int64 saturate.
std::int64_t reference_estimate(std::int32_t precision, const Bytes& registers) {
  double sum = 0.0;
  std::int32_t zeros = 0;
  for (std::uint8_t v : registers) {
    sum += std::ldexp(1.0, -v);
    zeros += v == 0;
  }
  const double m = std::ldexp(1.0, precision);
  if (zeros > 0) {
    const double h = m * std::log(m / zeros);
    if (linear_counting_threshold(precision) >= h) return round_to_int64(h);
  }
  const double raw = 0.7213 / (1.079 / m + 1.0) * m * m / sum;
  return round_to_int64(raw - estimate_bias(raw, precision));
}

class RandomRegisters : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(RandomRegisters, MatchTheIndexOrderSum) {
  const std::int32_t precision = GetParam();
  std::mt19937_64 random(precision);
  for (int round = 0; round < 20; ++round) {
    Bytes registers(std::size_t{1} << precision);
    // Mostly small values as real sketches hold, sometimes the largest ones
    // so that the sum no longer fits a double exactly.
    const int spread = 1 + round % 8;
    for (std::uint8_t& r : registers) r = static_cast<std::uint8_t>(random() % (spread + 1));
    if (round % 3 == 0) registers[random() % registers.size()] = static_cast<std::uint8_t>(65 - precision);
    if (round % 5 == 0) registers[random() % registers.size()] = 0;
    EXPECT_EQ(with_registers(precision, registers).estimate(),
              reference_estimate(precision, registers))
        << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Precisions, RandomRegisters, ::testing::Values(10, 11, 14, 18, 20));

// Register states of every kind the summing paths split on: the loads real
// sketches reach (Poisson model), the linear-counting switch, all registers
// high, spreads on both sides of the vector path's limit and of the exact
// double bound, and uniformly mixed values.
Bytes register_state(std::int32_t precision, int kind, std::mt19937_64& random) {
  const std::size_t m = std::size_t{1} << precision;
  const int top = 65 - precision;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Bytes registers(m);
  auto poisson_model = [&](double load) {
    for (std::uint8_t& r : registers) {
      const double k = std::ceil(std::log2(load / -std::log(uniform(random))));
      r = static_cast<std::uint8_t>(std::clamp(k, 0.0, static_cast<double>(top)));
    }
  };
  auto between = [&](int low, int high) {
    std::uniform_int_distribution<int> value(low, high);
    for (std::uint8_t& r : registers) r = static_cast<std::uint8_t>(value(random));
  };
  switch (kind) {
    case 0:  // any load from a handful of values to 2^(p + 30)
      poisson_model(std::exp2(uniform(random) * (precision + 30) - precision));
      break;
    case 1: {  // zeros straddling the linear-counting switch
      const double threshold = linear_counting_threshold(precision);
      const double m_real = static_cast<double>(m);
      const double zeros = m_real * std::exp(-threshold / m_real);
      const std::size_t around = static_cast<std::size_t>(zeros) - 2 + random() % 5;
      between(1, 3 + static_cast<int>(random() % 10));
      std::fill_n(registers.begin(), around, std::uint8_t{0});
      std::shuffle(registers.begin(), registers.end(), random);
      break;
    }
    case 2:  // all high
      between(top - static_cast<int>(random() % 3), top);
      break;
    case 3: {  // spreads around the lane block sizes and the lanes' limit
      constexpr int spreads[] = {22, 23, 24, 29, 30, 31, 32, 33};
      const int spread = spreads[random() % std::size(spreads)];
      const int low = static_cast<int>(random() % static_cast<std::uint64_t>(top - spread + 1));
      between(low + 1, low + spread - 1);
      registers[random() % m] = static_cast<std::uint8_t>(low);
      registers[random() % m] = static_cast<std::uint8_t>(low + spread);
      break;
    }
    case 4: {  // p + H - L around 53, where the exact bound ends
      const int spread = 52 - precision + static_cast<int>(random() % 3);
      between(top - spread, top);
      registers[random() % m] = static_cast<std::uint8_t>(top - spread);
      registers[random() % m] = static_cast<std::uint8_t>(top);
      break;
    }
    default:  // uniformly mixed over every legal value
      between(0, top);
  }
  return registers;
}

class RegisterStates : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(RegisterStates, EstimateEqualsTheIndexOrderComputation) {
  const std::int32_t precision = GetParam();
  std::mt19937_64 random(0x5eed0000u + static_cast<std::uint64_t>(precision));
  const int rounds = precision <= 16 ? 60 : precision <= 20 ? 12 : 6;
  for (int round = 0; round < rounds; ++round) {
    const int kind = round % 6;
    const Bytes registers = register_state(precision, kind, random);
    const double in_order = harmonic_sum_in_order(registers);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(harmonic_sum(registers, summarize_registers(registers))),
              std::bit_cast<std::uint64_t>(in_order))
        << "round " << round << " kind " << kind;
    EXPECT_EQ(estimate_registers(registers, precision), reference_estimate(precision, registers))
        << "round " << round << " kind " << kind;
    const RegisterSums sums = summarize_and_sum_registers(registers);
    if (sums.harmonic_sum) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*sums.harmonic_sum), std::bit_cast<std::uint64_t>(in_order))
          << "round " << round << " kind " << kind;
    }
    EXPECT_EQ(estimate_registers(registers, precision, sums), reference_estimate(precision, registers))
        << "round " << round << " kind " << kind;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPrecision, RegisterStates, ::testing::Range(10, 25));

// Lengths that leave a tail after the 32-register blocks, against a plain
// count and a sum over the values one at a time.
TEST(RegisterSums, AnyLengthMatchesAPlainPass) {
  std::mt19937_64 random(77);
  for (int round = 0; round < 300; ++round) {
    Bytes registers(random() % 20000);
    const int low = static_cast<int>(random() % 30);
    const int high = low + static_cast<int>(random() % 30);
    std::uniform_int_distribution<int> value(low, high);
    for (std::uint8_t& r : registers) r = static_cast<std::uint8_t>(value(random));
    RegisterSummary expected{0, 0xFF, 0};
    double sum = 0.0;
    for (std::uint8_t v : registers) {
      expected.zeros += v == 0;
      expected.lowest = std::min(expected.lowest, v);
      expected.highest = std::max(expected.highest, v);
      sum += std::ldexp(1.0, -v);
    }
    if (registers.empty()) expected = {};
    const RegisterSummary summary = summarize_registers(registers);
    EXPECT_EQ(summary.zeros, expected.zeros) << round;
    EXPECT_EQ(summary.lowest, expected.lowest) << round;
    EXPECT_EQ(summary.highest, expected.highest) << round;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(harmonic_sum(registers, summary)),
              std::bit_cast<std::uint64_t>(sum))
        << round;
    // The pass that forms both: the same summary, and S where it forms one.
    const RegisterSums sums = summarize_and_sum_registers(registers);
    EXPECT_EQ(sums.summary.zeros, expected.zeros) << round;
    EXPECT_EQ(sums.summary.lowest, expected.lowest) << round;
    EXPECT_EQ(sums.summary.highest, expected.highest) << round;
    if (sums.harmonic_sum) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*sums.harmonic_sum), std::bit_cast<std::uint64_t>(sum))
          << round;
    }
  }
}

TEST(EstimateBias, ExactTableEntryReturnsItsBias) {
  const double raw = EMPIRICAL_RAW_ESTIMATES[0][50];
  EXPECT_EQ(estimate_bias(raw, 10), EMPIRICAL_BIASES[0][50]);
  EXPECT_DOUBLE_EQ(EMPIRICAL_BIASES[0][50], 252.5132);
}

TEST(EstimateBias, OutsideTheTablesNoCorrection) {
  EXPECT_EQ(estimate_bias(EMPIRICAL_RAW_ESTIMATES[0].front() - 0.001, 10), 0.0);
  EXPECT_EQ(estimate_bias(EMPIRICAL_RAW_ESTIMATES[0].back() + 0.001, 10), 0.0);
  EXPECT_EQ(estimate_bias(1000.0, 19), 0.0);
  EXPECT_EQ(estimate_bias(1000.0, 9), 0.0);
}

TEST(EstimateBias, InterpolatesWithInverseSquaredDistanceWeights) {
  EXPECT_NEAR(estimate_bias(1475.6674730435411, 10), 271.884, 0.001);
  EXPECT_NEAR(estimate_bias(2951.3349460870822, 10), 33.229, 0.001);
  EXPECT_NEAR(estimate_bias(23634.001937103872, 14), 4369.300, 0.001);
  EXPECT_NEAR(estimate_bias(47268.003874207745, 14), 586.719, 0.001);
}

}  // namespace
}  // namespace vantorelle
