// Shared pieces of the boosted depth-1 trees (stumps) of kova._kernels: bins of a value, the seeded
// generator and argument arrays.
//
// Each feature's values are cut at thresholds t[0] < t[1] < ...; bin b of a value x is the number
// of thresholds <= x, so bin b holds [t[b-1], t[b]). A feature with k thresholds has the k + 1
// value bins 0..k and one more bin, k + 1, for its missing values (NaN).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kova::stumps {

namespace py = pybind11;

using FloatArray = py::array_t<double, py::array::forcecast>;
using ContiguousFloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Columns = std::vector<std::vector<double>>;

template <typename Array = FloatArray>
Array as_array(const py::object& values, py::ssize_t ndim, const char* function,
               const char* argument) {
  Array array(values);  // raises numpy's own error for what does not convert
  if (array.ndim() != ndim) {
    throw py::value_error(std::string(function) + "(): '" + argument + "' must be " +
                          std::to_string(ndim) + "-dimensional, got " +
                          std::to_string(array.ndim()) + " dimensions");
  }
  return array;
}

// Bin of a present x: the number of thresholds <= x. A branch-free binary search: the comparisons
// of random values cannot be predicted, and binning visits every entry of the data.
inline std::size_t bin_of(const std::vector<double>& thresholds, double x) {
  if (thresholds.empty()) return 0;
  const double* base = thresholds.data();
  for (std::size_t size = thresholds.size(); size > 1;) {
    const std::size_t half = size / 2;
    base = base[half] <= x ? base + half : base;
    size -= half;
  }
  return static_cast<std::size_t>(base - thresholds.data()) + (*base <= x);
}

// Bin of any x: its value bin, or the missing bin after the value bins when x is NaN.
inline std::size_t bin_or_missing(const std::vector<double>& thresholds, double x) {
  return std::isnan(x) ? thresholds.size() + 1 : bin_of(thresholds, x);
}

// splitmix64: a small, portable generator, so that a seed draws the same rows everywhere.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}

  // A uniform double in [0, 1).
  double unit() {
    state_ += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }

 private:
  std::uint64_t state_;
};

// Checks that `thresholds` has one increasing vector per column of `matrix`; returns the largest
// number of value bins of a column.
std::size_t check_thresholds(const FloatArray& matrix, const Columns& thresholds,
                             const char* function);

}  // namespace kova::stumps
