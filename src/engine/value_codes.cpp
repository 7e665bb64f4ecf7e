#include "engine/value_codes.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "engine/array_checks.h"
#include "engine/arrow_type_names.h"
#include "engine/input_errors.h"
#include "utils/parallel.h"

namespace vantorelle::engine {
namespace {

using ColumnFormat = ValueColumnFormat;

bool column_format(const ArrowSchema& schema, ColumnFormat* out) {
  const std::string_view format = schema.format ? schema.format : "";
  if (schema.dictionary == nullptr) return value_format(format, &out->values);
  ValueFormat indices;
  if (!value_format(format, &indices) || indices.kind != Kind::Int) return false;
  out->indices = indices;
  const ArrowSchema& values = *schema.dictionary;
  return values.dictionary == nullptr && value_format(values.format ? values.format : "", &out->values);
}

// One chunk's rows as hashes: plain, or through its dictionary's entries,
// each hashed once.
class HashReader {
 public:
  HashReader(const ColumnFormat& format, const ArrowArray& array)
      : reader_(format.indices ? *format.indices : format.values, array),
        values_(format.values),
        array_(&array) {
    if (!format.indices) return;
    const ValueReader dictionary(format.values, *array.dictionary);
    entry_hash_.resize(static_cast<std::size_t>(dictionary.length()));
    entry_row_.resize(entry_hash_.size());
    for (std::size_t i = 0; i < entry_hash_.size(); ++i) {
      entry_row_[i] = dictionary.hash(static_cast<std::int64_t>(i), &entry_hash_[i]);
    }
    dictionary_ = true;
  }

  // The unsigned value of a refused row (above 2^63 - 1).
  std::uint64_t refused_value(std::int64_t row) const {
    if (!dictionary_) return reader_.unsigned_value(row);
    std::int64_t entry = 0;
    reader_.integer(row, &entry);
    return ValueReader(values_, *array_->dictionary).unsigned_value(entry);
  }

  // The first of rows [begin, end) whose text is not UTF-8, or -1 (a
  // dictionary's entries are checked with the column).
  std::int64_t first_malformed_text(std::int64_t begin, std::int64_t end) const {
    return dictionary_ ? -1 : engine::first_malformed_text(values_, *array_, begin, end);
  }

  Row hash(std::int64_t row, std::uint64_t* out) const {
    if (!dictionary_) return reader_.hash(row, out);
    std::int64_t entry;
    const Row read = reader_.integer(row, &entry);
    // (a uint64 index above 2^63 - 1 is out of range, not a refused value)
    if (read == Row::Refused) return Row::Malformed;
    if (read != Row::Value) return read;
    if (entry < 0 || entry >= static_cast<std::int64_t>(entry_row_.size())) return Row::Malformed;
    *out = entry_hash_[static_cast<std::size_t>(entry)];
    return entry_row_[static_cast<std::size_t>(entry)];
  }

