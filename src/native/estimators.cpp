// The estimators of vantorelle._native: estimates, bounds and two-sketch
// estimates of serialised sketches. Every input passes validate_bytes before
// a sketch is built from it, so corrupt bytes are a ValueError here and
// never an internal failure later.
#include "native/estimators.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hll/sketch_estimates.h"
#include "native/errors.h"
#include "python/buffer_view.h"
#include "python/method_table.h"
#include "python/owned_ref.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle::native {
namespace {

using python::as_cfunction;
using python::OwnedRef;

// Sketches that cannot be estimated together: precisions that do not
// combine, mixed value types (as a merge of them refuses).
void raise_estimate_error(const SketchError& error) {
  if (error.kind() == ErrorKind::Io || error.kind() == ErrorKind::Generic) {
    raise_error(error);
    return;
  }
  raise_sketch_error(ErrorClass::Incompatible, error.display());
}

// The validated state of a bytes-like object; nullopt with an exception set
// otherwise. `what` names the argument.
std::optional<SketchState> load_state(PyObject* data, const char* what) {
  python::BufferView view;
  if (!view.get(data, PyBUF_SIMPLE)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a serialised sketch (bytes), not %s", what,
                 Py_TYPE(data)->tp_name);
    return std::nullopt;
  }
  const ByteView bytes(static_cast<const std::uint8_t*>(view->buf),
                       static_cast<std::size_t>(view->len));
  Result<SketchState> state = decode_valid_state(bytes);
  if (!state) {
    raise_sketch_error_format(ErrorClass::Corrupt, "%s: %s", what, state.error().display().c_str());
    return std::nullopt;
  }
  return std::move(*state);
}

// The sketch of a bytes-like object, validated first.
std::optional<HyperLogLogPlusPlus> load(PyObject* data, const char* what) {
  std::optional<SketchState> state = load_state(data, what);
  if (!state) return std::nullopt;
  Result<HyperLogLogPlusPlus> built = HyperLogLogPlusPlus::from_state(std::move(*state));
  if (!built) {
    raise_sketch_error_format(ErrorClass::Corrupt, "%s: %s", what, built.error().display().c_str());
    return std::nullopt;
  }
  return std::move(*built);
}

bool method_of(PyObject* object, EstimateMethod* method) {
  const long code = PyLong_AsLong(object);
  if (code == -1 && PyErr_Occurred()) return false;
  if (code < 0 || code > 2) {
    raise_sketch_error(ErrorClass::InvalidInput, "method must be 0 (default), 1 (improved) or 2 (ml)");
    return false;
  }
  *method = static_cast<EstimateMethod>(code);
  return true;
}

bool confidence_of(PyObject* object, double* confidence) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  if (!(value > 0.0 && value < 1.0)) {
    raise_sketch_error_format(ErrorClass::InvalidInput, "confidence must lie strictly between 0 and 1, not %R", object);
    return false;
  }
  *confidence = value;
  return true;
}

PyObject* estimate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "estimate() takes 2 arguments");
      return nullptr;
    }
    EstimateMethod method{};
    if (!method_of(args[1], &method)) return nullptr;
    std::optional<SketchState> state = load_state(args[0], "sketch");
    if (!state) return nullptr;
    Result<std::int64_t> value = estimate_state(std::move(*state), method);
    if (!value) {
      raise_estimate_error(value.error());
      return nullptr;
    }
    return PyLong_FromLongLong(*value);
  });
}

PyObject* bounds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "bounds() takes 2 arguments");
      return nullptr;
    }
    double confidence = 0.0;
    if (!confidence_of(args[1], &confidence)) return nullptr;
    std::optional<SketchState> state = load_state(args[0], "sketch");
    if (!state) return nullptr;
    Result<SketchBounds> interval = bounds_of_state(std::move(*state), confidence);
    if (!interval) {
      raise_estimate_error(interval.error());
      return nullptr;
    }
    return Py_BuildValue("(LL)", static_cast<long long>(interval->lower),
                         static_cast<long long>(interval->upper));
  });
}

PyObject* std_error(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    std::optional<HyperLogLogPlusPlus> sketch = load(data, "sketch");
    if (!sketch) return nullptr;
    Result<double> value = std_error_of(*sketch);
    if (!value) {
      raise_estimate_error(value.error());
      return nullptr;
    }
    return PyFloat_FromDouble(*value);
  });
}

