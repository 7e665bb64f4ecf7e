// The grouped builder against aggregators built group by group: random
// tables whose groups end on both sides of the sparse-to-normal switch.
#include "hll/grouped_sketches.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "test_support.h"
#include "utils/parallel.h"

namespace vantorelle {
namespace {

using test::unwrap;

struct Table {
  std::vector<std::uint32_t> groups;
  std::vector<std::uint64_t> hashes;
  std::vector<bool> null;  // rows without a value: skipped
  std::uint32_t group_count = 0;
};

// Group sizes from a few rows to several times the sparse budget of p = 10,
// values from a domain that makes repeats likely for some groups.
Table random_table(std::mt19937_64& random) {
  Table table;
  table.group_count = 1 + static_cast<std::uint32_t>(random() % 300);
  const std::size_t rows = random() % 40000;
  const std::uint64_t domain = random() % 2 ? 1000 : UINT64_MAX;
  // Skewed group choice: low group numbers take most rows.
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t i = 0; i < rows; ++i) {
    const double u = unit(random);
    table.groups.push_back(static_cast<std::uint32_t>(u * u * u * table.group_count));
    const std::uint64_t value = domain == UINT64_MAX ? random() : random() % domain;
    table.hashes.push_back(HyperLogLogPlusPlus::hash_long(static_cast<std::int64_t>(value)));
    table.null.push_back(random() % 20 == 0);
  }
  return table;
}

HyperLogLogPlusPlus fresh(InputType type, std::int32_t p, std::int32_t sp) {
  return unwrap(type == InputType::LONG ? HyperLogLogPlusPlus::new_long(p, sp)
                                        : HyperLogLogPlusPlus::new_string_or_bytes(p, sp));
}

// Each group's sketch, by an aggregator of its own fed in row order.
std::vector<Bytes> reference(const Table& table, InputType type, std::int32_t p, std::int32_t sp) {
  std::vector<HyperLogLogPlusPlus> sketches;
  for (std::uint32_t g = 0; g < table.group_count; ++g) sketches.push_back(fresh(type, p, sp));
  for (std::size_t i = 0; i < table.groups.size(); ++i) {
    if (!table.null[i]) unwrap(sketches[table.groups[i]].add_hashes(type, std::span(&table.hashes[i], 1)));
  }
  std::vector<Bytes> out;
  for (const HyperLogLogPlusPlus& sketch : sketches) out.push_back(unwrap(sketch.to_bytes()));
  return out;
}

std::vector<std::uint32_t> codes_of(const Table& table, const GroupedSketchBuilder& builder) {
  std::vector<std::uint32_t> codes;
  for (std::size_t i = 0; i < table.hashes.size(); ++i) {
    codes.push_back(table.null[i] ? GroupedSketchBuilder::kNoValue : builder.code(table.hashes[i]));
  }
  return codes;
}

SerializedSketches build(const Table& table, InputType type, std::int32_t p, std::int32_t sp,
                         int threads) {
  const GroupedSketchBuilder builder = unwrap(GroupedSketchBuilder::create(type, p, sp));
  return unwrap(builder.build(table.groups, codes_of(table, builder), table.group_count, threads));
}

// build_sorted() of the codes scattered by group, nulls among them.
SerializedSketches build_scattered(const Table& table, InputType type, std::int32_t p, std::int32_t sp,
                                   int threads) {
  const GroupedSketchBuilder builder = unwrap(GroupedSketchBuilder::create(type, p, sp));
  const std::vector<std::uint32_t> codes = codes_of(table, builder);
  GroupScatter scatter(table.groups, table.group_count, threads);
  run_parallel(scatter.parts(), [&](int t) {
    const auto [begin, end] = scatter.part(t);
    scatter.place(t, begin, end - begin, codes.data() + begin);
  });
  return unwrap(builder.build_sorted(std::move(scatter).finish(), threads));
}

Bytes entry(const SerializedSketches& sketches, std::size_t i) {
  const ByteView view = sketches.at(i);
  return Bytes(view.begin(), view.end());
}

TEST(GroupedSketches, EachGroupEqualsItsOwnAggregator) {
  std::mt19937_64 random(20261208);
  int normal = 0, sparse = 0;
  for (int round = 0; round < 40; ++round) {
    const Table table = random_table(random);
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 5);
    const std::int32_t choices[] = {0, p, std::min(p + 5, 25), 25};
    const std::int32_t sp = choices[random() % 4];
    const InputType type = random() % 2 ? InputType::LONG : InputType::STRING;
    const std::vector<Bytes> expected = reference(table, type, p, sp);
    const SerializedSketches one = build(table, type, p, sp, 1);
    const SerializedSketches three = build(table, type, p, sp, 3);
    const SerializedSketches scattered = build_scattered(table, type, p, sp, 2);
    ASSERT_EQ(one.size(), table.group_count);
    EXPECT_EQ(one.data, three.data);
    EXPECT_EQ(one.offsets, three.offsets);
    EXPECT_EQ(one.data, scattered.data);
    EXPECT_EQ(one.offsets, scattered.offsets);
    // One group after another through one writer, its room reused.
    const GroupedSketchBuilder builder = unwrap(GroupedSketchBuilder::create(type, p, sp));
    const std::vector<std::uint32_t> codes = codes_of(table, builder);
    std::vector<std::vector<std::uint32_t>> by_group(table.group_count);
    for (std::size_t i = 0; i < codes.size(); ++i) by_group[table.groups[i]].push_back(codes[i]);
    GroupedSketchBuilder::OneAtATime writer(builder);
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      Bytes written;
      unwrap(writer.write(by_group[g], written));
      ASSERT_EQ(written, expected[g]) << "one at a time, round " << round << " group " << g;
    }
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      ASSERT_EQ(entry(one, g), expected[g]) << "round " << round << " group " << g << " p " << p
                                            << " sp " << sp;
      const HyperLogLogPlusPlus decoded = unwrap(HyperLogLogPlusPlus::from_bytes(one.at(g)));
      (decoded.representation().normal() ? normal : sparse) += 1;
    }
  }
  // Both sides of the switch were met.
  EXPECT_GT(normal, 100);
  EXPECT_GT(sparse, 100);
}

