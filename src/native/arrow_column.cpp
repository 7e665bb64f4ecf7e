// Arrow columns through the Arrow PyCapsule interface: any object with
// __arrow_c_stream__ (chunked columns: pyarrow ChunkedArray, polars and
// pandas Series) or __arrow_c_array__ (one array). The C Data Interface is
// read directly, so no Arrow library is needed at build or run time.
//
// Supported: signed and unsigned integers and booleans (as `add` of the same
// Python int), utf8 / large_utf8 / string_view (as text), binary /
// large_binary / binary_view (as byte strings), dictionary-encoded forms of
// these, slices with offsets. Nulls are skipped: neither added nor counted.
//
// Columns of serialised sketches (binary, large_binary, binary_view) are read
// here too, into a SketchColumn that reads their rows where they lie.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/array_checks.h"
#include "engine/arrow_abi.h"
#include "engine/arrow_values.h"
#include "native/arrow_capsules.h"
#include "native/arrow_objects.h"
#include "native/column_builder.h"
#include "native/errors.h"
#include "native/refusal_messages.h"
#include "native/sketch_column.h"

namespace vantorelle::native {
namespace {

using engine::bit_set;
using engine::input_type_of;
using engine::Kind;
using engine::Row;
using engine::value_format;
using engine::ValueFormat;
using engine::ValueReader;

// One array of the column, plain or dictionary-encoded, read row by row.
class ChunkReader {
 public:
  // Fails (exception set) when the array's layout does not match its format.
  bool open(const ValueFormat& values, const ValueFormat* indices, const ArrowArray& array) {
    input_type_ = input_type_of(values.kind);
    const std::optional<ValueFormat> index_format = indices ? std::optional<ValueFormat>(*indices) : std::nullopt;
    if (auto fault = engine::chunk_fault(values, index_format, array)) return layout_error(*fault);
    if (indices == nullptr) {
      plain_.emplace(values, array);
      return true;
    }
    const ArrowArray& entry_array = *array.dictionary;
    if (const std::int64_t entry = engine::first_malformed_text(values, entry_array, 0, entry_array.length);
        entry >= 0) {
      return layout_error("dictionary entry " + std::to_string(entry) + " is not valid UTF-8");
    }
    index_.emplace(*indices, array);
    dictionary_.emplace(values, *array.dictionary);
    // Each dictionary entry is hashed once.
    const std::int64_t entries = dictionary_->length();
    entry_hash_.resize(static_cast<std::size_t>(entries));
    entry_row_.resize(static_cast<std::size_t>(entries));
    for (std::int64_t i = 0; i < entries; ++i) {
      entry_row_[static_cast<std::size_t>(i)] = dictionary_->hash(i, &entry_hash_[static_cast<std::size_t>(i)]);
    }
    return true;
  }

  InputType input_type() const { return input_type_; }
  std::int64_t length() const { return plain_ ? plain_->length() : index_->length(); }

  Row hash(std::int64_t row, std::uint64_t* out) const {
    if (plain_) return plain_->hash(row, out);
    std::int64_t entry;
    const Row read = index_->integer(row, &entry);
    // (a uint64 index above 2^63 - 1 is out of range, not a refused value)
    if (read == Row::Refused) return Row::Malformed;
    if (read != Row::Value) return read;
    if (entry < 0 || entry >= static_cast<std::int64_t>(entry_row_.size())) return Row::Malformed;
    *out = entry_hash_[static_cast<std::size_t>(entry)];
    return entry_row_[static_cast<std::size_t>(entry)];
  }

  std::uint64_t unsigned_value(std::int64_t row) const {
    if (plain_) return plain_->unsigned_value(row);
    std::int64_t entry = 0;
    index_->integer(row, &entry);
    return dictionary_->unsigned_value(entry);
  }

  PyObject* object(std::int64_t row) const {
    if (plain_) return value_object(*plain_, row);
    std::int64_t entry = 0;
    index_->integer(row, &entry);
    return value_object(*dictionary_, entry);
  }

