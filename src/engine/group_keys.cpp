#include "engine/group_keys.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string_view>
#include <type_traits>

#include "engine/array_checks.h"
#include "engine/arrow_type_names.h"
#include "engine/input_errors.h"
#include "error/internal_failure.h"
#include "utils/parallel.h"

namespace vantorelle::engine {
namespace {

// ---------------------------------------------------------------- formats

enum class Family { Null, Integer, Bytes };

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

// ---------------------------------------------------------------- hashing

std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ 0x9E3779B97F4A7C15ull;
  }();
  return seed;
}

inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// The first and last (up to) 8 bytes of a short string, overlapping where
// it is shorter than 16: with its length, they are the whole string.
struct ShortWords {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

inline ShortWords short_words(const std::uint8_t* data, std::size_t size) {
  ShortWords words;
  if (size >= 8) {
    std::memcpy(&words.first, data, 8);
    std::memcpy(&words.last, data + size - 8, 8);
  } else if (size >= 4) {
    std::uint32_t first, last;
    std::memcpy(&first, data, 4);
    std::memcpy(&last, data + size - 4, 4);
    words.first = first;
    words.last = last;
  } else if (size > 0) {
    words.first = data[0] | static_cast<std::uint64_t>(data[size / 2]) << 8 |
                  static_cast<std::uint64_t>(data[size - 1]) << 16;
  }
  return words;
}

inline std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size, std::uint64_t seed) {
  if (size <= 16) {
    // Keys are mostly short: one mix (the table mixes again).
    const ShortWords words = short_words(data, size);
    return mix(words.first ^ seed) ^ (words.last + size) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t h = seed ^ (size * 0x9E3779B97F4A7C15ull);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t tail = 0;
  if (i < size) std::memcpy(&tail, data + i, size - i);
  return mix(h ^ tail ^ (size - i) << 59);
}

// Whether two byte strings of `size` bytes are equal.
inline bool equal_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  if (size <= 16) {
    if (size < 4) {
      for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) return false;
      }
      return true;
    }
    const ShortWords x = short_words(a, size), y = short_words(b, size);
    return x.first == y.first && x.last == y.last;
  }
  return std::memcmp(a, b, size) == 0;
}

// A row's hash over its key columns: the first column's value hash, then
// for each further column the running hash mixed and the value's hash xored
// in. An integer's value hash is the integer xored with the seed: the table
// mixes every hash before it picks a slot.
inline std::uint64_t combine(std::uint64_t running, std::uint64_t value) { return mix(running) ^ value; }

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

// Calls body(T{}) with the C++ type of an integer format.
template <class Body>
void with_integer_type(const ValueFormat& format, Body&& body) {
  switch (format.width * (format.is_signed ? 1 : -1)) {
    case 1: body(std::int8_t{}); break;
    case -1: body(std::uint8_t{}); break;
    case 2: body(std::int16_t{}); break;
    case -2: body(std::uint16_t{}); break;
    case 4: body(std::int32_t{}); break;
    case -4: body(std::uint32_t{}); break;
    case -8: body(std::uint64_t{}); break;
    default: body(std::int64_t{}); break;
  }
}

constexpr std::uint8_t kNullTag = 0, kIntegerTag = 1, kBytesTag = 2;

// A dictionary's entries, each hashed once.
struct DictionaryEntries {
  std::vector<std::uint64_t> hashes;
};

// One key column of one chunk.
class KeyColumn {
 public:
  KeyColumn(const KeyFormat& format, const ArrowArray& array, const DictionaryEntries* entries, std::uint64_t seed)
      : format_(format),
        array_(array),
        reader_(format.indices ? *format.indices : format.values, array),
        entries_(entries),
        seed_(seed),
        null_hash_(mix(seed ^ 0x6E756C6C6E756C6Cull)) {
    if (format.indices) dictionary_.emplace(format.values, *array.dictionary);
  }

