// Module initialisation, the BinaryParser type and the internal-failure path.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "binding/binder.h"
#include "binding/guard.h"
#include "binding/module.h"
#include "common/cpu_path.h"

namespace vorlane::binding {
namespace {

constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

// Process-wide, set once, never released.
std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_panic_type = nullptr;
PyObject* g_all_name = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vorlane_binary_parser",
    "",  // present and empty: __doc__ is "", not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* raise_missing_exception() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

// ---- the BinaryParser type ----

const FunctionDescription kNewDescription = {"BinaryParser", "__new__", nullptr, 0, 0};

PyObject* binary_parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_tuple_dict(kNewDescription, args, kwargs, nullptr)) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    return self != nullptr ? self : raise_missing_exception();
  });
}

void binary_parser_dealloc(PyObject* self) {
  guarded_unraisable([&] {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_fn == nullptr) throw std::logic_error("PyBaseObject_Type should have tp_free");
    free_fn(self);
    // Instances of heap types hold a reference to their type.
    Py_DECREF(type);
  });
}

// Class and method docs carry their text signatures; the docs themselves
// are empty.
constexpr const char kClassDoc[] = "BinaryParser()\n--\n\n";

PyMethodDef g_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_method)),
     METH_FASTCALL | METH_KEYWORDS, "parse($self, kind, version, b64_data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(binary_parser_new)},
      {Py_tp_methods, g_methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(binary_parser_dealloc)},
      {0, nullptr},
  };
  // Default flags only: not subclassable, not GC-tracked, no __dict__ or
  // weakref slot, and not immutable.
  PyType_Spec type_spec = {"builtins.BinaryParser", static_cast<int>(sizeof(PyObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

// ---- the module body ----

int raise_class_init_error() {
  PyObject* cause = PyErr_GetRaisedException();
  OwnedRef message(PyUnicode_FromString("An error occurred while initializing class BinaryParser"));
  if (!message) {
    Py_XDECREF(cause);
    return -1;
  }
  PyObject* error = PyObject_CallOneArg(PyExc_RuntimeError, message.get());
  if (error == nullptr) {
    Py_XDECREF(cause);
    return -1;
  }
  PyException_SetCause(error, cause);  // steals cause
  PyErr_SetRaisedException(error);
  return -1;
}

// The module's __all__ list, created when absent.
PyObject* module_all(PyObject* module) {
  if (g_all_name == nullptr) {
    g_all_name = PyUnicode_InternFromString("__all__");
    if (g_all_name == nullptr) return nullptr;
  }
  PyObject* all = PyObject_GetAttr(module, g_all_name);
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyObject_SetAttr(module, g_all_name, all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
  }
  if (!PyList_Check(all)) {
    raise_downcast_error(all, "PyList");
    Py_DECREF(all);
    return nullptr;
  }
  return all;
}

int add_class(PyObject* module) {
  PyTypeObject* type = binary_parser_type();
  if (type == nullptr) return raise_class_init_error();
  OwnedRef name(PyUnicode_FromString("BinaryParser"));
  if (!name) return -1;
  OwnedRef all(module_all(module));
  if (!all) return -1;
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    raise_internal_failure("could not append __name__ to __all__");
    return -1;
  }
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type));
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return raise_missing_exception();

  // Refuse a second interpreter even when the module object exists.
  int64_t recorded = -1;
  if (!g_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyObject* module = PyModule_Create2(&g_module_def, 1013);
  if (module == nullptr) return raise_missing_exception();
  if (add_class(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = module;
  } else {
    Py_DECREF(module);
  }
  return Py_NewRef(g_module);
}

}  // namespace

namespace detail {
PyTypeObject* g_type = nullptr;

PyTypeObject* create_binary_parser_type() {
  g_type = create_type();
  return g_type;
}
}  // namespace detail

void raise_internal_failure(const char* message) noexcept {
  try {
    if (g_panic_type == nullptr) {
      g_panic_type = PyErr_NewExceptionWithDoc(
          "pyo3_runtime.PanicException",
          "An internal failure inside the native code of vorlane_binary_parser.",
          PyExc_BaseException, nullptr);
      if (g_panic_type == nullptr) return;  // its creation error stays set
    }
    PyErr_SetString(g_panic_type,
                    message != nullptr && *message != '\0' ? message
                                                           : "internal failure in native code");
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

}  // namespace vorlane::binding

PyMODINIT_FUNC PyInit_vorlane_binary_parser(void) {
  // A build forced to a CPU path this CPU lacks stops here, before any of
  // its kernels can run.
  const vorlane::cpu::Line refused = vorlane::cpu::forced_path_refusal();
  if (!refused.empty()) {
    PyErr_Format(PyExc_ImportError, "vorlane_binary_parser: %s", refused.c_str());
    return nullptr;
  }
  // Chosen here, once, rather than on the first call.
  vorlane::cpu::chosen_path();
  return vorlane::binding::guarded(vorlane::binding::init_module);
}