Table split_table(std::mt19937_64& random, bool skewed) {
  Table table;
  table.group_count = 3000;
  for (std::size_t i = 0; i < 400000; ++i) {
    // Skewed: a quarter of the rows in five groups, far past the sparse
    // buffer, so the threads' shares differ in work a row.
    const std::uint64_t group = skewed && random() % 4 == 0 ? random() % 5 : random() % table.group_count;
    table.groups.push_back(static_cast<std::uint32_t>(group));
    table.hashes.push_back(random() % 4 == 0 ? random() % 500 : random());
    table.null.push_back(random() % 50 == 0);
  }
  return table;
}

TEST(GroupedSketches, LargeTablesSplitAcrossThreads) {
  // Enough rows and sketches for every thread to take a share.
  std::mt19937_64 random(31);
  for (const bool skewed : {true, false}) {
    const Table table = split_table(random, skewed);
    const std::vector<Bytes> expected = reference(table, InputType::LONG, 11, 16);
    const SerializedSketches one = build(table, InputType::LONG, 11, 16, 1);
    for (int threads : {2, 4}) {
      const SerializedSketches split = build(table, InputType::LONG, 11, 16, threads);
      EXPECT_EQ(split.data, one.data);
      EXPECT_EQ(split.offsets, one.offsets);
    }
    for (std::uint32_t g = 0; g < table.group_count; ++g) ASSERT_EQ(entry(one, g), expected[g]) << g;
  }
  const Table table = split_table(random, false);
  const SerializedSketches one = build(table, InputType::LONG, 11, 16, 1);
  std::vector<std::uint32_t> groups;
  std::vector<ByteView> sketches;
  std::vector<std::int64_t> rows;
  for (std::uint32_t g = 0; g < table.group_count; ++g) {
    groups.push_back(g % 700);
    sketches.push_back(one.at(g));
    rows.push_back(g);
  }
  RowFailure failure;
  const SerializedSketches merged_one = unwrap(merge_groups(groups, sketches, rows, 700, 1, &failure));
  const SerializedSketches merged_two = unwrap(merge_groups(groups, sketches, rows, 700, 2, &failure));
  EXPECT_EQ(merged_one.data, merged_two.data);
  EXPECT_EQ(merged_one.offsets, merged_two.offsets);
}