  // The hash of a plain value row (not null) of `reader`.
  static std::uint64_t value_hash(const ValueReader& reader, std::int64_t row, std::uint64_t seed) {
    if (family_of(reader.format().kind) == Family::Integer) {
      return raw_integer(reader.format(), reader.array(), row) ^ seed;
    }
    ByteView bytes;
    reader.bytes(row, &bytes);
    return hash_bytes(bytes.data(), bytes.size(), seed);
  }

  std::uint64_t null_hash() const { return null_hash_; }

  // Hashes the rows [begin, end) into h[0 ..), as the first key column or a
  // further one. The first row whose dictionary index lies outside its
  // dictionary, or -1.
  std::int64_t hash_block(std::int64_t begin, std::int64_t end, std::uint64_t* h, bool first) const {
    if (first) return hash_block_as<true>(begin, end, h);
    return hash_block_as<false>(begin, end, h);
  }

  // Whether the row's value is the one encoded at `*at` (a group's key
  // bytes for this column), moving `*at` past it.
  bool matches(std::int64_t row, const std::uint8_t** at) const {
    const std::uint8_t* key = *at;
    if (reader_.is_null(row)) {
      *at = key + 1;
      return key[0] == kNullTag;
    }
    if (!dictionary_) return matches_plain(reader_, row, at);
    const auto entry = static_cast<std::int64_t>(raw_integer(*format_.indices, array_, row));
    if (dictionary_->is_null(entry)) {
      *at = key + 1;
      return key[0] == kNullTag;
    }
    return matches_plain(*dictionary_, entry, at);
  }

  // Appends the row's key bytes.
  void encode(std::int64_t row, std::vector<std::uint8_t>& out) const {
    if (reader_.is_null(row)) {
      out.push_back(kNullTag);
      return;
    }
    if (!dictionary_) {
      encode_plain(reader_, row, out);
      return;
    }
    const auto entry = static_cast<std::int64_t>(raw_integer(*format_.indices, array_, row));
    if (dictionary_->is_null(entry)) {
      out.push_back(kNullTag);
      return;
    }
    encode_plain(*dictionary_, entry, out);
  }

 private:
  // The stored value's length: the key bytes are read only as far as the
  // tag says they go, so a mismatch stops inside the group's own bytes.
  static bool matches_plain(const ValueReader& reader, std::int64_t row, const std::uint8_t** at) {
    const std::uint8_t* key = *at;
    switch (family_of(reader.format().kind)) {
      case Family::Null:
        *at = key + 1;
        return key[0] == kNullTag;
      case Family::Integer: {
        if (key[0] != kIntegerTag) return false;
        const std::uint64_t raw = raw_integer(reader.format(), reader.array(), row);
        *at = key + 9;
        return std::memcmp(key + 1, &raw, 8) == 0;
      }
      case Family::Bytes: {
        if (key[0] != kBytesTag) return false;
        ByteView bytes;
        reader.bytes(row, &bytes);
        std::uint64_t size;
        std::memcpy(&size, key + 1, 8);
        *at = key + 9 + size;
        if (size != bytes.size()) return false;
        return equal_bytes(key + 9, bytes.data(), static_cast<std::size_t>(size));
      }
    }
    return false;
  }

  static void encode_plain(const ValueReader& reader, std::int64_t row, std::vector<std::uint8_t>& out) {
    switch (family_of(reader.format().kind)) {
      case Family::Null: out.push_back(kNullTag); return;
      case Family::Integer: {
        const std::uint64_t raw = raw_integer(reader.format(), reader.array(), row);
        out.push_back(kIntegerTag);
        const std::size_t at = out.size();
        out.resize(at + 8);
        std::memcpy(out.data() + at, &raw, 8);
        return;
      }
      case Family::Bytes: {
        ByteView bytes;
        reader.bytes(row, &bytes);
        const std::uint64_t size = bytes.size();
        out.push_back(kBytesTag);
        const std::size_t at = out.size();
        out.resize(at + 8 + size);
        std::memcpy(out.data() + at, &size, 8);
        if (size != 0) std::memcpy(out.data() + at + 8, bytes.data(), size);
        return;
      }
    }
  }

