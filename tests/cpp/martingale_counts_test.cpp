#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "hll/martingale_counts.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::unwrap;

// The codes of n random hashes, as GroupedSketchBuilder gives them.
std::vector<std::uint32_t> random_codes(std::mt19937_64& rng, const SparseEncoding& encoding, std::size_t n) {
  std::vector<std::uint32_t> codes(n);
  for (std::uint32_t& code : codes) code = encoding.encode(rng());
  return codes;
}

struct Spread {
  double mean = 0.0;  // of the relative error
  double rms = 0.0;
};

// Over `streams` independent streams of n distinct hashes.
Spread spread(const MartingaleCounter& counter, std::size_t n, int streams, std::uint64_t seed) {
  const std::int32_t sp = counter.sparse_precision();
  const SparseEncoding encoding = unwrap(SparseEncoding::create(counter.normal_precision(), sp ? sp : counter.normal_precision()));
  std::mt19937_64 rng(seed);
  Spread out;
  for (int s = 0; s < streams; ++s) {
    const double error = counter.count_one(random_codes(rng, encoding, n)).estimate / static_cast<double>(n) - 1.0;
    out.mean += error / streams;
    out.rms += error * error / streams;
  }
  out.rms = std::sqrt(out.rms);
  return out;
}

// Unbiased at every n, on both sides of the switch from the cells to the
// registers, and in the dense range about 0.83 / sqrt(m) (the register
// estimators' 1.04 / sqrt(m) is the bar to beat).
TEST(MartingaleCountsTest, UnbiasedAtEveryCountAndBelowTheRegisterError) {
  constexpr int kStreams = 400;
  const std::int32_t p = 10;
  const double register_error = 1.04 / std::sqrt(1024.0);
  for (const std::int32_t sp : {0, 12}) {
    const MartingaleCounter counter = unwrap(MartingaleCounter::create(p, sp));
    for (const std::size_t n : {std::size_t{50}, std::size_t{700}, std::size_t{4000}, std::size_t{12000},
                                std::size_t{30000}}) {
      const Spread s = spread(counter, n, kStreams, 1000 * static_cast<std::uint64_t>(sp) + n);
      SCOPED_TRACE(testing::Message() << "sp " << sp << ", n " << n << ": mean " << s.mean << ", rms " << s.rms);
      // Four standard errors of the mean over the streams.
      EXPECT_LE(std::abs(s.mean), 4.0 * s.rms / std::sqrt(kStreams) + 1e-12);
      if (n >= 10 * 1024) {
        EXPECT_LE(s.rms, 0.9 * register_error);
      }
      if (sp != 0 && n <= 4000) {
        // The 4,096 cells count alone: far below any register estimate.
        EXPECT_LE(s.rms, 0.5 * register_error);
      }
    }
  }
}

// A stream of fewer values than the cells make collisions unlikely counts
// exactly, and the cells bound it as a sparse sketch does.
TEST(MartingaleCountsTest, SmallStreamsAreExactAndBounded) {
  const MartingaleCounter counter = unwrap(MartingaleCounter::create(15, 25));
  const SparseEncoding encoding = unwrap(SparseEncoding::create(15, 25));
  std::mt19937_64 rng(7);
  for (std::size_t n = 0; n < 300; n += 7) {
    std::vector<std::uint32_t> codes = random_codes(rng, encoding, n);
    // Repeats and rows without a value change nothing.
    const std::vector<std::uint32_t> first(codes);
    codes.insert(codes.end(), first.begin(), first.end());
    codes.push_back(MartingaleCounter::kNoValue);
    const MartingaleCount count = counter.count_one(codes);
    EXPECT_EQ(std::llround(count.estimate), static_cast<long long>(n));
    EXPECT_TRUE(count.cells_only);
    EXPECT_EQ(count.occupied, n);
    const CountBounds bounds = martingale_bounds(count, 25, 0.95);
    EXPECT_LE(bounds.lower, static_cast<double>(n));
    EXPECT_GE(bounds.upper, static_cast<double>(n));
  }
}

// Grouped counts equal the counts of each group's codes in row order, for
// any number of threads (model: a map from group to its codes).
TEST(MartingaleCountsTest, GroupsCountLikeTheirOwnStreams) {
  std::mt19937_64 rng(11);
  for (const std::int32_t sp : {0, 14}) {
    const MartingaleCounter counter = unwrap(MartingaleCounter::create(11, sp));
    const SparseEncoding encoding = unwrap(SparseEncoding::create(11, sp ? sp : 11));
    for (const std::uint32_t group_count : {1u, 3u, 200u}) {
      std::vector<std::uint32_t> groups;
      std::vector<std::uint32_t> codes;
      std::map<std::uint32_t, std::vector<std::uint32_t>> model;
      for (std::size_t row = 0; row < 60000; ++row) {
        // Skewed sizes: group g takes about 1 / (g + 1) of the rows.
        const auto g = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(group_count - 1, rng() % (group_count * (row % 5 + 1)) / (row % 5 + 1)));
        const std::uint32_t code = rng() % 50 == 0 ? MartingaleCounter::kNoValue : encoding.encode(rng());
        groups.push_back(g);
        codes.push_back(code);
        model[g].push_back(code);
      }
      for (const int threads : {1, 3}) {
        const std::vector<MartingaleCount> counts = counter.count(groups, codes, group_count, threads);
        ASSERT_EQ(counts.size(), group_count);
        for (std::uint32_t g = 0; g < group_count; ++g) {
          const MartingaleCount expected = counter.count_one(model[g]);
          EXPECT_EQ(counts[g].estimate, expected.estimate) << "group " << g << ", threads " << threads;
          EXPECT_EQ(counts[g].variance, expected.variance);
          EXPECT_EQ(counts[g].occupied, expected.occupied);
        }
      }
    }
  }
}

TEST(MartingaleCountsTest, RefusesWhatTheAggregatorRefuses) {
  EXPECT_FALSE(MartingaleCounter::create(9, 20));
  EXPECT_FALSE(MartingaleCounter::create(15, 14));
  EXPECT_FALSE(MartingaleCounter::create(15, 26));
  EXPECT_TRUE(MartingaleCounter::create(15, 0));
}

}  // namespace
}  // namespace vantorelle
