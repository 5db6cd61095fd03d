// kova.data.kestrin.kestrin: integrity checks of a pandas data frame.
//
// DataIntegrityCheck holds the caller's frame (never copied, never modified) and a column type
// map, and recomputes each finding on every call. Collaborators (pd, np, the package helpers) are
// module globals read at call time. The per-entry work of the checks (the missing test, text
// lengths, the number test, the special-only test) runs in the whole-column kernels of
// kova._kernels, one call per column; while single_column_check runs, each column's entries are
// read once, by one scan shared by its sub-checks. The association matrix is computed from the
// category codes by the matrix kernels while the measures are still the kernel functions.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <kova/binding.hpp>
#include <kova/entries.hpp>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using kova::arg;
using kova::builtin;
using kova::full_slice;
using kova::length_of;
using kova::steal;
using kova::str_list;
using kova::truth;

namespace {

const char* const kClassDoc =
    "Integrity checks of a data frame.\n\n"
    "DataIntegrityCheck(data, meta_info)\n\n"
    "data: the pandas DataFrame to inspect (held by reference, never modified).\n"
    "meta_info: dict mapping each column name to \"numerical\" or \"categorical\" (or None);\n"
    "    only highly_correlated_features reads it.";

const char* const kSpecialColumn = "% Special-Only Samples";

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

// The entries of a Series as a 1-D object array (missing entries as pandas stores them). For
// object and python-backed text columns this is the column's own array, not a copy.
py::object object_entries(const py::object& column) {
  return py::module_::import("numpy").attr("asarray")(column, py::arg("dtype") = builtin("object"));
}

py::object less_than_zero(const py::object& array) {
  return steal(PyObject_RichCompare(array.ptr(), py::int_(0).ptr(), Py_LT));
}

// ---------------------------------------------------------------------------------------------
// Entry facts shared by the sub-checks of one report
//
// While single_column_check runs, a ReportScope hands its sub-checks the same Series object per
// column (and per column with missing entries dropped), and remembers, per Series it handed out,
// the entries' object array and their EntryScan (all per-entry tests from one pass). A check that
// is given one of these Series (the static helpers are given the column itself) finds its facts
// by the Series' identity; a Series from elsewhere gets its facts from a kernel call of its own.
// The scope holds every Series it registers, so identities stay unique while it lives.

struct Facts {
  explicit Facts(py::object of) : series(std::move(of)) {}

  py::object series;
  py::object entries;       // object array, made on first use
  py::object scan;          // EntryScan, made on first use
  py::object dropped;       // series.dropna(), made on first use
  Facts* parent = nullptr;  // a dropped Series: the facts it was cut from ...
  py::object present;       // ... and the mask of its rows there
};

class ReportScope {
 public:
  ReportScope(const kova::Module& mod, py::object data) : mod_(mod), data_(std::move(data)) {
    open_scopes().push_back(this);
  }
  ~ReportScope() {
    auto& scopes = open_scopes();
    scopes.erase(std::remove(scopes.begin(), scopes.end(), this), scopes.end());
  }
  ReportScope(const ReportScope&) = delete;
  ReportScope& operator=(const ReportScope&) = delete;

  // The open scope over `data` (the same frame object), or null.
  static ReportScope* over(const py::object& data) {
    for (ReportScope* scope : open_scopes()) {
      if (scope->data_.is(data)) return scope;
    }
    return nullptr;
  }

  // The scope and facts of a Series handed out by an open scope, or {null, null}.
  static std::pair<ReportScope*, Facts*> facts_of(const py::object& series) {
    for (ReportScope* scope : open_scopes()) {
      for (Facts& facts : scope->facts_) {
        if (facts.series.is(series)) return {scope, &facts};
      }
    }
    return {nullptr, nullptr};
  }

  py::object column(Py_ssize_t i) {
    if (columns_.empty()) columns_.resize(static_cast<size_t>(length_of(data_.attr("columns"))));
    py::object& column = columns_.at(static_cast<size_t>(i));
    if (!column) {
      column = column_at(data_, i);
      facts_.emplace_back(column);
    }
    return column;
  }

