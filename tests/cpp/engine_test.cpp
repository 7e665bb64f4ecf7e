// The engine's grouped aggregations against a simple model: a map from each
// row's key tuple to the sketch of its values, built by an aggregator fed in
// row order. Seeded random tables over every key kind (integers of each
// width, booleans, dates, timestamps, text and binary in every layout,
// dictionaries), one to three key columns, nulls in keys and values,
// several record batches with offsets, groups on both sides of the
// sparse-to-normal switch, and one run at 1,000,000 groups; then malformed
// arrays, which must be refused before a row is read.
#include "engine/grouped_aggregation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/arrow_values.h"
#include "engine/bytes_groups.h"
#include "engine/group_keys.h"
#include "engine/input_errors.h"
#include "engine_arrays.h"
#include "test_support.h"
#include "utils/utf8.h"

namespace vantorelle::engine {
namespace {

using test::Cell;
using test::KeyValue;
using test::make_array;
using test::make_dictionary;
using test::one_chunk;
using test::TestArray;
using test::unwrap;

struct KeyKind {
  std::string format;        // the values' format
  std::string index_format;  // set: dictionary-encoded
};

const std::vector<KeyKind> kKinds = {
    {"l", ""},   {"i", ""},   {"c", ""},   {"S", ""},  {"L", ""},  {"b", ""},  {"tdD", ""}, {"tsu:", ""},
    {"u", ""},   {"U", ""},   {"vu", ""},  {"z", ""},  {"Z", ""},  {"vz", ""}, {"u", "i"},  {"l", "s"},
};

int width_of(const std::string& format) {
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S") return 2;
  if (format == "i" || format == "I" || format == "tdD") return 4;
  return 8;
}

bool is_bytes(const std::string& format) { return format == "u" || format == "U" || format == "vu" || format == "z" || format == "Z" || format == "vz"; }

// The logical value `x` takes in a column of `format`.
KeyValue value_of(const std::string& format, std::uint64_t x) {
  KeyValue value;
  if (is_bytes(format)) {
    // Short, long (past a view's 12 inline bytes), past 127 bytes (a
    // two-byte length among a group's key bytes), and the empty string.
    value.bytes = x % 7 == 0 ? std::string() : (x % 3 ? "k-" : "a much longer key, ") + std::to_string(x);
    if (x % 11 == 5) value.bytes += std::string(120 + x % 13, '~');
    return value;
  }
  if (format == "b") {
    value.integer = x & 1;
    return value;
  }
  const int bits = 8 * width_of(format);
  const bool is_signed = format != "L" && format != "S" && format != "C" && format != "I";
  std::uint64_t raw = bits == 64 ? x * 0x9E3779B97F4A7C15ull : x;
  if (bits < 64) {
    raw &= (1ull << bits) - 1;
    if (is_signed && (raw >> (bits - 1))) raw |= ~((1ull << bits) - 1);  // sign-extended
  }
  if (format == "L") raw &= INT64_MAX;
  value.integer = raw;
  return value;
}

// The model's key of one cell: the same for equal values, whatever the layout.
std::string model_key(const Cell& cell) {
  if (!cell) return "N";
  return "V" + std::to_string(cell->integer) + ":" + std::to_string(cell->bytes.size()) + ":" + cell->bytes;
}

// One key column of `cells` cut into batches at `cuts` (sorted, from 0 to
// the row count), each array at a random offset; the arrays are kept in
// `arrays`.
ColumnChunks column_in_batches(const std::string& format, const std::vector<Cell>& cells,
                               const std::vector<std::size_t>& cuts, std::mt19937_64& random,
                               std::vector<std::unique_ptr<TestArray>>& arrays) {
  ColumnChunks column;
  column.name = "k";
  for (std::size_t b = 0; b + 1 < cuts.size(); ++b) {
    const std::vector<Cell> slice(cells.begin() + static_cast<std::ptrdiff_t>(cuts[b]),
                                  cells.begin() + static_cast<std::ptrdiff_t>(cuts[b + 1]));
    arrays.push_back(make_array(format, slice, static_cast<std::int64_t>(random() % 3)));
    column.add(arrays.back()->array);
  }
  column.schema = &arrays[0]->schema;
  return column;
}

// The model of one key column's groups: each key's first appearance.
Grouping model_grouping(const std::vector<Cell>& cells) {
  std::map<std::string, std::uint32_t> group_of;
  Grouping want;
  for (std::size_t r = 0; r < cells.size(); ++r) {
    const auto [it, added] = group_of.emplace(model_key(cells[r]), static_cast<std::uint32_t>(want.first_rows.size()));
    if (added) want.first_rows.push_back(static_cast<std::int64_t>(r));
    want.group_of_row.push_back(it->second);
  }
  return want;
}

// A table as columns of cells, with the arrays of its batches.
struct Table {
  std::vector<KeyKind> kinds;
  std::vector<std::vector<Cell>> keys;  // per key column, per row
  std::vector<std::optional<std::int64_t>> values;
  std::vector<std::unique_ptr<TestArray>> arrays;  // keep alive
  std::vector<ColumnChunks> key_columns;
  ColumnChunks value_column;
};

std::unique_ptr<TestArray> key_array(const KeyKind& kind, const std::vector<Cell>& cells, std::mt19937_64& random) {
  const std::int64_t pad = static_cast<std::int64_t>(random() % 3);
  if (kind.index_format.empty()) return make_array(kind.format, cells, pad);
  // The batch's own dictionary: its distinct values shuffled, an unused
  // entry and a null entry (which some null rows point to).
  std::vector<Cell> entries;
  std::map<std::string, std::int64_t> index;
  for (const Cell& cell : cells) {
    if (cell && index.emplace(model_key(cell), 0).second) entries.push_back(cell);
  }
  entries.push_back(value_of(kind.format, random()));
  std::shuffle(entries.begin(), entries.end(), random);
  entries.push_back(std::nullopt);
  for (std::size_t e = 0; e + 1 < entries.size(); ++e) index[model_key(entries[e])] = static_cast<std::int64_t>(e);
  std::vector<Cell> indices;
  for (const Cell& cell : cells) {
    if (cell) {
      indices.push_back(KeyValue{static_cast<std::uint64_t>(index[model_key(cell)]), {}});
    } else if (random() % 2) {
      indices.push_back(KeyValue{static_cast<std::uint64_t>(entries.size() - 1), {}});
    } else {
      indices.push_back(std::nullopt);
    }
  }
  return make_dictionary(kind.index_format, indices, kind.format, entries, pad);
}

// Cuts the rows into batches and writes each column's arrays.
void write_batches(Table& table, std::mt19937_64& random) {
  const std::size_t rows = table.values.size();
  std::vector<std::size_t> cuts{0, rows};
  for (std::uint64_t i = random() % 4; i > 0; --i) cuts.push_back(rows == 0 ? 0 : random() % rows);
  std::sort(cuts.begin(), cuts.end());
  table.key_columns.assign(table.kinds.size(), ColumnChunks{});
  table.value_column = ColumnChunks{};
  for (std::size_t b = 0; b + 1 < cuts.size(); ++b) {
    const auto slice = [&](const auto& cells) {
      return std::vector<typename std::decay_t<decltype(cells)>::value_type>(cells.begin() + cuts[b],
                                                                             cells.begin() + cuts[b + 1]);
    };
    for (std::size_t c = 0; c < table.kinds.size(); ++c) {
      table.arrays.push_back(key_array(table.kinds[c], slice(table.keys[c]), random));
      ColumnChunks& column = table.key_columns[c];
      if (b == 0) {
        column.schema = &table.arrays.back()->schema;
        column.name = "k" + std::to_string(c);
      }
      column.add(table.arrays.back()->array);
    }
    std::vector<Cell> value_cells;
    for (const auto& value : slice(table.values)) {
      value_cells.push_back(value ? Cell(KeyValue{static_cast<std::uint64_t>(*value), {}}) : std::nullopt);
    }
    table.arrays.push_back(make_array("l", value_cells, static_cast<std::int64_t>(random() % 3)));
    if (b == 0) table.value_column.schema = &table.arrays.back()->schema;
    table.value_column.name = "v";
    table.value_column.add(table.arrays.back()->array);
  }
}

Table random_table(std::mt19937_64& random, std::size_t rows, std::uint64_t groups,
                   const std::vector<KeyKind>& kinds = kKinds, std::uint64_t least_columns = 1) {
  Table table;
  for (std::uint64_t c = least_columns + random() % (4 - least_columns); c > 0; --c) {
    table.kinds.push_back(kinds[random() % kinds.size()]);
  }
  table.keys.resize(table.kinds.size());
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::uint64_t domain = random() % 2 ? 50 : 1u << 30;
  for (std::size_t r = 0; r < rows; ++r) {
    const double u = unit(random);
    const auto group = static_cast<std::uint64_t>(u * u * static_cast<double>(groups));  // skewed: big groups
    for (std::size_t c = 0; c < table.kinds.size(); ++c) {
      if (random() % 30 == 0) {
        table.keys[c].push_back(std::nullopt);
      } else {
        table.keys[c].push_back(value_of(table.kinds[c].format, group * 31 + c * 7 + (c > 0 ? group % 3 : 0)));
      }
    }
    table.values.push_back(random() % 25 == 0 ? std::nullopt
                                              : std::optional<std::int64_t>(static_cast<std::int64_t>(random() % domain)));
  }
  write_batches(table, random);
  return table;
}

// The model: per key tuple in order of first appearance, its first row and
// the sketch of its values in row order.
struct ModelGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<Bytes> sketches;
};

ModelGroups model(const Table& table, std::int32_t p, std::int32_t sp) {
  std::map<std::string, std::size_t> group_of;
  std::vector<HyperLogLogPlusPlus> sketches;
  ModelGroups out;
  for (std::size_t r = 0; r < table.values.size(); ++r) {
    std::string key;
    for (const auto& column : table.keys) key += model_key(column[r]) + "|";
    auto [it, added] = group_of.emplace(key, sketches.size());
    if (added) {
      out.first_rows.push_back(static_cast<std::int64_t>(r));
      sketches.push_back(unwrap(HyperLogLogPlusPlus::new_long(p, sp)));
    }
    if (table.values[r]) unwrap(sketches[it->second].add_long(*table.values[r]));
  }
  for (const auto& sketch : sketches) out.sketches.push_back(unwrap(sketch.to_bytes()));
  return out;
}

void expect_matches(const GroupedSketches& got, const ModelGroups& want) {
  ASSERT_EQ(got.first_rows, want.first_rows);
  ASSERT_EQ(got.sketches.size(), want.sketches.size());
  for (std::size_t g = 0; g < want.sketches.size(); ++g) {
    const ByteView bytes = got.sketches.at(g);
    ASSERT_EQ(Bytes(bytes.begin(), bytes.end()), want.sketches[g]) << "group " << g;
  }
}

TEST(EngineTest, SketchGroupsMatchTheModelOverEveryKeyKind) {
  std::mt19937_64 random(2207);
  const std::pair<std::int32_t, std::int32_t> precisions[] = {{10, 15}, {15, 20}, {12, 0}};
  for (int iteration = 0; iteration < 60; ++iteration) {
    // A few tables large enough for several threads to take a range each.
    const std::size_t rows = iteration % 12 == 0 ? 140000 + random() % 5000 : random() % 4000;
    const std::uint64_t groups = 1 + random() % (iteration % 2 ? 8 : 2000);
    Table table = random_table(random, rows, groups);
    const auto [p, sp] = precisions[random() % 3];
    const ModelGroups want = model(table, p, sp);
    for (int threads : {1, 3}) {
      SCOPED_TRACE("iteration " + std::to_string(iteration) + ", threads " + std::to_string(threads));
      GroupedSketches got = unwrap(sketch_groups(table.key_columns, table.value_column, std::nullopt, p, sp, threads));
      expect_matches(got, want);
    }
  }
}

TEST(EngineTest, KeysNotHashesDecideTheGroups) {
  // Every row given the same hash: each lookup compares keys, and the groups
  // stay those of seeded hashing (checked against the model above).
  std::mt19937_64 random(5);
  for (int iteration = 0; iteration < 40; ++iteration) {
    const std::size_t rows = iteration % 10 == 0 ? 135000 : random() % 3000;
    Table table = random_table(random, rows, 1 + random() % 25);
    const auto formats = unwrap(check_key_columns(table.key_columns));
    const auto count = static_cast<std::int64_t>(rows);
    const Grouping seeded = unwrap(group_rows(table.key_columns, formats, count, 1));
    for (int threads : {1, 3}) {
      const Grouping constant = unwrap(group_rows(table.key_columns, formats, count, threads, KeyHashing::Constant));
      ASSERT_EQ(constant.group_of_row, seeded.group_of_row) << iteration;
      ASSERT_EQ(constant.first_rows, seeded.first_rows);
    }
  }
}

TEST(EngineTest, PackedIntegerKeysGroupAsComparedKeysDo) {
  // Two or three narrow integer columns (nulls included) are packed into
  // one number a row; the groups must be those of comparing the keys.
  const std::vector<KeyKind> narrow = {{"i", ""}, {"c", ""}, {"S", ""}, {"b", ""}, {"tdD", ""}};
  std::mt19937_64 random(11);
  for (int iteration = 0; iteration < 30; ++iteration) {
    const std::size_t rows = iteration % 10 == 0 ? 135000 : random() % 3000;
    Table table = random_table(random, rows, 1 + random() % 60, narrow, 2);
    const auto formats = unwrap(check_key_columns(table.key_columns));
    const auto count = static_cast<std::int64_t>(rows);
    const Grouping compared = unwrap(group_rows(table.key_columns, formats, count, 1, KeyHashing::Constant));
    for (int threads : {1, 3}) {
      const Grouping packed = unwrap(group_rows(table.key_columns, formats, count, threads));
      ASSERT_EQ(packed.group_of_row, compared.group_of_row) << iteration;
      ASSERT_EQ(packed.first_rows, compared.first_rows);
    }
  }
  // No rows at all: no groups, whatever the columns.
  {
    Table empty;
    empty.kinds = {{"l", ""}, {"i", ""}, {"u", ""}};
    empty.keys.resize(3);
    write_batches(empty, random);
    const auto formats = unwrap(check_key_columns(empty.key_columns));
    for (std::size_t columns : {1, 2, 3}) {
      const Grouping got =
          unwrap(group_rows(std::span(empty.key_columns.data(), columns), std::span(formats.data(), columns), 0, 2));
      EXPECT_TRUE(got.first_rows.empty() && got.group_of_row.empty()) << columns;
    }
  }
  // Integer columns too wide for a map or a packing, in their first rows or
  // only further on, up to both ends of int64 (2^64 keys: a count that
  // wraps to 0), and a narrow one. One column, and two.
  constexpr std::uint64_t kLowest = std::uint64_t{1} << 63, kHighest = kLowest - 1;
  for (int iteration = 0; iteration < 4; ++iteration) {
    const std::size_t rows = 20000;
    Table table;
    table.kinds = {{"l", ""}, {"l", ""}};
    table.keys.resize(2);
    for (std::size_t r = 0; r < rows; ++r) {
      std::uint64_t key = random() % 40;
      const bool late = r == rows - 100 || r == rows - 3000;
      if (iteration == 0 && late) key = r == rows - 100 ? kLowest : kHighest;
      if (iteration == 1 && r < 2) key = r == 0 ? kHighest : kLowest;
      if (iteration == 2 && late) key = std::uint64_t{1} << 40;
      table.keys[0].push_back(KeyValue{key, {}});
      table.keys[1].push_back(r % 50 == 0 ? Cell(std::nullopt) : Cell(KeyValue{random() % 7, {}}));
      table.values.push_back(static_cast<std::int64_t>(r));
    }
    write_batches(table, random);
    const auto formats = unwrap(check_key_columns(table.key_columns));
    const auto count = static_cast<std::int64_t>(rows);
    for (std::size_t columns : {1, 2}) {
      const std::span keys(table.key_columns.data(), columns);
      const std::span key_formats(formats.data(), columns);
      const Grouping compared = unwrap(group_rows(keys, key_formats, count, 1, KeyHashing::Constant));
      for (int threads : {1, 3}) {
        const Grouping got = unwrap(group_rows(keys, key_formats, count, threads));
        ASSERT_EQ(got.group_of_row, compared.group_of_row) << iteration << " " << columns;
        ASSERT_EQ(got.first_rows, compared.first_rows);
      }
    }
  }
}

TEST(EngineTest, IntegerKeysGroupAsTheModelOnAnyThreads) {
  // One integer key column whose keys lie close together, numbered through
  // a map indexed by key: a few thousand keys, more than 2^16, or more than
  // a quarter as many as rows (each range's keys listed, the later ranges'
  // new ones following the earlier ranges'). The same keys spread over 64
  // bits take the hash table (a table per thread, the later ranges' groups
  // joined in the first's). Nulls (in some iterations only in the last
  // third of the rows: a group a later range meets first), several batches,
  // skewed groups; unsigned keys past 2^63 (read as numbers near the
  // smallest int64).
  std::mt19937_64 random(23);
  for (int iteration = 0; iteration < 12; ++iteration) {
    const bool spread = iteration >= 9;
    const bool high = iteration == 4 || iteration == 8;
    const std::string format = high ? "L" : iteration % 2 || spread ? "l" : "i";
    const std::size_t rows = 140000 + random() % 100000;
    const std::uint64_t low =
        high ? (1ull << 63) + random() % 1000 : static_cast<std::uint64_t>(static_cast<std::int64_t>(random() % 1000) - 500);
    const std::uint64_t span = iteration % 3 == 0 ? 70000 + random() % 50000 : iteration % 3 == 1 ? rows / 3 : 5000;
    std::vector<Cell> cells;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint64_t u = random() % span;
      const std::uint64_t key = low + u * u / span;
      const bool may_be_null = iteration % 4 != 1 || r >= 2 * rows / 3;
      cells.push_back(may_be_null && random() % 50 == 0
                          ? Cell(std::nullopt)
                          : Cell(KeyValue{spread ? key * 0x9E3779B97F4A7C15ull : key, {}}));
    }
    const Grouping want = model_grouping(cells);
    std::vector<std::size_t> cuts{0, rows, random() % rows, random() % rows};
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::unique_ptr<TestArray>> arrays;
    const ColumnChunks column = column_in_batches(format, cells, cuts, random, arrays);
    const auto formats = unwrap(check_key_columns(std::span(&column, 1)));
    for (int threads = 1; threads <= 4; ++threads) {
      SCOPED_TRACE("iteration " + std::to_string(iteration) + ", threads " + std::to_string(threads));
      const Grouping got = unwrap(group_rows(std::span(&column, 1), formats, static_cast<std::int64_t>(rows), threads));
      ASSERT_EQ(got.first_rows, want.first_rows);
      ASSERT_EQ(got.group_of_row, want.group_of_row);
    }
  }
}