  template <bool First>
  static void put(std::uint64_t* h, std::uint64_t value) {
    if constexpr (First) {
      *h = value;
    } else {
      *h = combine(*h, value);
    }
  }

  template <bool First>
  std::int64_t hash_block_as(std::int64_t begin, std::int64_t end, std::uint64_t* h) const {
    const ArrowArray& a = array_;
    const void* validity = a.null_count != 0 ? a.buffers[0] : nullptr;
    const auto valid = [&](std::int64_t index) { return validity == nullptr || bit_set(validity, index); };
    const std::uint64_t seed = seed_;
    const std::uint64_t null_hash = null_hash_;
    if (format_.indices) {
      const std::int64_t entries = static_cast<std::int64_t>(entries_->hashes.size());
      const std::uint64_t* entry_hash = entries_->hashes.data();
      std::int64_t malformed = -1;
      with_integer_type(*format_.indices, [&](auto type) {
        using T = decltype(type);
        const auto* indices = static_cast<const std::uint8_t*>(a.buffers[1]);
        for (std::int64_t row = begin; row < end; ++row) {
          const std::int64_t index = a.offset + row;
          if (!valid(index)) {
            put<First>(h + (row - begin), null_hash);
            continue;
          }
          T entry;
          std::memcpy(&entry, indices + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
          // (a uint64 index above 2^63 - 1 is negative here)
          if (static_cast<std::int64_t>(entry) < 0 || static_cast<std::int64_t>(entry) >= entries) {
            malformed = row;
            return;
          }
          put<First>(h + (row - begin), entry_hash[static_cast<std::size_t>(entry)]);
        }
      });
      return malformed;
    }
    const ValueFormat& format = format_.values;
    switch (format.kind) {
      case Kind::Null:
        for (std::int64_t row = begin; row < end; ++row) put<First>(h + (row - begin), null_hash);
        return -1;
      case Kind::Bool:
        for (std::int64_t row = begin; row < end; ++row) {
          const std::int64_t index = a.offset + row;
          put<First>(h + (row - begin),
                     valid(index) ? (bit_set(a.buffers[1], index) ? 1u : 0u) ^ seed : null_hash);
        }
        return -1;
      case Kind::Int:
        with_integer_type(format, [&](auto type) {
          using T = decltype(type);
          const auto* values = static_cast<const std::uint8_t*>(a.buffers[1]);
          for (std::int64_t row = begin; row < end; ++row) {
            const std::int64_t index = a.offset + row;
            T value;
            std::memcpy(&value, values + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
            const auto raw = static_cast<std::uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(value));
            put<First>(h + (row - begin), valid(index) ? raw ^ seed : null_hash);
          }
        });
        return -1;
      case Kind::Utf8: case Kind::Binary: hash_offsets<First, std::int32_t>(begin, end, h); return -1;
      case Kind::LargeUtf8: case Kind::LargeBinary: hash_offsets<First, std::int64_t>(begin, end, h); return -1;
      default: {
        const auto* views = static_cast<const std::uint8_t*>(a.buffers[1]);
        for (std::int64_t row = begin; row < end; ++row) {
          const std::int64_t index = a.offset + row;
          if (!valid(index)) {
            put<First>(h + (row - begin), null_hash);
            continue;
          }
          const std::uint8_t* view = views + 16 * index;
          std::int32_t length;
          std::memcpy(&length, view, 4);
          const std::uint8_t* data = view + 4;
          if (length > 12) {
            std::int32_t buffer, offset;
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            data = static_cast<const std::uint8_t*>(a.buffers[2 + buffer]) + offset;
          }
          put<First>(h + (row - begin), hash_bytes(data, static_cast<std::size_t>(length), seed));
        }
        return -1;
      }
    }
  }

  template <bool First, class Offset>
  void hash_offsets(std::int64_t begin, std::int64_t end, std::uint64_t* h) const {
    const ArrowArray& a = array_;
    const void* validity = a.null_count != 0 ? a.buffers[0] : nullptr;
    const auto* offsets = static_cast<const std::uint8_t*>(a.buffers[1]);
    const auto* data = static_cast<const std::uint8_t*>(a.buffers[2]);
    for (std::int64_t row = begin; row < end; ++row) {
      const std::int64_t index = a.offset + row;
      if (validity != nullptr && !bit_set(validity, index)) {
        put<First>(h + (row - begin), null_hash_);
        continue;
      }
      Offset range[2];
      std::memcpy(range, offsets + index * static_cast<std::int64_t>(sizeof(Offset)), sizeof range);
      put<First>(h + (row - begin), hash_bytes(data + range[0], static_cast<std::size_t>(range[1] - range[0]), seed_));
    }
  }

  const KeyFormat& format_;
  const ArrowArray& array_;
  ValueReader reader_;
  std::optional<ValueReader> dictionary_;
  const DictionaryEntries* entries_;
  std::uint64_t seed_;
  std::uint64_t null_hash_;
};

// Open addressing over group numbers, keyed by a 64-bit hash (or the key
// itself), growing at three quarters full (each thread has a table of its
// own, so their size is most of the grouping's memory). Key and group share
// a slot, so a lookup touches one cache line.
class GroupTable {
 public:
  GroupTable() { resize(1024); }