 private:
  ValueReader reader_;
  ValueFormat values_;
  const ArrowArray* array_;
  bool dictionary_ = false;
  std::vector<std::uint64_t> entry_hash_;
  std::vector<Row> entry_row_;
};

constexpr auto kBlock = static_cast<std::int64_t>(kCodeBlock);

// Receives the codes of a block of a chunk's rows: its first row in the
// chunk, its length, its codes.
using ChunkSink = std::function<void(std::int64_t row, std::size_t count, const std::uint32_t* codes)>;

// The rows [begin, end) of a plain integer chunk, a block at a time: the
// values widened to 64 bits, hashed together (hash_longs), then coded and
// handed to `sink` (the block's first row in the chunk, its length, its
// codes). False at a value that cannot be added (an unsigned value above
// 2^63 - 1), whose row goes to `refused`.
template <class T>
bool code_integers(const ArrowArray& array, std::int64_t begin, std::int64_t end,
                   const GroupedSketchBuilder& builder, const ChunkSink& sink, std::int64_t* refused) {
  const auto* values = static_cast<const std::uint8_t*>(array.buffers[1]) +
                       array.offset * static_cast<std::int64_t>(sizeof(T));
  const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
  std::uint64_t hashes[kBlock];
  std::uint32_t out[kBlock];
  for (std::int64_t block = begin; block < end; block += kBlock) {
    const std::int64_t count = std::min(kBlock, end - block);
    for (std::int64_t i = 0; i < count; ++i) {
      T value;
      std::memcpy(&value, values + (block + i) * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
      hashes[i] = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    }
    if constexpr (std::is_same_v<T, std::uint64_t>) {
      for (std::int64_t i = 0; i < count; ++i) {
        const bool present = validity == nullptr || bit_set(validity, array.offset + block + i);
        if (present && hashes[i] > static_cast<std::uint64_t>(INT64_MAX)) {
          *refused = block + i;
          return false;
        }
      }
    }
    HyperLogLogPlusPlus::hash_longs(hashes, static_cast<std::size_t>(count), hashes);
    builder.code_all(hashes, static_cast<std::size_t>(count), out);
    if (validity != nullptr) {
      for (std::int64_t i = 0; i < count; ++i) {
        if (!bit_set(validity, array.offset + block + i)) out[i] = GroupedSketchBuilder::kNoValue;
      }
    }
    sink(block, static_cast<std::size_t>(count), out);
  }
  return true;
}

// Dispatches a plain integer chunk to its loop; false when the chunk is of
// another kind.
bool code_integer_chunk(const ColumnFormat& format, const ArrowArray& array, std::int64_t begin,
                        std::int64_t end, const GroupedSketchBuilder& builder, const ChunkSink& sink,
                        std::int64_t* refused, bool* complete) {
  if (format.indices || format.values.kind != Kind::Int) return false;
  switch (format.values.width * (format.values.is_signed ? 1 : -1)) {
    case 1: *complete = code_integers<std::int8_t>(array, begin, end, builder, sink, refused); break;
    case -1: *complete = code_integers<std::uint8_t>(array, begin, end, builder, sink, refused); break;
    case 2: *complete = code_integers<std::int16_t>(array, begin, end, builder, sink, refused); break;
    case -2: *complete = code_integers<std::uint16_t>(array, begin, end, builder, sink, refused); break;
    case 4: *complete = code_integers<std::int32_t>(array, begin, end, builder, sink, refused); break;
    case -4: *complete = code_integers<std::uint32_t>(array, begin, end, builder, sink, refused); break;
    case 8: *complete = code_integers<std::int64_t>(array, begin, end, builder, sink, refused); break;
    default: *complete = code_integers<std::uint64_t>(array, begin, end, builder, sink, refused); break;
  }
  return true;
}

// Rows [begin, end) of any other chunk, a row at a time into blocks.
// False at a row that cannot be coded, whose row goes to `failed` and its
// fault to `fault`.
bool code_rows(const HashReader& reader, std::int64_t begin, std::int64_t end, const GroupedSketchBuilder& builder,
               const ChunkSink& sink, std::int64_t* failed, CodingFault* fault) {
  std::uint32_t out[kBlock];
  for (std::int64_t block = begin; block < end; block += kBlock) {
    const std::int64_t count = std::min(kBlock, end - block);
    // (text is the only fault of a plain text chunk, so none comes before it)
    if (const std::int64_t row = reader.first_malformed_text(block, block + count); row >= 0) {
      *failed = row;
      *fault = CodingFault::NotUtf8;
      return false;
    }
    for (std::int64_t i = 0; i < count; ++i) {
      std::uint64_t hash;
      const Row read = reader.hash(block + i, &hash);
      if (read == Row::Value) [[likely]] {
        out[i] = builder.code(hash);
        continue;
      }
      out[i] = GroupedSketchBuilder::kNoValue;
      if (read != Row::Null) {
        *failed = block + i;
        *fault = read == Row::Malformed ? CodingFault::IndexOutOfRange : CodingFault::Refused;
        return false;
      }
    }
    sink(block, static_cast<std::size_t>(count), out);
  }
  return true;
}

}  // namespace

Result<ValueColumnFormat> check_value_column(const ColumnChunks& column) {
  ColumnFormat format;
  if (!column_format(*column.schema, &format)) {
    return input_error(InputFault::Refused,
                       "column '" + column.name + "' holds " + arrow_type_in_words(*column.schema) +
                           " values, which cannot be counted; integers, booleans, strings and binary are "
                           "supported (or dictionaries of them)");
  }
  VANTORELLE_RETURN_IF_ERROR(check_column_chunks(column, format.values, format.indices));
  if (format.indices) VANTORELLE_RETURN_IF_ERROR(check_dictionary_text(column, format.values));
  return format;
}

CodingFailure code_blocks(const ColumnChunks& column, const ValueColumnFormat& format,
                          const GroupedSketchBuilder& builder, int parts, const BlockSink& sink) {
  std::vector<HashReader> readers;
  readers.reserve(column.chunks.size());
  for (const ArrowArray& chunk : column.chunks) readers.emplace_back(format, chunk);
  std::vector<CodingFailure> failures(static_cast<std::size_t>(std::max(parts, 1)));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(column.rows), parts, t);
    for (std::size_t b = 0; b < readers.size(); ++b) {
      const std::int64_t start = column.starts[b];
      const std::int64_t begin = std::max<std::int64_t>(start, static_cast<std::int64_t>(lo));
      const std::int64_t end = std::min<std::int64_t>(start + column.chunks[b].length, static_cast<std::int64_t>(hi));
      if (begin >= end) continue;
      const ChunkSink chunk_sink = [&](std::int64_t row, std::size_t count, const std::uint32_t* codes) {
        sink(t, start + row, count, codes);
      };
      bool complete = true;
      std::int64_t failed_at = -1;
      CodingFault fault = CodingFault::Refused;
      if (!code_integer_chunk(format, column.chunks[b], begin - start, end - start, builder, chunk_sink,
                              &failed_at, &complete)) {
        complete = code_rows(readers[b], begin - start, end - start, builder, chunk_sink, &failed_at, &fault);
      }
      if (!complete) {
        const bool refused = fault == CodingFault::Refused;
        failures[static_cast<std::size_t>(t)] =
            CodingFailure{start + failed_at, fault, refused ? readers[b].refused_value(failed_at) : 0};
        return;
      }
    }
  });
  // Parts are in row order: the first part that failed has the first row.
  for (const CodingFailure& failure : failures) {
    if (failure.row >= 0) return failure;
  }
  return {};
}

ValueCodes code_values(const ColumnChunks& column, const ValueColumnFormat& format,
                       const GroupedSketchBuilder& builder, int threads) {
  ValueCodes out;
  out.codes.resize(static_cast<std::size_t>(column.rows));
  const int parts = useful_threads(threads, static_cast<std::size_t>(column.rows));
  std::uint32_t* codes = out.codes.data();
  out.failure = code_blocks(column, format, builder, parts,
                            [codes](int, std::int64_t row, std::size_t count, const std::uint32_t* block) {
                              std::memcpy(codes + row, block, count * sizeof(std::uint32_t));
                            });
  return out;
}

std::int64_t first_value_row(const ColumnChunks& column, const ValueColumnFormat& format) {
  for (std::size_t b = 0; b < column.chunks.size(); ++b) {
    const HashReader reader(format, column.chunks[b]);
    for (std::int64_t row = 0; row < column.chunks[b].length; ++row) {
      std::uint64_t hash;
      if (reader.hash(row, &hash) != Row::Null) return column.starts[b] + row;
    }
  }
  return -1;
}

}  // namespace vantorelle::engine
