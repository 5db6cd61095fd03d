// Modules, columns and the entry facts shared by the sub-checks of single_column_check.
#include "kestrin_checks.hpp"

namespace kova::kestrin {

// ---------------------------------------------------------------------------------------------
// Modules and columns

// The pandas module itself, for the helpers of this file's own passes (the module global pd is
// reserved for the calls the checks are described by, so replacing it changes only those).
py::module_ pandas_module() { return py::module_::import("pandas"); }

// kova._kernels, the native kernels of the toolbox.
py::module_ kernels_of(const kova::Module& mod) {
  const std::string package = mod.name().substr(0, mod.name().find('.'));
  return py::module_::import((package + "._kernels").c_str());
}

// Whether the module global `name` is still the kernel function of the same name.
bool is_kernel(const kova::Module& mod, const char* name) {
  return mod[name].is(kernels_of(mod).attr(name));
}

// The column at position i (data.iloc[:, i]): by position, so duplicated names stay distinct.
py::object column_at(const py::object& data, Py_ssize_t i) {
  return data.attr("iloc")[py::make_tuple(full_slice(), i)];
}

// Columns whose entries are Python objects: numpy object arrays and pandas text arrays.
bool holds_objects(const py::object& column) {
  py::object dtype = column.attr("dtype");
  if (py::isinstance<py::dtype>(dtype)) {
    return py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O';
  }
  return py::isinstance(dtype, pandas_module().attr("StringDtype"));
}

// Columns of a numpy dtype other than object (numbers, booleans, times): no entry is a str.
bool holds_no_text(const py::object& column) {
  py::object dtype = column.attr("dtype");
  return py::isinstance<py::dtype>(dtype) && py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O';
}

// Rows sampled to tell whether an Arrow-backed text column repeats its values.
constexpr Py_ssize_t kSampledRows = 4096;

bool arrow_text(const py::object& column) {
  py::object dtype = column.attr("dtype");
  return py::isinstance(dtype, pandas_module().attr("StringDtype")) &&
         py::str(dtype.attr("storage")).cast<std::string>() == "pyarrow";
}

// Whether the first rows hold at most half as many distinct values as rows.
bool repeats_values(const py::object& column) {
  py::object head = column.attr("iloc")[py::slice(0, kSampledRows, 1)];
  const Py_ssize_t distinct = head.attr("nunique")(py::arg("dropna") = false).cast<Py_ssize_t>();
  return 2 * distinct <= length_of(head);
}

// The entries of an Arrow-backed text column through its distinct values: each row refers to
// the one str of its value (8 bytes a row) instead of a str made for it, which is slower and
// holds the text once per row. Missing rows hold the column's missing marker.
py::object entries_by_value(const py::object& column) {
  py::module_ numpy = py::module_::import("numpy");
  py::tuple factorized = pandas_module().attr("factorize")(column);
  py::object values = numpy.attr("asarray")(factorized[1], py::arg("dtype") = builtin("object"));
  py::object markers = numpy.attr("empty")(1, py::arg("dtype") = builtin("object"));
  markers[py::int_(0)] = column.attr("dtype").attr("na_value");
  // code -1 (missing) takes the last element: the marker
  return numpy.attr("concatenate")(py::make_tuple(values, markers)).attr("take")(factorized[0]);
}

// The entries of a Series as a 1-D object array (missing entries as pandas stores them). For
// object and python-backed text columns this is the column's own array, not a copy.
py::object object_entries(const py::object& column) {
  if (arrow_text(column) && repeats_values(column)) return entries_by_value(column);
  return py::module_::import("numpy").attr("asarray")(column, py::arg("dtype") = builtin("object"));
}

py::object less_than_zero(const py::object& array) {
  return steal(PyObject_RichCompare(array.ptr(), py::int_(0).ptr(), Py_LT));
}

// The column at position i of data, the scope's own Series while a report runs.
py::object column_of(const py::object& data, Py_ssize_t i) {
  ReportScope* scope = ReportScope::over(data);
  return scope != nullptr ? scope->column(i) : column_at(data, i);
}

// The object entries of a Series.
py::object entries_of(const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  return scope != nullptr ? scope->entries(*facts) : object_entries(series);
}

// A scan field with -1 where undecided, completed by `kernel` over the undecided entries.
py::object completed(const kova::Module& mod, const py::object& decided, const py::object& entries,
                     const char* kernel) {
  py::object undecided = less_than_zero(decided);
  if (!truth(undecided.attr("any")())) return decided;
  py::object result = decided.attr("copy")();
  result[undecided] = kernels_of(mod).attr(kernel)(entries[undecided]);
  return result;
}

py::object missing_mask(const kova::Module& mod, const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  if (scope == nullptr) return kernels_of(mod).attr("isna_object")(object_entries(series));
  py::object missing =
      completed(mod, scope->scan(*facts).attr("missing"), scope->entries(*facts), "isna_object");
  return missing.attr("astype")(builtin("bool"));
}

py::object special_mask(const kova::Module& mod, const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  if (scope != nullptr) return scope->scan(*facts).attr("special");
  return kernels_of(mod).attr("special_only_mask")(object_entries(series));
}

// len(str(x)) of every entry, as an int64 array.
py::object text_lengths(const kova::Module& mod, const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  if (scope == nullptr) return kernels_of(mod).attr("str_lengths")(object_entries(series));
  return completed(mod, scope->scan(*facts).attr("lengths"), scope->entries(*facts), "str_lengths");
}

// Whether float(x) succeeds for every entry, as a boolean array; other errors of float()
// propagate.
py::object number_mask(const kova::Module& mod, const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  if (scope == nullptr) return kernels_of(mod).attr("float_convertible")(object_entries(series));
  py::object numbers = completed(mod, scope->scan(*facts).attr("numbers"), scope->entries(*facts),
                                 "float_convertible");
  return numbers.attr("astype")(builtin("bool"));
}

// Whether every entry hashes without error: each is a str, int, bool, float or missing marker,
// the entries whose missing test the scan settles in place.
bool plain_entries(const kova::Module& mod, const py::object& series) {
  auto [scope, facts] = ReportScope::facts_of(series);
  py::object scan = scope != nullptr ? scope->scan(*facts)
                                     : kernels_of(mod).attr("scan_entries")(object_entries(series));
  return !truth(less_than_zero(scan.attr("missing")).attr("any")());
}

// column.dropna(): the column itself when nothing is missing, else its present entries.
py::object drop_missing(const kova::Module& mod, const py::object& column) {
  auto [scope, facts] = ReportScope::facts_of(column);
  if (facts != nullptr && facts->dropped) return facts->dropped;
  if (!holds_objects(column)) return column.attr("dropna")();
  py::object present = missing_mask(mod, column).attr("__invert__")();
  py::object dropped = truth(present.attr("all")()) ? column : column[present];
  if (scope != nullptr) {
    if (!dropped.is(column)) scope->adopt(dropped, *facts, present);
    facts->dropped = dropped;
  }
  return dropped;
}

// The number of missing entries of a column.
std::int64_t missing_count(const kova::Module& mod, const py::object& column) {
  if (holds_objects(column)) return missing_mask(mod, column).attr("sum")().cast<std::int64_t>();
  return column.attr("isna")().attr("sum")().cast<std::int64_t>();
}

}  // namespace kova::kestrin