  // Whether the table has outgrown the faster caches.
  bool large() const { return mask_ >= (1u << 15); }

  // Starts loading the slot where a lookup of `hash` begins.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(slots_.data() + (static_cast<std::size_t>(mix(hash)) & mask_));
  }

  // The slot's `extra` (see find_or_add) in the first slot a lookup of
  // `hash` reads, when that slot holds `hash`, else UINT32_MAX: a guess, for
  // prefetching what the lookup will compare.
  std::uint32_t peek(std::uint64_t hash) const {
    const Slot& slot = slots_[static_cast<std::size_t>(mix(hash)) & mask_];
    return slot.group != 0 && slot.hash == hash ? slot.extra : UINT32_MAX;
  }

  // The group of `hash` for which same(group) holds, or a new group made by
  // make().
  // A new group's slot keeps `extra` (32 bits of the caller's, given back
  // to same()).
  template <class Same, class Make>
  std::uint32_t find_or_add(std::uint64_t hash, Same&& same, Make&& make, std::uint32_t extra = 0) {
    std::size_t at = static_cast<std::size_t>(mix(hash)) & mask_;
    while (true) {
      const Slot& slot = slots_[at];
      if (slot.group == 0) break;
      if (slot.hash == hash && same(slot.group - 1, slot.extra)) return slot.group - 1;
      at = (at + 1) & mask_;
    }
    const std::uint32_t group = make();
    slots_[at] = Slot{hash, group + 1, extra};
    if (++size_ * 4 > slots_.size() * 3) resize(slots_.size() * 2);
    return group;
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t group;  // 0: empty, else group + 1
    std::uint32_t extra;
  };

