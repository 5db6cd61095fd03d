// Binning kernels of kova._kernels: the bin of every value among increasing edges (codes and
// counts), and the column passes over whole 2-D arrays that the distances and the binning of
// features use (ranges, bin counts of every column, transposition). 1-D float64 arrays are read
// in place, whatever their strides; 2-D ones when C-ordered.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/kernel_parts.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using association::DoubleView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Finds the bin of a value among increasing edges: bin i is [edges[i], edges[i + 1]), the top
// bin is closed above. The arithmetic guess is exact for equal-width edges up to rounding, which
// the walk against the edges themselves corrects; uneven edges just walk further.
class Binner {
 public:
  Binner(const DoubleView& edges, const char* function) : edges_(edges.size()) {
    for (std::size_t i = 0; i < edges.size(); ++i) edges_[i] = edges[i];
    const bool increasing =
        std::adjacent_find(edges_.begin(), edges_.end(),
                           [](double a, double b) { return !(a < b); }) == edges_.end();
    if (edges_.size() < 2 || !increasing || !std::isfinite(edges_.front()) ||
        !std::isfinite(edges_.back())) {
      throw py::value_error(std::string(function) +
                            "(): 'edges' must be at least two finite, strictly increasing values");
    }
  }

  std::size_t bins() const { return edges_.size() - 1; }

  // What code() needs, copied into locals of a hot loop so that nothing is re-read from memory.
  // Offsets from the first edge are taken in halves, which cannot overflow even when the edges
  // span nearly all finite numbers.
  struct Rule {
    const double* edges;
    std::size_t bins;
    double low, high, half_low, scale;

    // The bin of value, or -1 when it lies outside [first edge, last edge] or is NaN.
    std::int64_t code(double value) const {
      if (!(value >= low && value <= high)) return -1;
      const double guess = (value * 0.5 - half_low) * scale;  // NaN when scale is infinite
      auto bin = guess >= 0.0 && guess < static_cast<double>(bins) ? static_cast<std::size_t>(guess)
                                                                   : std::size_t{0};
      while (bin > 0 && value < edges[bin]) --bin;
      while (bin + 1 < bins && value >= edges[bin + 1]) ++bin;
      return static_cast<std::int64_t>(bin);
    }
  };

  Rule rule() const {
    const double low = edges_.front();
    const double high = edges_.back();
    const double half_width = high * 0.5 - low * 0.5;
    return {edges_.data(), bins(), low, high, low * 0.5, static_cast<double>(bins()) / half_width};
  }

 private:
  std::vector<double> edges_;
};

Binner binner_of(const py::handle& edges, const char* function) {
  const FloatArray e = as_array(edges, 1, function, "edges");
  return {view_of(e), function};
}

py::array_t<std::int64_t> bin_codes(const py::object& values, const py::object& edges) {
  const FloatArray x = as_array(values, 1, "bin_codes", "values");
  const Binner edges_rule = binner_of(edges, "bin_codes");
  const Binner::Rule binner = edges_rule.rule();
  const DoubleView column = view_of(x);
  py::array_t<std::int64_t> codes(static_cast<py::ssize_t>(column.size()));
  std::int64_t* out = codes.mutable_data();
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < column.size(); ++i) out[i] = binner.code(column[i]);
  }
  return codes;
}

py::array_t<std::int64_t> bin_counts(const py::object& values, const py::object& edges) {
  const FloatArray x = as_array(values, 1, "bin_counts", "values");
  const Binner edges_rule = binner_of(edges, "bin_counts");
  const Binner::Rule binner = edges_rule.rule();
  const DoubleView column = view_of(x);
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(binner.bins));
  std::int64_t* out = counts.mutable_data();
  std::fill(out, out + binner.bins, 0);
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < column.size(); ++i) {
      const std::int64_t bin = binner.code(column[i]);
      if (bin >= 0) ++out[bin];
    }
  }
  return counts;
}

// ------------------------------------------------------------- whole matrices, row by row

ContiguousFloatArray as_matrix(const py::object& values, const char* function) {
  // a C-ordered float64 copy only when values is not one already
  return as_array<ContiguousFloatArray>(values, 2, function, "matrix");
}

