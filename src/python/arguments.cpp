#include "python/arguments.h"

#include <algorithm>

#include "python/owned_ref.h"
#include "python/value_conversion.h"

namespace vantorelle::python {
namespace {

// Largest buffer reserved up front from a sequence's own length, which is
// only a hint and may be absurd.
constexpr Py_ssize_t kMaxReservedBytes = Py_ssize_t{1} << 20;

bool check_positional_count(const Signature& signature, Py_ssize_t nargs) {
  if (nargs <= signature.count) return true;
  if (signature.required == signature.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd were given",
                 signature.full_name, signature.count, nargs);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd were given",
                 signature.full_name, signature.required, signature.count, nargs);
  }
  return false;
}

// The keyword's own text for str names (a str subclass's __str__ is not
// consulted); other objects, which only C callers can pass as names, are
// described by str(), or by their type when even that fails.
void raise_unexpected_keyword(const Signature& signature, PyObject* name) {
  if (PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 signature.full_name, name);
    return;
  }
  OwnedRef held(Py_NewRef(name));
  OwnedRef text(PyObject_Str(held.get()));
  if (!text) {
    PyErr_Clear();
    OwnedRef qualname(PyType_GetQualName(Py_TYPE(held.get())));
    if (!qualname) return;
    text.reset(PyUnicode_FromFormat("<unprintable %U object>", qualname.get()));
    if (!text) return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.full_name,
               text.get());
}

bool accept_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** out) {
  if (PyUnicode_Check(name)) {
    for (int i = 0; i < signature.count; ++i) {
      if (PyUnicode_EqualToUTF8(name, signature.names[i])) {
        if (out[i] != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                       signature.full_name, signature.names[i]);
          return false;
        }
        out[i] = value;
        return true;
      }
    }
  }
  raise_unexpected_keyword(signature, name);
  return false;
}

bool check_required(const Signature& signature, PyObject** out) {
  for (int i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                   signature.full_name, signature.names[i]);
      return false;
    }
  }
  return true;
}

// Replaces a pending TypeError (that class exactly) by
// "argument '<name>': <its text>", keeping its __cause__; any other pending
// exception is left as it is.
void name_argument_in_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return;
  }
  OwnedRef original(raised);
  OwnedRef text(PyObject_Str(original.get()));
  if (!text) return;
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  OwnedRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the reference
  }
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

void raise_not_convertible(const char* name, PyObject* object, const char* target) {
  OwnedRef qualname(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name,
               qualname.get(), target);
}

}  // namespace

bool parse_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) {
  if (!check_positional_count(signature, nargs)) return false;
  std::fill(out, out + signature.count, nullptr);
  std::copy(args, args + nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (!accept_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) {
        return false;
      }
    }
  }
  return check_required(signature, out);
}

bool parse_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, OwnedRef* out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(signature, nargs)) return false;
  PyObject* found[kMaxParameters] = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) found[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!accept_keyword(signature, name, value, found)) return false;
    }
  }
  if (!check_required(signature, found)) return false;
  // The values are borrowed from the dictionary, which a caller holding it
  // could empty from a conversion's Python code while they are still used.
  for (int i = 0; i < signature.count; ++i) out[i].reset(Py_XNewRef(found[i]));
  return true;
}

bool convert_type(PyObject* object, PyTypeObject** out) {
  if (!PyType_Check(object)) {
    raise_not_convertible("ty", object, "PyType");
    return false;
  }
  *out = reinterpret_cast<PyTypeObject*>(object);
  return true;
}

bool convert_precision(PyObject* object, const char* name, std::int32_t* out) {
  const int value = PyLong_AsInt(object);
  if (value == -1 && PyErr_Occurred()) {
    name_argument_in_error(name);
    return false;
  }
  static_assert(sizeof(int) == sizeof(std::int32_t));
  *out = value;
  return true;
}

bool convert_bytes_object(PyObject* object, ByteView* out) {
  if (!PyBytes_Check(object)) {
    raise_not_convertible("data", object, "PyBytes");
    return false;
  }
  *out = exact_bytes_view(object);
  return true;
}

bool ByteSequence::read(PyObject* object) {
  // Exact bytes and bytearray iterate to their own contents without running
  // Python code, so their buffers can be used directly. Subclasses may
  // override iteration and take the general path.
  if (PyBytes_CheckExact(object)) {
    view_ = exact_bytes_view(object);
    return true;
  }
  if (PyByteArray_CheckExact(object)) {
    view_ = ByteView(reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(object)),
                     static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
    return true;
  }
  if (read_generic(object)) return true;
  clear_refusal();
  return false;
}

bool ByteSequence::read_generic(PyObject* object) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) return false;
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  storage_.clear();
  storage_.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedBytes)));
  OwnedRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (true) {
    OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) break;
    const long value = PyLong_AsLong(item.get());
    if (value < 0 || value > 255) return false;  // also -1 with an error pending
    storage_.push_back(static_cast<std::uint8_t>(value));
  }
  if (PyErr_Occurred()) return false;
  view_ = ByteView(storage_.data(), storage_.size());
  return true;
}

}  // namespace vantorelle::python
