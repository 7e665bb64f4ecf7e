#include "native/errors.h"

#include <cstdarg>

#include "python/owned_ref.h"

namespace vantorelle::native {
namespace {

using python::OwnedRef;

constexpr const char kModuleName[] = "vantorelle._native";

struct ClassEntry {
  const char* attribute;
  const char* qualified_name;
  PyObject* builtin;  // nullptr: the base class itself
  const char* doc;
};

// SketchError first: the others derive from it.
const ClassEntry* class_table() {
  static const ClassEntry entries[] = {
      {"SketchError", "vantorelle.SketchError", nullptr,
       "Base class of the errors vantorelle raises about sketches and their input."},
      {"CorruptSketchError", "vantorelle.CorruptSketchError", PyExc_ValueError,
       "Serialised bytes (or a sketch loaded from them unchecked) that are not a sound sketch."},
      {"IncompatibleSketchError", "vantorelle.IncompatibleSketchError", PyExc_RuntimeError,
       "Sketches, or a sketch and a column, whose kinds of value cannot be combined."},
      {"RefusedValueError", "vantorelle.RefusedValueError", PyExc_TypeError,
       "A value, or a column type, that a sketch does not count."},
      {"InvalidInputError", "vantorelle.InvalidInputError", PyExc_ValueError,
       "An argument out of range or malformed input, such as a broken Arrow array."},
  };
  return entries;
}

const ClassEntry& entry_of(ErrorClass which) {
  switch (which) {
    case ErrorClass::Corrupt: return class_table()[1];
    case ErrorClass::Incompatible: return class_table()[2];
    case ErrorClass::Refused: return class_table()[3];
    default: return class_table()[4];
  }
}

// The class object, found on this interpreter's module; the plain built-in
// when the module is gone (interpreter shutdown).
// A new reference.
PyObject* class_object(ErrorClass which) {
  const ClassEntry& entry = entry_of(which);
  OwnedRef name(PyUnicode_FromString(kModuleName));
  OwnedRef module(name ? PyImport_GetModule(name.get()) : nullptr);
  if (module) {
    OwnedRef found(PyObject_GetAttrString(module.get(), entry.attribute));
    if (found && PyExceptionClass_Check(found.get())) return found.release();
  }
  PyErr_Clear();
  return Py_NewRef(entry.builtin);
}

}  // namespace

ErrorClass error_class_for(PyObject* builtin) {
  if (builtin == PyExc_TypeError) return ErrorClass::Refused;
  if (builtin == PyExc_RuntimeError) return ErrorClass::Incompatible;
  return ErrorClass::InvalidInput;
}

int add_error_classes(PyObject* module) {
  OwnedRef base;
  for (int i = 0; i < 5; ++i) {
    const ClassEntry& entry = class_table()[i];
    OwnedRef bases(entry.builtin ? PyTuple_Pack(2, base.get(), entry.builtin)
                                : Py_NewRef(PyExc_Exception));
    if (!bases) return -1;
    OwnedRef made(PyErr_NewExceptionWithDoc(entry.qualified_name, entry.doc, bases.get(), nullptr));
    if (!made) return -1;
    if (PyModule_AddObjectRef(module, entry.attribute, made.get()) < 0) return -1;
    if (!entry.builtin) base.reset(made.release());
  }
  return 0;
}

void raise_sketch_error(ErrorClass which, std::string_view text) {
  OwnedRef exception_class(class_object(which));
  python::raise_text(exception_class.get(), text);
}

void raise_sketch_error(PyObject* builtin, std::string_view text) {
  raise_sketch_error(error_class_for(builtin), text);
}

void raise_sketch_error_format(ErrorClass which, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  OwnedRef text(PyUnicode_FromFormatV(format, arguments));
  va_end(arguments);
  if (!text) return;  // the formatting's own error stands
  OwnedRef exception_class(class_object(which));
  PyErr_SetObject(exception_class.get(), text.get());
}

void raise_error(const SketchError& error) {
  OwnedRef invalid(class_object(ErrorClass::InvalidInput));
  OwnedRef other(class_object(ErrorClass::Incompatible));
  python::raise_translated(error, invalid.get(), other.get());
}

void as_sketch_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyTypeObject* type = Py_TYPE(raised);
  if (type != reinterpret_cast<PyTypeObject*>(PyExc_TypeError) &&
      type != reinterpret_cast<PyTypeObject*>(PyExc_ValueError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  OwnedRef original(raised);
  OwnedRef exception_class(class_object(
      error_class_for(reinterpret_cast<PyObject*>(type))));
  OwnedRef arguments(PyObject_GetAttrString(raised, "args"));
  OwnedRef replacement(arguments ? PyObject_CallObject(exception_class.get(), arguments.get())
                                 : nullptr);
  if (!replacement) {  // the original stands
    PyErr_Clear();
    PyErr_SetRaisedException(original.release());
    return;
  }
  OwnedRef traceback(PyException_GetTraceback(raised));
  if (traceback) PyException_SetTraceback(replacement.get(), traceback.get());
  PyException_SetCause(replacement.get(), original.release());  // steals
  PyErr_SetRaisedException(replacement.release());
}

void raise_internal_failure(const char* text) {
  // The class belongs to vantorelle_py, which does not export it; the
  // package finds it once, at import, and keeps it here.
  OwnedRef internal(PyImport_ImportModule("vantorelle._internal"));
  OwnedRef exception_class(internal ? PyObject_GetAttrString(internal.get(), "InternalError") : nullptr);
  if (!exception_class) return;  // the import's own error stands
  python::raise_text(exception_class.get(), text);
}

}  // namespace vantorelle::native
