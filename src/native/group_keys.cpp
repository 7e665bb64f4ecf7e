#include "native/group_keys.h"
#include "native/errors.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>

#include "error/internal_failure.h"
#include "native/arrow_type_names.h"
#include "native/arrow_values.h"
#include "native/chunk_layouts.h"
#include "utils/parallel.h"

namespace vantorelle::native {
namespace {

// ---------------------------------------------------------------- formats

enum class Family { Null, Integer, Bytes };

struct KeyFormat {
  ValueFormat values;
  std::optional<ValueFormat> indices;  // dictionary-encoded
};

Family family_of(Kind kind) {
  switch (kind) {
    case Kind::Null: return Family::Null;
    case Kind::Bool: case Kind::Int: return Family::Integer;
    default: return Family::Bytes;
  }
}

// The counted value formats, and the temporal types as their integers.
bool key_value_format(std::string_view format, ValueFormat* out) {
  if (value_format(format, out)) return true;
  const auto starts = [&](std::string_view prefix) { return format.substr(0, prefix.size()) == prefix; };
  if (format == "tdD" || format == "tts" || format == "ttm") {
    *out = {Kind::Int, 4, true};
    return true;
  }
  if (format == "tdm" || format == "ttu" || format == "ttn" || starts("tD") || starts("ts")) {
    *out = {Kind::Int, 8, true};
    return true;
  }
  return false;
}

bool key_format(const ArrowSchema& schema, KeyFormat* out) {
  if (schema.dictionary == nullptr) return key_value_format(schema.format ? schema.format : "", &out->values);
  ValueFormat indices;
  if (!value_format(schema.format ? schema.format : "", &indices) || indices.kind != Kind::Int) return false;
  out->indices = indices;
  const ArrowSchema& values = *schema.dictionary;
  return values.dictionary == nullptr && key_value_format(values.format ? values.format : "", &out->values);
}

// ---------------------------------------------------------------- reading

struct KeyValue {
  bool null = true;
  bool is_bytes = false;
  std::uint64_t integer = 0;
  ByteView bytes;
};

// The raw 64 bits of an integer row (sign- or zero-extended): equal values,
// equal bits, within one column.
std::uint64_t raw_integer(const ValueFormat& format, const ArrowArray& array, std::int64_t row) {
  const std::int64_t index = array.offset + row;
  const void* values = array.buffers[1];
  if (format.kind == Kind::Bool) return bit_set(values, index) ? 1 : 0;
  switch (format.width) {
    case 1: return format.is_signed ? static_cast<std::uint64_t>(load<std::int8_t>(values, index)) : load<std::uint8_t>(values, index);
    case 2: return format.is_signed ? static_cast<std::uint64_t>(load<std::int16_t>(values, index)) : load<std::uint16_t>(values, index);
    case 4: return format.is_signed ? static_cast<std::uint64_t>(load<std::int32_t>(values, index)) : load<std::uint32_t>(values, index);
    default: return load<std::uint64_t>(values, index);
  }
}

// One column of one batch.
class KeyChunk {
 public:
  KeyChunk(const KeyFormat& format, const ArrowArray& array)
      : format_(format), array_(array), reader_(format.indices ? *format.indices : format.values, array_) {
    if (format.indices) dictionary_.emplace(format.values, *array.dictionary);
  }

  // False for a dictionary index out of range.
  bool read(std::int64_t row, KeyValue* out) const {
    if (reader_.is_null(row)) {
      *out = KeyValue{};
      return true;
    }
    if (!dictionary_) {
      read_plain(reader_, format_.values, array_, row, out);
      return true;
    }
    const auto entry = static_cast<std::int64_t>(raw_integer(*format_.indices, array_, row));
    if (entry < 0 || entry >= dictionary_->length()) return false;
    if (dictionary_->is_null(entry)) {
      *out = KeyValue{};
      return true;
    }
    read_plain(*dictionary_, format_.values, *array_.dictionary, entry, out);
    return true;
  }

