// Sorting a group's codes, at every size and the edges between its
// methods, against std::sort.
#include "hll/code_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace vantorelle {
namespace {

TEST(CodeSort, AgreesWithStdSort) {
  std::mt19937_64 random(7);
  std::vector<std::uint32_t> scratch;
  for (int round = 0; round < 20000; ++round) {
    const std::size_t n = round < 10000 ? random() % 80 : random() % 20000;
    // Narrow ranges repeat codes; the top of the range is 2^31 - 1.
    const std::uint32_t range = random() % 3 == 0 ? 1 + static_cast<std::uint32_t>(random() % 30) : 0x80000000u;
    std::vector<std::uint32_t> codes(n);
    for (std::uint32_t& code : codes) code = 0x80000000u - 1 - static_cast<std::uint32_t>(random() % range);
    std::vector<std::uint32_t> expected = codes;
    std::sort(expected.begin(), expected.end());
    sort_codes(codes, scratch);
    ASSERT_EQ(codes, expected) << "round " << round << " n " << n;
  }
}

}  // namespace
}  // namespace vantorelle
