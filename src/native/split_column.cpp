// A large Arrow column split across threads: the rows are hashed on
// `threads` ranges at once (value_codes.h) and the sketch of every value is
// built by the grouped builder as one group, whose bytes equal those of the
// private aggregator that collect() fills value by value. The result has
// collect()'s form (ColumnBuilder::rest_of), so the package applies it the
// same way.
//
// Anything this path does not take as it is (a format outside the value
// table, a refused value, a first value that is not valid UTF-8, a family
// the column does not fit) gives None without an exception, before any
// value is counted: the caller then reads the column through collect(),
// which reports it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <optional>

#include "engine/arrow_values.h"
#include "engine/value_codes.h"
#include "hll/grouped_sketches.h"
#include "native/arrow_objects.h"
#include "native/arrow_table.h"
#include "native/column_builder.h"
#include "native/errors.h"
#include "native/grouped_functions.h"

namespace vantorelle::native {
namespace {

using engine::ValueFormat;
using engine::ValueReader;
using engine::value_format;

// The first value as `add` would receive it, or nullptr (no exception).
PyObject* value_object(const ColumnChunks& column, std::int64_t row) {
  for (std::size_t b = column.chunks.size(); b-- > 0;) {
    if (column.starts[b] > row) continue;
    const ArrowArray& chunk = column.chunks[b];
    const std::int64_t local = row - column.starts[b];
    const ArrowSchema& schema = *column.schema;
    ValueFormat format;
    PyObject* object = nullptr;
    if (schema.dictionary == nullptr) {
      value_format(schema.format, &format);
      object = native::value_object(ValueReader(format, chunk), local);
    } else {
      ValueFormat indices;
      value_format(schema.format, &indices);
      value_format(schema.dictionary->format, &format);
      std::int64_t entry = 0;
      ValueReader(indices, chunk).integer(local, &entry);
      object = native::value_object(ValueReader(format, *chunk.dictionary), entry);
    }
    if (object == nullptr) PyErr_Clear();
    return object;
  }
  return nullptr;
}

bool family_fits(long family, InputType type) {
  if (family == 2) return true;
  return (family == 0) == (type == InputType::LONG);
}

}  // namespace

PyObject* collect_split(PyObject* values, long family, int normal_precision, int sparse_precision, int threads) {
  ArrowColumn source;
  if (!source.read(values)) return nullptr;
  const ColumnChunks& column = source.chunks();
  Result<engine::ValueColumnFormat> format = engine::check_value_column(column);
  if (!format) Py_RETURN_NONE;
  const InputType type = engine::input_type_of(format->values.kind);
  if (!family_fits(family, type)) Py_RETURN_NONE;
  Result<GroupedSketchBuilder> builder = GroupedSketchBuilder::create(type, normal_precision, sparse_precision);
  if (!builder) {
    raise_error(builder.error());
    return nullptr;
  }
  std::int64_t first = -1;
  engine::ValueCodes coded;
  {
    WithoutGil released;
    first = engine::first_value_row(column, *format);
    if (first >= 0) coded = engine::code_values(column, *format, *builder, threads);
  }
  if (first < 0) return Py_BuildValue("(iOLO)", static_cast<int>(type), Py_None, -1LL, Py_None);
  if (coded.failure.row >= 0) Py_RETURN_NONE;
  python::OwnedRef first_value(value_object(column, first));
  if (!first_value) Py_RETURN_NONE;
  Result<Bytes> all = Bytes{};
  {
    WithoutGil released;
    // (the rows before the first value hold none)
    coded.codes.erase(coded.codes.begin(), coded.codes.begin() + first);
    coded.codes.erase(std::remove(coded.codes.begin(), coded.codes.end(), GroupedSketchBuilder::kNoValue),
                      coded.codes.end());
    all = builder->build_one(coded.codes);
  }
  if (!all) {
    raise_error(all.error());
    return nullptr;
  }
  python::OwnedRef rest_bytes(ColumnBuilder::rest_of(*all));
  if (!rest_bytes) return nullptr;
  return Py_BuildValue("(iOLO)", static_cast<int>(type), first_value.get(), static_cast<long long>(first),
                       rest_bytes.get());
}

}  // namespace vantorelle::native