  void resize(std::size_t count) {
    std::vector<Slot> slots(count, Slot{0, 0, 0});
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
// appearance within the range: each one's first row, hash and key bytes.
struct LocalGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> offsets{0};

  std::uint32_t add(std::int64_t row, std::uint64_t hash, const std::vector<std::uint8_t>& key) {
    first_rows.push_back(row);
    hashes.push_back(hash);
    bytes.insert(bytes.end(), key.begin(), key.end());
    offsets.push_back(bytes.size());
    return static_cast<std::uint32_t>(first_rows.size() - 1);
  }
  bool holds(std::uint32_t group, const std::uint8_t* key, std::size_t size) const {
    const std::uint64_t begin = offsets[group];
    return offsets[group + 1] - begin == size && std::memcmp(bytes.data() + begin, key, size) == 0;
  }
};

// The first malformed dictionary index met: its row and key column.
struct Malformed {
  std::int64_t row = -1;
  std::size_t column = 0;
};

constexpr std::int64_t kBlock = 256;

// Numbers the rows [lo, hi) of the table with a table of groups of its own.
void group_range(const std::vector<std::vector<KeyColumn>>& columns, std::span<const ColumnChunks> keys,
                 std::int64_t lo, std::int64_t hi, KeyHashing hashing, LocalGroups& local,
                 std::uint32_t* group_of_row, Malformed& malformed) {
  GroupTable table;
  std::uint64_t h[kBlock];
  std::vector<std::uint8_t> key;
  const ColumnChunks& lead = keys[0];
  for (std::size_t b = 0; b < lead.chunks.size(); ++b) {
    const std::int64_t first = lead.starts[b];
    const std::int64_t begin = std::max<std::int64_t>(lo - first, 0);
    const std::int64_t end = std::min<std::int64_t>(hi - first, lead.chunks[b].length);
    const std::vector<KeyColumn>& chunk = columns[b];
    for (std::int64_t s = begin; s < end; s += kBlock) {
      const std::int64_t n = std::min(kBlock, end - s);
      for (std::size_t c = 0; c < chunk.size(); ++c) {
        const std::int64_t bad = chunk[c].hash_block(s, s + n, h, c == 0);
        if (bad >= 0 && (malformed.row < 0 || first + bad < malformed.row)) malformed = {first + bad, c};
      }
      if (malformed.row >= 0) return;
      if (hashing == KeyHashing::Constant) std::fill(h, h + n, 0);
      // A lookup in a table larger than the caches waits on two loads: the
      // slot and the group's key bytes. Each is started ahead of its use
      // (the bytes from a guess at the slot). A slot keeps the offset of its
      // group's key bytes when it fits in 32 bits.
      const bool large = table.large();
      if (large) {
        for (std::int64_t i = 0; i < std::min<std::int64_t>(n, 12); ++i) table.prefetch(h[i]);
      }
      for (std::int64_t i = 0; i < n; ++i) {
        if (large) {
          if (i + 12 < n) table.prefetch(h[i + 12]);
          if (i + 5 < n) {
            const std::uint32_t guess = table.peek(h[i + 5]);
            if (guess != UINT32_MAX) __builtin_prefetch(local.bytes.data() + guess);
          }
        }
        const std::int64_t row = s + i;
        group_of_row[first + row] = table.find_or_add(
            h[i],
            [&](std::uint32_t group, std::uint32_t offset) {
              const std::uint8_t* at =
                  local.bytes.data() + (offset != UINT32_MAX ? offset : local.offsets[group]);
              for (const KeyColumn& column : chunk) {
                if (!column.matches(row, &at)) return false;
              }
              return true;
            },
            [&] {
              key.clear();
              for (const KeyColumn& column : chunk) column.encode(row, key);
              return local.add(first + row, h[i], key);
            },
            local.bytes.size() < UINT32_MAX ? static_cast<std::uint32_t>(local.bytes.size()) : UINT32_MAX);
      }
    }
  }
}

// ---------------------------------------------------------------- one integer column

// A single plain integer key: the key (xored with the seed) is its own table
// key, so a lookup needs no comparison. The groups of one range: each one's
// first row and key; null_group is the group of the nulls.
struct IntegerGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<std::uint64_t> keys;
  std::uint32_t null_group = UINT32_MAX;
};