  // Registers the Series `dropped`, the rows `present` of the Series whose facts are `parent`.
  void adopt(const py::object& dropped, Facts& parent, const py::object& present) {
    facts_.emplace_back(dropped);
    facts_.back().parent = &parent;
    facts_.back().present = present;
  }

  py::object entries(Facts& facts) {
    if (!facts.entries) facts.entries = object_entries(facts.series);
    return facts.entries;
  }

  py::object scan(Facts& facts) {
    if (facts.scan) return facts.scan;
    py::module_ kernels = kernels_of(mod_);
    if (facts.parent == nullptr) {
      facts.scan = kernels.attr("scan_entries")(entries(facts));
      return facts.scan;
    }
    const py::object present = facts.present;
    const py::object whole = scan(*facts.parent);
    facts.scan =
        kernels.attr("EntryScan")(whole.attr("missing")[present], whole.attr("lengths")[present],
                                  whole.attr("numbers")[present], whole.attr("special")[present]);
    return facts.scan;
  }

 private:
  static std::vector<ReportScope*>& open_scopes() {
    static std::vector<ReportScope*> scopes;  // plain pointers, guarded by the GIL
    return scopes;
  }

  kova::Module mod_;
  py::object data_;
  std::vector<py::object> columns_;
  std::deque<Facts> facts_;  // a deque: references stay valid as facts are added
};

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

// [count, labels] of the entries of one text column longer than the quantile length plus the
// allowed difference.
py::list long_string_row(const kova::Module& mod, const py::object& column,
                         const py::object& quantile_threshold,
                         const py::object& length_difference) {
  if (!truth(mod["is_string_column"](column))) return kova::make_list({py::int_(0), py::list()});
  py::object string_length_column = pandas_module().attr("Series")(
      text_lengths(mod, column), py::arg("index") = column.attr("index"));
  py::object threshold_length = string_length_column.attr("quantile")(
      quantile_threshold, py::arg("interpolation") = "nearest");
  py::object limit = threshold_length + length_difference;
  py::object is_long = steal(PyObject_RichCompare(string_length_column.ptr(), limit.ptr(), Py_GT));
  py::object long_string_idx = string_length_column[is_long].attr("index").attr("tolist")();
  return kova::make_list({py::int_(py::len(long_string_idx)), long_string_idx});
}

py::object long_string(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object columns = data.attr("columns");
  py::list rows;
  const Py_ssize_t n_columns = py::len(columns);
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column = drop_missing(mod, column_of(data, i));
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
  py::object special_samples = self.attr("_get_special_samples")(column_data);
  if (special_samples.is_none() || !truth(special_samples)) {
    return kova::make_list({name, py::str("0.0%"), py::list()});
  }
  py::object n_special = builtin("sum")(special_samples.attr("values")());
  py::object share = n_special / column_data.attr("size");
  py::str percent = py::str(share * py::int_(100)) + py::str("%");

  py::object by_count = builtin("sorted")(
      special_samples.attr("items")(),
      py::arg("key") =
          py::cpp_function([](py::object item) -> py::object { return item[py::int_(1)]; }),
      py::arg("reverse") = true);
  py::object top = steal(PySlice_New(nullptr, n_most_common.ptr(), nullptr));
  py::object top_n_samples_items = by_count[top];
  py::list top_n_samples_values;
  for (py::handle item : top_n_samples_items) top_n_samples_values.append(item[py::int_(0)]);
  return kova::make_list({name, percent, top_n_samples_values});
}

py::object special_characters(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::list names(data.attr("columns"));
  py::list rows;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(names.size()); ++i) {
    rows.append(special_characters_row(a.self(), names[i], column_of(data, i), a["n_most_common"]));
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
    py::object column_data = drop_missing(mod, column_of(data, i));
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
  // Grouped by one column, each key is the shared cell itself (a set or tuple included), so it
  // becomes a row of one cell; by several, each key is the tuple of the shared cells.
  py::list shared_values(tmp.attr("index"));
  if (n_columns == 1) {
    for (size_t i = 0; i < shared_values.size(); ++i) {
      shared_values[i] = kova::make_list({shared_values[i]});
    }
  }
  return mod["pd"].attr("DataFrame")(shared_values, py::arg("index") = tmp.attr("values"),
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
  kova::raise(PyExc_ValueError, "highly_correlated_features needs unique column names; repeated: " +
                                    py::repr(repeated).cast<std::string>());
}

// The positions of `names` among the columns (names are unique here).
std::vector<Py_ssize_t> positions_of(const py::object& columns, const py::list& names) {
  std::vector<Py_ssize_t> positions;
  for (py::handle name : names) {
    positions.push_back(columns.attr("get_loc")(name).cast<Py_ssize_t>());
  }
  return positions;
}

// The pandas.factorize codes of the categorical columns, -1 marking missing entries.
py::list category_codes(const kova::Module& mod, const py::object& data,
                        const std::vector<Py_ssize_t>& cat_positions) {
  py::list codes;
  for (Py_ssize_t position : cat_positions) {
    codes.append(mod["pd"].attr("factorize")(column_at(data, position))[py::int_(0)]);
  }
  return codes;
}

// The codes as the frame the pandas measures are given: one float column per categorical
// column, NaN where the code is -1. Built column by column, so that a frame without rows gives
// an empty frame of codes (DataFrame.apply would try to infer a result from an empty column).
py::object encoded_frame(const kova::Module& mod, const py::object& data,
                         const py::list& cat_features, const py::list& codes) {
  py::dict by_position;
  for (size_t i = 0; i < codes.size(); ++i) by_position[py::int_(i)] = codes[i];
  py::object encoded =
      pandas_module().attr("DataFrame")(by_position, py::arg("index") = data.attr("index"));
  encoded.attr("columns") = cat_features;
  return encoded.attr("replace")(-1, mod["np"].attr("nan"));
}

// Writes the block `values` (rows x columns) into the square matrix at the given positions, and
// its transpose at the mirrored positions when `mirror` is set.
void place_block(py::array_t<double>& matrix, const py::object& values,
                 const std::vector<Py_ssize_t>& rows, const std::vector<Py_ssize_t>& columns,
                 bool mirror) {
  const py::array_t<double, py::array::forcecast> block(values);
  auto cells = matrix.mutable_unchecked<2>();
  const auto source = block.unchecked<2>();
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const double value = source(static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(c));
      cells(rows[r], columns[c]) = value;
      if (mirror) cells(columns[c], rows[r]) = value;
    }
  }
}