TEST(EngineTest, KeyStoreGivesBackEveryKeyAndItsGroup) {
  // Keys of every length class (empty, within 16 bytes, one-, two- and
  // three-byte lengths, longer than a block), added to a store and read
  // back by reference and in order; each entry holds its own key and not one
  // that differs in its last byte. And lengths of every bit width survive
  // their varint.
  using namespace grouping;
  std::mt19937_64 random(77);
  for (int iteration = 0; iteration < 6; ++iteration) {
    KeyStore store;
    std::vector<std::string> keys;
    std::vector<std::uint32_t> refs;
    const std::size_t count = 1 + random() % 3000;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t sizes[] = {0, 1 + random() % 16, 17 + random() % 111, 128 + random() % 3000,
                                   16384 + random() % 50000, iteration == 2 && i % 700 == 0 ? KeyStore::kBlockSize + 500000 : std::size_t{3}};
      std::string key(sizes[random() % 6], '\0');
      for (char& c : key) c = static_cast<char>(random() % 3);  // runs of equal bytes
      keys.push_back(key);
      const auto* data = reinterpret_cast<const std::uint8_t*>(keys.back().data());
      refs.push_back(store.add(static_cast<std::uint32_t>(i), BytesKey{data, key.size()}));
      ASSERT_NE(refs.back(), UINT32_MAX);
    }
    std::size_t next = 0;
    store.each([&](std::uint32_t group, const BytesKey& key) {
      ASSERT_EQ(group, next);
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(key.data), key.size), keys[next]);
      ++next;
    });
    ASSERT_EQ(next, keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const std::uint8_t* at = store.entry(refs[i]);
      std::string other = keys[i];
      const auto* data = reinterpret_cast<const std::uint8_t*>(keys[i].data());
      ASSERT_EQ(KeyStore::group_at(at), i);
      ASSERT_TRUE(KeyStore::holds(at, row_key(BytesKey{data, keys[i].size()})));
      if (other.empty()) continue;
      other.back() = static_cast<char>(other.back() + 1);
      ASSERT_FALSE(KeyStore::holds(at, row_key(BytesKey{reinterpret_cast<const std::uint8_t*>(other.data()), other.size()})));
    }
  }
  for (int bits = 0; bits <= 64; ++bits) {
    for (const std::uint64_t size : {bits == 64 ? UINT64_MAX : (std::uint64_t{1} << bits) - 1,
                                     bits == 64 ? UINT64_MAX : std::uint64_t{1} << bits}) {
      std::uint8_t bytes[10];
      ASSERT_EQ(static_cast<std::size_t>(put_length(bytes, size) - bytes), length_bytes(size));
      std::uint64_t read = 0;
      ASSERT_EQ(static_cast<std::size_t>(read_length(bytes, &read) - bytes), length_bytes(size));
      ASSERT_EQ(read, size);
    }
  }
}