 private:
  static void read_plain(const ValueReader& reader, const ValueFormat& format, const ArrowArray& array,
                         std::int64_t row, KeyValue* out) {
    out->null = false;
    switch (family_of(format.kind)) {
      case Family::Null: out->null = true; return;
      case Family::Integer: out->integer = raw_integer(format, array, row); return;
      case Family::Bytes:
        out->is_bytes = true;
        reader.bytes(row, &out->bytes);
        return;
    }
  }

  KeyFormat format_;
  const ArrowArray& array_;
  ValueReader reader_;
  std::optional<ValueReader> dictionary_;
};

// ---------------------------------------------------------------- hashing

std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ 0x9E3779B97F4A7C15ull;
  }();
  return seed;
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

std::uint64_t hash_bytes(ByteView bytes, std::uint64_t seed) {
  std::uint64_t h = seed ^ (bytes.size() * 0x9E3779B97F4A7C15ull);
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t tail = 0;
  if (i < bytes.size()) std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
  return mix(h ^ tail ^ (bytes.size() - i) << 59);
}

std::uint64_t hash_value(const KeyValue& value, std::uint64_t seed) {
  if (value.null) return mix(seed ^ 0x6E756C6C6E756C6Cull);
  if (value.is_bytes) return hash_bytes(value.bytes, seed);
  return mix(seed ^ mix(value.integer + seed));
}

bool same_value(const KeyValue& a, const KeyValue& b) {
  if (a.null || b.null) return a.null == b.null;
  if (!a.is_bytes) return a.integer == b.integer;
  if (a.bytes.size() != b.bytes.size()) return false;
  return a.bytes.empty() || std::memcmp(a.bytes.data(), b.bytes.data(), a.bytes.size()) == 0;
}

// Open addressing over group numbers, keyed by a 64-bit hash (or the key
// itself), growing at half full. Key and group share a slot, so a lookup
// touches one cache line.
class GroupTable {
 public:
  GroupTable() { resize(1024); }

  // Whether the table has outgrown the faster caches.
  bool large() const { return mask_ >= (1u << 15); }

  // Starts loading the slot where a lookup of `hash` begins.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(slots_.data() + (static_cast<std::size_t>(mix(hash)) & mask_));
  }

  // The group of `hash` for which same(group) holds, or a new group made by
  // make().
  template <class Same, class Make>
  std::uint32_t find_or_add(std::uint64_t hash, Same&& same, Make&& make) {
    std::size_t at = static_cast<std::size_t>(mix(hash)) & mask_;
    while (true) {
      const Slot& slot = slots_[at];
      if (slot.group == 0) break;
      if (slot.hash == hash && same(slot.group - 1)) return slot.group - 1;
      at = (at + 1) & mask_;
    }
    const std::uint32_t group = make();
    slots_[at] = Slot{hash, group + 1};
    if (++size_ * 2 > slots_.size()) resize(slots_.size() * 2);
    return group;
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t group;  // 0: empty, else group + 1
  };