// The columns of a frame of floats as 1-D arrays (views of its blocks).
py::list float_columns(const py::object& frame) {
  py::list columns;
  const Py_ssize_t n_columns = py::len(frame.attr("columns"));
  for (Py_ssize_t j = 0; j < n_columns; ++j) columns.append(column_at(frame, j).attr("to_numpy")());
  return columns;
}

// The categorical block: symmetric Theil's U of every pair of categorical columns.
py::object theil_u_block(const kova::Module& mod, const py::list& codes,
                         const std::function<py::object()>& encoded) {
  py::object measure = mod["symmetric_theil_u_correlation"];
  if (is_kernel(mod, "symmetric_theil_u_correlation")) {
    return kernels_of(mod).attr("symmetric_theil_u_matrix")(codes);
  }
  return encoded().attr("corr")(py::arg("method") = measure).attr("to_numpy")();
}

// The numerical x categorical block: the correlation ratio of every numerical column grouped by
// every categorical column (numerical columns as rows).
py::object correlation_ratio_block(const kova::Module& mod, const py::list& codes,
                                   const py::object& num_data,
                                   const std::function<py::object()>& encoded) {
  if (is_kernel(mod, "correlation_ratio")) {
    py::list values = float_columns(num_data);
    return kernels_of(mod).attr("correlation_ratio_matrix")(codes, values);
  }
  py::cpp_function ratios([mod, num_data](py::object col) -> py::object {
    return num_data.attr("corrwith")(col, py::arg("method") = mod["correlation_ratio"]);
  });
  return encoded().attr("apply")(ratios).attr("to_numpy")();
}

