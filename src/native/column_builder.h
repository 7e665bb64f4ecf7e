// ColumnBuilder: gathers one column of values into an aggregator of its own.
//
// A column never touches the caller's sketch while it is read. Its values go
// into a private aggregator, which the Python layer merges into the sketch
// at the end, so a refused value leaves the sketch as it was, and the
// hashing can run with the GIL released.
//
// The first value accepted is also held back as a Python object: the Python
// layer adds it through the sketch's own `add`, which narrows a
// text-or-bytes sketch to the kind it saw exactly as one-by-one adds would,
// and then merges the private aggregator. That aggregator holds every value,
// the first too, and its bytes count one value fewer (rest_of): a sketch of
// the values after the first alone could go normal where the whole column
// stays sparse (its buffer flushes at other points), and the merge would
// not give the bytes of one-by-one adds; the union with v0 added twice does.
//
//     column:   v0   v1   v2   ...   vn
//               |'------------+--------'
//      sketch.add(v0)   private aggregator -> rest_of -> sketch.merge(bytes)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>

#include "hll/hyperloglogplusplus.h"
#include "python/owned_ref.h"

namespace vantorelle::native {

using python::OwnedRef;

// The family a caller asks for: that of an existing sketch, or any (the
// column's own type decides).
enum class Family { Long, StringOrBytes, Any };

class ColumnBuilder {
 public:
  explicit ColumnBuilder(HyperLogLogPlusPlus sketch) : sketch_(std::move(sketch)) {}

  // nullptr with an exception set when the precisions are refused.
  static std::unique_ptr<ColumnBuilder> create(Family family, std::int32_t normal_precision,
                                             std::int32_t sparse_precision);

  // The input type the column's values carry, known from its format before
  // any value is seen (Arrow and buffer columns) or from its first value.
  void set_column_type(InputType type) { column_type_ = type; }
  std::optional<InputType> column_type() const { return column_type_; }

  bool has_first() const { return static_cast<bool>(first_); }

  // Holds `value` back as the first value (GIL held), and adds its `hash`.
  // The private aggregator checks and narrows its type as the add would.
  // False when the type is refused; the refusal is then recorded at
  // `position`.
  bool hold_first(PyObject* value, InputType type, std::uint64_t hash, std::int64_t position);

  // Adds one value's hash (GIL may be released). False when the type is
  // refused; the refusal is recorded at `position`.
  bool add(InputType type, std::uint64_t hash, std::int64_t position) {
    if (pending_size_ == 0 || type != pending_type_) {
      if (!flush()) return false;
      if (!check_type(type, position)) return false;
      pending_type_ = type;
    }
    pending_[pending_size_++] = hash;
    if (pending_size_ == pending_.size()) return flush();
    return true;
  }

  // Records a refusal of the value at `position` (GIL may be released).
  // `type` is the built-in the refusal is; finish() raises the sketch-error
  // class derived from it (see native/errors.h).
  void refuse(std::int64_t position, std::string message, PyObject* type = PyExc_TypeError);
  bool refused() const { return refusal_position_ >= 0; }

  // Ends the column (GIL held): raises the recorded refusal, or returns the
  // tuple (input type or None, first value or None, position of the first
  // value, serialised rest or None). A refusal of a value after the first
  // carries (first value, its position) as the exception's `first`: a sketch
  // that refuses the first value refuses the column there, before the later
  // one.
  PyObject* finish();

  // The serialised rest of a column whose sketch of every value (the first
  // too) is `all`: the same sketch counting one value fewer; None for a
  // column of one value. New reference, or nullptr with an exception set.
  static PyObject* rest_of(ByteView all);

 private:

  bool check_type(InputType type, std::int64_t position);
  bool flush();
  // Sets `first` on the exception that is set.
  void attach_first();

  HyperLogLogPlusPlus sketch_;
  std::optional<InputType> column_type_;
  OwnedRef first_;
  std::int64_t first_position_ = -1;

  static constexpr std::size_t kBlock = 256;
  std::array<std::uint64_t, kBlock> pending_{};
  std::size_t pending_size_ = 0;
  InputType pending_type_ = InputType::LONG;

  std::int64_t refusal_position_ = -1;
  std::string refusal_;
  PyObject* refusal_type_ = nullptr;
};

// Releases the GIL for its scope.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

inline constexpr const char kUnsupportedType[] = "Unsupported type for HyperLogLogPlusPlus";

// The column readers. Each returns true when it took the column (the outcome,
// refusals included, is in the builder) and false with an exception set on a
// failure of the column itself. `taken` tells whether the reader applies.
// An Arrow struct of one field is read as a one-column table's column when
// `table_allowed`, and refused as a column of structs when not.
bool read_buffer_column(PyObject* values, ColumnBuilder& builder, bool* taken);
bool read_arrow_column(PyObject* values, ColumnBuilder& builder, bool table_allowed, bool* taken);
bool read_iterable_column(PyObject* values, ColumnBuilder& builder);

}  // namespace vantorelle::native