TEST(EngineTest, BytesKeyTableFindsEachKeyOnceWhenHashesCollide) {
  // Keys whose hashes take few values (so slots are shared and probed past),
  // looked up in random order against a map from key to group, through the
  // table's growth at half and three quarters full.
  using namespace grouping;
  std::mt19937_64 random(78);
  for (const std::uint32_t hashes : {1u, 64u, 4096u}) {
    KeyStore store;
    BytesKeyTable table;
    std::unordered_map<std::string, std::uint32_t> model;
    std::vector<std::string> pool;
    const std::size_t distinct = hashes == 1 ? 300 : 60000;
    for (std::size_t i = 0; i < distinct; ++i) pool.push_back("key " + std::to_string(i * 7919 % 100003));
    for (std::size_t n = 0; n < 3 * distinct; ++n) {
      const std::string& key = pool[random() % pool.size()];
      const RowKey row = row_key(BytesKey{reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
      const auto hash = static_cast<std::uint32_t>(std::hash<std::string>{}(key) % hashes);
      const auto emplaced = model.emplace(key, static_cast<std::uint32_t>(model.size()));
      const bool added = emplaced.second;
      const std::uint32_t want = emplaced.first->second;
      const std::uint32_t group = table.find_or_add(
          hash,
          [&](std::uint32_t ref) {
            const std::uint8_t* at = store.entry(ref);
            return KeyStore::holds(at, row) ? KeyStore::group_at(at) : UINT32_MAX;
          },
          [&] {
            EXPECT_TRUE(added) << key;
            const auto next = static_cast<std::uint32_t>(model.size() - 1);
            return std::pair{store.add(next, row.bytes), next};
          });
      ASSERT_EQ(group, want) << key;
      const std::uint32_t found = table.view().find(hash, [&](std::uint32_t ref) {
        return KeyStore::holds(store.entry(ref), row);
      });
      ASSERT_EQ(KeyStore::group_at(store.entry(found)), want);
    }
  }
}

// The key of group g in a bytes column: empty, short, 9 to 16 bytes, past
// 16 and past 127 bytes (a two-byte length in the key store), and runs of
// zero bytes that differ only in length.
std::string bytes_key(std::uint64_t g) {
  switch (g % 6) {
    case 0: return g % 12 ? "k" + std::to_string(g) : std::string();
    case 1: return "country-" + std::to_string(g);
    case 2: return "a much longer key than sixteen bytes, " + std::to_string(g);
    case 3: return std::string(130 + g % 7, 'x') + std::to_string(g);
    case 4: return std::string(g % 5, '\0');
    default: return std::to_string(g * 0x9E3779B97F4A7C15ull);
  }
}

TEST(EngineTest, BytesKeysGroupAsTheModelOnEverySplit) {
  // One plain text or binary key column, its rows split between threads by
  // range and by partition of the hashes, on 1 to 4 threads, and with every
  // row hashed alike (so each lookup compares keys): the groups are those of
  // a map from each key to its first appearance. Up to one group a row (the
  // store of a thread's keys spans several blocks), nulls, several batches,
  // in one table keys longer than a block of the store (a block of their
  // own), and in one 40,000 keys whose hashes keep 12 bits (tables past the
  // caches, whose lookups meet other keys of their hash).
  using grouping::BytesSplit;
  const std::vector<std::string> layouts = {"u", "U", "vu", "z", "Z", "vz"};
  std::mt19937_64 random(31);
  for (int iteration = 0; iteration < 30; ++iteration) {
    const std::string format = layouts[static_cast<std::size_t>(iteration) % layouts.size()];
    const std::size_t rows = iteration % 5 == 0 ? 150000 + random() % 1000 : random() % 5000;
    const std::uint64_t groups = iteration == 15 ? 40000 : 1 + random() % (iteration % 3 == 0 ? rows + 1 : 40);
    std::vector<Cell> cells;
    for (std::size_t r = 0; r < rows; ++r) {
      if (random() % 40 == 0) {
        cells.push_back(std::nullopt);
      } else {
        cells.push_back(KeyValue{0, bytes_key(random() % groups)});
      }
    }
    if (iteration == 7 && rows >= 3) {
      // Two keys longer than a block, differing in their last byte, one of
      // them met twice.
      const std::string huge(grouping::KeyStore::kBlockSize + 1000, 'h');
      cells[rows / 2] = KeyValue{0, huge + "a"};
      cells[rows / 2 + 1] = KeyValue{0, huge + "b"};
      cells[rows - 1] = KeyValue{0, huge + "a"};
    }
    const Grouping want = model_grouping(cells);
    std::vector<std::size_t> cuts{0, rows};
    for (std::uint64_t i = random() % 4; i > 0; --i) cuts.push_back(rows == 0 ? 0 : random() % rows);
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::unique_ptr<TestArray>> arrays;
    const ColumnChunks column = column_in_batches(format, cells, cuts, random, arrays);
    const ValueFormat values = unwrap(check_key_columns(std::span(&column, 1)))[0].values;
    const KeyHashing hashing = iteration == 15                  ? KeyHashing::Colliding
                               : groups <= 64 && iteration % 2 ? KeyHashing::Constant
                                                               : KeyHashing::Seeded;
    for (const BytesSplit split : {BytesSplit::Ranges, BytesSplit::Partitions}) {
      for (int parts = 1; parts <= 4; ++parts) {
        SCOPED_TRACE("iteration " + std::to_string(iteration) + ", parts " + std::to_string(parts) +
                     (split == BytesSplit::Ranges ? ", ranges" : ", partitions"));
        const std::optional<Grouping> got = grouping::group_bytes_column(
            column, values, static_cast<std::int64_t>(rows), parts, hashing, split);
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(got->group_of_row, want.group_of_row);
        ASSERT_EQ(got->first_rows, want.first_rows);
      }
    }
  }
}

TEST(EngineTest, StringValuesAndTheFamilyAskedFor) {
  // A text value column counted as text; asked to count it as integers, the
  // first value is refused and named with its group.
  std::vector<Cell> keys, values;
  for (int r = 0; r < 500; ++r) {
    // (appended rather than prefixed with +, which g++ 12 warns of wrongly here)
    keys.push_back(KeyValue{0, r % 5 == 4 ? "" : std::string("g").append(std::to_string(r % 4))});
    values.push_back(r % 9 == 0 ? std::nullopt : Cell(KeyValue{0, std::string("v").append(std::to_string(r % 37))}));
  }
  auto key_array = make_array("vu", keys, 1);
  auto value_array = make_array("u", values, 2);
  ColumnChunks key_column = one_chunk("k", *key_array), value_column = one_chunk("v", *value_array);
  GroupedSketches got = unwrap(sketch_groups(std::span(&key_column, 1), value_column, std::nullopt, 14, 20, 2));
  ASSERT_EQ(got.first_rows, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
  for (std::size_t g = 0; g < 5; ++g) {
    HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_string_or_bytes(14, 20));
    for (std::size_t r = g; r < values.size(); r += 5) {
      if (values[r]) unwrap(sketch.add_string(values[r]->bytes));
    }
    const ByteView bytes = got.sketches.at(g);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), unwrap(sketch.to_bytes()));
  }
  Result<GroupedSketches> refused =
      sketch_groups(std::span(&key_column, 1), value_column, InputType::LONG, 14, 20, 2);
  ASSERT_FALSE(refused);
  EXPECT_EQ(fault_of(refused.error()), InputFault::Refused);
  EXPECT_EQ(refused.error().message(),
            "column 'v', row 1: Unable to add type STRING to aggregator of type {LONG} (group k='g1')");
}

