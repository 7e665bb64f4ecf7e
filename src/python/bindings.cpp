#include "python/bindings.h"

#include <cstdint>
#include <new>
#include <utility>

#include "python/arguments.h"
#include "python/errors.h"
#include "python/owned_ref.h"
#include "python/sketch_object.h"
#include "python/value_conversion.h"

namespace vantorelle::python {
namespace {

constexpr const char* kNewParameters[] = {"ty", "normal_precision", "sparse_precision"};
constexpr const char* kDataParameter[] = {"data"};
constexpr const char* kValueParameter[] = {"value"};

constexpr Signature kNewSignature{"HyperLogLogPlusPlus.__new__()", kNewParameters, 3, 1};
constexpr Signature kFromBytesSignature{"HyperLogLogPlusPlus.from_bytes()", kDataParameter, 1, 1};
constexpr Signature kAddSignature{"HyperLogLogPlusPlus.add()", kValueParameter, 1, 1};
constexpr Signature kMergeSignature{"HyperLogLogPlusPlus.merge()", kDataParameter, 1, 1};
static_assert(kNewSignature.count <= kMaxParameters);

enum class ValueFamily { StringOrBytes, Long, Unsupported };

// Chosen by the type's __name__ alone, so any class named "int" counts as int.
bool value_family(PyTypeObject* type, ValueFamily* out) {
  OwnedRef name(PyType_GetName(type));
  if (!name) return false;
  if (PyUnicode_EqualToUTF8(name.get(), "bytes") || PyUnicode_EqualToUTF8(name.get(), "str")) {
    *out = ValueFamily::StringOrBytes;
  } else if (PyUnicode_EqualToUTF8(name.get(), "int")) {
    *out = ValueFamily::Long;
  } else {
    *out = ValueFamily::Unsupported;
  }
  return true;
}

// A str or str subclass as its UTF-8 text; text with lone surrogates is
// refused (no exception left set), and a str is never a byte sequence.
// The add conversions, tried in order. Returns false when none applies (no
// exception set) or one was interrupted (its exception set); otherwise the
// aggregator's outcome is in `status`.
bool add_converted(HyperLogLogPlusPlus& sketch, PyObject* value, Status* status) {
  ByteSequence storage;
  ConvertedValue converted;
  if (!convert_value(value, storage, &converted)) return false;
  switch (converted.type) {
    case InputType::LONG: *status = sketch.add_long(converted.number); break;
    case InputType::STRING:
      *status = sketch.add_string(std::string_view(
          reinterpret_cast<const char*>(converted.bytes.data()), converted.bytes.size()));
      break;
    default: *status = sketch.add_bytes(converted.bytes); break;
  }
  return true;
}

// Runs `read` on the aggregator under a shared hold.
template <class Read>
PyObject* with_shared_hold(PyObject* object, Read&& read) {
  return guarded([&]() -> PyObject* {
    SketchObject* self = as_sketch(object);
    SharedHold hold(self->borrow);
    if (!hold) {
      raise_already_mutably_borrowed();
      return nullptr;
    }
    return read(static_cast<const HyperLogLogPlusPlus&>(*self->sketch));
  });
}

PyObject* none_or_error(const Status& status) {
  if (status) Py_RETURN_NONE;
  raise_sketch_error(status.error());
  return nullptr;
}

}  // namespace

PyObject* wrap_sketch(PyTypeObject* type, HyperLogLogPlusPlus&& sketch) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  SketchObject* self = as_sketch(object);
  new (&self->sketch) std::optional<HyperLogLogPlusPlus>();
  new (&self->borrow) BorrowState();
  try {
    self->sketch.emplace(std::move(sketch));
  } catch (...) {
    Py_DECREF(object);
    throw;
  }
  return object;
}

PyObject* sketch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    OwnedRef parameters[kNewSignature.count];
    if (!parse_tuple(kNewSignature, args, kwargs, parameters)) return nullptr;
    PyTypeObject* ty;
    if (!convert_type(parameters[0].get(), &ty)) return nullptr;
    std::int32_t normal_precision = HyperLogLogPlusPlus::kDefaultNormalPrecision;
    if (parameters[1] &&
        !convert_precision(parameters[1].get(), "normal_precision", &normal_precision)) {
      return nullptr;
    }
    std::int32_t sparse_precision = HyperLogLogPlusPlus::kDefaultSparsePrecision;
    if (parameters[2].get() == Py_None) {
      sparse_precision = 0;  // no sparse phase
    } else if (parameters[2] &&
               !convert_precision(parameters[2].get(), "sparse_precision", &sparse_precision)) {
      return nullptr;
    }
    ValueFamily family;
    if (!value_family(ty, &family)) return nullptr;
    if (family == ValueFamily::Unsupported) {
      PyErr_SetString(PyExc_ValueError,
                      "Unsupported type for HyperLogLogPlusPlus. Use 'str', 'int', or 'bytes'.");
      return nullptr;
    }
    Result<HyperLogLogPlusPlus> built =
        family == ValueFamily::Long
            ? HyperLogLogPlusPlus::new_long(normal_precision, sparse_precision)
            : HyperLogLogPlusPlus::new_string_or_bytes(normal_precision, sparse_precision);
    if (!built) {
      raise_sketch_error(built.error());
      return nullptr;
    }
    return wrap_sketch(type, std::move(built).value());
  });
}

