// Bin codes of the region search in one pass over the rows of a feature matrix: for each chosen
// column, a numerical value's code is the number of inner edges below it (the bin k with
// edges[k - 1] < x <= edges[k]), a categorical value's code is the level code it holds, and a
// missing (non-finite) value gets the column's last code. The matrix is read in place, row by
// row through a list of row positions, so neither the rows nor the columns are copied out first.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/kernel_parts.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Codes = py::array_t<std::uint16_t>;

constexpr std::int64_t kMaxBins = 65534;  // codes are 16-bit and the last one means missing

// How one column is coded: its inner edges (numerical) or its number of levels (categorical).
struct ColumnCoding {
  std::size_t column;
  std::vector<double> edges;
  bool numerical;
  std::uint16_t missing;  // the number of bins

  // The number of edges below value (a branch-free binary search over the edges).
  std::uint16_t interval(double value) const {
    const double* base = edges.data();
    std::size_t n = edges.size();
    while (n > 1) {
      const std::size_t half = n / 2;
      base = base[half] < value ? base + half : base;
      n -= half;
    }
    const std::size_t below = static_cast<std::size_t>(base - edges.data()) +
                              static_cast<std::size_t>(n == 1 && *base < value);
    return static_cast<std::uint16_t>(below);
  }

  // The code of value, or false when a categorical value is not one of the levels.
  bool code(double value, std::uint16_t& out) const {
    if (!std::isfinite(value)) {
      out = missing;
      return true;
    }
    if (numerical) {
      out = interval(value);
      return true;
    }
    const double level = std::nearbyint(value);
    if (!(level >= 0.0 && level < static_cast<double>(missing))) return false;
    out = static_cast<std::uint16_t>(level);
    return true;
  }
};

std::vector<ColumnCoding> codings_of(const Ints& columns, const py::list& edges,
                                     const Ints& n_levels, std::size_t n_cols) {
  const auto n_features = static_cast<std::size_t>(columns.shape(0));
  if (edges.size() != n_features || static_cast<std::size_t>(n_levels.shape(0)) != n_features) {
    throw py::value_error("region_codes(): 'edges' and 'n_levels' need one entry per column");
  }
  std::vector<ColumnCoding> codings(n_features);
  for (std::size_t f = 0; f < n_features; ++f) {
    ColumnCoding& coding = codings[f];
    const std::int64_t column = columns.data()[f];
    if (column < 0 || static_cast<std::size_t>(column) >= n_cols) {
      throw py::value_error("region_codes(): 'columns' holds a column outside 'matrix'");
    }
    coding.column = static_cast<std::size_t>(column);
    coding.numerical = !edges[f].is_none();
    std::int64_t bins = n_levels.data()[f];
    if (coding.numerical) {
      const auto inner = as_array<ContiguousFloatArray>(edges[f], 1, "region_codes", "edges");
      coding.edges.assign(inner.data(), inner.data() + inner.shape(0));
      bins = static_cast<std::int64_t>(coding.edges.size()) + 1;
    }
    if (bins < 0 || bins > kMaxBins) {
      throw py::value_error("region_codes(): a column has more than 65534 bins");
    }
    coding.missing = static_cast<std::uint16_t>(bins);
  }
  return codings;
}

Codes region_codes(const py::object& matrix_obj, const py::object& rows_obj,
                   const py::object& columns_obj, const py::list& edges,
                   const py::object& n_levels_obj) {
  const auto matrix = as_array<ContiguousFloatArray>(matrix_obj, 2, "region_codes", "matrix");
  const auto rows = as_array<Ints>(rows_obj, 1, "region_codes", "rows");
  const auto columns = as_array<Ints>(columns_obj, 1, "region_codes", "columns");
  const auto n_levels = as_array<Ints>(n_levels_obj, 1, "region_codes", "n_levels");
  const auto n_total = static_cast<std::size_t>(matrix.shape(0));
  const auto n_cols = static_cast<std::size_t>(matrix.shape(1));
  const std::vector<ColumnCoding> codings = codings_of(columns, edges, n_levels, n_cols);
  const auto n_rows = static_cast<std::size_t>(rows.shape(0));
  const std::int64_t* row = rows.data();
  for (std::size_t i = 0; i < n_rows; ++i) {
    if (row[i] < 0 || static_cast<std::size_t>(row[i]) >= n_total) {
      throw py::value_error("region_codes(): 'rows' holds a row outside 'matrix'");
    }
  }
  Codes result({static_cast<py::ssize_t>(codings.size()), static_cast<py::ssize_t>(n_rows)});
  std::uint16_t* out = result.mutable_data();
  const double* data = matrix.data();
  std::size_t bad_column = codings.size();
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n_rows; ++i) {
      const double* values = data + static_cast<std::size_t>(row[i]) * n_cols;
      for (std::size_t f = 0; f < codings.size(); ++f) {
        if (!codings[f].code(values[codings[f].column], out[f * n_rows + i])) bad_column = f;
      }
    }
  }
  if (bad_column < codings.size()) {
    throw py::value_error("region_codes(): column " + std::to_string(codings[bad_column].column) +
                          " holds a level code outside [0, n_levels)");
  }
  return result;
}

}  // namespace

void define_region_codes(py::module_& m) {
  m.def("region_codes", &region_codes, py::arg("matrix"), py::arg("rows"), py::arg("columns"),
        py::arg("edges"), py::arg("n_levels"),
        R"doc(Bin codes of the given rows and columns of a 2-D float64 matrix, in one pass.

``rows`` (int64) are row positions in ``matrix``, ``columns`` (int64) column positions. For
column k, ``edges[k]`` is a 1-D array of increasing inner edges (numerical: the code of x is the
number of edges below x, as ``numpy.searchsorted(edges, x, side="left")``) or None (categorical:
the code is the level code x itself, which must lie in [0, ``n_levels[k]``)). A missing
(non-finite) value gets the column's number of bins as its code. Returns a (columns, rows)
uint16 array.)doc");
}

}  // namespace kova::kernels
