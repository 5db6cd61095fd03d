// Small helpers over the CPython C API, shared by every kova extension module.
//
// `py` names pybind11 once for all files that include this header.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace py = pybind11;

namespace kova {

// Owns the new reference a C-API call returned; a null result raises the pending Python error.
inline py::object steal(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// bool(value), with the error of a failing __bool__ propagated.
inline bool truth(const py::handle& value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// len(value), with the error of a failing __len__ propagated.
inline Py_ssize_t length_of(const py::handle& value) {
  const Py_ssize_t n = PyObject_Length(value.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

// A name of the builtins module, looked up when called.
inline py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// A built-in type (list, tuple, float, ...) as a Python object.
inline py::object builtin_type(PyTypeObject* type) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}

// The slice `:` (all rows).
inline py::object full_slice() { return steal(PySlice_New(nullptr, nullptr, nullptr)); }

// A new list of the given objects, in order.
inline py::list make_list(std::initializer_list<py::object> items) {
  py::list out;
  for (const py::object& item : items) out.append(item);
  return out;
}

// A new list of str.
inline py::list str_list(std::initializer_list<const char*> items) {
  py::list out;
  for (const char* item : items) out.append(item);
  return out;
}

// raise exc_type(message): exc_type is any exception class, for example a module global such as
// KovaError read at call time.
[[noreturn]] inline void raise(const py::handle& exc_type, const char* message) {
  PyErr_SetObject(exc_type.ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

[[noreturn]] inline void raise(PyObject* exc_type, const std::string& message) {
  PyErr_SetString(exc_type, message.c_str());
  throw py::error_already_set();
}

}  // namespace kova
