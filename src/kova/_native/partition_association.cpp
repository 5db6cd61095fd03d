// Per-partition passes over the categorical columns of partitioned data (kova._kernels): the
// joint counts of category codes (Theil's U) and the per-level statistics of every numerical
// column (the correlation ratio). Each is one pass over a partition's columns; the caller merges
// their small results.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/scratch.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using CodeArray = py::array_t<std::int64_t, py::array::forcecast>;
using association::CodeView;
using association::DoubleView;

// ---------------------------------------------------------------------------------------------
// Joint counts of category codes

// Distinct keys a * width + b of the rows where both codes are present, and their counts.
std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> joint_of(const CodeView& a,
                                                                         const CodeView& b,
                                                                         std::size_t levels_a,
                                                                         std::size_t width) {
  const std::size_t n = a.size();
  std::vector<std::int64_t> keys;
  std::vector<std::int64_t> counts;
  const std::size_t cells_limit = 4 * n + 65536;
  if (width == 0 || levels_a <= cells_limit / width) {
    std::vector<std::int64_t>& table = scratch<std::int64_t, struct JointCells>();
    table.resize(levels_a * width, 0);
    for (std::size_t r = 0; r < n; ++r) {
      const std::int64_t x = a[r];
      const std::int64_t y = b[r];
      if (x >= 0 && y >= 0) ++table[static_cast<std::size_t>(x) * width + y];
    }
    for (std::size_t cell = 0; cell < table.size(); ++cell) {
      if (table[cell] == 0) continue;
      keys.push_back(static_cast<std::int64_t>(cell));
      counts.push_back(table[cell]);
    }
    return {keys, counts};
  }
  std::vector<std::int64_t>& present = scratch<std::int64_t, struct PresentKeys>();
  for (std::size_t r = 0; r < n; ++r) {
    if (a[r] >= 0 && b[r] >= 0) present.push_back(a[r] * static_cast<std::int64_t>(width) + b[r]);
  }
  std::sort(present.begin(), present.end());
  for (const std::int64_t key : present) {
    if (!keys.empty() && keys.back() == key) {
      ++counts.back();
    } else {
      keys.push_back(key);
      counts.push_back(1);
    }
  }
  return {keys, counts};
}

std::vector<CodeArray> code_arrays(const py::sequence& codes, const py::sequence& levels,
                                   const char* function) {
  if (py::len(codes) != py::len(levels)) {
    throw py::value_error(std::string(function) +
                          "(): 'codes' and 'levels' must have the same length");
  }
  std::vector<CodeArray> arrays;
  for (py::handle column : codes) {
    arrays.push_back(
        as_array<CodeArray>(column, 1, function, "codes[" + std::to_string(arrays.size()) + "]"));
    const CodeView view = view_of(arrays.back());
    const auto bound = levels[arrays.size() - 1].cast<std::int64_t>();
    for (std::size_t r = 0; r < view.size(); ++r) {
      if (view[r] < -1 || view[r] >= bound) {
        throw py::value_error(std::string(function) + "(): codes[" +
                              std::to_string(arrays.size() - 1) + "] must lie in [-1, " +
                              std::to_string(bound) + "), got " + std::to_string(view[r]));
      }
    }
    if (view.size() != view_of(arrays.front()).size()) {
      throw py::value_error(std::string(function) + "(): all code arrays must have one length");
    }
  }
  return arrays;
}

