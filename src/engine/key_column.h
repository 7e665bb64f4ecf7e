// One key column of one record batch, read for grouping: its rows hashed a
// block at a time in a loop typed for its layout, a row's key bytes written
// for a new group, and a row compared with a group's key bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "engine/arrow_values.h"
#include "engine/group_keys.h"
#include "engine/key_hashing.h"
#include "engine/key_length.h"

namespace vantorelle::engine::grouping {

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

  // A row's bytes, for comparing a plain bytes column without reading its
  // layout again; size kNullSize for a null.
  struct RowBytes {
    const std::uint8_t* data;
    std::uint64_t size;
  };
  static constexpr std::uint64_t kNullSize = UINT64_MAX;

  // Whether the column holds bytes of any layout, not dictionary-encoded:
  // the kind bytes_block reads.
  bool plain_bytes() const { return !format_.indices && family_of(format_.values.kind) == Family::Bytes; }

  // The rows [begin, end) of a plain_bytes() column, in a loop typed for its
  // layout.
  void bytes_block(std::int64_t begin, std::int64_t end, RowBytes* out) const {
    const ArrowArray& a = array_;
    const void* validity = a.null_count != 0 ? a.buffers[0] : nullptr;
    const auto each = [&](auto read) {
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int64_t index = a.offset + row;
        out[row - begin] = validity != nullptr && !bit_set(validity, index) ? RowBytes{nullptr, kNullSize} : read(index);
      }
    };
    const auto offsets = [&](auto width) {
      using Offset = decltype(width);
      const auto* ends = static_cast<const std::uint8_t*>(a.buffers[1]);
      const auto* data = static_cast<const std::uint8_t*>(a.buffers[2]);
      each([&](std::int64_t index) {
        Offset range[2];
        std::memcpy(range, ends + index * static_cast<std::int64_t>(sizeof(Offset)), sizeof range);
        return RowBytes{data + range[0], static_cast<std::uint64_t>(range[1] - range[0])};
      });
    };
    switch (format_.values.kind) {
      case Kind::Utf8: case Kind::Binary: offsets(std::int32_t{}); return;
      case Kind::LargeUtf8: case Kind::LargeBinary: offsets(std::int64_t{}); return;
      default:
        each([&](std::int64_t index) {
          ByteView bytes;
          reader_.bytes(index - a.offset, &bytes);
          return RowBytes{bytes.data(), bytes.size()};
        });
    }
  }

  // Whether a row read by bytes_block is the value encoded at `at` (a
  // group's key bytes).
  static bool matches_bytes(const RowBytes& row, const std::uint8_t* at) {
    if (row.size == kNullSize) return at[0] == kNullTag;
    if (at[0] != kBytesTag) return false;
    std::uint64_t size;
    const std::uint8_t* data = read_length(at + 1, &size);
    return size == row.size && equal_bytes(data, row.data, static_cast<std::size_t>(size));
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
        *at = read_length(key + 1, &size) + size;
        return matches_bytes(RowBytes{bytes.data(), bytes.size()}, key);
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
        out.resize(at + length_bytes(size) + size);
        std::uint8_t* data = put_length(out.data() + at, size);
        if (size != 0) std::memcpy(data, bytes.data(), size);
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

}  // namespace vantorelle::engine::grouping