void sketch_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  SketchObject* self = as_sketch(object);
  self->sketch.~optional();
  self->borrow.~BorrowState();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* sketch_repr(PyObject* object) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    Result<std::int64_t> cardinality = sketch.result();
    if (!cardinality) {
      raise_sketch_error(cardinality.error());
      return nullptr;
    }
    const std::uint64_t num_values = sketch.num_values();
    return PyUnicode_FromFormat("HyperLogLogPlusPlus(cardinality=%lld, num_values=%llu)",
                                static_cast<long long>(*cardinality),
                                static_cast<unsigned long long>(num_values));
  });
}

PyObject* sketch_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* data;
    if (!parse_vectorcall(kFromBytesSignature, args, nargs, kwnames, &data)) return nullptr;
    ByteView bytes;
    if (!convert_bytes_object(data, &bytes)) return nullptr;
    Result<HyperLogLogPlusPlus> decoded = HyperLogLogPlusPlus::from_bytes(bytes);
    if (!decoded) {
      raise_sketch_error(decoded.error());
      return nullptr;
    }
    // Always the class itself: the class argument of the call is not used.
    PyTypeObject* type = sketch_type();
    if (type == nullptr) return nullptr;
    return wrap_sketch(type, std::move(decoded).value());
  });
}

PyObject* sketch_add(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value;
    if (nargs == 1 && kwnames == nullptr) {
      value = args[0];
    } else if (!parse_vectorcall(kAddSignature, args, nargs, kwnames, &value)) {
      return nullptr;
    }
    SketchObject* self = as_sketch(object);
    ExclusiveHold hold(self->borrow);
    if (!hold) {
      raise_already_borrowed();
      return nullptr;
    }
    Status status;
    if (!add_converted(*self->sketch, value, &status)) {
      // (unless the conversion was interrupted: its exception stands)
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Unsupported type for HyperLogLogPlusPlus");
      return nullptr;
    }
    if (status) Py_RETURN_NONE;
    raise_add_error(status.error());
    return nullptr;
  });
}

PyObject* sketch_merge(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* data;
    if (!parse_vectorcall(kMergeSignature, args, nargs, kwnames, &data)) return nullptr;
    SketchObject* self = as_sketch(object);
    ExclusiveHold hold(self->borrow);
    if (!hold) {
      raise_already_borrowed();
      return nullptr;
    }
    ByteSequence bytes;
    if (bytes.read(data)) return none_or_error(self->sketch->merge_bytes(bytes.view()));
    if (PyObject_TypeCheck(data, Py_TYPE(object))) {
      SketchObject* other = as_sketch(data);
      // Taking `other` shared also refuses the sketch itself, which this
      // call holds exclusively.
      SharedHold other_hold(other->borrow);
      if (other_hold) {
        HyperLogLogPlusPlus copy = *other->sketch;
        other_hold.release();
        return none_or_error(self->sketch->merge(std::move(copy)));
      }
    }
    PyErr_SetString(PyExc_TypeError, "Unsupported type for HyperLogLogPlusPlus::merge");
    return nullptr;
  });
}

PyObject* sketch_result(PyObject* object, PyObject*) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    Result<std::int64_t> cardinality = sketch.result();
    if (!cardinality) {
      raise_sketch_error(cardinality.error());
      return nullptr;
    }
    return PyLong_FromLongLong(*cardinality);
  });
}

PyObject* sketch_num_values(PyObject* object, PyObject*) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    return PyLong_FromUnsignedLongLong(sketch.num_values());
  });
}

PyObject* sketch_to_bytes(PyObject* object, PyObject*) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    // to_bytes compacts and encodes a copy; this sketch stays as it is.
    Result<Bytes> encoded = sketch.to_bytes();
    if (!encoded) {
      raise_sketch_error(encoded.error());
      return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded->data()),
                                     static_cast<Py_ssize_t>(encoded->size()));
  });
}

PyObject* sketch_get_normal_precision(PyObject* object, void*) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    return PyLong_FromLong(sketch.normal_precision());
  });
}

PyObject* sketch_get_sparse_precision(PyObject* object, void*) {
  return with_shared_hold(object, [](const HyperLogLogPlusPlus& sketch) -> PyObject* {
    return PyLong_FromLong(sketch.sparse_precision());
  });
}

}  // namespace vantorelle::python
