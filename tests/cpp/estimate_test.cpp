#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "hll/data.h"
#include "hll/estimate.h"
#include "hll/normal_representation.h"

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
// order, as the estimator is defined; the production code sums by value.
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
    if (linear_counting_threshold(precision) >= h) return static_cast<std::int64_t>(std::round(h));
  }
  const double raw = 0.7213 / (1.079 / m + 1.0) * m * m / sum;
  return static_cast<std::int64_t>(std::round(raw - estimate_bias(raw, precision)));
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