py::object highly_correlated_features(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object meta_info = a.self().attr("meta_info");
  py::object all_features = data.attr("columns");
  py::list num_features = features_of_kind(all_features, meta_info, "numerical");
  py::list cat_features = features_of_kind(all_features, meta_info, "categorical");
  require_unique_names(all_features);
  const std::vector<Py_ssize_t> num_positions = positions_of(all_features, num_features);
  const std::vector<Py_ssize_t> cat_positions = positions_of(all_features, cat_features);

  py::list codes = category_codes(mod, data, cat_positions);
  py::object encoded_cat_data;  // the pandas measures' input, built when one of them runs
  std::function<py::object()> encoded = [&]() {
    if (!encoded_cat_data) encoded_cat_data = encoded_frame(mod, data, cat_features, codes);
    return encoded_cat_data;
  };
  const Py_ssize_t n_features = py::len(all_features);
  py::array_t<double> full({n_features, n_features});
  std::fill_n(full.mutable_data(), n_features * n_features, std::nan(""));
  py::object num_data;  // the numerical columns as floats, converted once
  if (!num_features.empty()) {
    num_data = data.attr("loc")[py::make_tuple(full_slice(), num_features)].attr("astype")(
        builtin("float"));
    // Spearman over pairwise complete observations, ranked as DataFrame.corr ranks them
    place_block(full, kernels_of(mod).attr("spearman_matrix")(float_columns(num_data)),
                num_positions, num_positions, false);
  }
  if (!cat_features.empty()) {
    place_block(full, theil_u_block(mod, codes, encoded), cat_positions, cat_positions, false);
  }
  if (!num_features.empty() && !cat_features.empty()) {
    place_block(full, correlation_ratio_block(mod, codes, num_data, encoded), num_positions,
                cat_positions, true);
  }
  py::object full_df = mod["pd"].attr("DataFrame")(full, py::arg("index") = all_features,
                                                   py::arg("columns") = all_features);
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

// The mix record of a column without missing entries, or None when it is not a text column.
py::object get_data_mix(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  if (!truth(mod["is_string_column"](column_data))) return py::none();
  return a.self().attr("_check_mixed_percentage")(column_data);
}

// Up to three distinct entries of each kind (number or not), the first ones in row order.
void gather_examples(const py::object& entries, const py::object& is_number,
                     const py::object& numbers_in_col, const py::object& strings_in_col) {
  const kova::entries::ObjectArray values(entries, "_check_mixed_percentage");
  const py::array_t<bool, py::array::forcecast> flags(is_number);
  const bool* number = flags.data();
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const py::object& examples = number[i] ? numbers_in_col : strings_in_col;
    if (PySet_Size(examples.ptr()) <= 2 && PySet_Add(examples.ptr(), values[i].ptr()) < 0) {
      throw py::error_already_set();
    }
    if (PySet_Size(numbers_in_col.ptr()) > 2 && PySet_Size(strings_in_col.ptr()) > 2) break;
  }
}

// Shares of entries that do and do not convert to a number, with up to three distinct examples
// of each; None when all entries convert or none does.
py::object check_mixed_percentage(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  py::object set_type = builtin("set");
  py::object numbers_in_col = set_type();
  py::object strings_in_col = set_type();

  py::object is_number = number_mask(mod, column_data);
  gather_examples(entries_of(column_data), is_number, numbers_in_col, strings_in_col);
  const auto nums = is_number.attr("sum")().cast<std::int64_t>();
  py::object total_rows = holds_objects(column_data)
                              ? py::module_::import("numpy").attr("int64")(
                                    length_of(column_data) - missing_count(mod, column_data))
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

// counts[sample] += n through the mapping protocol (a defaultdict reads missing keys as 0).
void add_count(const py::object& counts, const py::handle& sample, const py::object& n) {
  py::object count = steal(PyObject_GetItem(counts.ptr(), sample.ptr()));
  py::object next = steal(PyNumber_InPlaceAdd(count.ptr(), n.ptr()));
  if (PyObject_SetItem(counts.ptr(), sample.ptr(), next.ptr()) < 0) throw py::error_already_set();
}

// The special-only test through a replaced string_baseform global: a non-empty str whose base
// form without special characters is empty, one Python call per str.
void count_through_baseform(const py::object& entries, const py::object& baseform,
                            const py::object& samples_to_count) {
  const py::int_ one(1);
  const kova::entries::ObjectArray values(entries, "_get_special_samples");
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const py::object sample = values[i];
    if (!PyUnicode_Check(sample.ptr()) || length_of(sample) < 1) continue;
    if (length_of(baseform(sample, true)) == 0) add_count(samples_to_count, sample, one);
  }
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
  if (!is_kernel(mod, "string_baseform")) {
    count_through_baseform(entries_of(column_data), mod["string_baseform"], samples_to_count);
  } else if (!holds_no_text(column_data)) {
    // The kernel counts the entries the scan flagged, in row order.
    py::object flagged = entries_of(column_data)[special_mask(mod, column_data)];
    py::dict counts = kernels_of(mod).attr("special_only_counts")(flagged);
    for (auto item : counts)
      add_count(samples_to_count, item.first, py::reinterpret_borrow<py::object>(item.second));
  }
  return truth(samples_to_count) ? samples_to_count : py::none();
}

