// The lower bound on a sparse data length, against the length itself:
// the varints of the distances between the sorted, collapsed values.
#include "hll/sparse_length_bound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "test_support.h"
#include "utils/var_int.h"

namespace vantorelle {
namespace {

using test::unwrap;

std::uint64_t sparse_length(std::vector<std::uint32_t> codes, const SparseEncoding& encoding) {
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  std::uint64_t bytes = 0;
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    // Of rho-encoded values of one index only the largest rho is kept.
    if (encoding.is_rho_encoded(codes[i]) && i + 1 < codes.size() &&
        encoding.decode_sparse(codes[i + 1]).sparse_index == encoding.decode_sparse(codes[i]).sparse_index) {
      continue;
    }
    bytes += varint64_length(codes[i] - previous);
    previous = codes[i];
  }
  return bytes;
}

TEST(SparseLengthBound, NeverAboveTheLengthAndExactForPlainValues) {
  std::mt19937_64 random(20261209);
  int exceeded = 0;
  for (int round = 0; round < 600; ++round) {
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 6);
    const std::int32_t sp = std::min<std::int32_t>(21, p + static_cast<std::int32_t>(random() % 8));
    const SparseEncoding encoding = unwrap(SparseEncoding::create(p, sp));
    // Up to about twice the registers: short data, and data past the
    // budget of 0.75 * 2^p bytes.
    const std::size_t n = random() % (std::size_t{2} << p);
    // Hashes from a narrow range share indices and repeat values.
    const std::uint64_t mask = random() % 4 == 0 ? ~std::uint64_t{0} << 40 : ~std::uint64_t{0};
    std::vector<std::uint32_t> codes(n);
    std::vector<std::uint32_t> plain;
    for (std::uint32_t& code : codes) {
      code = encoding.encode(random() & mask);
      if (!encoding.is_rho_encoded(code)) plain.push_back(code);
    }
    const std::uint64_t length = sparse_length(codes, encoding);
    ASSERT_LE(sparse_bytes_at_least(codes, encoding), length) << "p " << p << " sp " << sp << " n " << n;
    ASSERT_EQ(sparse_bytes_at_least(plain, encoding), sparse_length(plain, encoding)) << "p " << p << " sp " << sp;
    std::vector<std::uint8_t> registers(std::size_t{1} << p, 0);
    for (const std::uint32_t code : codes) registers[encoding.decode_normal(code).index] = 1;
    const auto filled = static_cast<std::uint64_t>(std::count(registers.begin(), registers.end(), 1));
    const std::uint64_t budget = (std::uint64_t{3} << p) / 4;
    if (sparse_data_exceeds(codes, filled, budget, encoding)) {
      ASSERT_GT(length, budget) << "p " << p << " sp " << sp << " n " << n;
      ++exceeded;
    }
  }
  // Both answers were met.
  EXPECT_GT(exceeded, 50);
  EXPECT_LT(exceeded, 550);
}

TEST(SparseLengthBound, NoBoundPastTheLargestBitmap) {
  const SparseEncoding encoding = unwrap(SparseEncoding::create(15, 22));
  const std::vector<std::uint32_t> codes{encoding.encode(1), encoding.encode(~std::uint64_t{0})};
  EXPECT_EQ(sparse_bytes_at_least(codes, encoding), 0u);
}

}  // namespace
}  // namespace vantorelle
