// Benchmark-only helper extension, never shipped.
//
// Floor.parse(kind, version, b64_data) binds its three arguments the way
// BinaryParser.parse does (fast call with keywords), takes the UTF-8 of both
// strings and the unsigned 64-bit integer, and returns a new str of the length
// set with set_length(), filled with one ASCII byte so that its pages are
// touched as a real document's are. Nothing can answer a parse call faster.
//
// base64_stage(text) runs only the module's Base64 stage: one buffer of the
// final capacity, decode, release. It returns the decoded length.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "base64/base64.h"

namespace {

Py_ssize_t g_length = 0;

const char* const kNames[] = {"kind", "version", "b64_data"};

PyObject* floor_parse(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[3] = {nullptr, nullptr, nullptr};
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "too many arguments");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, k), &size);
      if (name == nullptr) return nullptr;
      int slot = -1;
      for (int i = 0; i < 3; ++i) {
        if (std::strlen(kNames[i]) == static_cast<size_t>(size) && std::memcmp(kNames[i], name, static_cast<size_t>(size)) == 0) slot = i;
      }
      if (slot < 0 || slots[slot] != nullptr) {
        PyErr_SetString(PyExc_TypeError, "bad keyword");
        return nullptr;
      }
      slots[slot] = args[nargs + k];
    }
  }
  for (PyObject* slot : slots) {
    if (slot == nullptr) {
      PyErr_SetString(PyExc_TypeError, "missing argument");
      return nullptr;
    }
  }
  if (!PyUnicode_Check(slots[0]) || !PyUnicode_Check(slots[2])) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return nullptr;
  }
  Py_ssize_t kind_size = 0;
  Py_ssize_t text_size = 0;
  const char* kind = PyUnicode_AsUTF8AndSize(slots[0], &kind_size);
  if (kind == nullptr) return nullptr;
  const unsigned long long version = PyLong_AsUnsignedLongLong(slots[1]);
  if (version == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const char* text = PyUnicode_AsUTF8AndSize(slots[2], &text_size);
  if (text == nullptr) return nullptr;
  PyObject* result = PyUnicode_New(g_length, 127);
  if (result != nullptr) std::memset(PyUnicode_1BYTE_DATA(result), '.', static_cast<size_t>(g_length));
  return result;
}

PyObject* set_length(PyObject*, PyObject* arg) {
  g_length = PyLong_AsSsize_t(arg);
  if (g_length < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative length");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* base64_stage(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) return nullptr;
  const std::string_view view(text, static_cast<size_t>(size));
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[vorlane::base64::decoded_capacity(view.size()) + 1]);
  auto decoded = vorlane::base64::decode_into(view, buffer.get());
  if (!decoded.ok()) {
    PyErr_SetString(PyExc_ValueError, "bad Base64");
    return nullptr;
  }
  return PyLong_FromSize_t(decoded.value());
}

PyMethodDef kFloorMethods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_parse)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFloorSlots[] = {
    {Py_tp_methods, kFloorMethods},
    {0, nullptr},
};

PyType_Spec kFloorSpec = {"vorlane_bench_floor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, kFloorSlots};

PyMethodDef kModuleMethods[] = {
    {"set_length", set_length, METH_O, nullptr},
    {"base64_stage", base64_stage, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "vorlane_bench_floor", nullptr, 0, kModuleMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vorlane_bench_floor() {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&kFloorSpec);
  if (type == nullptr || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
