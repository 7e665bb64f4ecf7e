#include "hll/data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

namespace vantorelle {
namespace {

std::string precision_name(std::int32_t precision) {
  std::string name = "P";
  name += std::to_string(precision);
  return name;
}

// Reference figures of the published tables, by which a copy is verified.
struct TableFacts {
  std::int32_t precision;
  std::size_t entries;
  double first_raw;
  double last_raw;
  double first_bias;
  double last_bias;
  double raw_sum;
  double bias_sum;
};

class EmpiricalTables : public ::testing::TestWithParam<TableFacts> {
 protected:
  std::span<const double> raw() const { return EMPIRICAL_RAW_ESTIMATES[index()]; }
  std::span<const double> bias() const { return EMPIRICAL_BIASES[index()]; }

 private:
  std::size_t index() const {
    return static_cast<std::size_t>(GetParam().precision - TABLE_MIN_PRECISION);
  }
};

TEST_P(EmpiricalTables, SizesEndsAndSumsMatchThePublishedData) {
  const TableFacts& facts = GetParam();
  ASSERT_EQ(raw().size(), facts.entries);
  ASSERT_EQ(bias().size(), facts.entries);
  EXPECT_EQ(raw().front(), facts.first_raw);
  EXPECT_EQ(raw().back(), facts.last_raw);
  EXPECT_EQ(bias().front(), facts.first_bias);
  EXPECT_EQ(bias().back(), facts.last_bias);
  EXPECT_NEAR(std::accumulate(raw().begin(), raw().end(), 0.0), facts.raw_sum, 0.001);
  EXPECT_NEAR(std::accumulate(bias().begin(), bias().end(), 0.0), facts.bias_sum, 0.001);
}

TEST_P(EmpiricalTables, RawEstimatesAscendStrictly) {
  for (std::size_t i = 1; i < raw().size(); ++i) {
    EXPECT_LT(raw()[i - 1], raw()[i]) << "entry " << i;
  }
}

TEST_P(EmpiricalTables, RawMinusBiasIsAWholeCardinalityAtEveryEntry) {
  ASSERT_EQ(raw().size(), bias().size());
  for (std::size_t i = 0; i < raw().size(); ++i) {
    const double cardinality = raw()[i] - bias()[i];
    EXPECT_NEAR(cardinality, std::round(cardinality), 1e-6) << "entry " << i;
    EXPECT_GE(cardinality, 1.0) << "entry " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Precisions10To18, EmpiricalTables,
    ::testing::Values(
        TableFacts{10, 200, 738.1256, 5084.1828, 737.1256, -9.8172, 541024.7046, 31583.7046},
        TableFacts{11, 201, 1477, 10229.9176, 1476, -10.0824, 1093062.937, 63942.937},
        TableFacts{12, 201, 2954, 20463.22, 2953, -15.78, 2186342.4348, 128105.4348},
        TableFacts{13, 200, 5908.5052, 40717.2424, 5907.5052, -37.7576, 4330310.1058,
                   254789.1058},
        TableFacts{14, 201, 11817.475, 81876.3884, 11816.475, -42.6116, 8745213.0896,
                   512257.0896},
        TableFacts{15, 201, 23635.0036, 163729.2842, 23634.0036, -109.7158, 17489261.7162,
                   1023343.7162},
        TableFacts{16, 200, 47271, 325847.1542, 47270, -193.8458, 34655169.231, 2051012.231},
        TableFacts{17, 201, 94542, 654941.845, 94541, -417.155, 69963252.6255, 4099627.6255},
        TableFacts{18, 200, 189084, 1303455.691, 189083, -713.309, 138617466.606,
                   8200618.606}),
    [](const ::testing::TestParamInfo<TableFacts>& info) {
      return precision_name(info.param.precision);
    });

TEST(EmpiricalTables, InteriorCheckValues) {
  EXPECT_EQ(EMPIRICAL_RAW_ESTIMATES[14 - 10][1], 12015.0046);
  EXPECT_EQ(EMPIRICAL_BIASES[14 - 10][1], 11605.0046);
  EXPECT_EQ(EMPIRICAL_RAW_ESTIMATES[15 - 10][100], 83821.4096);
  EXPECT_EQ(EMPIRICAL_BIASES[15 - 10][100], 1901.4096);
  EXPECT_EQ(EMPIRICAL_BIASES[10 - 10][50], 252.5132);
}

struct ThresholdCase {
  std::int32_t precision;
  std::int32_t threshold;
};

class LinearCountingThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(LinearCountingThreshold, IsTheTableUpTo18ThenFiveTimesHalfTheRegisterCount) {
  EXPECT_EQ(linear_counting_threshold(GetParam().precision), GetParam().threshold);
}

INSTANTIATE_TEST_SUITE_P(
    Precisions10To24, LinearCountingThreshold,
    ::testing::Values(ThresholdCase{10, 900}, ThresholdCase{11, 1800}, ThresholdCase{12, 3100},
                      ThresholdCase{13, 6500}, ThresholdCase{14, 11500}, ThresholdCase{15, 20000},
                      ThresholdCase{16, 50000}, ThresholdCase{17, 120000},
                      ThresholdCase{18, 350000}, ThresholdCase{19, 1310720},
                      ThresholdCase{20, 2621440}, ThresholdCase{21, 5242880},
                      ThresholdCase{22, 10485760}, ThresholdCase{23, 20971520},
                      ThresholdCase{24, 41943040}),
    [](const ::testing::TestParamInfo<ThresholdCase>& info) {
      return precision_name(info.param.precision);
    });

}  // namespace
}  // namespace vantorelle