TEST(EngineTest, EveryIntegerFormatReadsAsItsValue) {
  // Random raw bits of every width, signed values sign-extended and unsigned
  // ones zero-extended, as the integer a one-by-one add takes.
  std::mt19937_64 random(5);
  const struct {
    const char* format;
    int bits;
    bool is_signed;
  } formats[] = {{"c", 8, true}, {"C", 8, false}, {"s", 16, true}, {"S", 16, false},
                 {"i", 32, true}, {"I", 32, false}, {"l", 64, true}};
  for (const auto& [format, bits, is_signed] : formats) {
    std::vector<Cell> cells;
    std::vector<std::int64_t> want;
    for (int r = 0; r < 200; ++r) {
      const std::uint64_t raw = r < 2 ? (r == 0 ? ~std::uint64_t{0} : 0) : random();
      cells.push_back(Cell(KeyValue{raw, {}}));
      const int shift = 64 - bits;
      want.push_back(is_signed ? static_cast<std::int64_t>(raw << shift) >> shift
                               : static_cast<std::int64_t>((raw << shift) >> shift));
    }
    auto array = make_array(format, cells);
    ValueFormat value;
    ASSERT_TRUE(value_format(format, &value));
    const ValueReader reader(value, array->array);
    for (std::int64_t r = 0; r < 200; ++r) {
      std::int64_t got = 0;
      ASSERT_EQ(reader.integer(r, &got), Row::Value);
      ASSERT_EQ(got, want[static_cast<std::size_t>(r)]) << format << " row " << r;
    }
  }
}

