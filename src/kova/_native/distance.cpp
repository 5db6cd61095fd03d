// Two-sample distance kernels of kova._kernels: binning of a column against increasing edges
// (codes and counts), the Kolmogorov-Smirnov and first Wasserstein distances of two sorted
// samples, each in one linear pass, and the column passes over whole 2-D arrays (ranges, bin
// counts, transposition) that prepare them. 1-D float64 arrays are read in place, whatever
// their strides; 2-D ones when C-ordered.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/association.hpp"
#include "kova/kernel_parts.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using FloatArray = py::array_t<double, py::array::forcecast>;
using association::DoubleView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

FloatArray as_vector(const py::object& values, const char* function, const char* argument) {
  FloatArray array(values);  // numpy's own error for what does not convert
  if (array.ndim() != 1) {
    throw py::value_error(std::string(function) + "(): '" + argument +
                          "' must be 1-dimensional, got " + std::to_string(array.ndim()) +
                          " dimensions");
  }
  return array;
}

DoubleView view_of(const FloatArray& array) {
  return {array.data(), static_cast<std::size_t>(array.shape(0)), array.strides(0)};
}

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
  struct Rule {
    const double* edges;
    std::size_t bins;
    double low, high, scale;

    // The bin of value, or -1 when it lies outside [first edge, last edge] or is NaN.
    std::int64_t code(double value) const {
      if (!(value >= low && value <= high)) return -1;
      auto bin = static_cast<std::size_t>((value - low) * scale);
      bin = std::min(bin, bins - 1);
      while (bin > 0 && value < edges[bin]) --bin;
      while (bin + 1 < bins && value >= edges[bin + 1]) ++bin;
      return static_cast<std::int64_t>(bin);
    }
  };

  Rule rule() const {
    const double low = edges_.front();
    const double high = edges_.back();
    return {edges_.data(), bins(), low, high, static_cast<double>(bins()) / (high - low)};
  }

 private:
  std::vector<double> edges_;
};

py::array_t<std::int64_t> bin_codes(const py::object& values, const py::object& edges) {
  const FloatArray x = as_vector(values, "bin_codes", "values");
  const FloatArray e = as_vector(edges, "bin_codes", "edges");
  const Binner edges_rule(view_of(e), "bin_codes");
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
  const FloatArray x = as_vector(values, "bin_counts", "values");
  const FloatArray e = as_vector(edges, "bin_counts", "edges");
  const Binner edges_rule(view_of(e), "bin_counts");
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

// A sample sorted in increasing order without NaN, checked in one pass; contiguous (a strided
// array is copied), so the merges below read it through a plain pointer.
using Contiguous = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Sorted {
  const double* data;
  std::size_t size;

  // The value at position i, or +inf past the end.
  double at(std::size_t i) const {
    return i < size ? data[i] : std::numeric_limits<double>::infinity();
  }
};

Sorted sorted_sample(const Contiguous& array, const char* function, const char* argument) {
  if (array.ndim() != 1) {
    throw py::value_error(std::string(function) + "(): '" + argument +
                          "' must be 1-dimensional, got " + std::to_string(array.ndim()) +
                          " dimensions");
  }
  const Sorted sample{array.data(), static_cast<std::size_t>(array.shape(0))};
  bool sorted = sample.size == 0 || !std::isnan(sample.data[0]);
  for (std::size_t i = 1; sorted && i < sample.size; ++i) {
    sorted = sample.data[i - 1] <= sample.data[i];
  }
  if (!sorted) {
    throw py::value_error(std::string(function) + "(): '" + argument +
                          "' must be sorted in increasing order and hold no NaN");
  }
  return sample;
}

// Both distances merge the two sorted samples in increasing order of value, taking the next
// value from each sample that holds it, without a data-dependent branch. Once i values of a
// and j of b are taken, the distribution functions differ by (i m - j n) / (n m); the integer
// numerator is exact in double arithmetic while n m < 2^53, and the one division comes last.
// A stop whose next value equals the current one is a tie still being taken.

double ks_sorted(const py::object& sample1, const py::object& sample2) {
  const Contiguous x(sample1);
  const Contiguous y(sample2);
  const Sorted a = sorted_sample(x, "ks_sorted", "sample1");
  const Sorted b = sorted_sample(y, "ks_sorted", "sample2");
  if (a.size == 0 || b.size == 0) return kNaN;
  py::gil_scoped_release release;
  const auto n = static_cast<double>(a.size);
  const auto m = static_cast<double>(b.size);
  double largest = 0.0;
  double value = 0.0;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size && j < b.size) {
    const double u = a.data[i];
    const double v = b.data[j];
    value = std::min(u, v);
    i += u == value;
    j += v == value;
    const double next = std::min(a.at(i), b.at(j));
    const double gap = std::fabs(static_cast<double>(i) * m - static_cast<double>(j) * n);
    largest = next > value && gap > largest ? gap : largest;
  }
  // One sample is used up: take the other's values tied with the last one. From there its
  // distribution function only climbs towards 1 and the gap only shrinks.
  while (i < a.size && a.data[i] <= value) ++i;
  while (j < b.size && b.data[j] <= value) ++j;
  largest = std::max(largest, std::fabs(static_cast<double>(i) * m - static_cast<double>(j) * n));
  return largest / (n * m);
}

