// Module initialisation and the class object.
//
// The module uses single-phase initialisation and keeps one module object
// per process; it belongs to the interpreter that imported it first and
// refuses any other.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/bindings.h"
#include "python/errors.h"
#include "python/method_table.h"
#include "python/owned_ref.h"
#include "python/sketch_object.h"

namespace vantorelle::python {
namespace {

constexpr const char kModuleDoc[] = "Python module for Vantorelle HyperLogLog++ implementation";
// The project version, defined by the build from the CMake project.
constexpr const char kVersion[] = VANTORELLE_VERSION;

constexpr const char kClassDoc[] =
    "HyperLogLogPlusPlus(ty, normal_precision=..., sparse_precision=...)\n--\n\n"
    "A HyperLogLog++ distinct-count sketch, wrapping the Vantorelle `HyperLogLogPlusPlus` "
    "aggregator.";

constexpr const char kFromBytesDoc[] =
    "from_bytes($cls, data)\n--\n\n"
    "Restore a sketch from its serialized bytes (wraps `HyperLogLogPlusPlus::from_bytes`).";
constexpr const char kAddDoc[] =
    "add($self, value)\n--\n\n"
    "Wrapper for various `HyperLogLogPlusPlus::add_*` overloads.";
constexpr const char kMergeDoc[] =
    "merge($self, data)\n--\n\n"
    "Merge a serialized sketch or another sketch into this one (wraps "
    "`HyperLogLogPlusPlus::merge_bytes`).";
constexpr const char kResultDoc[] =
    "result($self)\n--\n\n"
    "Get the estimated cardinality.\n\nReturns:\n    Estimated number of unique elements";
constexpr const char kNumValuesDoc[] =
    "num_values($self)\n--\n\n"
    "Get the total number of values added to this sketch.\n\nReturns:\n    Number of values added";
constexpr const char kToBytesDoc[] =
    "to_bytes($self)\n--\n\n"
    "Serialize the sketch to bytes.\n\nReturns:\n    Serialized sketch data";

PyMethodDef methods[] = {
    {"from_bytes", as_cfunction(sketch_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     kFromBytesDoc},
    {"add", as_cfunction(sketch_add), METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"merge", as_cfunction(sketch_merge), METH_FASTCALL | METH_KEYWORDS, kMergeDoc},
    {"result", as_cfunction(sketch_result), METH_NOARGS, kResultDoc},
    {"num_values", as_cfunction(sketch_num_values), METH_NOARGS, kNumValuesDoc},
    {"to_bytes", as_cfunction(sketch_to_bytes), METH_NOARGS, kToBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"normal_precision", sketch_get_normal_precision, nullptr, "", nullptr},
    {"sparse_precision", sketch_get_sparse_precision, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sketch_new)},
    {Py_tp_repr, reinterpret_cast<void*>(sketch_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sketch_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// Not subclassable, no GC (an instance references no Python objects), no
// __dict__ and no __weakref__.
PyType_Spec type_spec = {
    "builtins.HyperLogLogPlusPlus",
    static_cast<int>(sizeof(SketchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    type_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantorelle_py",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The process-wide state; the interpreter ID is the only part that a second
// interpreter could race for.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;
PyObject* class_object = nullptr;

// Adds `value` under `name` and lists the name in __all__, creating the
// list on first use.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  OwnedRef all_name(PyUnicode_FromString("__all__"));
  OwnedRef attribute_name(PyUnicode_FromString(name));
  if (!all_name || !attribute_name) return false;
  OwnedRef all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), attribute_name.get()) < 0) return false;
  return PyObject_SetAttr(module, attribute_name.get(), value) == 0;
}

bool initialise(PyObject* module) {
  PyTypeObject* type = sketch_type();
  if (type == nullptr) return false;
  if (!add_public(module, "HyperLogLogPlusPlus", reinterpret_cast<PyObject*>(type))) return false;
  OwnedRef version(PyUnicode_FromString(kVersion));
  return version && add_public(module, "__version__", version.get());
}

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vantorelle_py does not support sub-interpreters: it can only be imported "
                    "in the interpreter that imported it first");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  OwnedRef module(PyModule_Create2(&module_def, 1013));
  if (!module || !initialise(module.get())) return nullptr;
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace

PyTypeObject* sketch_type() {
  if (class_object == nullptr) class_object = PyType_FromSpec(&type_spec);
  return reinterpret_cast<PyTypeObject*>(class_object);
}

}  // namespace vantorelle::python

PyMODINIT_FUNC PyInit_vantorelle_py(void) {
  return vantorelle::python::guarded([] { return vantorelle::python::init_module(); });
}