  void resize(std::size_t count) {
    std::vector<Slot> slots(count, Slot{0, 0});
    const std::size_t mask = count - 1;
    for (const Slot& slot : slots_) {
      if (slot.group == 0) continue;
      std::size_t at = static_cast<std::size_t>(mix(slot.hash)) & mask;
      while (slots[at].group != 0) at = (at + 1) & mask;
      slots[at] = slot;
    }
    slots_.swap(slots);
    mask_ = mask;
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// The groups one range of rows meets, numbered in order of first
// appearance within the range: each one's first row and table key.
struct LocalGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<std::uint64_t> keys;
  std::uint32_t null_group = UINT32_MAX;
};

// A single plain integer key: the key is its own table key. Numbers the rows
// [begin, end) of one chunk.
template <class T>
void group_integer_rows(const ArrowArray& array, std::int64_t first_row, std::int64_t begin, std::int64_t end,
                        std::uint64_t seed, GroupTable& table, LocalGroups& local, std::uint32_t* group_of_row) {
  const auto* values = static_cast<const std::uint8_t*>(array.buffers[1]);
  const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
  // Slots are looked up this many rows ahead of their use, so that a table
  // larger than the caches is read at memory speed rather than latency.
  constexpr std::int64_t kAhead = 16;
  const auto key_at = [&](std::int64_t index) -> std::uint64_t {
    if constexpr (std::is_same_v<T, bool>) {
      return bit_set(values, index) ? 1 : 0;
    } else {
      T value;
      std::memcpy(&value, values + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    }
  };
  for (std::int64_t row = begin; row < end; ++row) {
    const std::int64_t index = array.offset + row;
    if (row + kAhead < end && table.large()) table.prefetch(key_at(index + kAhead) ^ seed);
    if (validity != nullptr && !bit_set(validity, index)) {
      if (local.null_group == UINT32_MAX) {
        local.null_group = static_cast<std::uint32_t>(local.first_rows.size());
        local.first_rows.push_back(first_row + row);
        local.keys.push_back(0);
      }
      group_of_row[row] = local.null_group;
      continue;
    }
    // The table hashes its keys again; the seed keeps crafted keys from
    // predicting slots.
    const std::uint64_t key = key_at(index) ^ seed;
    group_of_row[row] = table.find_or_add(key, [](std::uint32_t) { return true; }, [&] {
      local.first_rows.push_back(first_row + row);
      local.keys.push_back(key);
      return static_cast<std::uint32_t>(local.first_rows.size() - 1);
    });
  }
}

void group_integer_range(const ColumnChunks& column, const ValueFormat& format, std::int64_t lo, std::int64_t hi,
                         std::uint64_t seed, LocalGroups& local, std::uint32_t* group_of_row) {
  GroupTable table;
  for (std::size_t b = 0; b < column.chunks.size(); ++b) {
    const ArrowArray& array = column.chunks[b];
    const std::int64_t first = column.starts[b];
    const std::int64_t begin = std::max<std::int64_t>(lo - first, 0);
    const std::int64_t end = std::min<std::int64_t>(hi - first, array.length);
    if (begin >= end) continue;
    std::uint32_t* out = group_of_row + first;
    if (format.kind == Kind::Bool) {
      group_integer_rows<bool>(array, first, begin, end, seed, table, local, out);
      continue;
    }
    switch (format.width * (format.is_signed ? 1 : -1)) {
      case 1: group_integer_rows<std::int8_t>(array, first, begin, end, seed, table, local, out); break;
      case -1: group_integer_rows<std::uint8_t>(array, first, begin, end, seed, table, local, out); break;
      case 2: group_integer_rows<std::int16_t>(array, first, begin, end, seed, table, local, out); break;
      case -2: group_integer_rows<std::uint16_t>(array, first, begin, end, seed, table, local, out); break;
      case 4: group_integer_rows<std::int32_t>(array, first, begin, end, seed, table, local, out); break;
      case -4: group_integer_rows<std::uint32_t>(array, first, begin, end, seed, table, local, out); break;
      default: group_integer_rows<std::int64_t>(array, first, begin, end, seed, table, local, out); break;
    }
  }
}

// Each thread numbers a range of rows with a table of its own; the ranges'
// groups are then numbered in range order, which is the order of first
// appearance in the whole column, and the rows of later ranges renumbered.
Grouping group_single_integer(const ColumnChunks& column, const ValueFormat& format, std::int64_t rows,
                              int threads) {
  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  const std::uint64_t seed = process_seed();
  const int parts = static_cast<int>(std::clamp<std::int64_t>(rows >> 17, 1, std::max(threads, 1)));
  std::vector<LocalGroups> locals(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    group_integer_range(column, format, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi), seed,
                        locals[static_cast<std::size_t>(t)], out.group_of_row.data());
  });
  out.first_rows = std::move(locals[0].first_rows);
  if (parts == 1) return out;
  GroupTable table;
  std::uint32_t null_group = locals[0].null_group;
  for (std::size_t l = 0; l < out.first_rows.size(); ++l) {
    if (l == null_group) continue;
    table.find_or_add(locals[0].keys[l], [](std::uint32_t) { return true; },
                      [&] { return static_cast<std::uint32_t>(l); });
  }
  std::vector<std::vector<std::uint32_t>> renumber(static_cast<std::size_t>(parts));
  for (std::size_t t = 1; t < locals.size(); ++t) {
    const LocalGroups& local = locals[t];
    for (std::size_t l = 0; l < local.first_rows.size(); ++l) {
      auto make = [&] {
        out.first_rows.push_back(local.first_rows[l]);
        return static_cast<std::uint32_t>(out.first_rows.size() - 1);
      };
      if (l == local.null_group) {
        if (null_group == UINT32_MAX) null_group = make();
        renumber[t].push_back(null_group);
      } else {
        renumber[t].push_back(table.find_or_add(local.keys[l], [](std::uint32_t) { return true; }, make));
      }
    }
  }
  run_parallel(parts - 1, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t + 1);
    const std::vector<std::uint32_t>& numbers = renumber[static_cast<std::size_t>(t) + 1];
    for (std::size_t row = lo; row < hi; ++row) out.group_of_row[row] = numbers[out.group_of_row[row]];
  });
  return out;
}

}  // namespace

