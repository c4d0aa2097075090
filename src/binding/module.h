#pragma once

#include "binding/python.h"

namespace vorlane::binding {

namespace detail {
// Set once, at the type's creation.
extern PyTypeObject* g_type;
PyTypeObject* create_binary_parser_type();
}  // namespace detail

// The BinaryParser type, created on first use; nullptr with an exception set
// if creation fails. In line: every parse call asks for it.
inline PyTypeObject* binary_parser_type() {
  PyTypeObject* type = detail::g_type;
  return type != nullptr ? type : detail::create_binary_parser_type();
}

// The parse method (vectorcall with keywords).
PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlane::binding
