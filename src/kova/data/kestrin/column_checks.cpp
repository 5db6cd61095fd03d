// Construction, the single-value and null-ratio checks, and the combined single-column report.
#include "kestrin_checks.hpp"

namespace kova::kestrin {

// ---------------------------------------------------------------------------------------------
// Methods

py::object init(const kova::Module&, const kova::Args& a) {
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
bool counting_may_raise(const kova::Module& mod, const py::object& column) {
  py::object dtype = column.attr("dtype");
  if (py::isinstance<py::dtype>(dtype)) {
    if (py::reinterpret_borrow<py::dtype>(dtype).kind() != 'O') return false;
    return length_of(column) > 0 && !plain_entries(mod, column);
  }
  py::module_ pandas = pandas_module();
  return !py::isinstance(dtype, pandas.attr("StringDtype")) &&
         !py::isinstance(dtype, pandas.attr("CategoricalDtype"));
}

// The "Is Single Value" flags, one per column: DataFrame.nunique() == 1. A long column that holds
// two distinct values in its first rows is settled by those rows, unless counting it could raise;
// the others are counted whole.
py::object single_value_flags(const kova::Module& mod, const py::object& data) {
  const Py_ssize_t n_rows = py::len(data.attr("index"));
  const Py_ssize_t n_columns = py::len(data.attr("columns"));
  if (n_rows <= kShortColumnRows || n_columns == 0) {
    return data.attr("nunique")().attr("__eq__")(1).attr("to_numpy")();
  }
  py::array_t<bool> flags(n_columns);
  bool* out = flags.mutable_data();
  py::object first_rows = steal(PySlice_New(nullptr, py::int_(kShortColumnRows).ptr(), nullptr));
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column = column_of(data, i);
    const bool settled_by_first_rows =
        !counting_may_raise(mod, column) &&
        column.attr("iloc")[first_rows].attr("nunique")().cast<Py_ssize_t>() >= 2;
    out[i] = !settled_by_first_rows && column.attr("nunique")().cast<Py_ssize_t>() == 1;
  }
  return std::move(flags);
}

// One boolean per column: exactly one distinct non-missing value.
py::object is_single_value(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  return mod["pd"].attr("DataFrame")(single_value_flags(mod, data),
                                     py::arg("index") = data.attr("columns"),
                                     py::arg("columns") = str_list({"Is Single Value"}));
}

// One float per column: the share of missing entries (NaN for a frame without rows).
py::object null_ratio(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  const Py_ssize_t n_rows = py::len(data.attr("index"));
  py::list columns = str_list({"Null Ratio"});
  if (n_rows <= kShortColumnRows) {
    py::object ratio = data.attr("isna")().attr("sum")().attr("__truediv__")(n_rows);
    return mod["pd"].attr("DataFrame")(ratio, py::arg("columns") = columns);
  }
  const Py_ssize_t n_columns = py::len(data.attr("columns"));
  py::array_t<double> ratio(n_columns);
  double* out = ratio.mutable_data();
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    const std::int64_t missing = missing_count(mod, column_of(data, i));
    out[i] = static_cast<double>(missing) / static_cast<double>(n_rows);
  }
  return mod["pd"].attr("DataFrame")(ratio, py::arg("index") = data.attr("columns"),
                                     py::arg("columns") = columns);
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
  py::object is_single_value_result;
  py::object null_ratio_result;
  py::object long_string_result;
  py::object special_characters_result;
  py::object mixed_data_type_result;
  {
    const ReportScope shared_entries(mod, self.attr("data"));  // each column is scanned once
    is_single_value_result = self.attr("is_single_value")();
    null_ratio_result = self.attr("null_ratio")();
    long_string_result = self.attr("long_string")();
    special_characters_result = self.attr("special_characters")();
    mixed_data_type_result = self.attr("mixed_data_type")();
  }

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

}  // namespace kova::kestrin
