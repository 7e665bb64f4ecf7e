#include "engine/array_checks.h"

#include <cstring>

#include "engine/memory_probe.h"
#include "utils/utf8.h"

namespace vantorelle::engine {
namespace {

const char kLayout[] = "its buffers do not match its type";

bool rows_readable(const void* buffer, std::int64_t first, std::int64_t count, std::int64_t width) {
  if (count == 0) return true;
  return buffer != nullptr &&
         readable(static_cast<const char*>(buffer) + first * width, static_cast<std::size_t>(count * width));
}

template <class Offset>
std::optional<std::string> offsets_fault(const ArrowArray& array) {
  const std::int64_t first = array.offset;
  if (!rows_readable(array.buffers[1], first, array.length + 1, sizeof(Offset))) return kLayout;
  Offset previous = load<Offset>(array.buffers[1], first);
  if (previous < 0) return "an offset is negative";
  const Offset start = previous;
  // Without an early exit, which the compiler vectorises: the offsets of
  // millions of rows are read before any row is.
  std::uint32_t descends = 0;
  for (std::int64_t i = first + 1; i <= first + array.length; ++i) {
    descends |= load<Offset>(array.buffers[1], i) < load<Offset>(array.buffers[1], i - 1) ? 1u : 0u;
  }
  if (descends != 0) return "its offsets are not in order";
  previous = load<Offset>(array.buffers[1], first + array.length);
  // Rows point into the data buffer even when they are empty.
  if (previous > 0 && array.buffers[2] == nullptr) return "an offset points past the end of its data";
  const auto span = static_cast<std::size_t>(previous - start);
  if (span == 0) return std::nullopt;
  if (array.buffers[2] == nullptr || !readable(static_cast<const char*>(array.buffers[2]) + start, span)) {
    return "an offset points past the end of its data";
  }
  return std::nullopt;
}

std::optional<std::string> views_fault(const ArrowArray& array) {
  if (!rows_readable(array.buffers[1], array.offset, array.length, 16)) return kLayout;
  const std::int64_t data_buffers = array.n_buffers - 3;
  const void* sizes = array.buffers[array.n_buffers - 1];
  if (data_buffers > 0 && !rows_readable(sizes, 0, data_buffers, 8)) return kLayout;
  for (std::int64_t b = 0; b < data_buffers; ++b) {
    const auto size = load<std::int64_t>(sizes, b);
    if (size < 0) return "a data buffer has a negative size";
    if (size > 0 && !rows_readable(array.buffers[2 + b], 0, size, 1)) return "a data buffer is shorter than its size";
  }
  const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
  const auto* views = static_cast<const std::uint8_t*>(array.buffers[1]);
  for (std::int64_t row = 0; row < array.length; ++row) {
    const std::int64_t index = array.offset + row;
    if (validity != nullptr && !bit_set(validity, index)) continue;
    const std::uint8_t* view = views + 16 * index;
    std::int32_t length, buffer, offset;
    std::memcpy(&length, view, 4);
    if (length < 0) return "a view has a negative length";
    if (length <= 12) continue;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    if (buffer < 0 || buffer >= data_buffers) return "a view names a data buffer the array does not have";
    const auto size = load<std::int64_t>(sizes, buffer);
    if (offset < 0 || static_cast<std::int64_t>(offset) + length > size) {
      return "a view points past the end of its data buffer";
    }
  }
  return std::nullopt;
}

std::string_view text_of(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The offsets of rows [begin, end) of a text array span one run of bytes:
// when all of it is ASCII, no row needs a look of its own.
template <class Offset>
bool offsets_ascii(const ArrowArray& array, std::int64_t begin, std::int64_t end) {
  const auto first = load<Offset>(array.buffers[1], array.offset + begin);
  const auto last = load<Offset>(array.buffers[1], array.offset + end);
  if (last == first) return true;
  return all_ascii({static_cast<const char*>(array.buffers[2]) + first, static_cast<std::size_t>(last - first)});
}

}  // namespace

std::int64_t first_malformed_text(const ValueFormat& format, const ArrowArray& array, std::int64_t begin,
                                  std::int64_t end) {
  // (an empty array's buffers may be missing)
  if (begin >= end) return -1;
  switch (format.kind) {
    case Kind::Utf8:
      if (offsets_ascii<std::int32_t>(array, begin, end)) return -1;
      break;
    case Kind::LargeUtf8:
      if (offsets_ascii<std::int64_t>(array, begin, end)) return -1;
      break;
    case Kind::Utf8View: break;
    default: return -1;
  }
  const ValueReader reader(format, array);
  for (std::int64_t row = begin; row < end; ++row) {
    ByteView bytes;
    if (reader.bytes(row, &bytes) == Row::Value && !utf8_well_formed(text_of(bytes))) return row;
  }
  return -1;
}

bool bits_readable(const void* bitmap, std::int64_t first, std::int64_t count) {
  if (count == 0) return true;
  const std::int64_t begin = first >> 3;
  const std::int64_t end = (first + count + 7) >> 3;
  return bitmap != nullptr && readable(static_cast<const char*>(bitmap) + begin, static_cast<std::size_t>(end - begin));
}

std::optional<std::string> array_fault(const ValueFormat& format, const ArrowArray& array) {
  if (array.length < 0 || array.offset < 0 || array.offset > INT64_MAX / 16 - array.length - 1) {
    return "a negative length or offset";
  }
  if (format.kind == Kind::Null) return std::nullopt;
  const std::int64_t buffers = array.n_buffers;
  const bool views = format.kind == Kind::Utf8View || format.kind == Kind::BinaryView;
  switch (format.kind) {
    case Kind::Bool: case Kind::Int:
      if (buffers != 2) return kLayout;
      break;
    default:
      if (views ? buffers < 3 : buffers != 3) return kLayout;
  }
  if (array.buffers == nullptr) return kLayout;
  if (array.length == 0) return std::nullopt;
  // (the array of buffer pointers itself: a count that lies would read past it)
  if (buffers > (std::int64_t{1} << 31) ||
      !readable(array.buffers, static_cast<std::size_t>(buffers) * sizeof(void*))) {
    return kLayout;
  }
  if (array.null_count != 0 && array.buffers[0] != nullptr &&
      !bits_readable(array.buffers[0], array.offset, array.length)) {
    return kLayout;
  }
  switch (format.kind) {
    case Kind::Bool:
      return bits_readable(array.buffers[1], array.offset, array.length) ? std::nullopt
                                                                         : std::optional<std::string>(kLayout);
    case Kind::Int:
      return rows_readable(array.buffers[1], array.offset, array.length, format.width)
                 ? std::nullopt
                 : std::optional<std::string>(kLayout);
    case Kind::Utf8: case Kind::Binary: return offsets_fault<std::int32_t>(array);
    case Kind::LargeUtf8: case Kind::LargeBinary: return offsets_fault<std::int64_t>(array);
    default: return views_fault(array);
  }
}

std::optional<std::string> chunk_fault(const ValueFormat& values, const std::optional<ValueFormat>& indices,
                                       const ArrowArray& chunk) {
  if (!indices) return array_fault(values, chunk);
  if (chunk.dictionary == nullptr) return kLayout;
  if (auto fault = array_fault(*indices, chunk)) return fault;
  return array_fault(values, *chunk.dictionary);
}

Status check_column_chunks(const ColumnChunks& column, const ValueFormat& values,
                           const std::optional<ValueFormat>& indices) {
  for (const ArrowArray& chunk : column.chunks) {
    if (auto fault = chunk_fault(values, indices, chunk)) {
      return invalid_argument("malformed Arrow array in column '" + column.name + "': " + *fault);
    }
  }
  return {};
}

Status check_dictionary_text(const ColumnChunks& column, const ValueFormat& values) {
  for (const ArrowArray& chunk : column.chunks) {
    const ArrowArray& dictionary = *chunk.dictionary;
    if (const std::int64_t entry = first_malformed_text(values, dictionary, 0, dictionary.length); entry >= 0) {
      return invalid_argument("malformed Arrow array in column '" + column.name + "': dictionary entry " +
                              std::to_string(entry) + " is not valid UTF-8");
    }
  }
  return {};
}

}  // namespace vantorelle::engine
