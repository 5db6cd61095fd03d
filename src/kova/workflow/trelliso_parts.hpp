// The parts of kova.workflow.trelliso: each source file registers the methods of one concern on
// the class SegmentedDiagnoseAPI (frame and validation, segment computation, segment table,
// reports), and shares the small helpers below.
#pragma once

#include <cmath>
#include <kova/binding.hpp>
#include <string>
#include <vector>

namespace kova::trelliso {

inline const char* const kNoSegments =
    "Please run get_all_segment and get_segment_table first to decide segment id";
inline const char* const kNotDiagnosable = "This segment is not supported to diagnose.";

// The methods of each concern, added to the class in the order of its namespace.
void register_frame(ClassBuilder& c, const Module& mod);     // constructor, segmented_diagnose
void register_segments(ClassBuilder& c, const Module& mod);  // segment computation
void register_table(ClassBuilder& c, const Module& mod);     // scores, table, its display
void register_reports(ClassBuilder& c, const Module& mod);   // membership and the reports

// Python's `left <op> right` (element-wise for arrays).
inline py::object compare(const py::handle& left, const py::handle& right, int op) {
  return steal(PyObject_RichCompare(left.ptr(), right.ptr(), op));
}

// `lower <= column <= upper` when the upper bound is closed, else `lower <= column < upper`.
inline py::object in_interval(const py::handle& column, const py::handle& lower,
                              const py::handle& upper, bool upper_closed) {
  py::object above = compare(lower, column, Py_LE);
  py::object below = compare(column, upper, upper_closed ? Py_LE : Py_LT);
  return steal(PyNumber_And(above.ptr(), below.ptr()));
}

// np.where(mask)[0]: the positions of the true entries, ascending.
inline py::object positions(const Module& mod, const py::handle& mask) {
  return mod["np"].attr("where")(mask)[py::int_(0)];
}

// `a, b, ... = value` for exactly n items, with the interpreter's messages.
inline std::vector<py::object> unpack(const py::handle& value, size_t n) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  py::object iterator = steal(it);
  std::vector<py::object> items;
  while (PyObject* item = PyIter_Next(iterator.ptr())) {
    if (items.size() == n) {
      Py_DECREF(item);
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                   static_cast<Py_ssize_t>(n));
      throw py::error_already_set();
    }
    items.push_back(steal(item));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  if (items.size() < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                 static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(items.size()));
    throw py::error_already_set();
  }
  return items;
}

// The entry `key` of the data dictionary when it is present, else None.
inline py::object optional_entry(const py::object& data_dict, const char* key) {
  const py::str name(key);
  if (!data_dict.contains(name)) return py::none();
  return data_dict[name];
}

// The pipeline's level names of its categorical features (a dict, ModelPipeline's
// category_levels) when the feature matrix holds their codes 0, 1, ... unscaled; else None.
inline py::object named_levels(const py::object& self) {
  py::object pipeline = self.attr("pipeline");
  py::object levels = py::getattr(pipeline, "category_levels", py::none());
  if (!PyDict_Check(levels.ptr()) || !truth(levels)) return py::none();
  if (!py::getattr(pipeline, "scaler", py::none()).is_none()) return py::none();
  return levels;
}

// KovaError("<name> must be <allowed>, got <repr(value)>.")
[[noreturn]] inline void raise_argument(const Module& mod, const char* name, const char* allowed,
                                        const py::handle& value) {
  const std::string text =
      std::string(name) + " must be " + allowed + ", got " + std::string(py::repr(value)) + ".";
  raise(mod["KovaError"], text.c_str());
}

// An int (not a bool) of Python or numpy.
inline bool is_integer(const py::handle& value) {
  if (PyBool_Check(value.ptr())) return false;
  if (PyLong_Check(value.ptr())) return true;
  return py::isinstance(value, py::module_::import("numpy").attr("integer"));
}

// A real number (not a bool) whose float value is finite.
inline bool is_finite_number(const py::handle& value) {
  if (value.is_none() || PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr())) return false;
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return std::isfinite(number);
}

// figsize: None (the plots' default) or a pair of positive finite numbers.
inline void check_figsize(const Module& mod, const py::handle& figsize) {
  if (figsize.is_none()) return;
  // A list of two passes too: the direct report calls always handed one on to the plots.
  bool valid =
      (PyTuple_Check(figsize.ptr()) || PyList_Check(figsize.ptr())) && length_of(figsize) == 2;
  for (Py_ssize_t i = 0; valid && i < 2; ++i) {
    py::object side = figsize[py::int_(i)];
    valid = is_finite_number(side) && PyFloat_AsDouble(side.ptr()) > 0.0;
  }
  if (!valid)
    raise_argument(mod, "figsize", "a tuple (width, height) of positive numbers", figsize);
}

// threshold: a finite number.
inline void check_threshold(const Module& mod, const py::handle& threshold) {
  if (!is_finite_number(threshold)) raise_argument(mod, "threshold", "a finite number", threshold);
}

// KovaError naming the first feature with a missing or infinite value among the rows of x
// (`rows`, e.g. "the test rows"): the bins and the boosted regressor need finite values.
inline void check_finite_features(const Module& mod, const py::object& self, const py::object& x,
                                  const char* rows) {
  py::object np = mod["np"];
  py::object finite = np.attr("isfinite")(x).attr("all")(py::arg("axis") = 0);
  if (truth(finite.attr("all")())) return;
  py::object first = np.attr("argmin")(finite);
  py::object feature = py::list(self.attr("feature_names"))[first];
  const std::string text = "Feature " + std::string(py::repr(feature)) +
                           " has missing or infinite values among " + rows +
                           "; segmented diagnostics need finite feature values: impute or drop "
                           "them first.";
  raise(mod["KovaError"], text.c_str());
}

}  // namespace kova::trelliso
