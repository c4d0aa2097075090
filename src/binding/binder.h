// Matches call arguments to parameters, with the interpreter-style TypeError
// messages for every mismatch.
#pragma once

#include <cstddef>

#include "binding/python.h"

namespace vorlane::binding {

struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  const char* const* positional_names;
  size_t positional_count;
  size_t required_count;
};

// Fills slots[0..positional_count) with borrowed references (nullptr where
// not given). Returns false with a TypeError set.
bool bind_vectorcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);
bool bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                     PyObject** slots);

// "'{type}' object cannot be converted to '{target}'" as a TypeError.
PyObject* raise_downcast_error(PyObject* obj, const char* target);

}  // namespace vorlane::binding
