// libFuzzer target of the grouped builder: tables of keys and values read
// from the input; each group's sketch must equal that of an aggregator of
// its own fed the group's values in row order, for one thread and for two,
// and merging the groups' sketches of two halves of the rows must equal the
// aggregator's own merges.
//
// Input layout:
//   byte 0      normal precision 10 + b % 3
//   byte 1      sparse precision: b % 4 picks none, p, min(p + 5, 25), 25
//   byte 2      bit 0: values are integers (else byte strings)
//   then rows, each:
//     byte      key length (b % 4; 3 means a null key), then the key bytes
//     byte      v: v < 9: a value of v bytes follows; v == 9: a null value;
//               v >= 10: a burst of 8 * (v - 9) values derived from the
//               next byte, in the row's group
// (at most 3000 rows: enough to pass the sparse budget of p = 10 in several
// groups, few enough to keep each run short).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hll/grouped_sketches.h"

namespace vantorelle {
namespace {

constexpr char kFuzzTarget[] = "grouped_fuzz";

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool more() const { return at < size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

struct Table {
  std::vector<std::uint32_t> groups;
  std::vector<std::optional<std::uint64_t>> hashes;
  std::uint32_t group_count = 0;
};

std::uint64_t hash_of(bool integers, const std::uint8_t* bytes, std::size_t length) {
  if (!integers) return HyperLogLogPlusPlus::hash_bytes(ByteView(bytes, length));
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < length; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return HyperLogLogPlusPlus::hash_long(static_cast<std::int64_t>(value));
}

Table read_table(Reader& in, bool integers) {
  Table table;
  std::map<std::optional<std::string>, std::uint32_t> numbers;
  while (in.more() && table.groups.size() < 3000) {
    const int key_length = in.byte() % 4;
    std::optional<std::string> key;
    if (key_length < 3) {
      key.emplace();
      for (int i = 0; i < key_length; ++i) key->push_back(static_cast<char>(in.byte()));
    }
    const auto [entry, added] = numbers.emplace(key, table.group_count);
    if (added) ++table.group_count;
    const std::uint32_t group = entry->second;
    const std::uint8_t v = in.byte();
    if (v < 9) {
      std::uint8_t bytes[8] = {};
      for (int i = 0; i < v; ++i) bytes[i] = in.byte();
      table.groups.push_back(group);
      table.hashes.push_back(hash_of(integers, bytes, v));
    } else if (v == 9) {
      table.groups.push_back(group);
      table.hashes.push_back(std::nullopt);
    } else {
      const std::uint8_t seed = in.byte();
      for (int i = 0; i < 8 * (v - 9); ++i) {
        std::uint8_t bytes[8];
        const std::uint64_t value = (seed + static_cast<std::uint64_t>(i)) * 0x9E3779B97F4A7C15ull;
        for (int b = 0; b < 8; ++b) bytes[b] = static_cast<std::uint8_t>(value >> (8 * b));
        table.groups.push_back(group);
        table.hashes.push_back(hash_of(integers, bytes, 8));
      }
    }
  }
  return table;
}

HyperLogLogPlusPlus fresh(InputType type, std::int32_t p, std::int32_t sp) {
  Result<HyperLogLogPlusPlus> sketch =
      type == InputType::LONG ? HyperLogLogPlusPlus::new_long(p, sp) : HyperLogLogPlusPlus::new_string_or_bytes(p, sp);
  FUZZ_CHECK(sketch.has_value());
  return std::move(*sketch);
}

SerializedSketches build(const GroupedSketchBuilder& builder, const Table& table, int threads,
                         std::size_t begin, std::size_t end) {
  std::vector<std::uint32_t> groups(table.groups.begin() + begin, table.groups.begin() + end);
  std::vector<std::uint32_t> codes;
  for (std::size_t i = begin; i < end; ++i) {
    codes.push_back(table.hashes[i] ? builder.code(*table.hashes[i]) : GroupedSketchBuilder::kNoValue);
  }
  Result<SerializedSketches> built = builder.build(groups, codes, table.group_count, threads);
  FUZZ_CHECK(built.has_value());
  FUZZ_CHECK(built->size() == table.group_count);
  return std::move(*built);
}

}  // namespace
}  // namespace vantorelle

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorelle;
  if (size < 3) return 0;
  Reader in{data, size};
  const std::int32_t p = 10 + in.byte() % 3;
  const std::int32_t sparse_choices[] = {0, p, std::min(p + 5, 25), 25};
  const std::int32_t sp = sparse_choices[in.byte() % 4];
  const bool integers = in.byte() & 1;
  const InputType type = integers ? InputType::LONG : InputType::BYTES;
  const Table table = read_table(in, integers);

  Result<GroupedSketchBuilder> builder = GroupedSketchBuilder::create(type, p, sp);
  FUZZ_CHECK(builder.has_value());
  const SerializedSketches one = build(*builder, table, 1, 0, table.groups.size());
  const SerializedSketches two = build(*builder, table, 2, 0, table.groups.size());
  FUZZ_CHECK(one.data == two.data && one.offsets == two.offsets);

  std::vector<HyperLogLogPlusPlus> expected;
  for (std::uint32_t g = 0; g < table.group_count; ++g) expected.push_back(fresh(type, p, sp));
  for (std::size_t i = 0; i < table.groups.size(); ++i) {
    if (!table.hashes[i]) continue;
    FUZZ_CHECK(expected[table.groups[i]].add_hashes(type, std::span(&*table.hashes[i], 1)).has_value());
  }
  for (std::uint32_t g = 0; g < table.group_count; ++g) {
    Result<Bytes> bytes = expected[g].to_bytes();
    FUZZ_CHECK(bytes.has_value());
    const ByteView got = one.at(g);
    FUZZ_CHECK(Bytes(got.begin(), got.end()) == *bytes);
  }

  // The two halves' sketches of each group, merged.
  const std::size_t half = table.groups.size() / 2;
  const SerializedSketches first = build(*builder, table, 1, 0, half);
  const SerializedSketches second = build(*builder, table, 2, half, table.groups.size());
  std::vector<std::uint32_t> groups;
  std::vector<ByteView> sketches;
  std::vector<std::int64_t> rows;
  for (std::uint32_t g = 0; g < table.group_count; ++g) {
    for (const SerializedSketches* part : {&first, &second}) {
      groups.push_back(g);
      sketches.push_back(part->at(g));
      rows.push_back(static_cast<std::int64_t>(rows.size()));
    }
  }
  RowFailure failure;
  Result<SerializedSketches> merged = merge_groups(groups, sketches, rows, table.group_count, 2, &failure);
  FUZZ_CHECK(merged.has_value());
  for (std::uint32_t g = 0; g < table.group_count; ++g) {
    Result<HyperLogLogPlusPlus> reference = HyperLogLogPlusPlus::from_bytes(first.at(g));
    FUZZ_CHECK(reference.has_value());
    FUZZ_CHECK(reference->merge_bytes(second.at(g)).has_value());
    Result<Bytes> bytes = reference->to_bytes();
    FUZZ_CHECK(bytes.has_value());
    const ByteView got = merged->at(g);
    FUZZ_CHECK(Bytes(got.begin(), got.end()) == *bytes);
  }
  return 0;
}