bool check_key_columns(std::span<const ColumnChunks> keys) {
  for (const ColumnChunks& column : keys) {
    KeyFormat format;
    if (!key_format(*column.schema, &format)) {
      raise_sketch_error_format(ErrorClass::Refused,
                   "column '%s' holds %s values, which cannot be grouped by; group by integer, "
                   "boolean, date, timestamp, string or binary columns (or dictionaries of them)",
                   column.name.c_str(), arrow_type_in_words(*column.schema).c_str());
      return false;
    }
    if (!check_chunk_layouts(column, format.values, format.indices)) return false;
  }
  return true;
}

Grouping group_rows(std::span<const ColumnChunks> keys, std::int64_t rows, int threads) {
  std::vector<KeyFormat> formats(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    VANTORELLE_ASSERT(key_format(*keys[c].schema, &formats[c]), "key column checked");
  }
  if (keys.size() == 1 && !formats[0].indices && family_of(formats[0].values.kind) == Family::Integer) {
    return group_single_integer(keys[0], formats[0].values, rows, threads);
  }
  Grouping out;
  out.group_of_row.reserve(static_cast<std::size_t>(rows));
  const std::size_t batches = keys.empty() ? 0 : keys[0].chunks.size();
  // chunks[b][c]: column c of batch b.
  std::vector<std::vector<KeyChunk>> chunks(batches);
  for (std::size_t b = 0; b < batches; ++b) {
    for (std::size_t c = 0; c < keys.size(); ++c) chunks[b].emplace_back(formats[c], keys[c].chunks[b]);
  }
  std::vector<std::uint32_t> first_batch;
  GroupTable table;
  const std::uint64_t seed = process_seed();
  std::vector<KeyValue> row_key(keys.size());
  KeyValue other;
  for (std::size_t b = 0; b < batches; ++b) {
    const std::int64_t start = keys[0].starts[b];
    const std::int64_t length = keys[0].chunks[b].length;
    for (std::int64_t row = 0; row < length; ++row) {
      std::uint64_t hash = seed;
      for (std::size_t c = 0; c < keys.size(); ++c) {
        if (!chunks[b][c].read(row, &row_key[c])) {
          out.malformed_row = start + row;
          out.malformed_column = c;
          return out;
        }
        hash = mix(hash * 0x9E3779B97F4A7C15ull + hash_value(row_key[c], seed));
      }
      auto same = [&](std::uint32_t group) {
        const std::uint32_t batch = first_batch[group];
        const std::int64_t at = out.first_rows[group] - keys[0].starts[batch];
        for (std::size_t c = 0; c < keys.size(); ++c) {
          chunks[batch][c].read(at, &other);
          if (!same_value(row_key[c], other)) return false;
        }
        return true;
      };
      auto make = [&] {
        out.first_rows.push_back(start + row);
        first_batch.push_back(static_cast<std::uint32_t>(b));
        return static_cast<std::uint32_t>(out.first_rows.size() - 1);
      };
      out.group_of_row.push_back(table.find_or_add(hash, same, make));
    }
  }
  return out;
}

}  // namespace vantorelle::native