void define_data_integrity_check(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "DataIntegrityCheck", kClassDoc);
  c.def("__init__", {"self", "data", arg("meta_info").dict()}, init,
        "Hold the data frame and its column type map.");
  c.def(
      "is_single_value", {"self"}, is_single_value,
      "Return a frame with the column \"Is Single Value\": true where a column holds exactly one\n"
      "distinct non-missing value.");
  c.def("null_ratio", {"self"}, null_ratio,
        "Return a frame with the column \"Null Ratio\": the share of missing entries per column.");
  c.def("long_string",
        {"self", arg("quantile_threshold").to_float() = 0.8, arg("length_difference") = 5},
        long_string,
        "Return a frame with \"Long String Num\" and \"Long String Index\": per text column the\n"
        "entries (missing ones dropped) whose text is longer than the nearest-rank\n"
        "quantile_threshold quantile of the lengths plus length_difference, with their row "
        "labels.");
  c.def("special_characters", {"self", arg("n_most_common") = 2}, special_characters,
        "Return a frame indexed by \"Column Name\" with \"% Special-Only Samples\" (the share of\n"
        "entries made of special characters only, as percent text) and \"Most Common "
        "Special-Only\n"
        "Samples\" (up to n_most_common of them, most frequent first).");
  c.def(
      "mixed_data_type", {"self"}, mixed_data_type,
      "Return a frame with \"With mixed\" and \"Categorical : Numerical\": whether a text column\n"
      "mixes entries that convert to a number with entries that do not, and the two shares.");
  c.def("duplicated_samples", {"self"}, duplicated_samples,
        "Return the groups of identical rows, one row per group labelled by the array of the\n"
        "group's row labels, ordered by value; a message string when the frame has no rows.");
  c.def("highly_correlated_features", {"self"}, highly_correlated_features,
        "Return a Styler over the association matrix of all columns: Spearman between numerical\n"
        "columns, symmetric Theil's U between categorical ones, the correlation ratio between\n"
        "the two kinds; NaN for columns of any other kind.");
  c.def("single_column_check", {"self"}, single_column_check,
        "Return a Styler joining the five per-column checks under a two-level header.");
  c.def("_get_data_mix", {"self", "column_data"}, get_data_mix,
        "Return the mix record of a column without missing entries, or None when it is not a "
        "text\n"
        "column.");
  c.def_static("_check_mixed_percentage", {"column_data"}, check_mixed_percentage,
               "Return {\"strings\", \"numbers\", \"strings_examples\", \"numbers_examples\"}: the "
               "shares\n"
               "of entries that do not and do convert with float(), with up to three distinct "
               "examples\n"
               "of each; None when all or none convert.");
  c.def_static("_get_special_samples", {"column_data"}, get_special_samples,
               "Return a defaultdict counting the special-only texts of a column in first-seen "
               "order, or\n"
               "None for numeric columns and columns without such texts.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(kestrin, m) {
  kova::register_function_type(m);
  kova::Module mod(m);
  mod.import_as("pandas", "pd");
  mod.import_as("numpy", "np");
  mod.import_lazy("seaborn", "sns");
  mod.import_from("collections", {"defaultdict"});
  mod.import_from("pandas.api.types", {"infer_dtype"});
  mod.import_from("utils", {"string_baseform", "is_string_column"}, 1);
  mod.import_from("correlation", {"symmetric_theil_u_correlation", "correlation_ratio"}, 1);
  define_data_integrity_check(mod);
  mod.set("__test__", py::dict());
}