TEST(EngineTest, AMillionGroupsInOneRun) {
  // 2,000,000 rows, each group's values from the model in row order.
  std::mt19937_64 random(41);
  constexpr std::size_t kRows = 2'000'000;
  constexpr std::uint64_t kGroups = 1'000'000;
  for (const std::string format : {"l", "u"}) {
    SCOPED_TRACE(format);
    std::vector<Cell> keys;
    std::vector<Cell> values;
    for (std::size_t r = 0; r < kRows; ++r) {
      const std::uint64_t group = r < kGroups ? r : random() % kGroups;
      keys.push_back(format == "l" ? value_of(format, group) : KeyValue{0, "key-" + std::to_string(group)});
      values.push_back(KeyValue{random() % 1000, {}});
    }
    std::shuffle(keys.begin(), keys.end(), random);
    auto key_array = make_array(format, keys);
    auto value_array = make_array("l", values);
    ColumnChunks key_column = one_chunk("k", *key_array), value_column = one_chunk("v", *value_array);
    GroupedSketches got = unwrap(sketch_groups(std::span(&key_column, 1), value_column, std::nullopt, 15, 20, 2));
    std::unordered_map<std::string, std::size_t> group_of;
    std::vector<std::vector<std::int64_t>> group_values;
    std::vector<std::int64_t> first_rows;
    for (std::size_t r = 0; r < kRows; ++r) {
      auto [it, added] = group_of.emplace(model_key(keys[r]), group_values.size());
      if (added) {
        group_values.emplace_back();
        first_rows.push_back(static_cast<std::int64_t>(r));
      }
      group_values[it->second].push_back(static_cast<std::int64_t>(values[r]->integer));
    }
    ASSERT_EQ(got.first_rows, first_rows);
    for (std::size_t g = 0; g < group_values.size(); ++g) {
      HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_long(15, 20));
      for (std::int64_t value : group_values[g]) unwrap(sketch.add_long(value));
      const ByteView bytes = got.sketches.at(g);
      ASSERT_EQ(Bytes(bytes.begin(), bytes.end()), unwrap(sketch.to_bytes())) << "group " << g;
    }
  }
}

