// The roll-up of alike sparse sketches against the one-by-one merge it
// stands for.
#include "hll/sparse_roll_up.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "test_support.h"

namespace vantorelle {
namespace {

using test::unwrap;

// from_bytes of the first, merge_bytes of the others in order, to_bytes.
Bytes one_by_one(const std::vector<ByteView>& sketches) {
  HyperLogLogPlusPlus merged = unwrap(HyperLogLogPlusPlus::from_bytes(sketches[0]));
  for (std::size_t k = 1; k < sketches.size(); ++k) unwrap(merged.merge_bytes(sketches[k]));
  return unwrap(merged.to_bytes());
}

// A stored sketch at (p, sp) of `values` random hashes; when `narrow`, of
// hashes with one of `indices` sparse indices and one of `rho_bits` low
// bits, so that values and the rho_w of one index meet across sketches.
Bytes random_sketch(std::int32_t p, std::int32_t sp, std::size_t values, bool narrow, std::uint64_t indices,
                    std::uint64_t rho_bits, std::mt19937_64& random) {
  HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_long(p, sp));
  for (std::size_t v = 0; v < values; ++v) {
    const std::uint64_t hash = narrow ? (random() % indices) << 52 | random() % rho_bits : random();
    unwrap(sketch.add_hashes(InputType::LONG, std::span(&hash, 1)));
  }
  return unwrap(sketch.to_bytes());
}

TEST(SparseRollUp, EqualsTheOneByOneMergeOrLeavesItToIt) {
  // Groups of two to six sketches of one precision pair: without values, with
  // a few, or with so many that their union ends near the sparse budget, on
  // either side of it; in some groups the hashes come from a narrow range,
  // so that values and the rho_w of one index meet across sketches, and in
  // some one sketch has another precision. Wherever the roll-up answers, its
  // bytes are the one-by-one merge's; it answers for most groups within the
  // budget and leaves the others to the one-by-one merge.
  std::mt19937_64 random(5);
  SparseRollUp roll_up;  // one for all groups, as merge_by keeps one a thread
  int answered = 0, left = 0;
  for (const auto& [p, sp] : {std::pair{10, 15}, {10, 20}, {12, 25}, {13, 13}, {15, 20}}) {
    for (int group = 0; group < 80; ++group) {
      const std::size_t count = 2 + random() % 5;
      const bool narrow = random() % 3 == 0;
      const std::size_t most = random() % 4 == 0 ? (std::size_t{1} << p) / 3 : 40;
      std::vector<Bytes> stored;
      for (std::size_t k = 0; k < count; ++k) {
        const std::int32_t own_p = group % 10 == 9 && k == count - 1 ? p + 1 : p;
        const std::size_t values = random() % 6 == 0 ? 0 : random() % most;
        stored.push_back(random_sketch(own_p, std::max(sp, own_p), values, narrow, 64, 4, random));
      }
      const std::vector<ByteView> views(stored.begin(), stored.end());
      const Bytes expected = one_by_one(views);
      Bytes rolled = {7};  // appended to
      if (roll_up.merge_into(views, rolled)) {
        ++answered;
        ASSERT_EQ(Bytes(rolled.begin() + 1, rolled.end()), expected) << "p " << p << ", sp " << sp << ", group " << group;
      } else {
        ++left;
        ASSERT_EQ(rolled, Bytes{7});
      }
    }
  }
  EXPECT_GT(answered, 200);
  EXPECT_GT(left, 40);
}

TEST(SparseRollUp, ManySmallSketchesAndThePrefixBeforeTheBudget) {
  // Groups of 2 to 300 small sketches (several batches), whose union ends
  // below the sparse budget or passes it at some sketch, some from a narrow
  // range of hashes. merge_into answers only for the groups below it, with
  // the one-by-one merge's bytes; merge_prefix_into also answers for the
  // others with the merge of the sketches before the one that passes it,
  // from which the one-by-one merge of the rest ends where merging all one
  // by one does.
  std::mt19937_64 random(9);
  SparseRollUp roll_up;
  int whole = 0, prefixes = 0;
  for (const auto& [p, sp] : {std::pair{10, 15}, {11, 20}, {13, 13}}) {
    for (int group = 0; group < 30; ++group) {
      const std::size_t count = 2 + random() % 299;
      const bool narrow = random() % 4 == 0;
      const std::size_t per_sketch = 1 + random() % ((std::size_t{1} << p) / 40);
      std::vector<Bytes> stored;
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t values = random() % 8 == 0 ? 0 : random() % per_sketch;
        stored.push_back(random_sketch(p, sp, values, narrow, 256, 8, random));
      }
      const std::vector<ByteView> views(stored.begin(), stored.end());
      const Bytes expected = one_by_one(views);
      Bytes rolled;
      const bool answered = roll_up.merge_into(views, rolled);
      if (answered) {
        ASSERT_EQ(rolled, expected) << "p " << p << ", group " << group;
      }
      Bytes prefix;
      const std::size_t merged = roll_up.merge_prefix_into(views, prefix);
      ASSERT_EQ(merged == views.size(), answered) << "p " << p << ", group " << group;
      if (merged == views.size()) {
        ++whole;
        ASSERT_EQ(prefix, expected);
      } else if (merged != 0) {
        ++prefixes;
        ASSERT_GE(merged, 2u);
        ASSERT_EQ(prefix, one_by_one(std::vector<ByteView>(views.begin(), views.begin() + merged)));
        HyperLogLogPlusPlus rest = unwrap(HyperLogLogPlusPlus::from_bytes(prefix));
        for (std::size_t k = merged; k < views.size(); ++k) unwrap(rest.merge_bytes(views[k]));
        ASSERT_EQ(unwrap(rest.to_bytes()), expected) << "p " << p << ", group " << group;
      } else {
        ASSERT_TRUE(prefix.empty());
      }
    }
  }
  EXPECT_GT(whole, 10);
  EXPECT_GT(prefixes, 10);
}

TEST(SparseRollUp, AnotherProducersRepeatsAsTheOneByOneMergeLeavesThem) {
  // A stored sparse_data that repeats a value: the one-by-one merge keeps
  // it as stored while only sketches without values follow it, and
  // collapses it in the first union with values.
  SketchState state = test::sketch_state(12, 17);
  state.sparse_data = test::difference_bytes({5, 5, 9, 700});
  state.sparse_size = 4;
  state.num_values = 4;
  const Bytes repeating = unwrap(encode_state(state));
  const Bytes empty = unwrap(unwrap(HyperLogLogPlusPlus::new_long(12, 17)).to_bytes());
  HyperLogLogPlusPlus some = unwrap(HyperLogLogPlusPlus::new_long(12, 17));
  unwrap(some.add_long(1));
  const Bytes with_values = unwrap(some.to_bytes());
  for (const std::vector<ByteView>& group :
       {std::vector<ByteView>{repeating, empty}, std::vector<ByteView>{repeating, empty, with_values},
        std::vector<ByteView>{empty, repeating}}) {
    Bytes rolled;
    if (SparseRollUp().merge_into(group, rolled)) {
      EXPECT_EQ(rolled, one_by_one(group));
    }
  }
  Bytes rolled;
  EXPECT_FALSE(SparseRollUp().merge_into(std::vector<ByteView>{repeating, empty}, rolled));
}

}  // namespace
}  // namespace vantorelle