py::list joint_code_counts(const py::sequence& codes, const py::sequence& levels) {
  const auto arrays = code_arrays(codes, levels, "joint_code_counts");
  std::vector<std::size_t> sizes;
  for (py::handle level : levels) sizes.push_back(level.cast<std::size_t>());
  py::list result;
  for (std::size_t a = 0; a < arrays.size(); ++a) {
    for (std::size_t b = a + 1; b < arrays.size(); ++b) {
      std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> joint;
      {
        py::gil_scoped_release unlocked;
        joint = joint_of(view_of(arrays[a]), view_of(arrays[b]), sizes[a], sizes[b]);
      }
      result.append(py::make_tuple(to_array(joint.first), to_array(joint.second)));
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Per-level statistics of the correlation ratio

struct GroupStats {
  std::vector<double> n, mean, m2;
  bool finite = true;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
};

// Sums of the rows of one level: count, and sum and sum of squares of value - shift.
struct LevelSums {
  double n = 0.0, sum = 0.0, squares = 0.0;
};

// The mean of the finite values of x (0 when there are none): the shift the sums are taken
// around, so that sum of squares minus squared sum loses no precision that matters. The error
// of a level's squared deviations is then a rounding of at most the squares of the level's
// distance from the column mean, a share of the total sum of squares the correlation ratio
// divides by.
double finite_mean(const DoubleView& x) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t r = 0; r < x.size(); ++r) {
    const bool finite = std::isfinite(x[r]);
    sum += finite ? x[r] : 0.0;
    count += finite;
  }
  return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

// Count, mean and sum of squared deviations of x per level over the rows where the code is
// present and x is not NaN, in one pass. Branch-free: the other rows add to a spare level past
// the last, since missing entries come at random and a branch on them would be mispredicted.
GroupStats group_stats(const CodeView& code, const DoubleView& x, std::size_t levels,
                       double shift) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::vector<LevelSums> sums(levels + 1);
  bool finite = true;
  double low = kInfinity;
  double high = -kInfinity;
  for (std::size_t r = 0; r < x.size(); ++r) {
    const double v = x[r];
    const bool kept = (code[r] >= 0) & !std::isnan(v);
    const std::size_t level = kept ? static_cast<std::size_t>(code[r]) : levels;
    LevelSums& cell = sums[level];
    const double deviation = kept ? v - shift : 0.0;
    cell.n += 1.0;
    cell.sum += deviation;
    cell.squares += deviation * deviation;
    finite &= !kept | std::isfinite(v);
    low = std::min(low, kept ? v : kInfinity);
    high = std::max(high, kept ? v : -kInfinity);
  }
  GroupStats s;
  s.finite = finite;
  s.low = low;
  s.high = high;
  for (std::size_t g = 0; g < levels; ++g) {
    const LevelSums& level = sums[g];
    const double mean = level.n > 0 ? level.sum / level.n : 0.0;
    s.n.push_back(level.n);
    s.mean.push_back(level.n > 0 ? shift + mean : 0.0);
    s.m2.push_back(std::max(level.squares - mean * level.sum, 0.0));
  }
  return s;
}

py::list grouped_value_stats(const py::sequence& codes, const py::sequence& levels,
                             const py::sequence& values) {
  constexpr const char* kName = "grouped_value_stats";
  const auto arrays = code_arrays(codes, levels, kName);
  std::vector<FloatArray> numbers;
  for (py::handle column : values) {
    numbers.push_back(as_array(column, 1, kName, "values[" + std::to_string(numbers.size()) + "]"));
    if (!arrays.empty() && numbers.back().shape(0) != arrays.front().shape(0)) {
      throw py::value_error(std::string(kName) + "(): values and codes must have one length");
    }
  }
  std::vector<std::size_t> sizes;
  for (py::handle level : levels) sizes.push_back(level.cast<std::size_t>());
  std::vector<GroupStats> stats;
  {
    py::gil_scoped_release unlocked;
    for (const FloatArray& number : numbers) {
      const DoubleView x = view_of(number);
      const double shift = finite_mean(x);
      for (std::size_t c = 0; c < arrays.size(); ++c) {
        stats.push_back(group_stats(view_of(arrays[c]), x, sizes[c], shift));
      }
    }
  }
  py::list result;
  for (const GroupStats& s : stats) {
    result.append(
        py::make_tuple(to_array(s.n), to_array(s.mean), to_array(s.m2), s.finite, s.low, s.high));
  }
  return result;
}

}  // namespace

void define_partition_association(py::module_& m) {
  m.def("joint_code_counts", &joint_code_counts, py::arg("codes"), py::arg("levels"),
        R"doc(Joint counts of every pair of code columns, as a list in pair order (0,1), (0,2), ...

``codes`` holds k equal-length int64 arrays of codes in [-1, levels[c]) (-1 missing). Each item
is (keys, counts) of the rows where both codes are present: the sorted distinct keys
a * levels[b] + b and their int64 counts.)doc");

  m.def("grouped_value_stats", &grouped_value_stats, py::arg("codes"), py::arg("levels"),
        py::arg("values"),
        R"doc(Per-level statistics of every float column grouped by every code column.

Returns a list, value column by value column and code column by code column, of
(n, mean, m2, finite, low, high) over the rows where the code is present and the value is not
NaN: per-level counts, means and sums of squared deviations from the level mean (float64 arrays
of levels[c] cells), whether every value is finite, and their range.)doc");
}

}  // namespace kova::kernels