// Numbers the rows [begin, end) of one chunk.
template <class T>
void group_integer_rows(const ArrowArray& array, std::int64_t first_row, std::int64_t begin, std::int64_t end,
                        std::uint64_t seed, GroupTable& table, IntegerGroups& local, std::uint32_t* group_of_row) {
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
      return static_cast<std::uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(value));
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
    group_of_row[row] = table.find_or_add(key, [](std::uint32_t, std::uint32_t) { return true; }, [&] {
      local.first_rows.push_back(first_row + row);
      local.keys.push_back(key);
      return static_cast<std::uint32_t>(local.first_rows.size() - 1);
    });
  }
}

void group_integer_range(const ColumnChunks& column, const ValueFormat& format, std::int64_t lo, std::int64_t hi,
                         std::uint64_t seed, IntegerGroups& local, std::uint32_t* group_of_row) {
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
    with_integer_type(format, [&](auto type) {
      group_integer_rows<decltype(type)>(array, first, begin, end, seed, table, local, out);
    });
  }
}

int parts_for(std::int64_t rows, int threads) {
  return static_cast<int>(std::clamp<std::int64_t>(rows >> 16, 1, std::max(threads, 1)));
}

// Renumbers the rows of ranges 1 .. parts - 1 through `renumber`.
void renumber_rows(std::vector<std::uint32_t>& group_of_row, std::int64_t rows, int parts,
                   const std::vector<std::vector<std::uint32_t>>& renumber) {
  run_parallel(parts - 1, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t + 1);
    const std::vector<std::uint32_t>& numbers = renumber[static_cast<std::size_t>(t) + 1];
    for (std::size_t row = lo; row < hi; ++row) group_of_row[row] = numbers[group_of_row[row]];
  });
}

Grouping group_single_integer(const ColumnChunks& column, const ValueFormat& format, std::int64_t rows,
                              int threads) {
  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  const std::uint64_t seed = process_seed();
  const int parts = parts_for(rows, threads);
  std::vector<IntegerGroups> locals(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    group_integer_range(column, format, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi), seed,
                        locals[static_cast<std::size_t>(t)], out.group_of_row.data());
  });
  out.first_rows = std::move(locals[0].first_rows);
  std::vector<std::uint64_t> keys = std::move(locals[0].keys);
  std::uint32_t null_group = locals[0].null_group;
  if (parts > 1) {
    GroupTable table;
    for (std::size_t l = 0; l < out.first_rows.size(); ++l) {
      if (l == null_group) continue;
      table.find_or_add(keys[l], [](std::uint32_t, std::uint32_t) { return true; }, [&] { return static_cast<std::uint32_t>(l); });
    }
    std::vector<std::vector<std::uint32_t>> renumber(static_cast<std::size_t>(parts));
    for (std::size_t t = 1; t < locals.size(); ++t) {
      const IntegerGroups& local = locals[t];
      for (std::size_t l = 0; l < local.first_rows.size(); ++l) {
        auto make = [&] {
          out.first_rows.push_back(local.first_rows[l]);
          keys.push_back(local.keys[l]);
          return static_cast<std::uint32_t>(out.first_rows.size() - 1);
        };
        if (l == local.null_group) {
          if (null_group == UINT32_MAX) null_group = make();
          renumber[t].push_back(null_group);
        } else {
          renumber[t].push_back(table.find_or_add(local.keys[l], [](std::uint32_t, std::uint32_t) { return true; }, make));
        }
      }
    }
    renumber_rows(out.group_of_row, rows, parts, renumber);
  }
  return out;
}

// ---------------------------------------------------------------- any keys

