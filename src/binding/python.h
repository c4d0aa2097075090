// The one place the binding includes the interpreter's headers from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#if PY_VERSION_HEX < 0x030C0000
#error "vorlane_binary_parser needs CPython 3.12 or later"
#endif

namespace vorlane::binding {

// Sets `type(message)` as the current exception; the message is the only
// argument. Always returns nullptr so callers can `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message);

// Owns one strong reference.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* obj = nullptr) noexcept : obj_(obj) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(obj_); }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_;
};

}  // namespace vorlane::binding