TEST(GroupedSketches, GroupsNearTheSparseBudget) {
  // Many groups whose sparse data ends within a few bytes of the budget
  // (768 bytes at p = 10), on both sides of it.
  std::mt19937_64 random(11);
  for (std::int32_t sp : {15, 16, 20}) {
    Table table;
    table.group_count = 1500;
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      const std::size_t values = 240 + random() % (sp == 15 ? 700 : 400);
      for (std::size_t k = 0; k < values; ++k) {
        table.groups.push_back(g);
        table.hashes.push_back(random());
        table.null.push_back(false);
      }
    }
    const std::vector<Bytes> expected = reference(table, InputType::BYTES, 10, sp);
    const SerializedSketches built = build(table, InputType::BYTES, 10, sp, 2);
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      ASSERT_EQ(entry(built, g), expected[g]) << "sp " << sp << " group " << g;
    }
  }
}

TEST(GroupedSketches, MergingPartsOfGroupsEqualsBuildingThemWhole) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 12; ++round) {
    const Table table = random_table(random);
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 4);
    const std::int32_t sp = random() % 3 ? 20 : 0;
    // Rows dealt to parts; each part is built on its own, then the parts'
    // sketches are merged per group, parts in order.
    const int part_count = 1 + static_cast<int>(random() % 4);
    std::vector<Table> parts(static_cast<std::size_t>(part_count));
    for (Table& part : parts) part.group_count = table.group_count;
    for (std::size_t i = 0; i < table.groups.size(); ++i) {
      Table& part = parts[random() % parts.size()];
      part.groups.push_back(table.groups[i]);
      part.hashes.push_back(table.hashes[i]);
      part.null.push_back(table.null[i]);
    }
    std::vector<SerializedSketches> built;
    for (const Table& part : parts) built.push_back(build(part, InputType::LONG, p, sp, 2));
    std::vector<std::uint32_t> groups;
    std::vector<ByteView> sketches;
    std::vector<std::int64_t> rows;
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      for (const SerializedSketches& part : built) {
        groups.push_back(g);
        sketches.push_back(part.at(g));
        rows.push_back(static_cast<std::int64_t>(rows.size()));
      }
    }
    RowFailure failure;
    const SerializedSketches merged =
        unwrap(merge_groups(groups, sketches, rows, table.group_count, 2, &failure));
    const SerializedSketches whole = build(table, InputType::LONG, p, sp, 1);
    ASSERT_EQ(merged.size(), whole.size());
    for (std::uint32_t g = 0; g < table.group_count; ++g) {
      ASSERT_EQ(entry(merged, g), entry(whole, g)) << "round " << round << " group " << g;
    }
  }
}

