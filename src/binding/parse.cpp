// BinaryParser.parse: binding, conversion, the order of checks, and the
// mapping of every failure to a Python exception.
#include <stdexcept>
#include <string>
#include <string_view>

#include "accel/errors.h"
#include "binding/binder.h"
#include "binding/guard.h"
#include "binding/module.h"
#include "fused/document.h"

namespace vorlane::binding {
namespace {

constexpr const char* kParseParameters[] = {"kind", "version", "b64_data"};
const FunctionDescription kParseDescription = {"BinaryParser", "parse", kParseParameters, 3, 3};

// A failed conversion of `name`: an exact TypeError gets the argument name in
// front and keeps its cause; anything else passes through unchanged.
bool rewrap_argument_error(const char* name) {
  PyObject* error = PyErr_GetRaisedException();
  if (error == nullptr || !Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(error);
    return false;
  }
  OwnedRef original(error);
  OwnedRef text(PyObject_Str(error));
  if (!text) return false;
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, message.get());
  if (wrapped == nullptr) return false;
  PyException_SetCause(wrapped, PyException_GetCause(error));
  PyErr_SetRaisedException(wrapped);
  return false;
}

// Any other str (or subclass) to its cached UTF-8 form, borrowed for the
// call; anything else to the TypeError.
[[gnu::noinline]] bool extract_other_text(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_CheckExact(obj) && !PyType_IsSubtype(Py_TYPE(obj), &PyUnicode_Type)) {
    raise_downcast_error(obj, "PyString");
    return rewrap_argument_error(name);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return rewrap_argument_error(name);
  out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

// The usual argument, an exact ASCII str, is its own UTF-8: read in line,
// without a call.
inline bool extract_text(PyObject* obj, const char* name, std::string_view& out) {
  if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  return extract_other_text(obj, name, out);
}

// int (or subclass, or anything with __index__) to an unsigned 64-bit value.
bool extract_u64(PyObject* obj, const char* name, uint64_t& out) {
  unsigned long long value = 0;
  // A small non-negative int, the usual version, without a call.
  if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    if (small >= 0) [[likely]] {
      out = static_cast<uint64_t>(small);
      return true;
    }
  }
  if (PyLong_CheckExact(obj) || PyType_IsSubtype(Py_TYPE(obj), &PyLong_Type)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    OwnedRef index(PyNumber_Index(obj));
    if (!index) return rewrap_argument_error(name);
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All bits set is a valid version unless an error is pending.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return rewrap_argument_error(name);
  }
  out = value;
  return true;
}

PyObject* parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3] = {nullptr, nullptr, nullptr};
  if (kwnames == nullptr && PyVectorcall_NARGS(static_cast<size_t>(nargs)) == 3) {
    // The usual call: three positional arguments, nothing to match.
    argv[0] = args[0];
    argv[1] = args[1];
    argv[2] = args[2];
  } else if (!bind_vectorcall(kParseDescription, args, nargs, kwnames, argv)) {
    return nullptr;
  }

  PyTypeObject* type = binary_parser_type();
  if (type == nullptr) {
    PyErr_Print();
    throw std::runtime_error("failed to create type object for BinaryParser");
  }
  // `self` needs no reference of its own: the caller holds one for the call.
  if (!PyObject_TypeCheck(self, type)) return raise_downcast_error(self, "BinaryParser");

  std::string_view kind;
  uint64_t version = 0;
  std::string_view b64_data;
  if (!extract_text(argv[0], "kind", kind)) return nullptr;
  if (!extract_u64(argv[1], "version", version)) return nullptr;
  if (!extract_text(argv[2], "b64_data", b64_data)) return nullptr;

  if (kind != "accel") {
    std::string message = "Unknown kind: '";
    message.append(kind).append("'. Expected 'accel'.");
    return raise(PyExc_ValueError, message);
  }

  // decode_b64 and to_json_text fused: the document is written straight into
  // the result str, allocated once at its exact length.
  fused::Document document;
  const cpu::Path& path = cpu::chosen_path();
  auto measured = document.prepare(version, b64_data, path);
  if (!measured.ok()) {
    // On the stack: failing rows are common in a batch, and need no heap.
    return raise(PyExc_ValueError, accel::failure_message(measured.error()).view());
  }
  const size_t length = measured.value();
  // The document is ASCII by construction, so it goes straight into a
  // one-byte-kind str. Out of memory here is an ordinary MemoryError.
  PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
  if (result == nullptr) return nullptr;
  // A str made with a maximum of 127 is compact ASCII: its characters follow
  // the object's head, with no flags to test.
  char* const text = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(result) + 1);
  if (document.write(text, length, path.writer) != text + length) {
    // The text and its measure disagree: a fault of this module, never
    // passed on as a str with bytes missing.
    Py_DECREF(result);
    return raise(PyExc_SystemError, "vorlane_binary_parser: internal error: the document's length "
                                    "differs from its measure");
  }
  return result;
}

}  // namespace

PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&] { return parse(self, args, nargs, kwnames); });
}

}  // namespace vorlane::binding
