#include "native/column_builder.h"

#include <span>
#include <string>
#include <utility>

#include "native/errors.h"
#include "state/sketch_state.h"
#include "state/state_message.h"

namespace vantorelle::native {
namespace {

// A fresh state that accepts every input type until its first value, like a
// decoded sketch without a value type.
SketchState any_type_state(std::int32_t normal_precision, std::int32_t sparse_precision) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.encoding_version = 2;
  state.precision = normal_precision;
  state.sparse_precision = sparse_precision;
  return state;
}

}  // namespace

std::unique_ptr<ColumnBuilder> ColumnBuilder::create(Family family, std::int32_t normal_precision,
                                                   std::int32_t sparse_precision) {
  Result<HyperLogLogPlusPlus> sketch =
      family == Family::Long
          ? HyperLogLogPlusPlus::new_long(normal_precision, sparse_precision)
      : family == Family::StringOrBytes
          ? HyperLogLogPlusPlus::new_string_or_bytes(normal_precision, sparse_precision)
          : HyperLogLogPlusPlus::from_state(any_type_state(normal_precision, sparse_precision));
  if (!sketch) {
    raise_error(sketch.error());
    return nullptr;
  }
  return std::make_unique<ColumnBuilder>(std::move(sketch).value());
}

bool ColumnBuilder::hold_first(PyObject* value, InputType type, std::uint64_t hash, std::int64_t position) {
  if (!check_type(type, position)) return false;
  first_.reset(Py_NewRef(value));
  first_position_ = position;
  return add(type, hash, position);
}

bool ColumnBuilder::check_type(InputType type, std::int64_t position) {
  Status checked = sketch_.add_hashes(type, {});
  if (checked) return true;
  // The aggregator's refusal text, as `add` reports it.
  refuse(position, checked.error().message());
  return false;
}

bool ColumnBuilder::flush() {
  if (pending_size_ == 0) return true;
  Status added =
      sketch_.add_hashes(pending_type_, std::span<const std::uint64_t>(pending_.data(), pending_size_));
  pending_size_ = 0;
  if (added) return true;
  refuse(0, std::string(python::kProductPrefix) + added.error().display(), PyExc_RuntimeError);
  return false;
}

void ColumnBuilder::refuse(std::int64_t position, std::string message, PyObject* type) {
  if (refused()) return;
  refusal_position_ = position;
  refusal_ = std::move(message);
  refusal_type_ = type;
}

PyObject* ColumnBuilder::finish() {
  if (!refused()) flush();
  if (refused()) {
    raise_sketch_error(refusal_type_, "value at position " + std::to_string(refusal_position_) +
                                          ": " + refusal_);
    if (first_ && first_position_ < refusal_position_) attach_first();
    return nullptr;
  }
  OwnedRef type(column_type_ ? PyLong_FromLong(static_cast<long>(*column_type_))
                             : Py_NewRef(Py_None));
  if (!type) return nullptr;
  OwnedRef rest(Py_NewRef(Py_None));
  if (sketch_.num_values() > 1) {
    Result<Bytes> encoded = sketch_.to_bytes();
    if (!encoded) {
      raise_error(encoded.error());
      return nullptr;
    }
    rest.reset(rest_of(*encoded));
    if (!rest) return nullptr;
  }
  PyObject* first = first_ ? first_.get() : Py_None;
  return Py_BuildValue("(OOLO)", type.get(), first, static_cast<long long>(first_position_),
                       rest.get());
}

void ColumnBuilder::attach_first() {
  PyObject* raised = PyErr_GetRaisedException();
  OwnedRef first(Py_BuildValue("(OL)", first_.get(), static_cast<long long>(first_position_)));
  if (!first || PyObject_SetAttrString(raised, "first", first.get()) < 0) {
    // (the failure to attach it is raised in the refusal's place)
    Py_DECREF(raised);
    return;
  }
  PyErr_SetRaisedException(raised);
}

PyObject* ColumnBuilder::rest_of(ByteView all) {
  Result<SketchState> state = decode_state(all);
  if (!state) {
    raise_error(state.error());
    return nullptr;
  }
  if (state->num_values < 2) Py_RETURN_NONE;
  --state->num_values;
  Result<Bytes> rest = encode_state(*state);
  if (!rest) {
    raise_error(rest.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest->data()), static_cast<Py_ssize_t>(rest->size()));
}

}  // namespace vantorelle::native