Result<Grouping> group_any(std::span<const ColumnChunks> keys, std::span<const KeyFormat> formats, std::int64_t rows,
                           int threads, KeyHashing hashing) {
  const std::uint64_t seed = process_seed();
  const std::size_t batches = keys[0].chunks.size();
  // Each dictionary's entries are hashed once, before the threads start
  // (consecutive batches often share one dictionary).
  std::vector<std::vector<DictionaryEntries>> entries(keys.size());
  std::vector<std::vector<const DictionaryEntries*>> entry_of(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    if (!formats[c].indices) {
      entry_of[c].assign(batches, nullptr);
      continue;
    }
    const std::uint64_t null_hash = KeyColumn(KeyFormat{formats[c].values, std::nullopt}, keys[c].chunks[0], nullptr, seed).null_hash();
    entries[c].reserve(batches);
    const ArrowArray* previous = nullptr;
    for (std::size_t b = 0; b < batches; ++b) {
      const ArrowArray& dictionary = *keys[c].chunks[b].dictionary;
      const bool same = previous != nullptr && previous->length == dictionary.length &&
                        previous->offset == dictionary.offset && previous->n_buffers == dictionary.n_buffers &&
                        std::equal(previous->buffers, previous->buffers + previous->n_buffers, dictionary.buffers);
      if (!same) {
        const ValueReader reader(formats[c].values, dictionary);
        DictionaryEntries hashed;
        hashed.hashes.resize(static_cast<std::size_t>(dictionary.length));
        for (std::int64_t i = 0; i < dictionary.length; ++i) {
          hashed.hashes[static_cast<std::size_t>(i)] =
              reader.is_null(i) ? null_hash : KeyColumn::value_hash(reader, i, seed);
        }
        entries[c].push_back(std::move(hashed));
        previous = &dictionary;
      }
      entry_of[c].push_back(&entries[c].back());
    }
  }
  std::vector<std::vector<KeyColumn>> columns(batches);
  for (std::size_t b = 0; b < batches; ++b) {
    columns[b].reserve(keys.size());
    for (std::size_t c = 0; c < keys.size(); ++c) {
      columns[b].emplace_back(formats[c], keys[c].chunks[b], entry_of[c][b], seed);
    }
  }

  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  const int parts = parts_for(rows, threads);
  std::vector<LocalGroups> locals(static_cast<std::size_t>(parts));
  std::vector<Malformed> malformed(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    group_range(columns, keys, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi), hashing,
                locals[static_cast<std::size_t>(t)], out.group_of_row.data(), malformed[static_cast<std::size_t>(t)]);
  });
  for (const Malformed& bad : malformed) {
    if (bad.row < 0) continue;
    return input_error(InputFault::Malformed, "column '" + keys[bad.column].name + "', row " +
                                                  std::to_string(bad.row) +
                                                  ": malformed Arrow array: dictionary index out of range");
  }
  LocalGroups& lead = locals[0];
  if (parts > 1) {
    GroupTable table;
    for (std::size_t l = 0; l < lead.first_rows.size(); ++l) {
      table.find_or_add(lead.hashes[l], [](std::uint32_t, std::uint32_t) { return false; },
                        [&] { return static_cast<std::uint32_t>(l); });
    }
    std::vector<std::vector<std::uint32_t>> renumber(static_cast<std::size_t>(parts));
    for (std::size_t t = 1; t < locals.size(); ++t) {
      const LocalGroups& local = locals[t];
      renumber[t].reserve(local.first_rows.size());
      for (std::uint32_t l = 0; l < local.first_rows.size(); ++l) {
        const std::uint8_t* key = local.bytes.data() + local.offsets[l];
        const std::size_t size = local.offsets[l + 1] - local.offsets[l];
        renumber[t].push_back(table.find_or_add(
            local.hashes[l], [&](std::uint32_t group, std::uint32_t) { return lead.holds(group, key, size); },
            [&] {
              lead.first_rows.push_back(local.first_rows[l]);
              lead.hashes.push_back(local.hashes[l]);
              lead.bytes.insert(lead.bytes.end(), key, key + size);
              lead.offsets.push_back(lead.bytes.size());
              return static_cast<std::uint32_t>(lead.first_rows.size() - 1);
            }));
      }
      locals[t] = LocalGroups();
    }
    renumber_rows(out.group_of_row, rows, parts, renumber);
  }
  // The key bytes were for comparing rows; they go now, before the rest of
  // the aggregation needs its memory.
  out.first_rows = std::move(lead.first_rows);
  return out;
}

