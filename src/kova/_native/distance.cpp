// Two-sample distance kernels of kova._kernels: binning of a column against increasing edges
// (codes and counts) and the Kolmogorov-Smirnov and first Wasserstein distances of two sorted
// samples, each in one linear pass. float64 arrays are read in place, whatever their strides.
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
    bins_ = edges_.size() - 1;
    scale_ = static_cast<double>(bins_) / (edges_.back() - edges_.front());
  }

  std::size_t bins() const { return bins_; }

  // The bin of value, or -1 when it lies outside [first edge, last edge] or is NaN.
  std::int64_t code(double value) const {
    if (!(value >= edges_.front() && value <= edges_.back())) return -1;
    auto bin = static_cast<std::size_t>((value - edges_.front()) * scale_);
    bin = std::min(bin, bins_ - 1);
    while (bin > 0 && value < edges_[bin]) --bin;
    while (bin + 1 < bins_ && value >= edges_[bin + 1]) ++bin;
    return static_cast<std::int64_t>(bin);
  }

 private:
  std::vector<double> edges_;
  std::size_t bins_ = 0;
  double scale_ = 0.0;
};

py::array_t<std::int64_t> bin_codes(const py::object& values, const py::object& edges) {
  const FloatArray x = as_vector(values, "bin_codes", "values");
  const FloatArray e = as_vector(edges, "bin_codes", "edges");
  const Binner binner(view_of(e), "bin_codes");
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
  const Binner binner(view_of(e), "bin_counts");
  const DoubleView column = view_of(x);
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(binner.bins()));
  std::int64_t* out = counts.mutable_data();
  std::fill(out, out + binner.bins(), 0);
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < column.size(); ++i) {
      const std::int64_t bin = binner.code(column[i]);
      if (bin >= 0) ++out[bin];
    }
  }
  return counts;
}

// A sample sorted in increasing order without NaN, checked in one pass.
DoubleView sorted_sample(const FloatArray& array, const char* function, const char* argument) {
  const DoubleView sample = view_of(array);
  bool sorted = sample.size() == 0 || !std::isnan(sample[0]);
  for (std::size_t i = 1; sorted && i < sample.size(); ++i) sorted = sample[i - 1] <= sample[i];
  if (!sorted) {
    throw py::value_error(std::string(function) + "(): '" + argument +
                          "' must be sorted in increasing order and hold no NaN");
  }
  return sample;
}

// Walks the pooled distinct values of two sorted samples in increasing order. At each stop,
// below() and above() count the values of a and b that are <= the current value.
class EcdfWalk {
 public:
  EcdfWalk(const DoubleView& a, const DoubleView& b) : a_(a), b_(b) {
    value_ = std::min(a_[0], b_[0]);
    settle();
  }

  bool done() const { return i_ == a_.size() || j_ == b_.size(); }
  bool exhausted() const { return i_ == a_.size() && j_ == b_.size(); }
  double value() const { return value_; }

  // Difference of the two empirical distribution functions at the current value.
  double gap() const {
    return static_cast<double>(i_) / static_cast<double>(a_.size()) -
           static_cast<double>(j_) / static_cast<double>(b_.size());
  }

  void advance() {
    const double inf = std::numeric_limits<double>::infinity();
    value_ = std::min(i_ < a_.size() ? a_[i_] : inf, j_ < b_.size() ? b_[j_] : inf);
    settle();
  }

 private:
  void settle() {
    while (i_ < a_.size() && a_[i_] <= value_) ++i_;
    while (j_ < b_.size() && b_[j_] <= value_) ++j_;
  }

  const DoubleView& a_;
  const DoubleView& b_;
  std::size_t i_ = 0;
  std::size_t j_ = 0;
  double value_ = 0.0;
};

double ks_sorted(const py::object& sample1, const py::object& sample2) {
  const FloatArray x = as_vector(sample1, "ks_sorted", "sample1");
  const FloatArray y = as_vector(sample2, "ks_sorted", "sample2");
  const DoubleView a = sorted_sample(x, "ks_sorted", "sample1");
  const DoubleView b = sorted_sample(y, "ks_sorted", "sample2");
  if (a.size() == 0 || b.size() == 0) return kNaN;
  py::gil_scoped_release release;
  // Once one sample is used up its distribution function is 1 and the gap only shrinks.
  double largest = 0.0;
  for (EcdfWalk walk(a, b);; walk.advance()) {
    largest = std::max(largest, std::fabs(walk.gap()));
    if (walk.done()) break;
  }
  return largest;
}

double wasserstein1_sorted(const py::object& sample1, const py::object& sample2) {
  const FloatArray x = as_vector(sample1, "wasserstein1_sorted", "sample1");
  const FloatArray y = as_vector(sample2, "wasserstein1_sorted", "sample2");
  const DoubleView a = sorted_sample(x, "wasserstein1_sorted", "sample1");
  const DoubleView b = sorted_sample(y, "wasserstein1_sorted", "sample2");
  if (a.size() == 0 || b.size() == 0) return kNaN;
  py::gil_scoped_release release;
  // Area between the distribution functions, with compensated (Neumaier) summation.
  double sum = 0.0;
  double compensation = 0.0;
  for (EcdfWalk walk(a, b); !walk.exhausted();) {
    const double gap = std::fabs(walk.gap());
    const double from = walk.value();
    walk.advance();
    const double term = gap * (walk.value() - from);
    const double total = sum + term;
    compensation += std::fabs(sum) >= std::fabs(term) ? (sum - total) + term : (term - total) + sum;
    sum = total;
  }
  return sum + compensation;
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
}

}  // namespace kova::kernels
