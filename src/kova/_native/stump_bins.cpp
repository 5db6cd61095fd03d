// Bins of the boosted depth-1 trees: the thresholds of every feature (each distinct value its own
// bin, or weighted quantiles), the bin matrix of the rows, and the prediction of fitted tables.
//
// Missing values (NaN) and rows of weight 0 do not place thresholds; a missing value has its own
// bin after the value bins (see kova/stumps.hpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kova/kernel_parts.hpp"
#include "kova/stumps.hpp"

namespace kova::stumps {

std::size_t check_thresholds(const FloatArray& matrix, const Columns& thresholds,
                             const char* function) {
  if (static_cast<std::size_t>(matrix.shape(1)) != thresholds.size()) {
    throw py::value_error(std::string(function) + "(): 'X' has " + std::to_string(matrix.shape(1)) +
                          " columns, the thresholds " + std::to_string(thresholds.size()));
  }
  std::size_t most = 0;
  for (const auto& t : thresholds) {
    if (!std::is_sorted(t.begin(), t.end())) {
      throw py::value_error(std::string(function) + "(): thresholds must be increasing");
    }
    most = std::max(most, t.size() + 1);
  }
  return most;
}

namespace {

// Quantiles of larger data are taken on this many rows drawn at random: their rank error stays
// well below the width of a bin, at a fraction of the cost of selecting in every row.
constexpr std::size_t kQuantileSample = 65536;

using MatrixView = py::detail::unchecked_reference<double, 2>;

// Inserts `value` into the increasing vector `distinct` unless present; false when that would make
// it longer than `limit`.
bool insert_distinct(std::vector<double>& distinct, double value, std::size_t limit) {
  const std::size_t below_or_equal = bin_of(distinct, value);
  if (below_or_equal > 0 && distinct[below_or_equal - 1] == value) return true;
  if (distinct.size() == limit) return false;
  distinct.insert(distinct.begin() + static_cast<std::ptrdiff_t>(below_or_equal), value);
  return true;
}

// The distinct present values of every column over the rows of positive weight, in increasing
// order, in one pass; `many[f]` is set, and the column leaves the pass, past `limit` of them.
// `missing[f]` tells whether a row of positive weight that the pass saw has NaN in column f.
Columns distinct_up_to(const MatrixView& x, const double* weight, std::size_t limit,
                       std::vector<bool>& many, std::vector<bool>& missing) {
  Columns distinct(static_cast<std::size_t>(x.shape(1)));
  many.assign(distinct.size(), false);
  missing.assign(distinct.size(), false);
  std::vector<std::size_t> open;
  for (std::size_t f = 0; f < distinct.size(); ++f) open.push_back(f);
  for (py::ssize_t i = 0; i < x.shape(0) && !open.empty(); ++i) {
    if (!(weight[i] > 0.0)) continue;
    for (std::size_t k = 0; k < open.size();) {
      const std::size_t f = open[k];
      const double value = x(i, static_cast<py::ssize_t>(f));
      if (std::isnan(value)) {
        missing[f] = true;
        ++k;
      } else if (insert_distinct(distinct[f], value, limit)) {
        ++k;
      } else {
        many[f] = true;
        open[k] = open.back();
        open.pop_back();
      }
    }
  }
  return distinct;
}

// Whether a row has NaN in each column, over the rows of positive weight (all rows when
// `weight` is null); one pass in row order, as the matrix lies in memory.
std::vector<bool> columns_with_missing(const MatrixView& x, const double* weight) {
  std::vector<char> missing(static_cast<std::size_t>(x.shape(1)), 0);
  for (py::ssize_t i = 0; i < x.shape(0); ++i) {
    if (weight != nullptr && !(weight[i] > 0.0)) continue;
    for (py::ssize_t f = 0; f < x.shape(1); ++f) {
      missing[static_cast<std::size_t>(f)] |= static_cast<char>(std::isnan(x(i, f)));
    }
  }
  return std::vector<bool>(missing.begin(), missing.end());
}

// Keeps `quantile` as the next threshold unless it repeats the last or is the minimum, so that
// every bin holds a value.
void add_quantile(std::vector<double>& quantiles, double quantile, double minimum) {
  if (quantile > minimum && (quantiles.empty() || quantile > quantiles.back())) {
    quantiles.push_back(quantile);
  }
}

// Thresholds at the weighted quantiles j / max_bins of the (value, weight) pairs (which it sorts):
// the first value whose cumulative weight passes j / max_bins of the total, so that integer
// weights place them as repeated rows would. Unit weights sort the values alone: the same
// thresholds at half the cost.
std::vector<double> quantile_thresholds(std::vector<std::pair<double, double>>& values,
                                        std::size_t max_bins) {
  std::vector<double> quantiles;
  if (values.empty()) return quantiles;
  if (std::all_of(values.begin(), values.end(), [](const auto& v) { return v.second == 1.0; })) {
    std::vector<double> sorted;
    sorted.reserve(values.size());
    for (const auto& value : values) sorted.push_back(value.first);
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t j = 1; j < max_bins; ++j) {
      add_quantile(quantiles, sorted[j * sorted.size() / max_bins], sorted.front());
    }
    return quantiles;
  }
  std::sort(values.begin(), values.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  double total = 0.0;
  for (const auto& value : values) total += value.second;
  const double bins = static_cast<double>(max_bins);
  double cumulative = values[0].second;
  std::size_t k = 0;
  for (std::size_t j = 1; j < max_bins; ++j) {
    const double target = static_cast<double>(j) * total;
    while (cumulative * bins <= target && k + 1 < values.size()) cumulative += values[++k].second;
    add_quantile(quantiles, values[k].first, values.front().first);
  }
  return quantiles;
}

// The rows whose values place the quantiles: all of them, or kQuantileSample drawn from `seed`,
// in increasing order so that gathering them walks the data forward.
std::vector<std::size_t> quantile_rows(std::size_t n, std::uint64_t seed) {
  std::vector<std::size_t> rows;
  if (n <= kQuantileSample) {
    for (std::size_t i = 0; i < n; ++i) rows.push_back(i);
    return rows;
  }
  SplitMix random(seed);
  for (std::size_t k = 0; k < kQuantileSample; ++k) {
    rows.push_back(static_cast<std::size_t>(random.unit() * static_cast<double>(n)));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Thresholds halfway between consecutive distinct values, so that every value has its own bin and
// the bounds between bins lie strictly between the values. When two values are neighbouring
// doubles, the halfway point rounds to one of them; it is then the larger, which opens its bin.
std::vector<double> midpoints(const std::vector<double>& distinct) {
  std::vector<double> thresholds;
  for (std::size_t k = 0; k + 1 < distinct.size(); ++k) {
    const double halfway = distinct[k] / 2 + distinct[k + 1] / 2;  // no overflow near the limits
    thresholds.push_back(halfway > distinct[k] ? halfway : distinct[k + 1]);
  }
  return thresholds;
}

// Thresholds of every column: halfway between its distinct values when there are at most
// max_bins of them (each value its own bin), otherwise weighted quantiles. A column with missing
// values has max_bins - 1 value bins at most, so that with its missing bin the codes of
// max_bins = 256 still fit in a byte. A categorical column needs a bin per code.
Columns column_thresholds(const MatrixView& x, const double* weight,
                          const std::vector<bool>& categorical, std::size_t max_bins,
                          std::uint64_t seed) {
  std::vector<bool> too_many, missing;
  Columns thresholds = distinct_up_to(x, weight, max_bins, too_many, missing);
  // The pass left the columns of many values early: look for their missing values in all rows.
  if (std::find(too_many.begin(), too_many.end(), true) != too_many.end()) {
    missing = columns_with_missing(x, weight);
  }
  std::vector<std::size_t> many;
  for (std::size_t f = 0; f < thresholds.size(); ++f) {
    if (!too_many[f] && thresholds[f].size() + missing[f] <= max_bins) {
      thresholds[f] = midpoints(thresholds[f]);
    } else if (categorical[f]) {
      throw py::value_error("stump_thresholds(): categorical column " + std::to_string(f) +
                            " has more than max_bins=" + std::to_string(max_bins) +
                            " distinct codes (missing values counting as one)");
    } else {
      many.push_back(f);
    }
  }
  if (many.empty()) return thresholds;
  std::vector<std::vector<std::pair<double, double>>> values(many.size());
  for (std::size_t i : quantile_rows(static_cast<std::size_t>(x.shape(0)), seed)) {
    if (!(weight[i] > 0.0)) continue;
    for (std::size_t k = 0; k < many.size(); ++k) {
      const double value = x(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(many[k]));
      if (!std::isnan(value)) values[k].emplace_back(value, weight[i]);
    }
  }
  for (std::size_t k = 0; k < many.size(); ++k) {
    thresholds[many[k]] = quantile_thresholds(values[k], max_bins - missing[many[k]]);
  }
  return thresholds;
}

std::vector<double> row_weights(const py::object& sample_weight, std::size_t n,
                                const char* function) {
  if (sample_weight.is_none()) return std::vector<double>(n, 1.0);
  const auto w = as_array<ContiguousFloatArray>(sample_weight, 1, function, "sample_weight");
  if (static_cast<std::size_t>(w.shape(0)) != n) {
    throw py::value_error(std::string(function) + "(): one 'sample_weight' per row");
  }
  return std::vector<double>(w.data(), w.data() + n);
}

py::list stump_thresholds(const py::object& X, const std::vector<bool>& categorical,
                          std::size_t max_bins, std::uint64_t seed,
                          const py::object& sample_weight) {
  const FloatArray matrix = as_array(X, 2, "stump_thresholds", "X");
  const auto x = matrix.unchecked<2>();
  if (categorical.size() != static_cast<std::size_t>(x.shape(1))) {
    throw py::value_error("stump_thresholds(): one flag per column");
  }
  if (max_bins < 2 || max_bins > 65536) {
    throw py::value_error("stump_thresholds(): max_bins must be in [2, 65536]");
  }
  if (x.shape(0) == 0) throw py::value_error("stump_thresholds(): 'X' has no rows");
  const std::vector<double> weight =
      row_weights(sample_weight, static_cast<std::size_t>(x.shape(0)), "stump_thresholds");
  Columns thresholds;
  {
    py::gil_scoped_release release;
    thresholds = column_thresholds(x, weight.data(), categorical, max_bins, seed);
  }
  py::list result;
  for (const auto& t : thresholds) result.append(py::array_t<double>(t.size(), t.data()));
  return result;
}

template <typename Bin>
py::array bin_matrix(const FloatArray& matrix, const Columns& thresholds) {
  const auto x = matrix.unchecked<2>();
  const py::ssize_t n = x.shape(0), p = x.shape(1);
  py::array_t<Bin, py::array::f_style> bins({n, p});
  Bin* out = bins.mutable_data();
  {
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < n; ++i) {
      for (py::ssize_t f = 0; f < p; ++f) {
        out[f * n + i] = static_cast<Bin>(bin_or_missing(thresholds[f], x(i, f)));
      }
    }
  }
  return std::move(bins);
}

// The largest bin code of the matrix: the missing bin of a column with a NaN, else its last value
// bin.
std::size_t largest_code(const FloatArray& matrix, const Columns& thresholds) {
  const std::vector<bool> missing = columns_with_missing(matrix.unchecked<2>(), nullptr);
  std::size_t largest = 0;
  for (std::size_t f = 0; f < thresholds.size(); ++f) {
    largest = std::max(largest, thresholds[f].size() + missing[f]);
  }
  return largest;
}

py::array bin_columns(const py::object& X, const Columns& thresholds) {
  const FloatArray matrix = as_array(X, 2, "bin_columns", "X");
  check_thresholds(matrix, thresholds, "bin_columns");
  const std::size_t largest = largest_code(matrix, thresholds);
  if (largest < 256) return bin_matrix<std::uint8_t>(matrix, thresholds);
  if (largest < 65536) return bin_matrix<std::uint16_t>(matrix, thresholds);
  throw py::value_error("bin_columns(): more than 65536 bins");
}

py::array_t<double> predict_stumps(const py::object& X, const Columns& thresholds,
                                   const Columns& tables, double intercept) {
  const FloatArray matrix = as_array(X, 2, "predict_stumps", "X");
  check_thresholds(matrix, thresholds, "predict_stumps");
  if (tables.size() != thresholds.size()) {
    throw py::value_error("predict_stumps(): one table per column");
  }
  for (std::size_t f = 0; f < tables.size(); ++f) {
    if (tables[f].size() != thresholds[f].size() + 2) {
      throw py::value_error(
          "predict_stumps(): a table holds one value per bin and the missing bin");
    }
  }
  const auto x = matrix.unchecked<2>();
  const py::ssize_t n = x.shape(0);
  py::array_t<double> prediction(n);
  double* out = prediction.mutable_data();
  {
    py::gil_scoped_release release;
    std::fill(out, out + n, intercept);
    // Feature by feature, so every row adds its terms in feature order.
    for (std::size_t f = 0; f < tables.size(); ++f) {
      const std::vector<double>& table = tables[f];
      if (std::all_of(table.begin(), table.end(), [](double v) { return v == 0.0; })) continue;
      for (py::ssize_t i = 0; i < n; ++i) {
        out[i] += table[bin_or_missing(thresholds[f], x(i, static_cast<py::ssize_t>(f)))];
      }
    }
  }
  return prediction;
}

}  // namespace
}  // namespace kova::stumps

namespace kova::kernels {

void define_stump_bins(pybind11::module_& m) {
  namespace py = pybind11;
  using namespace kova::stumps;
  m.def("stump_thresholds", &stump_thresholds, py::arg("X"), py::arg("categorical"),
        py::arg("max_bins"), py::arg("seed") = 0, py::arg("sample_weight") = py::none(),
        R"doc(Bin thresholds of every column of the 2-D float array ``X``.

Returns a list of increasing float64 arrays, one per column. A column with at most ``max_bins``
distinct values gets thresholds halfway between them (each value its own bin), any other
column its quantiles j / max_bins, weighted by ``sample_weight``, without repeats (on 65,536
rows drawn from ``seed`` when ``X`` has more). NaN entries and rows of weight 0 place no
threshold; a column with NaN keeps one of its max_bins for them. A value x lies in bin b = the number of thresholds <= x. Columns flagged in
``categorical`` must have at most ``max_bins`` distinct codes (ValueError otherwise).)doc");

  m.def(
      "bin_columns", &bin_columns, py::arg("X"), py::arg("thresholds"),
      R"doc(Bins of every entry of ``X``: a column-major (n, p) uint8 array, or uint16 when a column
has more than 255 bins. NaN gets bin len(thresholds[f]) + 1, after the value bins.)doc");

  m.def(
      "predict_stumps", &predict_stumps, py::arg("X"), py::arg("thresholds"), py::arg("tables"),
      py::arg("intercept"),
      R"doc(Predictions intercept + sum over columns f of tables[f][bin of X[:, f]], the terms added
in column order; a NaN entry takes the table's last value (the missing bin).)doc");
}

}  // namespace kova::kernels