TEST(GroupedSketches, MergeFollowsTheAggregatorAndNamesTheFailingRow) {
  std::mt19937_64 random(99);
  // Sketches of mixed precisions: each group's merge equals from_bytes of its
  // first and merge_bytes of the rest, in row order.
  std::vector<Bytes> stored;
  std::vector<std::uint32_t> groups;
  const std::uint32_t group_count = 30;
  for (int i = 0; i < 400; ++i) {
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 3);
    HyperLogLogPlusPlus sketch = fresh(InputType::LONG, p, p + 5);
    const std::size_t values = random() % 3000;
    for (std::size_t k = 0; k < values; ++k) unwrap(sketch.add_long(static_cast<std::int64_t>(random() % 100000)));
    stored.push_back(unwrap(sketch.to_bytes()));
    groups.push_back(static_cast<std::uint32_t>(random() % (group_count - 1)));  // last group empty
  }
  std::vector<ByteView> views(stored.begin(), stored.end());
  std::vector<std::int64_t> rows;
  for (std::size_t i = 0; i < views.size(); ++i) rows.push_back(static_cast<std::int64_t>(10 * i));
  RowFailure failure;
  const SerializedSketches merged = unwrap(merge_groups(groups, views, rows, group_count, 2, &failure));
  for (std::uint32_t g = 0; g < group_count; ++g) {
    std::optional<HyperLogLogPlusPlus> expected;
    for (std::size_t i = 0; i < views.size(); ++i) {
      if (groups[i] != g) continue;
      if (!expected) expected.emplace(unwrap(HyperLogLogPlusPlus::from_bytes(views[i])));
      else unwrap(expected->merge_bytes(views[i]));
    }
    ASSERT_EQ(merged.is_present(g), expected.has_value());
    if (expected) {
      EXPECT_EQ(entry(merged, g), unwrap(expected->to_bytes())) << "group " << g;
    }
  }
  // A text sketch among integer ones: the error names its row.
  HyperLogLogPlusPlus text = fresh(InputType::STRING, 12, 17);
  unwrap(text.add_string("a"));
  const Bytes text_bytes = unwrap(text.to_bytes());
  views[123] = text_bytes;
  views[301] = text_bytes;
  groups[123] = groups[0];  // not its group's first sketch
  for (int threads : {1, 2}) {
    Result<SerializedSketches> failed = merge_groups(groups, views, rows, group_count, threads, &failure);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failure.row, 1230);
    EXPECT_NE(failure.message.find("incompatible"), std::string::npos) << failure.message;
  }
}

// Without a sparse phase every group with a value writes its registers: the
// output's room is reserved for them at once, not grown by doubling (which
// holds the old and the new buffer at once, up to twice the output).
TEST(GroupedSketches, WithoutASparsePhaseTheOutputIsReservedWhole) {
  constexpr std::uint32_t kGroups = 3000;
  Table table;
  table.group_count = kGroups;
  for (std::uint32_t i = 0; i < 2 * kGroups; ++i) {
    table.groups.push_back(i % kGroups);
    table.hashes.push_back(HyperLogLogPlusPlus::hash_long(i));
    table.null.push_back(false);
  }
  for (const int threads : {1, 2}) {
    const SerializedSketches built = build(table, InputType::LONG, 12, 0, threads);
    ASSERT_EQ(entry(built, 5), reference(table, InputType::LONG, 12, 0)[5]);
    // (the room: the registers and 64 bytes of fields a group)
    EXPECT_LE(built.data.capacity(), built.data.size() + std::size_t{64} * kGroups) << threads;
  }
}

#if defined(__linux__)
// An output reserved past the size that is mapped (on huge pages, a group's
// room being a loose bound on what it writes) holds, once built, only the
// pages its sketches were written to: callers keep outputs long after the
// call.
TEST(GroupedSketches, AKeptOutputHoldsOnlyThePagesWrittenTo) {
  constexpr std::size_t kGroups = 8000;
  Table table;
  table.group_count = kGroups;
  for (std::uint32_t g = 0; g < kGroups; ++g) {
    table.groups.push_back(g);
    table.hashes.push_back(HyperLogLogPlusPlus::hash_long(g));
    table.null.push_back(false);
  }
  const SerializedSketches built = build(table, InputType::LONG, 15, 20, 2);
  ASSERT_EQ(entry(built, 7), reference(table, InputType::LONG, 15, 20)[7]);
  const MappedAllocator<std::uint8_t> allocator = built.data.get_allocator();
  ASSERT_TRUE(allocator.maps(built.data.capacity()));
  const std::size_t mapped = allocator.mapped_bytes(built.data.capacity());
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((mapped + page - 1) / page);
  ASSERT_EQ(mincore(const_cast<std::uint8_t*>(built.data.data()), mapped, resident.data()), 0);
  std::size_t pages = 0;
  for (const unsigned char in : resident) pages += in & 1;
  EXPECT_LE(pages * page, built.data.size() + 2 * page);
}
#endif

}  // namespace
}  // namespace vantorelle