PyObject* pair(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "pair() takes 2 arguments");
      return nullptr;
    }
    std::optional<HyperLogLogPlusPlus> a = load(args[0], "first sketch");
    if (!a) return nullptr;
    std::optional<HyperLogLogPlusPlus> b = load(args[1], "second sketch");
    if (!b) return nullptr;
    Result<PairEstimate> joint = estimate_pair(*a, *b);
    if (!joint) {
      raise_estimate_error(joint.error());
      return nullptr;
    }
    return Py_BuildValue("(dddO)", joint->only_a, joint->only_b, joint->both,
                         joint->from_sparse_indices ? Py_True : Py_False);
  });
}

PyObject* union_of(PyObject*, PyObject* sketches) {
  return guarded([&]() -> PyObject* {
    if (!PyList_Check(sketches)) {
      PyErr_SetString(PyExc_TypeError, "union_of() takes a list of serialised sketches");
      return nullptr;
    }
    std::vector<HyperLogLogPlusPlus> loaded;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sketches); ++i) {
      const std::string what = "sketch " + std::to_string(i + 1);
      std::optional<HyperLogLogPlusPlus> sketch = load(PyList_GET_ITEM(sketches, i), what.c_str());
      if (!sketch) return nullptr;
      loaded.push_back(std::move(*sketch));
    }
    Result<double> value = union_estimate(loaded);
    if (!value) {
      raise_estimate_error(value.error());
      return nullptr;
    }
    return PyFloat_FromDouble(*value);
  });
}

// A normal sketch of integers holding the given registers: for simulations
// that draw registers instead of hashing streams.
PyObject* sketch_from_registers(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "sketch_from_registers() takes 3 arguments");
      return nullptr;
    }
    const int precision = PyLong_AsInt(args[1]);
    const int sparse_precision = PyLong_AsInt(args[2]);
    if (PyErr_Occurred()) return nullptr;
    python::BufferView view;
    if (!view.get(args[0], PyBUF_SIMPLE)) return nullptr;
    SketchState state;
    state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
    state.encoding_version = 2;
    state.value_type = ValueType::default_ops(DefaultOpsType::UINT64);
    state.precision = precision;
    state.sparse_precision = sparse_precision;
    const auto* first = static_cast<const std::uint8_t*>(view->buf);
    state.data = Bytes(first, first + view->len);
    Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(std::move(state));
    if (!sketch) {
      raise_estimate_error(sketch.error());
      return nullptr;
    }
    Result<Bytes> bytes = sketch->to_bytes();
    if (!bytes) {
      raise_estimate_error(bytes.error());
      return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                     static_cast<Py_ssize_t>(bytes->size()));
  });
}

}  // namespace

PyMethodDef estimator_functions[] = {
    {"estimate", as_cfunction(estimate), METH_FASTCALL,
     "estimate(data, method, /)\n--\n\nThe estimate of a serialised sketch: method 0 is result(), "
     "1 the improved raw estimator, 2 maximum likelihood."},
    {"bounds", as_cfunction(bounds), METH_FASTCALL,
     "bounds(data, confidence, /)\n--\n\n(lower, upper): holds the distinct count with probability "
     "`confidence`."},
    {"std_error", std_error, METH_O,
     "std_error(data, /)\n--\n\nThe standard error of the maximum-likelihood estimate."},
    {"pair", as_cfunction(pair), METH_FASTCALL,
     "pair(a, b, /)\n--\n\n(only in a, only in b, in both, exact-count arithmetic used) for two "
     "serialised sketches of one value type, lowered to their common precisions."},
    {"union_of", union_of, METH_O,
     "union_of(sketches, /)\n--\n\nThe estimated number of distinct values in any of a list of serialised "
     "sketches of one value type: the joint estimate of two merged halves (union_estimate)."},
    {"sketch_from_registers", as_cfunction(sketch_from_registers), METH_FASTCALL,
     "sketch_from_registers(registers, precision, sparse_precision, /)\n--\n\nThe serialised "
     "normal sketch of integers holding `registers` (2^precision bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorelle::native