TEST(EngineTest, MergeStoredGroupsMatchesMergingInRowOrder) {
  std::mt19937_64 random(77);
  for (int iteration = 0; iteration < 20; ++iteration) {
    const std::size_t rows = random() % 300;
    std::vector<Cell> keys, stored;
    std::vector<Bytes> bytes_of_row(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      keys.push_back(random() % 10 == 0 ? std::nullopt : Cell(KeyValue{random() % 6, {}}));
      if (random() % 8 == 0) {
        stored.push_back(std::nullopt);
        continue;
      }
      HyperLogLogPlusPlus sketch = unwrap(HyperLogLogPlusPlus::new_long(11, 16));
      for (std::uint64_t v = random() % 400; v > 0; --v) unwrap(sketch.add_long(static_cast<std::int64_t>(random() % 5000)));
      bytes_of_row[r] = unwrap(sketch.to_bytes());
      stored.push_back(KeyValue{0, std::string(bytes_of_row[r].begin(), bytes_of_row[r].end())});
    }
    auto key_array = make_array("s", keys);
    auto sketch_array = make_array(random() % 2 ? "z" : "vz", stored);
    ColumnChunks key_column = one_chunk("k", *key_array), sketch_column = one_chunk("s", *sketch_array);
    GroupedSketches got = unwrap(merge_stored_groups(std::span(&key_column, 1), sketch_column, 2));
    std::map<std::string, std::size_t> group_of;
    std::vector<std::optional<HyperLogLogPlusPlus>> merged;
    for (std::size_t r = 0; r < rows; ++r) {
      auto [it, added] = group_of.emplace(model_key(keys[r]), merged.size());
      if (added) merged.emplace_back();
      if (!stored[r]) continue;
      auto& group = merged[it->second];
      if (!group) {
        group = unwrap(HyperLogLogPlusPlus::from_bytes(bytes_of_row[r]));
      } else {
        unwrap(group->merge_bytes(bytes_of_row[r]));
      }
    }
    ASSERT_EQ(got.sketches.size(), merged.size());
    for (std::size_t g = 0; g < merged.size(); ++g) {
      ASSERT_EQ(got.sketches.is_present(g), merged[g].has_value());
      if (!merged[g]) continue;
      const ByteView bytes = got.sketches.at(g);
      EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), unwrap(merged[g]->to_bytes()));
    }
  }
}

// ---------------------------------------------------------------- malformed input

struct OneColumn {
  std::unique_ptr<TestArray> keys;
  std::unique_ptr<TestArray> values;
  ColumnChunks key_column, value_column;

  OneColumn(std::unique_ptr<TestArray> k, std::unique_ptr<TestArray> v)
      : keys(std::move(k)), values(std::move(v)), key_column(one_chunk("k", *keys)),
        value_column(one_chunk("v", *values)) {}
  Result<GroupedSketches> run() { return sketch_groups(std::span(&key_column, 1), value_column, std::nullopt, 12, 0, 2); }
};

std::vector<Cell> text_cells(int rows) {
  std::vector<Cell> cells;
  for (int r = 0; r < rows; ++r) cells.push_back(KeyValue{static_cast<std::uint64_t>(r), "value number " + std::to_string(r)});
  return cells;
}

void expect_malformed(Result<GroupedSketches> result, const std::string& text) {
  ASSERT_FALSE(result);
  EXPECT_EQ(fault_of(result.error()), InputFault::Malformed);
  EXPECT_NE(result.error().message().find(text), std::string::npos) << result.error().message();
}

