#include "binding/binder.h"

#include <cstring>
#include <string>

namespace vorlane::binding {
namespace {

std::string full_name(const FunctionDescription& desc) {
  std::string name = desc.class_name;
  name += '.';
  name += desc.function_name;
  name += "()";
  return name;
}

void append_utf8(std::string& out, Py_UCS4 ch) {
  if (ch < 0x80) {
    out += static_cast<char>(ch);
  } else if (ch < 0x800) {
    out += static_cast<char>(0xC0 | (ch >> 6));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else if (ch < 0x10000) {
    out += static_cast<char>(0xE0 | (ch >> 12));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (ch >> 18));
    out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  }
}

// UTF-8 of a str, with U+FFFD for each character that has no UTF-8 form
// (lone surrogates).
std::string lenient_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<size_t>(size));
  }
  PyErr_Clear();
  std::string out;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
    append_utf8(out, (ch >= 0xD800 && ch <= 0xDFFF) ? Py_UCS4{0xFFFD} : ch);
  }
  return out;
}

std::string type_name_or(PyTypeObject* type, PyObject* (*getter)(PyTypeObject*),
                         const char* fallback) {
  OwnedRef name(getter(type));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) return utf8;
  }
  PyErr_Clear();
  return fallback;
}

// str() of a keyword name for a message; never fails.
std::string display_name(PyObject* name) {
  OwnedRef text(PyObject_Str(name));
  if (text) return lenient_utf8(text.get());
  PyErr_WriteUnraisable(name);
  OwnedRef type_name(PyType_GetName(Py_TYPE(name)));
  if (type_name) {
    if (const char* utf8 = PyUnicode_AsUTF8(type_name.get())) {
      return std::string("<unprintable ") + utf8 + " object>";
    }
  }
  PyErr_Clear();
  return "<unprintable object>";
}

PyObject* raise_too_many(const FunctionDescription& desc, size_t given) {
  std::string msg = full_name(desc);
  msg += " takes " + std::to_string(desc.positional_count) + " positional arguments but " +
         std::to_string(given) + (given == 1 ? " was given" : " were given");
  return raise(PyExc_TypeError, msg);
}

PyObject* raise_unexpected_keyword(const FunctionDescription& desc, PyObject* name) {
  const std::string shown = display_name(name);
  return raise(PyExc_TypeError,
               full_name(desc) + " got an unexpected keyword argument '" + shown + "'");
}

PyObject* raise_multiple_values(const FunctionDescription& desc, const char* param) {
  return raise(PyExc_TypeError,
               full_name(desc) + " got multiple values for argument '" + param + "'");
}

PyObject* raise_missing(const FunctionDescription& desc, PyObject** slots) {
  std::string names;
  size_t missing = 0;
  size_t total = 0;
  for (size_t i = 0; i < desc.required_count; ++i) total += slots[i] == nullptr;
  for (size_t i = 0; i < desc.required_count; ++i) {
    if (slots[i] != nullptr) continue;
    ++missing;
    if (missing > 1) {
      if (total > 2) names += ",";
      if (missing == total) names += " and";
      names += " ";
    }
    names += "'";
    names += desc.positional_names[i];
    names += "'";
  }
  std::string msg = full_name(desc) + " missing " + std::to_string(missing) +
                    " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                    names;
  return raise(PyExc_TypeError, msg);
}

// One keyword: fills its slot or raises. The first bad keyword ends binding.
bool bind_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value,
                  PyObject** slots) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    raise_unexpected_keyword(desc, name);
    return false;
  }
  for (size_t i = 0; i < desc.positional_count; ++i) {
    const char* param = desc.positional_names[i];
    if (std::strlen(param) == static_cast<size_t>(size) &&
        std::memcmp(param, utf8, static_cast<size_t>(size)) == 0) {
      if (slots[i] != nullptr) {
        raise_multiple_values(desc, param);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  raise_unexpected_keyword(desc, name);
  return false;
}

bool bind_positional(const FunctionDescription& desc, PyObject* const* args, size_t nargs,
                     PyObject** slots) {
  for (size_t i = 0; i < nargs && i < desc.positional_count; ++i) slots[i] = args[i];
  if (nargs > desc.positional_count) {
    raise_too_many(desc, nargs);
    return false;
  }
  return true;
}

bool check_required(const FunctionDescription& desc, size_t nargs, PyObject** slots) {
  if (nargs >= desc.required_count) return true;
  for (size_t i = nargs; i < desc.required_count; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(desc, slots);
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* raise(PyObject* type, std::string_view message) {
  OwnedRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_downcast_error(PyObject* obj, const char* target) {
  const std::string type_name =
      type_name_or(Py_TYPE(obj), PyType_GetQualName, "<failed to extract type name>");
  return raise(PyExc_TypeError,
               "'" + type_name + "' object cannot be converted to '" + target + "'");
}

bool bind_vectorcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
  const auto positional = static_cast<size_t>(PyVectorcall_NARGS(static_cast<size_t>(nargs)));
  if (!bind_positional(desc, args, positional, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(desc, PyTuple_GET_ITEM(kwnames, i), args[positional + static_cast<size_t>(i)],
                        slots)) {
        return false;
      }
    }
  }
  return check_required(desc, positional, slots);
}

bool bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                     PyObject** slots) {
  const auto positional = static_cast<size_t>(PyTuple_GET_SIZE(args));
  if (!bind_positional(desc, &PyTuple_GET_ITEM(args, 0), positional, slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(desc, name, value, slots)) return false;
    }
  }
  return check_required(desc, positional, slots);
}

}  // namespace vorlane::binding