void append_escaped(std::string& out, ByteView bytes, bool text) {
  out += text ? "'" : "b'";
  static const char kHex[] = "0123456789abcdef";
  for (std::uint8_t c : bytes) {
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (text && c >= 0x80) {
      out += static_cast<char>(c);  // UTF-8 as it is
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += '\'';
}

}  // namespace

Result<std::vector<KeyFormat>> check_key_columns(std::span<const ColumnChunks> keys) {
  std::vector<KeyFormat> formats(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    const ColumnChunks& column = keys[c];
    if (!key_format(*column.schema, &formats[c])) {
      return input_error(InputFault::Refused,
                         "column '" + column.name + "' holds " + arrow_type_in_words(*column.schema) +
                             " values, which cannot be grouped by; group by integer, boolean, date, timestamp, "
                             "string or binary columns (or dictionaries of them)");
    }
    VANTORELLE_RETURN_IF_ERROR(check_column_chunks(column, formats[c].values, formats[c].indices));
  }
  return formats;
}

Result<Grouping> group_rows(std::span<const ColumnChunks> keys, std::span<const KeyFormat> formats,
                            std::int64_t rows, int threads, KeyHashing hashing) {
  VANTORELLE_ASSERT(!keys.empty() && keys.size() == formats.size(), "one format per key column");
  for (const ColumnChunks& column : keys) {
    VANTORELLE_ASSERT(column.chunks.size() == keys[0].chunks.size() && column.rows == rows,
                      "key columns of one table");
  }
  if (keys.size() == 1 && !formats[0].indices && family_of(formats[0].values.kind) == Family::Integer &&
      hashing == KeyHashing::Seeded) {
    return group_single_integer(keys[0], formats[0].values, rows, threads);
  }
  return group_any(keys, formats, rows, threads, hashing);
}

std::string describe_group(const Grouping& grouping, std::uint32_t group, std::span<const ColumnChunks> keys,
                           std::span<const KeyFormat> formats) {
  // The key is read from the group's first row: an error's text is the only
  // use of a group's key once the rows are grouped.
  const std::int64_t row = grouping.first_rows[group];
  const ColumnChunks& lead = keys[0];
  const std::size_t b = static_cast<std::size_t>(
      std::upper_bound(lead.starts.begin(), lead.starts.end(), row) - lead.starts.begin() - 1);
  std::vector<std::uint8_t> key;
  for (std::size_t c = 0; c < keys.size(); ++c) {
    KeyColumn(formats[c], keys[c].chunks[b], nullptr, 0).encode(row - lead.starts[b], key);
  }
  std::string out;
  const std::uint8_t* at = key.data();
  for (std::size_t c = 0; c < keys.size(); ++c) {
    if (c > 0) out += ", ";
    out += keys[c].name + "=";
    const std::uint8_t tag = *at++;
    if (tag == kNullTag) {
      out += "None";
    } else if (tag == kIntegerTag) {
      std::uint64_t raw;
      std::memcpy(&raw, at, 8);
      at += 8;
      const ValueFormat& format = formats[c].values;
      if (format.kind == Kind::Bool) {
        out += raw ? "True" : "False";
      } else if (format.is_signed) {
        out += std::to_string(static_cast<std::int64_t>(raw));
      } else {
        out += std::to_string(raw);
      }
    } else {
      std::uint64_t size;
      std::memcpy(&size, at, 8);
      at += 8;
      append_escaped(out, ByteView(at, static_cast<std::size_t>(size)),
                     input_type_of(formats[c].values.kind) == InputType::STRING);
      at += size;
    }
  }
  return out;
}

}  // namespace vantorelle::engine