TEST(EngineTest, MalformedArraysAreRefusedBeforeTheyAreRead) {
  const std::vector<Cell> text = text_cells(40);
  const auto case_of = [&](const std::string& key_format, const std::string& value_format) {
    return std::make_unique<OneColumn>(make_array(key_format, key_format == "l" ? std::vector<Cell>(40, KeyValue{1, {}}) : text),
                                       make_array(value_format, value_format == "l" ? std::vector<Cell>(40, KeyValue{1, {}}) : text));
  };
  {  // The last offset past the end of the data (which ends at a guard page).
    auto table = case_of("u", "l");
    table->keys->guard(2);
    table->keys->values<std::int32_t>(1)[40] += 4096 * 3;
    expect_malformed(table->run(), "malformed Arrow array in column 'k': an offset points past the end of its data");
  }
  {  // The same in the value column, large offsets.
    auto table = case_of("l", "Z");
    table->values->guard(2);
    table->values->values<std::int64_t>(1)[40] += 1;
    expect_malformed(table->run(), "in column 'v': an offset points past the end of its data");
  }
  {
    auto table = case_of("z", "l");
    std::swap(table->keys->values<std::int32_t>(1)[3], table->keys->values<std::int32_t>(1)[4]);
    expect_malformed(table->run(), "its offsets are not in order");
  }
  {
    auto table = case_of("u", "l");
    table->keys->values<std::int32_t>(1)[0] = -1;
    expect_malformed(table->run(), "an offset is negative");
  }
  {  // A view naming a data buffer that does not exist, then one past its buffer's size.
    auto table = case_of("vu", "l");
    std::int32_t buffer = 7;
    std::memcpy(table->keys->buffers[1].data() + 16 * 20 + 8, &buffer, 4);
    expect_malformed(table->run(), "a view names a data buffer the array does not have");
    buffer = 0;
    std::memcpy(table->keys->buffers[1].data() + 16 * 20 + 8, &buffer, 4);
    std::int32_t offset = 1 << 20;
    std::memcpy(table->keys->buffers[1].data() + 16 * 20 + 12, &offset, 4);
    expect_malformed(table->run(), "a view points past the end of its data buffer");
  }
  {
    auto table = case_of("l", "vz");
    std::int32_t length = -5;
    std::memcpy(table->values->buffers[1].data() + 16 * 3, &length, 4);
    expect_malformed(table->run(), "a view has a negative length");
  }
  {  // Too few buffers for the type, a negative length.
    auto table = case_of("u", "l");
    table->key_column.chunks[0].n_buffers = 2;
    expect_malformed(table->run(), "its buffers do not match its type");
    table->key_column.chunks[0].n_buffers = 3;
    table->value_column.chunks[0].offset = -1;
    expect_malformed(table->run(), "a negative length or offset");
  }
}

TEST(EngineTest, DictionaryIndicesOutOfRangeNameTheColumnAndRow) {
  std::vector<Cell> indices;
  for (int r = 0; r < 300; ++r) indices.push_back(KeyValue{static_cast<std::uint64_t>(r % 3), {}});
  const std::vector<Cell> entries{KeyValue{0, "a"}, KeyValue{0, "b"}, std::nullopt};
  for (const std::string index_format : {"i", "c", "L"}) {
    OneColumn keyed(make_dictionary(index_format, indices, "u", entries, 1), make_array("l", indices));
    unwrap(keyed.run());
    std::uint64_t bad = index_format == "L" ? UINT64_MAX : 3;
    std::memcpy(keyed.keys->buffers[1].data() + (1 + 211) * width_of(index_format), &bad, static_cast<std::size_t>(width_of(index_format)));
    expect_malformed(keyed.run(), "column 'k', row 211: malformed Arrow array: dictionary index out of range");
    // In the value column the same index is refused at its row, with its group.
    OneColumn valued(make_array("l", indices), make_dictionary(index_format, indices, "u", entries, 1));
    std::memcpy(valued.values->buffers[1].data() + (1 + 100) * width_of(index_format), &bad, static_cast<std::size_t>(width_of(index_format)));
    expect_malformed(valued.run(), "column 'v', row 100: malformed Arrow array: dictionary index out of range (group k=1)");
  }
}