 private:
  static bool layout_error(const std::string& fault) {
    raise_sketch_error(ErrorClass::InvalidInput, "malformed Arrow array: " + fault);
    return false;
  }

  InputType input_type_ = InputType::LONG;
  std::optional<ValueReader> plain_;
  std::optional<ValueReader> index_;
  std::optional<ValueReader> dictionary_;
  std::vector<std::uint64_t> entry_hash_;
  std::vector<Row> entry_row_;
};

// The column's type, from its schema.
struct ColumnFormat {
  ValueFormat values;
  std::optional<ValueFormat> indices;
  // A table of one column (a struct with one field): its rows are the field's.
  bool single_field = false;
};

// `table_allowed`: whether a struct schema may be a table's (the caller's
// object is not known to be one column, whose structs are values).
bool column_format(const ArrowSchema& outer, bool table_allowed, ColumnFormat* out) {
  const bool is_table =
      table_allowed && std::string_view(outer.format ? outer.format : "") == "+s";
  if (is_table && outer.n_children > 0 && outer.children == nullptr) {
    raise_sketch_error(ErrorClass::InvalidInput, "malformed Arrow schema: a table's columns are missing");
    return false;
  }
  const bool single_field = is_table && outer.n_children == 1 && outer.children[0] != nullptr;
  const ArrowSchema& schema = single_field ? *outer.children[0] : outer;
  out->single_field = single_field;
  const char* format = schema.format ? schema.format : "";
  const ArrowSchema* value_schema = schema.dictionary ? schema.dictionary : &schema;
  const char* values = value_schema->format ? value_schema->format : "";
  if (schema.dictionary) {
    ValueFormat indices;
    if (!value_format(format, &indices) || indices.kind != Kind::Int) {
      raise_sketch_error(ErrorClass::InvalidInput,
                         "malformed Arrow dictionary column: index format '" + std::string(format) + "'");
      return false;
    }
    out->indices = indices;
  }
  // A table of one column is read as that column; a column of structs (that
  // column's, or a dictionary's values) is refused below as any type that
  // does not count.
  if (is_table && !single_field) {
    const std::string message =
        "expected one column, got a table of " + std::to_string(outer.n_children) +
        " columns (an Arrow struct); select a column first";
    raise_sketch_error(ErrorClass::Refused, message);
    return false;
  }
  if (!value_format(values, &out->values)) {
    raise_sketch_error(ErrorClass::Refused, unsupported_arrow_column_message(schema, values));
    return false;
  }
  return true;
}

void refuse_row(ColumnBuilder& builder, const ChunkReader& reader, Row read, std::int64_t row,
                std::int64_t position) {
  if (read == Row::Malformed) {
    builder.refuse(position, "malformed Arrow array: dictionary index out of range", PyExc_ValueError);
  } else {
    builder.refuse(position, out_of_range_message(reader.unsigned_value(row)));
  }
}

bool malformed_table() {
  raise_sketch_error(ErrorClass::InvalidInput,
                     "malformed Arrow array: a table's columns do not match its schema");
  return false;
}

// The rows whose text is checked at once.
constexpr std::int64_t kTextBlock = 512;

// Feeds one array to the builder. `position` is the column position of its
// first row.
bool read_chunk(const ColumnFormat& format, const ArrowArray& outer, std::int64_t position,
                ColumnBuilder& builder) {
  if (builder.refused()) return true;
  ArrowArray field{};
  if (format.single_field) {
    // The field's rows under the table's offset and length; a view, released
    // with the table.
    if (outer.n_children != 1 || outer.children == nullptr || outer.children[0] == nullptr) return malformed_table();
    const ArrowArray& only = *outer.children[0];
    if (outer.length < 0 || outer.offset < 0 || outer.offset > only.length ||
        outer.length > only.length - outer.offset) {
      raise_sketch_error(ErrorClass::InvalidInput,
                         "malformed Arrow array: a table's column is shorter than the table");
      return false;
    }
    const bool has_validity = outer.null_count != 0 && outer.n_buffers >= 1 && outer.buffers != nullptr &&
                              outer.buffers[0] != nullptr;
    if (has_validity && !engine::bits_readable(outer.buffers[0], outer.offset, outer.length)) {
      return malformed_table();
    }
    if (has_validity) {
      for (std::int64_t row = 0; row < outer.length; ++row) {
        if (bit_set(outer.buffers[0], outer.offset + row)) continue;
        raise_sketch_error(ErrorClass::InvalidInput,
                           "cannot count a table with null rows (row " +
                               std::to_string(position + row) + "); select its column first");
        return false;
      }
    }
    field = *outer.children[0];
    field.offset += outer.offset;
    field.length = outer.length;
    field.release = nullptr;
  }
  const ArrowArray& array = format.single_field ? field : outer;
  ChunkReader reader;
  if (!reader.open(format.values, format.indices ? &*format.indices : nullptr, array)) return false;
  const InputType type = reader.input_type();
  const std::int64_t length = reader.length();
  // Text is checked a block of rows ahead of its reading (which then finds
  // it in cache): rows up to the first that is not UTF-8 are read, and that
  // one is refused. (A dictionary's entries were checked by open().)
  std::int64_t checked = format.indices ? length : 0;
  std::int64_t malformed = -1;
  const auto readable = [&](std::int64_t row) {
    while (row >= checked && malformed < 0) {
      const std::int64_t end = std::min(length, checked + kTextBlock);
      malformed = engine::first_malformed_text(format.values, array, checked, end);
      checked = malformed >= 0 ? malformed : end;
    }
    return row < checked;
  };
  std::int64_t row = 0;
  if (!builder.has_first()) {
    // The first value goes to the sketch's own add, as a Python object.
    std::uint64_t hash = 0;
    for (; row < length && readable(row); ++row) {
      const Row read = reader.hash(row, &hash);
      if (read == Row::Null) continue;
      if (read == Row::Refused || read == Row::Malformed) {
        refuse_row(builder, reader, read, row, position + row);
        return true;
      }
      OwnedRef first(reader.object(row));
      if (!first) return false;
      if (!builder.hold_first(first.get(), type, hash, position + row)) return true;
      ++row;
      break;
    }
  }
  WithoutGil released;
  for (; row < length && readable(row); ++row) {
    std::uint64_t hash;
    const Row read = reader.hash(row, &hash);
    if (read == Row::Null) continue;
    if (read == Row::Refused || read == Row::Malformed) {
      refuse_row(builder, reader, read, row, position + row);
      break;
    }
    if (!builder.add(type, hash, position + row)) break;
  }
  if (malformed >= 0 && !builder.refused()) {
    builder.refuse(position + malformed, "the text is not valid UTF-8", PyExc_ValueError);
  }
  return true;
}

// The input type the column's format fixes; none for the null type, whose
// values (every one null) decide nothing, as an empty list's do not.
void note_column_type(const ColumnFormat& format, ColumnBuilder& builder) {
  if (format.values.kind != Kind::Null) builder.set_column_type(input_type_of(format.values.kind));
}

// A column's builder, and whether the column may come as a one-column table.
struct ColumnTarget {
  ColumnBuilder& builder;
  bool table_allowed;
};

bool read_stream(PyObject* capsule, ColumnTarget& target) {
  ColumnBuilder& builder = target.builder;
  OwnedStream stream;
  if (!move_from_capsule(capsule, "arrow_array_stream", &stream.stream)) return false;
  OwnedSchema schema;
  if (int code = stream.stream.get_schema(&stream.stream, &schema.schema)) return stream_failed(stream.stream, code);
  ColumnFormat format;
  if (!column_format(schema.schema, target.table_allowed, &format)) return false;
  note_column_type(format, builder);
  std::int64_t position = 0;
  while (!builder.refused()) {
    OwnedArray chunk;
    if (int code = stream.stream.get_next(&stream.stream, &chunk.array)) return stream_failed(stream.stream, code);
    if (chunk.array.release == nullptr) break;  // end of stream
    if (!read_chunk(format, chunk.array, position, builder)) return false;
    position += chunk.array.length;
  }
  return true;
}

bool read_array(PyObject* pair, ColumnTarget& target) {
  ColumnBuilder& builder = target.builder;
  OwnedSchema schema;
  OwnedArray array;
  if (!move_from_array_pair(pair, &schema.schema, &array.array)) return false;
  ColumnFormat format;
  if (!column_format(schema.schema, target.table_allowed, &format)) return false;
  note_column_type(format, builder);
  return read_chunk(format, array.array, 0, builder);
}

// Hands `values` to from_stream when it exports an Arrow stream, else to
// from_array when it exports an Arrow array; `*taken` says whether either did.
template <class Sink>
bool read_exported(PyObject* values, Sink& sink, bool* taken, bool (*from_stream)(PyObject*, Sink&),
                   bool (*from_array)(PyObject*, Sink&)) {
  *taken = false;
  OwnedRef capsule;
  if (!call_if_present(values, "__arrow_c_stream__", &capsule)) return false;
  if (capsule) {
    *taken = true;
    return from_stream(capsule.get(), sink);
  }
  OwnedRef pair;
  if (!call_if_present(values, "__arrow_c_array__", &pair)) return false;
  if (pair) {
    *taken = true;
    return from_array(pair.get(), sink);
  }
  return true;
}

}  // namespace

bool read_arrow_column(PyObject* values, ColumnBuilder& builder, bool table_allowed, bool* taken) {
  ColumnTarget target{builder, table_allowed};
  return read_exported(values, target, taken, read_stream, read_array);
}

namespace {

// Takes the rows of one array; the column keeps the array alive.
bool take_sketch_chunk(const ValueFormat& format, std::shared_ptr<OwnedArray> chunk,
                       SketchColumn& column) {
  if (auto fault = engine::array_fault(format, chunk->array)) {
    PyErr_SetString(PyExc_ValueError, ("malformed Arrow array: " + *fault).c_str());
    return false;
  }
  const ArrowArray& array = chunk->array;
  column.add_arrow(format, array, std::move(chunk));
  return true;
}

bool read_sketch_stream(PyObject* capsule, SketchColumn& column) {
  OwnedStream stream;
  if (!move_from_capsule(capsule, "arrow_array_stream", &stream.stream)) return false;
  OwnedSchema schema;
  if (int code = stream.stream.get_schema(&stream.stream, &schema.schema)) return stream_failed(stream.stream, code);
  ValueFormat format;
  if (!check_sketch_schema(schema.schema, {}, &format)) return false;
  for (;;) {
    auto chunk = std::make_shared<OwnedArray>();
    if (int code = stream.stream.get_next(&stream.stream, &chunk->array)) return stream_failed(stream.stream, code);
    if (chunk->array.release == nullptr) return true;  // end of stream
    if (!take_sketch_chunk(format, std::move(chunk), column)) return false;
  }
}

bool read_sketch_array(PyObject* pair, SketchColumn& column) {
  OwnedSchema schema;
  auto array = std::make_shared<OwnedArray>();
  if (!move_from_array_pair(pair, &schema.schema, &array->array)) return false;
  ValueFormat format;
  if (!check_sketch_schema(schema.schema, {}, &format)) return false;
  return take_sketch_chunk(format, std::move(array), column);
}

}  // namespace

bool read_arrow_sketch_column(PyObject* values, SketchColumn& column, bool* taken) {
  return read_exported(values, column, taken, read_sketch_stream, read_sketch_array);
}

}  // namespace vantorelle::native