py::array_t<double> column_ranges(const py::object& values) {
  const ContiguousFloatArray matrix = as_matrix(values, "column_ranges");
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  py::array_t<double> ranges({py::ssize_t{2}, static_cast<py::ssize_t>(cols)});
  double* low = ranges.mutable_data();
  double* high = low + cols;
  {
    py::gil_scoped_release release;
    std::vector<double> lows(cols, std::numeric_limits<double>::infinity());
    std::vector<double> highs(cols, -std::numeric_limits<double>::infinity());
    std::vector<double> probes(cols, 0.0);  // sum of v - v: 0 while every value is finite
    for_column_blocks(
        matrix.data(), 0, rows, cols,
        [&](std::size_t c, std::size_t, const double* first, std::size_t count, std::size_t step) {
          double lo = lows[c];
          double hi = highs[c];
          double probe = probes[c];
          for (std::size_t k = 0; k < count; ++k) {
            const double v = first[k * step];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            probe += v - v;
          }
          lows[c] = lo;
          highs[c] = hi;
          probes[c] = probe;
        });
    for (std::size_t c = 0; c < cols; ++c) {
      const bool finite = probes[c] == 0.0;
      low[c] = finite ? lows[c] : kNaN;
      high[c] = finite ? highs[c] : kNaN;
    }
  }
  return ranges;
}

py::list column_bin_counts(const py::object& values, const py::sequence& edges) {
  const ContiguousFloatArray matrix = as_matrix(values, "column_bin_counts");
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  if (py::len(edges) != cols) {
    throw py::value_error("column_bin_counts(): 'edges' must hold one array per column");
  }
  std::vector<Binner> binners;
  for (const py::handle column_edges : edges) {
    binners.push_back(binner_of(column_edges, "column_bin_counts"));
  }
  std::vector<std::vector<std::int64_t>> counts(cols);
  for (std::size_t c = 0; c < cols; ++c) counts[c].assign(binners[c].bins(), 0);
  {
    py::gil_scoped_release release;
    for_column_blocks(
        matrix.data(), 0, rows, cols,
        [&](std::size_t c, std::size_t, const double* first, std::size_t count, std::size_t step) {
          const Binner::Rule rule = binners[c].rule();
          std::int64_t* column_counts = counts[c].data();
          for (std::size_t k = 0; k < count; ++k) {
            const std::int64_t bin = rule.code(first[k * step]);
            if (bin >= 0) ++column_counts[bin];
          }
        });
  }
  py::list result;
  for (const std::vector<std::int64_t>& column_counts : counts) {
    py::array_t<std::int64_t> column(static_cast<py::ssize_t>(column_counts.size()));
    std::copy(column_counts.begin(), column_counts.end(), column.mutable_data());
    result.append(column);
  }
  return result;
}

py::array_t<double> transposed(const py::object& values) {
  const ContiguousFloatArray matrix = as_matrix(values, "transposed");
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  py::array_t<double> result({static_cast<py::ssize_t>(cols), static_cast<py::ssize_t>(rows)});
  double* out = result.mutable_data();
  py::gil_scoped_release release;
  for_column_blocks(matrix.data(), 0, rows, cols,
                    [&](std::size_t c, std::size_t start, const double* first, std::size_t count,
                        std::size_t step) {
                      double* target = out + c * rows + start;
                      for (std::size_t k = 0; k < count; ++k) target[k] = first[k * step];
                    });
  return result;
}

}  // namespace

void define_binning(py::module_& m) {
  m.def("bin_codes", &bin_codes, py::arg("values"), py::arg("edges"),
        R"doc(Bin of every value among the increasing ``edges``, as an int64 array.

Bin i is [edges[i], edges[i + 1]); the top bin is closed above. Values outside
[edges[0], edges[-1]] and NaN get -1. The edges may span any finite range.)doc");
  m.def("bin_counts", &bin_counts, py::arg("values"), py::arg("edges"),
        R"doc(Number of values in every bin of the increasing ``edges``, as an int64 array.

The bins are those of ``bin_codes``; values outside them and NaN are not counted.)doc");
  m.def("column_ranges", &column_ranges, py::arg("matrix"),
        R"doc(Smallest and largest value of every column of a 2-D array, as a (2, columns) array.

A column holding NaN or an infinite value gets NaN for both; an empty one +inf and -inf.)doc");
  m.def("column_bin_counts", &column_bin_counts, py::arg("matrix"), py::arg("edges"),
        R"doc(``bin_counts`` of every column of a 2-D array in one pass over its rows.

``edges`` holds one array of increasing edges per column; returns one int64 array per column.)doc");
  m.def("transposed", &transposed, py::arg("matrix"),
        R"doc(The columns of a 2-D array as the rows of a new C-ordered float64 array.)doc");
}

}  // namespace kova::kernels