TEST(EngineTest, TextValuesThatAreNotUtf8AreRefusedAtTheirRow) {
  // Which row is refused, for every text layout, with nulls and offsets
  // (which text is well formed is utf8_test's).
  const std::uint8_t tricky[] = {0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xA0, 0x9F, 0xED,
                                 0xEF, 0xF0, 0x8F, 0x90, 0xF4, 0xF5, 0xFF, 0x20, 0x30, 0x61};
  const std::uint8_t continuing[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
  const std::string well_formed[] = {"\xC3\xA9", "\xF0\x9F\x98\x80"};
  std::mt19937_64 random(41);
  int refused = 0;
  for (int round = 0; round < 150; ++round) {
    const int rows = 1 + static_cast<int>(random() % 40);
    std::vector<Cell> cells;
    std::int64_t expected = -1;
    for (int r = 0; r < rows; ++r) {
      if (random() % 6 == 0) {
        cells.push_back(std::nullopt);
        continue;
      }
      std::string text(random() % 3 == 0 ? random() % 20 : 0, 'a');
      const bool clean = random() % 4 != 0;
      for (std::size_t n = random() % 6; n-- > 0;) {
        if (clean) {
          text += well_formed[random() % 2];
          continue;
        }
        // A leading byte, then up to three that may continue it.
        text += static_cast<char>(tricky[random() % sizeof tricky]);
        for (std::size_t k = random() % 4; k-- > 0;) text += static_cast<char>(continuing[random() % sizeof continuing]);
      }
      if (expected < 0 && !utf8_well_formed(text)) expected = r;
      cells.push_back(KeyValue{0, text});
    }
    const std::string format = round % 3 == 0 ? "u" : round % 3 == 1 ? "U" : "vu";
    // Keys are bytes: the same cells as a key column are taken as they are.
    OneColumn keyed(make_array(format, cells, round % 2), make_array("l", std::vector<Cell>(cells.size(), KeyValue{1, {}})));
    ASSERT_TRUE(keyed.run()) << round;
    OneColumn valued(make_array("l", std::vector<Cell>(cells.size(), KeyValue{1, {}})), make_array(format, cells, round % 2));
    Result<GroupedSketches> result = valued.run();
    if (expected < 0) {
      EXPECT_TRUE(result) << round << ": " << result.error().message();
      continue;
    }
    ++refused;
    expect_malformed(std::move(result), "column 'v', row " + std::to_string(expected) + ": the text is not valid UTF-8");
  }
  EXPECT_GT(refused, 30);
  // A dictionary's entries are text too.
  OneColumn dictionary(make_array("l", std::vector<Cell>(3, KeyValue{1, {}})),
                       make_dictionary("i", {KeyValue{0, {}}, KeyValue{0, {}}, KeyValue{1, {}}}, "u",
                                       {KeyValue{0, "fine"}, KeyValue{0, "caf\xC3"}}));
  expect_malformed(dictionary.run(), "in column 'v': dictionary entry 1 is not valid UTF-8");
}

TEST(EngineTest, FailuresNameTheGroup) {
  std::vector<Cell> keys{KeyValue{0, "x"}, std::nullopt, KeyValue{0, "it's"}, KeyValue{0, "x"}};
  std::vector<Cell> values{KeyValue{1, {}}, KeyValue{2, {}}, KeyValue{3, {}}, KeyValue{1ull << 63, {}}};
  OneColumn table(make_array("u", keys), make_array("L", values));
  Result<GroupedSketches> result = table.run();
  ASSERT_FALSE(result);
  EXPECT_EQ(fault_of(result.error()), InputFault::Refused);
  EXPECT_EQ(result.error().message(),
            "column 'v', row 3: Unsupported type for HyperLogLogPlusPlus: the integer 9223372036854775808 is "
            "outside the signed 64-bit range (-2**63 to 2**63 - 1) that sketches count (group k='x')");
  // The same in a dictionary's entry (offset by one row): the entry's value.
  const std::vector<Cell> indices{KeyValue{0, {}}, KeyValue{1, {}}, KeyValue{0, {}}, KeyValue{2, {}}};
  OneColumn dictionary(make_array("u", keys),
                       make_dictionary("i", indices, "L", {KeyValue{1, {}}, KeyValue{2, {}}, KeyValue{(1ull << 63) + 5, {}}}, 1));
  EXPECT_EQ(dictionary.run().error().message(),
            "column 'v', row 3: Unsupported type for HyperLogLogPlusPlus: the integer 9223372036854775813 is "
            "outside the signed 64-bit range (-2**63 to 2**63 - 1) that sketches count (group k='x')");
  // Two key columns, a null among them, and a sketch that cannot join its group.
  auto first = unwrap(HyperLogLogPlusPlus::new_long(12, 0));
  auto other = unwrap(HyperLogLogPlusPlus::new_string_or_bytes(12, 0));
  unwrap(first.add_long(1));
  unwrap(other.add_string("a"));
  const Bytes a = unwrap(first.to_bytes()), b = unwrap(other.to_bytes());
  auto k1 = make_array("b", {KeyValue{1, {}}, KeyValue{1, {}}});
  auto k2 = make_array("z", {std::nullopt, std::nullopt});
  auto sketches = make_array("z", {KeyValue{0, std::string(a.begin(), a.end())}, KeyValue{0, std::string(b.begin(), b.end())}});
  const std::vector<ColumnChunks> key_columns{one_chunk("flag", *k1), one_chunk("raw", *k2)};
  const ColumnChunks sketch_column = one_chunk("s", *sketches);
  Result<GroupedSketches> merged = merge_stored_groups(key_columns, sketch_column, 1);
  ASSERT_FALSE(merged);
  EXPECT_EQ(fault_of(merged.error()), InputFault::Incompatible);
  const std::string message = merged.error().message();
  EXPECT_EQ(message.rfind("column 's', row 1: cannot be merged with the sketches before it in its group: ", 0), 0u);
  const std::string group = " (group flag=True, raw=None)";
  EXPECT_EQ(message.substr(message.size() - group.size()), group);
}

TEST(EngineTest, TheFirstRefusedRowIsNamedWhateverTheGroupCount) {
  // Few groups fold the rows; many (under four rows a group) send each
  // block of codes to its groups as it is made: both stop at the same row.
  std::mt19937_64 random(404);
  for (int round = 0; round < 24; ++round) {
    const int rows = 70000 + static_cast<int>(random() % 70000);
    const std::uint64_t groups = round % 2 ? 5 : static_cast<std::uint64_t>(rows) / 2;
    std::vector<Cell> keys, values;
    int first_refused = -1;
    for (int r = 0; r < rows; ++r) {
      keys.push_back(KeyValue{random() % groups, {}});
      const bool refused = random() % 20000 == 0;
      if (refused && first_refused < 0) first_refused = r;
      values.push_back(random() % 50 == 0 ? Cell{} : Cell{KeyValue{refused ? (1ull << 63) + random() % 9 : random() % 1000, {}}});
      if (refused && !values.back()) values.back() = KeyValue{1ull << 63, {}};
    }
    OneColumn table(make_array("L", keys), make_array("L", values));
    for (int threads : {1, 3}) {
      Result<GroupedSketches> result =
          sketch_groups(std::span(&table.key_column, 1), table.value_column, std::nullopt, 12, 0, threads);
      if (first_refused < 0) {
        ASSERT_TRUE(result) << result.error().message();
        continue;
      }
      ASSERT_FALSE(result);
      EXPECT_EQ(fault_of(result.error()), InputFault::Refused);
      EXPECT_EQ(result.error().message().rfind("column 'v', row " + std::to_string(first_refused) + ": ", 0), 0u)
          << result.error().message();
    }
  }
}

TEST(EngineTest, KeyColumnsOfOtherTypesAreRefused) {
  auto floats = make_array("g", {KeyValue{0, {}}});
  OneColumn table(make_array("l", {KeyValue{0, {}}}), make_array("l", {KeyValue{0, {}}}));
  table.key_column.schema = &floats->schema;
  Result<GroupedSketches> result = table.run();
  ASSERT_FALSE(result);
  EXPECT_EQ(fault_of(result.error()), InputFault::Refused);
  EXPECT_EQ(result.error().message().rfind("column 'k' holds float64 values, which cannot be grouped by", 0), 0u);
}

}  // namespace
}  // namespace vantorelle::engine
