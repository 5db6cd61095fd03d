// kova.data.kestrin.kestrin: integrity checks of a pandas data frame.
//
// DataIntegrityCheck holds the caller's frame (never copied, never modified) and a column type
// map, and recomputes each finding on every call. Collaborators (pd, np, the package helpers) are
// module globals read at call time. The per-entry work of the text checks (text lengths, the
// number test, the special-only test) runs as C++ loops over each column's object array.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <kova/binding.hpp>
#include <kova/text.hpp>
#include <string>
#include <vector>

namespace py = pybind11;
using kova::arg;

namespace {

const char* const kClassDoc =
    "Integrity checks of a data frame.\n\n"
    "DataIntegrityCheck(data, meta_info)\n\n"
    "data: the pandas DataFrame to inspect (held by reference, never modified).\n"
    "meta_info: dict mapping each column name to \"numerical\" or \"categorical\" (or None);\n"
    "    only highly_correlated_features reads it.";

const char* const kSpecialColumn = "% Special-Only Samples";

// ---------------------------------------------------------------------------------------------
// Small Python helpers

// Owns the new reference a C-API call returned; a null result is the pending Python error.
py::object steal(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

bool truth(const py::handle& value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

Py_ssize_t length_of(const py::handle& value) {
  const Py_ssize_t n = PyObject_Length(value.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

py::list str_list(std::initializer_list<const char*> items) {
  py::list list;
  for (const char* item : items) list.append(item);
  return list;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// The pandas module itself, for the helpers of this file's own passes (the module global pd is
// reserved for the calls the checks are described by, so replacing it changes only those).
py::module_ pandas_module() { return py::module_::import("pandas"); }

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// The column at position i (data.iloc[:, i]): by position, so duplicated names stay distinct.
py::object column_at(const py::object& data, Py_ssize_t i) {
  py::object all_rows = steal(PySlice_New(nullptr, nullptr, nullptr));
  return data.attr("iloc")[py::make_tuple(all_rows, i)];
}

// The entries of a Series as an object array (missing entries as pandas stores them: NaN, None
// or NA), read in place without a Python call per entry. numpy.asarray(column, dtype=object)
// gives what Series.to_numpy(dtype=object) gives, without the missing-value scan to_numpy runs
// first for text arrays.
class ObjectValues {
 public:
  explicit ObjectValues(const py::object& column) {
    py::object values =
        py::module_::import("numpy").attr("asarray")(column, py::arg("dtype") = builtin("object"));
    if (!py::isinstance<py::array>(values)) {
      raise(PyExc_TypeError, "expected the entries of a column as a numpy array");
    }
    array_ = py::reinterpret_borrow<py::array>(values);
    if (array_.ndim() != 1 || array_.dtype().kind() != 'O') {
      raise(PyExc_TypeError, "expected the entries of a column as a 1-D object array");
    }
  }

  Py_ssize_t size() const { return array_.shape(0); }

  // The entry itself, borrowed: valid while no Python code runs (which could change the array).
  PyObject* peek(Py_ssize_t i) const {
    PyObject* item = nullptr;
    std::memcpy(&item, static_cast<const char*>(array_.data()) + i * array_.strides(0),
                sizeof item);
    return item == nullptr ? Py_None : item;
  }

  // A new reference, so the entry stays alive whatever the Python code called on it does.
  py::object operator[](Py_ssize_t i) const { return py::reinterpret_borrow<py::object>(peek(i)); }

 private:
  py::array array_;
};

// ---------------------------------------------------------------------------------------------
// Missing entries of text columns
//
// pandas tells missing entries of object and text columns apart entry by entry (isna). For the
// entry types such columns hold (str, int, bool, float, None, NA, NaT) the same answer is read in
// place, in the pass the checks make over the entries anyway; a column holding any other type is
// left to pandas.

enum class Missing { kNo, kYes, kUnknown };

// pandas.NA and pandas.NaT, the missing-value markers that are not floats or None.
struct MissingMarkers {
  py::object na;
  py::object nat;

  MissingMarkers() {
    py::module_ pandas = pandas_module();
    na = pandas.attr("NA");
    nat = pandas.attr("NaT");
  }
};

Missing missing_state(PyObject* x, const MissingMarkers& markers) {
  if (PyUnicode_CheckExact(x) || PyLong_CheckExact(x) || PyBool_Check(x)) return Missing::kNo;
  if (x == Py_None || x == markers.na.ptr() || x == markers.nat.ptr()) return Missing::kYes;
  if (PyFloat_CheckExact(x)) return std::isnan(PyFloat_AS_DOUBLE(x)) ? Missing::kYes : Missing::kNo;
  return Missing::kUnknown;
}

// Columns whose entries are Python objects: numpy object arrays and pandas text arrays.
bool holds_objects(const py::object& column) {
  py::object dtype = column.attr("dtype");
  if (py::isinstance<py::dtype>(dtype))
    return py::reinterpret_borrow<py::dtype>(dtype).kind() == 'O';
  return py::isinstance(dtype, pandas_module().attr("StringDtype"));
}

// A mask of the present entries of an object column; empty when a type of entry is left to pandas.
std::vector<bool> present_entries(const ObjectValues& values) {
  const MissingMarkers markers;
  std::vector<bool> present(static_cast<size_t>(values.size()));
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const Missing state = missing_state(values.peek(i), markers);
    if (state == Missing::kUnknown) return {};
    present[static_cast<size_t>(i)] = state == Missing::kNo;
  }
  return present;
}

// column.dropna(): the column itself when nothing is missing, else its present entries.
py::object drop_missing(const py::object& column) {
  if (!holds_objects(column)) return column.attr("dropna")();
  const ObjectValues values(column);
  const std::vector<bool> present = present_entries(values);
  if (present.empty() && values.size() > 0) return column.attr("dropna")();
  if (std::all_of(present.begin(), present.end(), [](bool p) { return p; })) return column;
  py::array_t<bool> mask(values.size());
  std::copy(present.begin(), present.end(), mask.mutable_data());
  return column[mask];
}

// column.isna().sum(), as a Python int.
py::object missing_count(const py::object& column) {
  if (holds_objects(column)) {
    const ObjectValues values(column);
    const std::vector<bool> present = present_entries(values);
    if (!present.empty() || values.size() == 0) {
      return py::int_(std::count(present.begin(), present.end(), false));
    }
  }
  return column.attr("isna")().attr("sum")();
}

// ---------------------------------------------------------------------------------------------
// Per-entry tests

// len(str(x)).
Py_ssize_t text_length(const py::handle& x) {
  if (PyUnicode_CheckExact(x.ptr())) {
    const Py_ssize_t n = PyUnicode_GetLength(x.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
  }
  return length_of(steal(PyObject_Str(x.ptr())));
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Whitespace that float() strips from both ends of a text (Py_ISSPACE).
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Characters that can occur in a text float() accepts: digits, sign, point, exponent,
// underscore, whitespace and the letters of "nan", "inf" and "infinity".
bool in_float_alphabet(char c) {
  static const bool* const table = [] {
    static bool t[256] = {};
    for (const char* p = "0123456789+-._eEnNaAiIfFtTyY \t\n\v\f\r"; *p != '\0'; ++p) {
      t[static_cast<unsigned char>(*p)] = true;
    }
    return t;
  }();
  return table[static_cast<unsigned char>(c)];
}

// Whether text[begin, end) equals `word`, ignoring ASCII case.
bool equals_ignoring_case(const std::string& text, size_t begin, size_t end, const char* word) {
  const size_t n = std::strlen(word);
  if (end - begin != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if ((text[begin + i] | 0x20) != word[i]) return false;
  }
  return true;
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], or [sign] inf, infinity or nan.
bool is_number_body(const std::string& text, size_t i, size_t end) {
  if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
  if (equals_ignoring_case(text, i, end, "inf") || equals_ignoring_case(text, i, end, "infinity") ||
      equals_ignoring_case(text, i, end, "nan")) {
    return true;
  }
  size_t digits = 0;
  for (; i < end && is_ascii_digit(text[i]); ++i) ++digits;
  if (i < end && text[i] == '.') {
    for (++i; i < end && is_ascii_digit(text[i]); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < end && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    for (; i < end && is_ascii_digit(text[i]); ++i) ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == end;
}

// Whether float() accepts the str, decided by reading its text the way float() does: non-ASCII
// whitespace reads as a space and decimal digits of any script as ASCII digits (any other
// non-ASCII character makes the text invalid); an underscore must sit between two digits and is
// then dropped; whitespace is stripped at both ends; the rest must be a number body.
bool reads_as_float(PyObject* str) {
  kova::text::ensure_ready(str);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  std::string text;
  text.reserve(static_cast<size_t>(length));
  char prev = '\0';
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    char c;
    if (ch < 127) {
      c = static_cast<char>(ch);
    } else if (Py_UNICODE_ISSPACE(ch)) {
      c = ' ';
    } else {
      const int decimal = Py_UNICODE_TODECIMAL(ch);
      if (decimal < 0) return false;
      c = static_cast<char>('0' + decimal);
    }
    if (!in_float_alphabet(c)) return false;
    if (c == '_') {
      if (!is_ascii_digit(prev)) return false;
    } else {
      if (prev == '_' && !is_ascii_digit(c)) return false;
      text.push_back(c);
    }
    prev = c;
  }
  if (prev == '_') return false;
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_ascii_space(text[begin])) ++begin;
  while (end > begin + 1 && is_ascii_space(text[end - 1])) --end;
  return is_number_body(text, begin, end);
}

// Texts up to this length are read in place; longer ones (and texts float() might run out of
// memory on) are left to float() itself.
constexpr Py_ssize_t kLongestReadText = 4096;

// Whether float(x) succeeds (PyNumber_Float semantics). A ValueError means "not a number"; any
// other error propagates. An exact str is read in place, which gives float()'s answer without
// creating a float or raising and clearing a ValueError per entry.
bool converts_to_float(PyObject* x) {
  if (PyUnicode_CheckExact(x)) {
    kova::text::ensure_ready(x);
    if (PyUnicode_GET_LENGTH(x) <= kLongestReadText) return reads_as_float(x);
  }
  const py::object entry = py::reinterpret_borrow<py::object>(x);  // held while float() runs
  PyObject* number = PyNumber_Float(entry.ptr());
  if (number != nullptr) {
    py::reinterpret_steal<py::object>(number);  // only success matters; release the float
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

// The base-form function of the special-only test: empty while the module global
// string_baseform is still the native kernel (the test then runs in C++ without a Python call
// per entry), else the global itself.
py::object baseform_to_call(const kova::Module& mod) {
  py::object global = mod["string_baseform"];
  const std::string package = mod.name().substr(0, mod.name().find('.'));
  py::object kernel = py::module_::import((package + "._kernels").c_str()).attr("string_baseform");
  return global.is(kernel) ? py::object() : global;
}

// A non-empty str whose base form without special characters is empty.
bool is_special_only_sample(const py::handle& sample, const py::object& baseform) {
  if (!PyUnicode_Check(sample.ptr()) || length_of(sample) < 1) return false;
  if (!baseform) return kova::text::is_special_only(sample.ptr());
  return length_of(baseform(sample, true)) == 0;
}

// The same test for an exact str read in place by the native kernel (no Python code runs).
bool is_special_only_text(PyObject* text) {
  kova::text::ensure_ready(text);
  return PyUnicode_GET_LENGTH(text) >= 1 && kova::text::is_special_only(text);
}

// counts[sample] += 1 through the mapping protocol (a defaultdict reads missing keys as 0).
void count_sample(const py::object& counts, const py::handle& sample, const py::object& one) {
  py::object count = steal(PyObject_GetItem(counts.ptr(), sample.ptr()));
  py::object next = steal(PyNumber_InPlaceAdd(count.ptr(), one.ptr()));
  if (PyObject_SetItem(counts.ptr(), sample.ptr(), next.ptr()) < 0) {
    throw py::error_already_set();
  }
}

// The text lengths of a column's entries as an int64 Series with the column's row labels.
py::object text_lengths(const py::object& column) {
  const ObjectValues values(column);
  py::array_t<std::int64_t> lengths(values.size());
  std::int64_t* out = lengths.mutable_data();
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    PyObject* x = values.peek(i);
    if (PyUnicode_CheckExact(x)) {
      kova::text::ensure_ready(x);
      out[i] = PyUnicode_GET_LENGTH(x);
    } else {
      out[i] = text_length(values[i]);
    }
  }
  return pandas_module().attr("Series")(lengths, py::arg("index") = column.attr("index"));
}

// ---------------------------------------------------------------------------------------------
// Methods

py::object init(const kova::Args& a) {
  a.self().attr("data") = a["data"];
  a.self().attr("meta_info") = a["meta_info"];
  return py::none();
}

// Frames of up to this many rows are handled by pandas' whole-frame calls; longer columns are
// worked on one by one, where a native pass or a look at their first rows saves a pandas pass.
constexpr Py_ssize_t kShortColumnRows = 1024;

// Whether counting a column's distinct values may raise (hashing an unhashable entry such as a
// list, or one whose hash fails). Numeric, text and categorical columns cannot; an object column
// can unless every entry is a str, int, bool, float or missing-value marker; other extension
// types are assumed to. Such a column is counted whole, so that pandas' error is raised here too.
bool counting_may_raise(const py::object& column) {
  py::object dtype = column.attr("dtype");
  if (py::isinstance<py::dtype>(dtype)) {
    if (py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O') return false;
    const ObjectValues values(column);
    return values.size() > 0 && present_entries(values).empty();
  }
  py::module_ pandas = pandas_module();
  return !py::isinstance(dtype, pandas.attr("StringDtype")) &&
         !py::isinstance(dtype, pandas.attr("CategoricalDtype"));
}

// The "Is Single Value" flags, one per column: DataFrame.nunique() == 1. A long column that holds
// two distinct values in its first rows is settled by those rows, unless counting it could raise;
// the others are counted whole.
py::object single_value_flags(const py::object& data) {
  const Py_ssize_t n_rows = py::len(data.attr("index"));
  const Py_ssize_t n_columns = py::len(data.attr("columns"));
  if (n_rows <= kShortColumnRows || n_columns == 0) {
    return data.attr("nunique")().attr("__eq__")(1).attr("to_numpy")();
  }
  py::array_t<bool> flags(n_columns);
  bool* out = flags.mutable_data();
  py::object first_rows = steal(PySlice_New(nullptr, py::int_(kShortColumnRows).ptr(), nullptr));
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column = column_at(data, i);
    const bool settled_by_first_rows =
        !counting_may_raise(column) &&
        column.attr("iloc")[first_rows].attr("nunique")().cast<Py_ssize_t>() >= 2;
    out[i] = !settled_by_first_rows && column.attr("nunique")().cast<Py_ssize_t>() == 1;
  }
  return std::move(flags);
}

// One boolean per column: exactly one distinct non-missing value.
py::object is_single_value(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  return mod["pd"].attr("DataFrame")(single_value_flags(data),
                                     py::arg("index") = data.attr("columns"),
                                     py::arg("columns") = str_list({"Is Single Value"}));
}

// One float per column: the share of missing entries (NaN for a frame without rows).
py::object null_ratio(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  const Py_ssize_t n_rows = py::len(data.attr("index"));
  py::list columns;
  columns.append("Null Ratio");
  if (n_rows <= kShortColumnRows) {
    py::object ratio = data.attr("isna")().attr("sum")().attr("__truediv__")(n_rows);
    return mod["pd"].attr("DataFrame")(ratio, py::arg("columns") = columns);
  }
  const Py_ssize_t n_columns = py::len(data.attr("columns"));
  py::array_t<double> ratio(n_columns);
  double* out = ratio.mutable_data();
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    const auto missing = missing_count(column_at(data, i)).cast<std::int64_t>();
    out[i] = static_cast<double>(missing) / static_cast<double>(n_rows);
  }
  return mod["pd"].attr("DataFrame")(ratio, py::arg("index") = data.attr("columns"),
                                     py::arg("columns") = columns);
}

// [count, labels] of the entries of one text column longer than the quantile length plus the
// allowed difference.
py::list long_string_row(const kova::Module& mod, const py::object& column,
                         const py::object& quantile_threshold,
                         const py::object& length_difference) {
  py::list row;
  if (!truth(mod["is_string_column"](column))) {
    row.append(0);
    row.append(py::list());
    return row;
  }
  py::object string_length_column = text_lengths(column);
  py::object threshold_length = string_length_column.attr("quantile")(
      quantile_threshold, py::arg("interpolation") = "nearest");
  py::object limit = threshold_length + length_difference;
  py::object is_long = steal(PyObject_RichCompare(string_length_column.ptr(), limit.ptr(), Py_GT));
  py::object long_string_idx = string_length_column[is_long].attr("index").attr("tolist")();
  row.append(py::len(long_string_idx));
  row.append(long_string_idx);
  return row;
}

py::object long_string(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object columns = data.attr("columns");
  py::list rows;
  const Py_ssize_t n_columns = py::len(columns);
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column = drop_missing(column_at(data, i));
    rows.append(long_string_row(mod, column, a["quantile_threshold"], a["length_difference"]));
  }
  py::object result = mod["pd"].attr("DataFrame")(
      rows, py::arg("columns") = str_list({"Long String Num", "Long String Index"}));
  result.attr("index") = columns;
  return result;
}

// [name, percent text, most common special-only texts] of one column.
py::list special_characters_row(const py::object& self, const py::object& name,
                                const py::object& column_data, const py::object& n_most_common) {
  py::list row;
  row.append(name);
  py::object special_samples = self.attr("_get_special_samples")(column_data);
  if (special_samples.is_none() || !truth(special_samples)) {
    row.append("0.0%");
    row.append(py::list());
    return row;
  }
  py::object n_special = builtin("sum")(special_samples.attr("values")());
  py::object share = n_special / column_data.attr("size");
  row.append(py::str(share * py::int_(100)) + py::str("%"));

  py::object by_count = builtin("sorted")(
      special_samples.attr("items")(),
      py::arg("key") =
          py::cpp_function([](py::object item) -> py::object { return item[py::int_(1)]; }),
      py::arg("reverse") = true);
  py::object top = steal(PySlice_New(nullptr, n_most_common.ptr(), nullptr));
  py::object top_n_samples_items = by_count[top];
  py::list top_n_samples_values;
  for (py::handle item : top_n_samples_items) top_n_samples_values.append(item[py::int_(0)]);
  row.append(top_n_samples_values);
  return row;
}

py::object special_characters(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::list names(data.attr("columns"));
  py::list rows;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(names.size()); ++i) {
    rows.append(special_characters_row(a.self(), names[i], column_at(data, i), a["n_most_common"]));
  }
  py::object result = mod["pd"].attr("DataFrame")(
      rows, py::arg("columns") =
                str_list({"Column Name", kSpecialColumn, "Most Common Special-Only Samples"}));
  return result.attr("set_index")(str_list({"Column Name"}));
}

// "S : N" with both shares rounded to 4 decimals by numpy.
py::str mix_text(const kova::Module& mod, const py::object& mix) {
  py::object round = mod["np"].attr("round");
  return py::str(round(mix["strings"], 4)) + py::str(" : ") + py::str(round(mix["numbers"], 4));
}

py::object mixed_data_type(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object columns = data.attr("columns");
  const Py_ssize_t n_columns = py::len(columns);
  if (n_columns == 0) {
    return mod["pd"].attr("DataFrame")(
        py::arg("index") = columns,
        py::arg("columns") = str_list({"With mixed", "Categorical : Numerical"}),
        py::arg("dtype") = builtin("object"));
  }
  // Keyed by position so that duplicated column names keep one row each; the rows are labelled
  // with the column names below.
  py::dict display_result;
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column_data = drop_missing(column_at(data, i));
    py::object mix = a.self().attr("_get_data_mix")(column_data);
    py::dict formatted_mix;
    if (!mix.is_none()) {
      formatted_mix["With mixed"] = true;
      formatted_mix["Categorical : Numerical"] = mix_text(mod, mix);
    } else {
      formatted_mix["With mixed"] = false;
      formatted_mix["Categorical : Numerical"] = "-";
    }
    display_result[py::int_(i)] = formatted_mix;
  }
  py::object result = mod["pd"].attr("DataFrame").attr("from_dict")(display_result).attr("T");
  result.attr("index") = columns;
  return result;
}

// Groups of identical rows with the labels of their rows. Groups are formed on the data's
// columns by position, so the index name and the column names never clash with the label
// column; missing values compare equal, as they do for DataFrame.duplicated.
py::object duplicated_samples(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object n_samples = data.attr("shape")[py::int_(0)];
  if (!truth(n_samples)) return py::str("Dataset does not contain any data");
  py::list columns(data.attr("columns"));
  if (columns.empty()) {  // rows without values: no copies to list
    return mod["pd"].attr("DataFrame")(py::list(), py::arg("index") = py::list(),
                                       py::arg("columns") = columns);
  }

  py::object duplicated = data.attr("loc")[data.attr("duplicated")(py::arg("keep") = false)];
  const auto n_columns = static_cast<Py_ssize_t>(columns.size());
  py::list keys;
  for (Py_ssize_t i = 0; i < n_columns; ++i) keys.append(i);
  py::object rows = duplicated.attr("reset_index")(py::arg("drop") = true)
                        .attr("set_axis")(keys, py::arg("axis") = 1);
  py::int_ label_column(n_columns);
  rows.attr("insert")(n_columns, label_column, duplicated.attr("index").attr("to_flat_index")());
  py::object tmp = rows.attr("groupby")(keys, py::arg("dropna") = false,
                                        py::arg("observed") = true)[label_column]
                       .attr("unique")();
  return mod["pd"].attr("DataFrame")(py::list(tmp.attr("index")),
                                     py::arg("index") = tmp.attr("values"),
                                     py::arg("columns") = columns);
}

// The column names whose meta_info entry equals `kind`, in column order.
py::list features_of_kind(const py::object& columns, const py::object& meta_info,
                          const char* kind) {
  py::list features;
  py::str wanted(kind);
  for (py::handle name : columns) {
    py::object entry = steal(PyObject_GetItem(meta_info.ptr(), name.ptr()));
    if (truth(steal(PyObject_RichCompare(entry.ptr(), wanted.ptr(), Py_EQ)))) {
      features.append(name);
    }
  }
  return features;
}

void require_unique_names(const py::object& columns) {
  if (truth(columns.attr("is_unique"))) return;
  py::object repeated = columns[columns.attr("duplicated")()].attr("unique")().attr("tolist")();
  raise(PyExc_ValueError, "highly_correlated_features needs unique column names; repeated: " +
                              py::repr(repeated).cast<std::string>());
}

// The categorical columns as pandas.factorize codes, with the missing code -1 set to NaN. The
// frame of codes is built column by column, as DataFrame.apply builds it, so that a frame without
// rows gives an empty frame of codes (apply would try to infer a result from an empty column).
py::object encode_categories(const kova::Module& mod, const py::object& data,
                             const py::list& cat_features) {
  py::object all_rows = steal(PySlice_New(nullptr, nullptr, nullptr));
  py::object selected = data.attr("loc")[py::make_tuple(all_rows, cat_features)];
  py::dict codes;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(cat_features.size()); ++i) {
    codes[py::int_(i)] = mod["pd"].attr("factorize")(column_at(selected, i))[py::int_(0)];
  }
  py::object encoded =
      pandas_module().attr("DataFrame")(codes, py::arg("index") = selected.attr("index"));
  encoded.attr("columns") = selected.attr("columns");
  return encoded.attr("replace")(-1, mod["np"].attr("nan"));
}

py::object highly_correlated_features(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object meta_info = a.self().attr("meta_info");
  py::object all_features = data.attr("columns");
  py::list num_features = features_of_kind(all_features, meta_info, "numerical");
  py::list cat_features = features_of_kind(all_features, meta_info, "categorical");
  require_unique_names(all_features);

  py::object pd = mod["pd"];
  py::object all_rows = steal(PySlice_New(nullptr, nullptr, nullptr));
  py::object encoded_cat_data = encode_categories(mod, data, cat_features);
  py::object full_df =
      pd.attr("DataFrame")(py::arg("index") = all_features, py::arg("columns") = all_features);
  py::object num_data;  // the numerical columns as floats, converted once
  if (!num_features.empty()) {
    num_data =
        data.attr("loc")[py::make_tuple(all_rows, num_features)].attr("astype")(builtin("float"));
    full_df.attr("loc")[py::make_tuple(num_features, num_features)] =
        num_data.attr("corr")(py::arg("method") = "spearman");
  }
  if (!cat_features.empty()) {
    full_df.attr("loc")[py::make_tuple(cat_features, cat_features)] =
        encoded_cat_data.attr("corr")(py::arg("method") = mod["symmetric_theil_u_correlation"]);
  }
  if (!num_features.empty() && !cat_features.empty()) {
    py::cpp_function ratios([mod, num_data](py::object col) -> py::object {
      return num_data.attr("corrwith")(col, py::arg("method") = mod["correlation_ratio"]);
    });
    py::object num_cat_corr = encoded_cat_data.attr("apply")(ratios);
    full_df.attr("loc")[py::make_tuple(num_features, cat_features)] = num_cat_corr;
    full_df.attr("loc")[py::make_tuple(cat_features, num_features)] =
        num_cat_corr.attr("transpose")();
  }
  py::object cmap = mod["sns"].attr("diverging_palette")(250, 5, py::arg("as_cmap") = true);
  py::dict cell_properties;
  cell_properties["width"] = "15em";
  cell_properties["text-align"] = "center";
  return full_df.attr("astype")(builtin("float"))
      .attr("style")
      .attr("background_gradient")(py::arg("cmap") = cmap)
      .attr("set_properties")(**cell_properties)
      .attr("format")(py::arg("precision") = 2);
}

// "50.0%" -> 0.5: the percent text read back as a fraction.
py::object percent_to_fraction(py::object text) {
  py::object digits = text[steal(PySlice_New(nullptr, py::int_(-1).ptr(), nullptr))];
  return steal(PyNumber_Float(digits.ptr())) / py::int_(100);
}

py::dict table_style(const char* selector, py::object props) {
  py::dict style;
  style["selector"] = selector;
  style["props"] = std::move(props);
  return style;
}

py::object single_column_check(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object is_single_value_result = self.attr("is_single_value")();
  py::object null_ratio_result = self.attr("null_ratio")();
  py::object long_string_result = self.attr("long_string")();
  py::object special_characters_result = self.attr("special_characters")();
  py::object mixed_data_type_result = self.attr("mixed_data_type")();

  // The column is replaced with assign: item assignment made from C++ looks like chained
  // assignment to pandas 2 (it counts references to the frame) and draws a false warning.
  py::str scol(kSpecialColumn);
  py::dict fractions;
  fractions[scol] =
      special_characters_result[scol].attr("apply")(py::cpp_function(percent_to_fraction));
  special_characters_result = special_characters_result.attr("assign")(**fractions);

  py::list frames;
  for (const py::object& frame : {is_single_value_result, null_ratio_result, mixed_data_type_result,
                                  long_string_result, special_characters_result}) {
    frames.append(frame);
  }
  py::object single_column_check_result = mod["pd"].attr("concat")(frames, py::arg("axis") = 1);
  py::list header;
  header.append(
      str_list({"Is Single Value", "Null Ratio", "Mixed Data Types", "Mixed Data Types",
                "Long String", "Long String", "Special Characters", "Special Characters"}));
  header.append(str_list(
      {"", "", "Mixed", "Categorical : Numerical", "Num", "Index", "Ratio", "Example Samples"}));
  single_column_check_result.attr("columns") = header;

  py::list size;
  size.append(table_style("th.col_heading", py::str("text-align: center;")));
  size.append(table_style("th.col_heading.level0", py::str("font-size: 1.0em;")));
  py::list border_props;
  border_props.append(py::make_tuple("border-style", "solid"));
  border_props.append(py::make_tuple("border-width", "1px"));
  py::list border;
  border.append(table_style("th,td", border_props));
  return single_column_check_result.attr("style")
      .attr("set_table_styles")(size + border)
      .attr("format")(py::arg("precision") = 4);
}

// The mix record of a column without missing entries, or None when it is not a text column.
py::object get_data_mix(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  if (!truth(mod["is_string_column"](column_data))) return py::none();
  return a.self().attr("_check_mixed_percentage")(column_data);
}

// Shares of entries that do and do not convert to a number, with up to three distinct examples
// of each; None when all entries convert or none does.
py::object check_mixed_percentage(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  py::object set_type = builtin("set");
  py::object numbers_in_col = set_type();
  py::object strings_in_col = set_type();

  // total_rows (Series.count) is counted in the same pass for object columns.
  bool count_here = holds_objects(column_data);
  const MissingMarkers markers;
  Py_ssize_t n_missing = 0;
  const ObjectValues values(column_data);
  Py_ssize_t nums = 0;
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    PyObject* x = values.peek(i);
    if (count_here) {
      const Missing state = missing_state(x, markers);
      count_here = state != Missing::kUnknown;
      n_missing += state == Missing::kYes ? 1 : 0;
    }
    const bool is_number = converts_to_float(x);
    py::object& examples = is_number ? numbers_in_col : strings_in_col;
    if (PySet_Size(examples.ptr()) <= 2 && PySet_Add(examples.ptr(), values[i].ptr()) < 0) {
      throw py::error_already_set();
    }
    nums += is_number ? 1 : 0;
  }
  py::object total_rows =
      count_here ? py::module_::import("numpy").attr("int64")(values.size() - n_missing)
                 : column_data.attr("count")();
  py::int_ n_numbers(nums);
  if (n_numbers.equal(total_rows) || nums == 0) return py::none();

  py::object nums_pct = n_numbers / total_rows;
  py::object strs_pct = mod["np"].attr("abs")(n_numbers - total_rows) / total_rows;
  py::dict record;
  record["strings"] = strs_pct;
  record["numbers"] = nums_pct;
  record["strings_examples"] = strings_in_col;
  record["numbers_examples"] = numbers_in_col;
  return record;
}

// The special-only texts of a column with their counts, in first-seen order; None for numeric
// columns and for columns without such texts.
py::object get_special_samples(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  py::object inferred = mod["infer_dtype"](column_data);
  for (const char* numeric : {"integer", "decimal", "floating"}) {
    if (inferred.equal(py::str(numeric))) return py::none();
  }
  py::object samples_to_count = mod["defaultdict"](builtin("int"));
  const py::object baseform = baseform_to_call(mod);
  const py::int_ one(1);
  const ObjectValues values(column_data);
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    PyObject* text = values.peek(i);
    const bool special = !baseform && PyUnicode_CheckExact(text)
                             ? is_special_only_text(text)
                             : is_special_only_sample(values[i], baseform);
    if (special) count_sample(samples_to_count, values[i], one);
  }
  return truth(samples_to_count) ? samples_to_count : py::none();
}

void define_data_integrity_check(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "DataIntegrityCheck", kClassDoc);
  c.def("__init__", {"self", "data", arg("meta_info").dict()}, init,
        "Hold the data frame and its column type map.");
  c.def(
      "is_single_value", {"self"}, [mod](const kova::Args& a) { return is_single_value(mod, a); },
      "Return a frame with the column \"Is Single Value\": true where a column holds exactly one\n"
      "distinct non-missing value.");
  c.def(
      "null_ratio", {"self"}, [mod](const kova::Args& a) { return null_ratio(mod, a); },
      "Return a frame with the column \"Null Ratio\": the share of missing entries per column.");
  c.def(
      "long_string",
      {"self", arg("quantile_threshold").to_float() = 0.8, arg("length_difference") = 5},
      [mod](const kova::Args& a) { return long_string(mod, a); },
      "Return a frame with \"Long String Num\" and \"Long String Index\": per text column the\n"
      "entries (missing ones dropped) whose text is longer than the nearest-rank\n"
      "quantile_threshold quantile of the lengths plus length_difference, with their row labels.");
  c.def(
      "special_characters", {"self", arg("n_most_common") = 2},
      [mod](const kova::Args& a) { return special_characters(mod, a); },
      "Return a frame indexed by \"Column Name\" with \"% Special-Only Samples\" (the share of\n"
      "entries made of special characters only, as percent text) and \"Most Common Special-Only\n"
      "Samples\" (up to n_most_common of them, most frequent first).");
  c.def(
      "mixed_data_type", {"self"}, [mod](const kova::Args& a) { return mixed_data_type(mod, a); },
      "Return a frame with \"With mixed\" and \"Categorical : Numerical\": whether a text column\n"
      "mixes entries that convert to a number with entries that do not, and the two shares.");
  c.def(
      "duplicated_samples", {"self"},
      [mod](const kova::Args& a) { return duplicated_samples(mod, a); },
      "Return the groups of identical rows, one row per group labelled by the array of the\n"
      "group's row labels, ordered by value; a message string when the frame has no rows.");
  c.def(
      "highly_correlated_features", {"self"},
      [mod](const kova::Args& a) { return highly_correlated_features(mod, a); },
      "Return a Styler over the association matrix of all columns: Spearman between numerical\n"
      "columns, symmetric Theil's U between categorical ones, the correlation ratio between\n"
      "the two kinds; NaN for columns of any other kind.");
  c.def(
      "single_column_check", {"self"},
      [mod](const kova::Args& a) { return single_column_check(mod, a); },
      "Return a Styler joining the five per-column checks under a two-level header.");
  c.def(
      "_get_data_mix", {"self", "column_data"},
      [mod](const kova::Args& a) { return get_data_mix(mod, a); },
      "Return the mix record of a column without missing entries, or None when it is not a text\n"
      "column.");
  c.def_static(
      "_check_mixed_percentage", {"column_data"},
      [mod](const kova::Args& a) { return check_mixed_percentage(mod, a); },
      "Return {\"strings\", \"numbers\", \"strings_examples\", \"numbers_examples\"}: the shares\n"
      "of entries that do not and do convert with float(), with up to three distinct examples\n"
      "of each; None when all or none convert.");
  c.def_static(
      "_get_special_samples", {"column_data"},
      [mod](const kova::Args& a) { return get_special_samples(mod, a); },
      "Return a defaultdict counting the special-only texts of a column in first-seen order, or\n"
      "None for numeric columns and columns without such texts.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(kestrin, m) {
  kova::register_function_type(m);
  kova::Module mod(m);
  mod.import_as("pandas", "pd");
  mod.import_as("numpy", "np");
  mod.import_as("seaborn", "sns");
  mod.import_from("collections", {"defaultdict"});
  mod.import_from("pandas.api.types", {"infer_dtype"});
  mod.import_from("utils", {"string_baseform", "is_string_column"}, 1);
  mod.import_from("correlation", {"symmetric_theil_u_correlation", "correlation_ratio"}, 1);
  define_data_integrity_check(mod);
  mod.set("__test__", py::dict());
}
