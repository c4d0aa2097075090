// Every function the interpreter calls runs inside one of these guards, so
// no C++ exception ever crosses into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "binding/python.h"

namespace vorlane::binding {

// Raises pyo3_runtime.PanicException for an internal failure. A failure
// while doing so aborts the process.
void raise_internal_failure(const char* message) noexcept;

// Guard for entries that return an object: bad_alloc becomes MemoryError,
// any other escaping exception an internal failure; both return nullptr.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what());
  } catch (...) {
    raise_internal_failure(nullptr);
  }
  return nullptr;
}

// Guard for entries that cannot report (deallocation): a failure goes to the
// interpreter's unraisable-exception hook.
template <class Body>
void guarded_unraisable(Body&& body) noexcept {
  if (guarded([&]() -> PyObject* {
        body();
        return Py_None;
      }) == nullptr) {
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace vorlane::binding
