// The counting sort by group against a per-group model, with items placed
// in blocks of random sizes, over thread counts and group counts on both
// sides of the one-part switch.
#include "hll/group_scatter.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "utils/parallel.h"

namespace vantorelle {
namespace {

constexpr std::uint32_t kNoItem = GroupScatter::kNoItem;

TEST(GroupScatter, EachGroupHoldsItsItemsInRowOrder) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 60; ++round) {
    const std::size_t rows = random() % 3 == 0 ? random() % 50 : random() % 300000;
    const auto group_count = static_cast<std::uint32_t>(1 + random() % (random() % 2 ? 40 : 200000));
    const bool skip = random() % 2 == 0;
    const int threads = 1 + static_cast<int>(random() % 3);
    std::vector<std::uint32_t> groups(rows), items(rows);
    std::vector<std::vector<std::uint32_t>> model(group_count);
    bool any_no_item = false;
    for (std::size_t i = 0; i < rows; ++i) {
      groups[i] = static_cast<std::uint32_t>(random() % group_count);
      items[i] = random() % 10 == 0 ? kNoItem : static_cast<std::uint32_t>(random() >> 33);
      if (skip && items[i] == kNoItem) continue;
      any_no_item |= items[i] == kNoItem;
      model[groups[i]].push_back(items[i]);
    }
    GroupedItems sorted;
    if (skip) {
      sorted = items_by_group(groups, items, group_count, threads);
    } else {
      GroupScatter scatter(groups, group_count, threads);
      const std::uint64_t seed = random();
      run_parallel(scatter.parts(), [&](int t) {
        std::mt19937_64 blocks(seed + static_cast<std::uint64_t>(t));
        auto [at, end] = scatter.part(t);
        while (at < end) {
          const std::size_t count = std::min<std::size_t>(end - at, blocks() % 700);
          scatter.place(t, at, count, items.data() + at);
          at += count;
        }
      });
      sorted = std::move(scatter).finish();
    }
    ASSERT_EQ(sorted.starts.groups(), group_count);
    EXPECT_EQ(sorted.holds_no_item, any_no_item) << round;
    for (std::uint32_t g = 0; g < group_count; ++g) {
      const std::span<std::uint32_t> got = sorted.of(g);
      ASSERT_EQ(std::vector<std::uint32_t>(got.begin(), got.end()), model[g]) << "round " << round << " group " << g;
    }
    // Shares cover the groups in order, and split the items about evenly.
    const std::vector<std::size_t> first = sorted.starts.shares(3);
    ASSERT_EQ(first.front(), 0u);
    ASSERT_EQ(first.back(), group_count);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
  }
}

}  // namespace
}  // namespace vantorelle
