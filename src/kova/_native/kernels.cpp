// kova._kernels: native kernels behind the data-integrity helpers.
//
// Text: string_baseform on str objects (see kova/text.hpp). Whole-column passes: the per-entry
// tests of the integrity checks over a column's 1-D object array, each returning one array
// (see kova/entries.hpp). Association measures: symmetric_theil_u_correlation and
// correlation_ratio on 1-D sequences of numbers, and their matrix forms over the integer codes of
// many columns (see kova/association.hpp). float64 and int64 numpy arrays are read in place,
// whatever their strides; anything else is converted as numpy.asarray(x, dtype=...) would.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/association.hpp"
#include "kova/entries.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/text.hpp"

namespace py = pybind11;

namespace {

namespace assoc = kova::association;
namespace entries = kova::entries;

template <typename T>
using Array = py::array_t<T, py::array::forcecast>;

using kova::kernels::as_array;
using kova::kernels::view_of;

// ---------------------------------------------------------------------------------------------
// Threads of the matrix kernels

std::atomic<std::size_t>& thread_limit_store() {
  static std::atomic<std::size_t> limit{std::max(1u, std::thread::hardware_concurrency())};
  return limit;
}

std::size_t thread_limit() { return thread_limit_store(); }

void set_thread_limit(std::size_t threads) {
  if (threads == 0) throw py::value_error("set_thread_limit: threads must be at least 1, got 0");
  thread_limit_store() = threads;
}

// The threads a kernel call uses: those asked for, or the process-wide limit for 0.
std::size_t threads_or_limit(std::size_t threads) { return threads > 0 ? threads : thread_limit(); }

// ---------------------------------------------------------------------------------------------
// Text and whole-column passes

py::str string_baseform(const py::object& text, bool remove_special) {
  return kova::text::baseform(text, remove_special);
}

py::dict special_only_counts(const py::object& values) {
  return entries::special_only_counts(py::iterable(py::iter(values)));
}

py::array_t<bool> isna_object(const py::object& values) {
  return entries::missing_mask(entries::ObjectArray(values, "isna_object"));
}

py::array_t<bool> float_convertible(const py::object& values) {
  return entries::number_mask(entries::ObjectArray(values, "float_convertible"));
}

py::array_t<std::int64_t> str_lengths(const py::object& values) {
  return entries::text_lengths(entries::ObjectArray(values, "str_lengths"));
}

py::array_t<bool> special_only_mask(const py::object& values) {
  return entries::special_only_mask(entries::ObjectArray(values, "special_only_mask"));
}

bool has_str(const py::object& values) {
  const entries::ObjectArray array(values, "has_str");
  for (Py_ssize_t i = 0; i < array.size(); ++i) {
    if (PyUnicode_Check(array.peek(i))) return true;
  }
  return false;
}

py::object scan_entries(const py::module_& m, const py::object& values) {
  entries::Scan scan = entries::scan(entries::ObjectArray(values, "scan_entries"));
  return m.attr("EntryScan")(scan.missing, scan.lengths, scan.numbers, scan.special);
}

// ---------------------------------------------------------------------------------------------
// Association measures

double symmetric_theil_u_correlation(const py::object& a, const py::object& b) {
  constexpr const char* kName = "symmetric_theil_u_correlation";
  const auto x = as_array<Array<double>>(a, 1, kName, "a");
  const auto y = as_array<Array<double>>(b, 1, kName, "b");
  return assoc::symmetric_theil_u(view_of(x), view_of(y));
}

double correlation_ratio(const py::object& categories, const py::object& values) {
  constexpr const char* kName = "correlation_ratio";
  const auto groups = as_array<Array<double>>(categories, 1, kName, "categories");
  const auto numbers = as_array<Array<double>>(values, 1, kName, "values");
  return assoc::correlation_ratio(view_of(groups), view_of(numbers));
}

// The arrays of a sequence of columns, converted once and held while the kernel reads them.
template <typename T>
std::vector<Array<T>> column_arrays(const py::object& columns, const char* function,
                                    const char* argument) {
  std::vector<Array<T>> arrays;
  for (py::handle column : columns) {
    const std::string name = std::string(argument) + "[" + std::to_string(arrays.size()) + "]";
    arrays.push_back(as_array<Array<T>>(column, 1, function, name));
  }
  return arrays;
}

std::vector<assoc::CodedColumn> coded_columns(const std::vector<Array<std::int64_t>>& arrays,
                                              const char* function) {
  std::vector<assoc::CodedColumn> columns;
  for (const auto& array : arrays) {
    columns.push_back(assoc::checked_codes(view_of(array), function, columns.size()));
  }
  return columns;
}

py::array_t<double> as_matrix(const std::vector<double>& cells, std::size_t rows,
                              std::size_t columns) {
  py::array_t<double> matrix({static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(columns)});
  std::copy(cells.begin(), cells.end(), matrix.mutable_data());
  return matrix;
}

py::array_t<double> symmetric_theil_u_matrix(const py::object& codes, std::size_t threads) {
  constexpr const char* kName = "symmetric_theil_u_matrix";
  const auto arrays = column_arrays<std::int64_t>(codes, kName, "codes");
  const auto columns = coded_columns(arrays, kName);
  std::vector<double> cells;
  {
    py::gil_scoped_release unlocked;  // reads only the arrays held above
    cells = assoc::symmetric_theil_u_matrix(columns, threads_or_limit(threads));
  }
  return as_matrix(cells, columns.size(), columns.size());
}

py::array_t<double> correlation_ratio_matrix(const py::object& codes, const py::object& values,
                                             std::size_t threads) {
  constexpr const char* kName = "correlation_ratio_matrix";
  const auto code_arrays = column_arrays<std::int64_t>(codes, kName, "codes");
  const auto value_arrays = column_arrays<double>(values, kName, "values");
  const auto columns = coded_columns(code_arrays, kName);
  std::vector<assoc::DoubleView> numbers;
  for (const auto& array : value_arrays) numbers.push_back(view_of(array));
  std::vector<double> cells;
  {
    py::gil_scoped_release unlocked;
    cells = assoc::correlation_ratio_matrix(columns, numbers, threads_or_limit(threads));
  }
  return as_matrix(cells, numbers.size(), columns.size());
}

py::array_t<double> spearman_matrix(const py::object& values, std::size_t threads) {
  constexpr const char* kName = "spearman_matrix";
  const auto arrays = column_arrays<double>(values, kName, "values");
  std::vector<assoc::DoubleView> columns;
  for (const auto& array : arrays) columns.push_back(view_of(array));
  std::vector<double> cells;
  {
    py::gil_scoped_release unlocked;
    cells = assoc::spearman_matrix(columns, threads_or_limit(threads));
  }
  return as_matrix(cells, columns.size(), columns.size());
}

void define_entry_scan(py::module_& m) {
  py::object scan_type =
      py::module_::import("collections")
          .attr("namedtuple")("EntryScan",
                              kova::str_list({"missing", "lengths", "numbers", "special"}));
  scan_type.attr("__module__") = m.attr("__name__");
  scan_type.attr("__doc__") =
      "The per-entry tests of one pass over a column (see scan_entries): int8 missing and\n"
      "numbers (1 yes, 0 no, -1 undecided), int64 lengths (-1 where undecided) and the boolean\n"
      "special mask.";
  m.attr("EntryScan") = scan_type;
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
  m.doc() =
      "Native kernels of kova: text base forms, whole-column passes over object arrays and "
      "association measures.";

  m.def("string_baseform", &string_baseform, py::arg("text"), py::arg("remove_special") = false,
        R"doc(Return the base form of the str ``text``.

Invisible characters (controls, format characters, lone surrogates, private-use and unassigned
code points) are dropped, surrounding whitespace is stripped, inner runs of whitespace become one
space, and the result is case-folded. With ``remove_special`` punctuation and symbols are dropped
too, and combining marks are kept only on a kept letter or digit; the result is then empty exactly
when ``text`` is empty or holds no letter or digit of any script (a special-only text).)doc");

  m.def("special_only_counts", &special_only_counts, py::arg("values"),
        R"doc(Count the special-only strs among ``values`` (any iterable).

Returns a dict from each distinct non-empty str without letters or digits to its number of
occurrences, in first-seen order; entries that are not strs are skipped.)doc");

  define_entry_scan(m);

  m.def("isna_object", &isna_object, py::arg("values"),
        R"doc(Missing-entry mask of a 1-D object array, as pandas.isna gives it.

None, NaN, pandas.NA, pandas.NaT, not-a-time datetime64/timedelta64 values and Decimal NaN are
missing. str, int, bool and float entries are tested in place; entries of other types are handed
to pandas.isna together, in one call.)doc");

  m.def("float_convertible", &float_convertible, py::arg("values"),
        R"doc(Mask of the entries of a 1-D object array for which float(x) succeeds.

A ValueError counts as "not a number"; any other error of float() (a TypeError for a list, for
example) propagates, for the first such entry. Exact strs up to 4096 characters are read the way
float() reads them (surrounding whitespace, underscores between digits, decimal digits of any
script, "nan", "inf" and "infinity" in any case) without calling it.)doc");

  m.def(
      "str_lengths", &str_lengths, py::arg("values"),
      R"doc(len(str(x)) of every entry of a 1-D object array, as int64; read in place for strs.)doc");

  m.def("special_only_mask", &special_only_mask, py::arg("values"),
        R"doc(Mask of the special-only entries of a 1-D object array.

An entry is special-only when it is a non-empty str without any letter or digit of any script.)doc");

  m.def("has_str", &has_str, py::arg("values"),
        R"doc(Whether any entry of a 1-D object array is a str.)doc");

  m.def(
      "scan_entries", [m](const py::object& values) { return scan_entries(m, values); },
      py::arg("values"),
      R"doc(Run the per-entry tests over a 1-D object array in one pass; returns an EntryScan.

Each test is read in place where it can be: special is the special_only_mask; missing is 1 or 0
as isna_object gives it for str, int, bool, float, None, NA and NaT entries; lengths holds len(x)
and numbers 1 or 0 (as float_convertible) for exact strs. The other entries are -1 (undecided) in
those three fields, since str(), float() and pandas.isna of arbitrary objects may be costly or
raise: callers run str_lengths, float_convertible or isna_object on them where they need them.
No missing entry is -1 exactly when every entry is one whose hashing cannot fail.)doc");

  m.def("symmetric_theil_u_correlation", &symmetric_theil_u_correlation, py::arg("a"), py::arg("b"),
        R"doc(Symmetric Theil's U of two equal-length sequences of category codes.

Codes are non-negative integers (floats allowed, as pandas passes them). The result is
2 I(a;b) / (H(a) + H(b)) in [0, 1]; 1.0 when both are constant, 0.0 when only one is, NaN when
empty. Invalid codes or lengths raise ValueError.)doc");

  m.def("correlation_ratio", &correlation_ratio, py::arg("categories"), py::arg("values"),
        R"doc(Correlation ratio (eta) of ``values`` grouped by ``categories``.

``categories`` holds category codes (non-negative integers), ``values`` numbers of the same
length; pandas ``DataFrame.corrwith(codes, method=correlation_ratio)`` passes them in this order.
The result is sqrt(between-group / total sum of squares) in [0, 1]; 0.0 when all values are
equal, NaN when empty or when a value is not finite. Invalid codes or lengths raise ValueError.)doc");

  m.def("symmetric_theil_u_matrix", &symmetric_theil_u_matrix, py::arg("codes"),
        py::arg("threads") = 0,
        R"doc(Symmetric Theil's U between every pair of coded columns, as a k x k float64 array.

``codes`` is a sequence of k equal-length 1-D integer arrays of category codes as
pandas.factorize returns them (-1 for a missing entry). Each pair is measured over the rows where
both columns are present, with the values symmetric_theil_u_correlation gives for those rows
(NaN when there are none). The diagonal is 1.0, or NaN for a column without entries; this is
DataFrame.corr(method=symmetric_theil_u_correlation) of the codes with -1 read as NaN.
``threads`` bounds the threads used (0: thread_limit()).)doc");

  m.def("correlation_ratio_matrix", &correlation_ratio_matrix, py::arg("codes"), py::arg("values"),
        py::arg("threads") = 0,
        R"doc(Correlation ratio of every value column grouped by every coded column, p x k float64.

``codes`` holds k integer code arrays (-1 for missing), ``values`` p float arrays of the same
length. Cell (v, c) is correlation_ratio of the rows where code c is present and value v is not
NaN; this is DataFrame.corrwith(codes, method=correlation_ratio) of the values, one code column
at a time. ``threads`` bounds the threads used (0: thread_limit()).)doc");

  m.def("spearman_matrix", &spearman_matrix, py::arg("values"), py::arg("threads") = 0,
        R"doc(Spearman's rank correlation between every pair of float columns, p x p float64.

``values`` is a sequence of p equal-length 1-D float arrays. Each pair is measured over its
pairwise complete observations (NaN and infinite values missing) with average ranks for ties,
as DataFrame.corr(method="spearman") measures it; NaN without such rows or when a column is
constant on them. ``threads`` bounds the threads used (0: thread_limit()).)doc");

  m.def("thread_limit", &thread_limit,
        R"doc(The threads a matrix kernel uses when its ``threads`` is 0: the machine's cores
unless set_thread_limit changed it.)doc");

  m.def("set_thread_limit", &set_thread_limit, py::arg("threads"),
        R"doc(Set the threads the matrix kernels use when their ``threads`` is 0 (at least 1), for
the whole process; the report sets it to its ``--jobs`` while it runs.)doc");

  kova::kernels::define_stump_bins(m);
  kova::kernels::define_stump_training(m);
  kova::kernels::define_binning(m);
  kova::kernels::define_distance(m);
  kova::kernels::define_distance_ks(m);
  kova::kernels::define_profile(m);
  kova::kernels::define_regions(m);
  kova::kernels::define_region_codes(m);
  kova::kernels::define_row_hash(m);
  kova::kernels::define_partition_association(m);
  kova::kernels::define_partition_ranks(m);
}
