#pragma once

#include "binding/python.h"

namespace vorlane::binding {

// The BinaryParser type, created on first use; nullptr with an exception set
// if creation fails.
PyTypeObject* binary_parser_type();

// The parse method (vectorcall with keywords).
PyObject* parse_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorlane::binding