double wasserstein1_sorted(const py::object& sample1, const py::object& sample2) {
  const Contiguous x(sample1);
  const Contiguous y(sample2);
  const Sorted a = sorted_sample(x, "wasserstein1_sorted", "sample1");
  const Sorted b = sorted_sample(y, "wasserstein1_sorted", "sample2");
  if (a.size == 0 || b.size == 0) return kNaN;
  py::gil_scoped_release release;
  const auto n = static_cast<double>(a.size);
  const auto m = static_cast<double>(b.size);
  // Area between the distribution functions, with compensated (Neumaier) summation. A tie
  // still being taken adds a strip of zero width.
  double sum = 0.0;
  double compensation = 0.0;
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    const double u = a.at(i);
    const double v = b.at(j);
    const double value = std::min(u, v);
    i += u == value;
    j += v == value;
    if (i == a.size && j == b.size) break;
    const double next = std::min(a.at(i), b.at(j));
    const double gap = std::fabs(static_cast<double>(i) * m - static_cast<double>(j) * n);
    const double term = gap * (next - value);
    const double total = sum + term;
    compensation += std::fabs(sum) >= std::fabs(term) ? (sum - total) + term : (term - total) + sum;
    sum = total;
  }
  return (sum + compensation) / (n * m);
}

// ------------------------------------------------------------- whole matrices, row by row

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

Matrix as_matrix(const py::object& values, const char* function) {
  Matrix matrix(values);  // a C-ordered float64 copy only when values is not one already
  if (matrix.ndim() != 2) {
    throw py::value_error(std::string(function) + "(): 'matrix' must be 2-dimensional, got " +
                          std::to_string(matrix.ndim()) + " dimensions");
  }
  return matrix;
}

// Visits a C-ordered matrix in blocks of rows that stay in cache, column by column within a
// block: visit(column, first value, count, stride) sees each column's values of the block, so
// per-column state lives in registers while the memory is still read row after row.
template <typename Visit>
void for_column_blocks(const double* data, std::size_t rows, std::size_t cols, Visit visit) {
  constexpr std::size_t kBlockRows = 128;
  for (std::size_t start = 0; start < rows; start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, rows - start);
    for (std::size_t c = 0; c < cols; ++c) visit(c, data + start * cols + c, count, cols);
  }
}

py::array_t<double> column_ranges(const py::object& values) {
  const Matrix matrix = as_matrix(values, "column_ranges");
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
    for_column_blocks(matrix.data(), rows, cols,
                      [&](std::size_t c, const double* first, std::size_t count, std::size_t step) {
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
  const Matrix matrix = as_matrix(values, "column_bin_counts");
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  if (py::len(edges) != cols) {
    throw py::value_error("column_bin_counts(): 'edges' must hold one array per column");
  }
  std::vector<Binner> binners;
  for (const py::handle column_edges : edges) {
    const FloatArray e =
        as_vector(py::reinterpret_borrow<py::object>(column_edges), "column_bin_counts", "edges");
    binners.emplace_back(view_of(e), "column_bin_counts");
  }
  std::vector<std::vector<std::int64_t>> counts(cols);
  for (std::size_t c = 0; c < cols; ++c) counts[c].assign(binners[c].bins(), 0);
  {
    py::gil_scoped_release release;
    for_column_blocks(matrix.data(), rows, cols,
                      [&](std::size_t c, const double* first, std::size_t count, std::size_t step) {
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
  const Matrix matrix = as_matrix(values, "transposed");
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  py::array_t<double> result({static_cast<py::ssize_t>(cols), static_cast<py::ssize_t>(rows)});
  double* out = result.mutable_data();
  py::gil_scoped_release release;
  const double* data = matrix.data();
  for_column_blocks(data, rows, cols,
                    [&](std::size_t c, const double* first, std::size_t count, std::size_t step) {
                      double* target =
                          out + c * rows + static_cast<std::size_t>(first - data) / cols;
                      for (std::size_t k = 0; k < count; ++k) target[k] = first[k * step];
                    });
  return result;
}

}  // namespace

void define_distance(py::module_& m) {
  m.def("bin_codes", &bin_codes, py::arg("values"), py::arg("edges"),
        R"doc(Bin of every value among the increasing ``edges``, as an int64 array.

Bin i is [edges[i], edges[i + 1]); the top bin is closed above. Values outside
[edges[0], edges[-1]] and NaN get -1.)doc");
  m.def("bin_counts", &bin_counts, py::arg("values"), py::arg("edges"),
        R"doc(Number of values in every bin of the increasing ``edges``, as an int64 array.

The bins are those of ``bin_codes``; values outside them and NaN are not counted.)doc");
  m.def("ks_sorted", &ks_sorted, py::arg("sample1"), py::arg("sample2"),
        R"doc(Two-sample Kolmogorov-Smirnov statistic of two samples sorted in increasing order.

The largest absolute difference of their empirical distribution functions; NaN when a sample is
empty.)doc");
  m.def("wasserstein1_sorted", &wasserstein1_sorted, py::arg("sample1"), py::arg("sample2"),
        R"doc(First Wasserstein distance of two samples sorted in increasing order.

The area between their empirical distribution functions; NaN when a sample is empty.)doc");
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
