// Per-partition passes of the association matrix of partitioned data (kova._kernels): the value
// counts that give every value its global rank, the joint counts of category codes, the per-level
// statistics of the correlation ratio and the rank-product sums of Spearman's correlation. Each
// is one pass (or one sort) over a partition's columns; the caller merges their small results.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/column_sort.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/radix_sort.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using CodeArray = py::array_t<std::int64_t, py::array::forcecast>;
using association::CodeView;
using association::DoubleView;

py::array_t<std::int64_t> int_array(const std::vector<std::int64_t>& cells) {
  py::array_t<std::int64_t> result(static_cast<py::ssize_t>(cells.size()));
  std::copy(cells.begin(), cells.end(), result.mutable_data());
  return result;
}

py::array_t<double> float_array(const std::vector<double>& cells) {
  py::array_t<double> result(static_cast<py::ssize_t>(cells.size()));
  std::copy(cells.begin(), cells.end(), result.mutable_data());
  return result;
}

// ---------------------------------------------------------------------------------------------
// Value counts

// Sorted distinct values of x other than NaN, at rows where `other` (when given) is not NaN
// either, and their counts.
py::tuple finite_value_counts(const py::object& x, const py::object& other) {
  constexpr const char* kName = "finite_value_counts";
  const auto values = as_array(x, 1, kName, "x");
  const DoubleView view = view_of(values);
  FloatArray mask_array;
  const bool masked = !other.is_none();
  if (masked) {
    mask_array = as_array(other, 1, kName, "other");
    if (static_cast<std::size_t>(mask_array.shape(0)) != view.size()) {
      throw py::value_error(std::string(kName) + "(): 'x' and 'other' must have the same length");
    }
  }
  std::vector<std::int64_t> counts;
  std::vector<double> distinct;
  {
    py::gil_scoped_release unlocked;
    const DoubleView mask = masked ? view_of(mask_array) : view;
    std::vector<double> kept;
    kept.reserve(view.size());
    for (std::size_t i = 0; i < view.size(); ++i) {
      if (!std::isnan(view[i]) && !std::isnan(mask[i])) kept.push_back(view[i]);
    }
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> scratch;
    radix_sort(kept.data(), kept.size(), keys, scratch);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!distinct.empty() && distinct.back() == kept[i]) {  // -0.0 and 0.0 are one value
        ++counts.back();
      } else {
        distinct.push_back(kept[i]);
        counts.push_back(1);
      }
    }
  }
  return py::make_tuple(float_array(distinct), int_array(counts));
}

// The value counts of the union of the rows several tables (sorted values, counts) count: the
// tables are merged pairwise, neighbours first, so each value is copied log2(tables) times. With
// a `limit`, None once a merged table would hold more distinct values than that, so a table past
// the limit is never built whole.
py::object merge_value_counts(const py::sequence& tables, const py::object& limit) {
  constexpr const char* kName = "merge_value_counts";
  using Counts = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  // A table read in place from the caller's arrays, or one merged here.
  struct Run {
    const double* values = nullptr;
    const std::int64_t* counts = nullptr;
    std::size_t size = 0;
    std::vector<double> own_values;
    std::vector<std::int64_t> own_counts;
  };
  std::vector<std::pair<ContiguousFloatArray, Counts>> held;  // keeps the read tables alive
  for (py::handle table : tables) {
    const auto pair = table.cast<py::sequence>();
    const std::string name = "tables[" + std::to_string(held.size()) + "]";
    auto values = as_array<ContiguousFloatArray>(pair[0], 1, kName, name + "[0]");
    auto counts = as_array<Counts>(pair[1], 1, kName, name + "[1]");
    if (values.shape(0) != counts.shape(0)) {
      throw py::value_error(std::string(kName) + "(): " + name +
                            " must hold values and counts of one length");
    }
    held.emplace_back(std::move(values), std::move(counts));
  }
  std::vector<Run> runs(held.size());
  for (std::size_t k = 0; k < held.size(); ++k) {
    runs[k].values = held[k].first.data();
    runs[k].counts = held[k].second.data();
    runs[k].size = static_cast<std::size_t>(held[k].first.shape(0));
  }
  const std::size_t most =
      limit.is_none() ? std::numeric_limits<std::size_t>::max() : limit.cast<std::size_t>();
  bool exceeded = false;
  for (const Run& run : runs) exceeded = exceeded || run.size > most;
  if (!exceeded) {
    py::gil_scoped_release unlocked;
    auto merge = [most, &exceeded](const Run& a, const Run& b) {
      Run merged;
      std::vector<double>& values = merged.own_values;
      std::vector<std::int64_t>& counts = merged.own_counts;
      const std::size_t room = std::min(a.size + b.size, most);
      values.reserve(room);
      counts.reserve(room);
      std::size_t i = 0;
      std::size_t j = 0;
      while (i < a.size || j < b.size) {
        if (values.size() > most) {
          exceeded = true;
          break;
        }
        const bool take_a = j == b.size || (i < a.size && a.values[i] <= b.values[j]);
        const double value = take_a ? a.values[i] : b.values[j];
        const std::int64_t count = take_a ? a.counts[i++] : b.counts[j++];
        if (!values.empty() && values.back() == value) {
          counts.back() += count;
        } else {
          values.push_back(value);
          counts.push_back(count);
        }
      }
      merged.values = values.data();
      merged.counts = counts.data();
      merged.size = values.size();
      return merged;
    };
    while (runs.size() > 1 && !exceeded) {
      std::vector<Run> next;
      for (std::size_t k = 0; k + 1 < runs.size() && !exceeded; k += 2)
        next.push_back(merge(runs[k], runs[k + 1]));
      if (runs.size() % 2 == 1) next.push_back(std::move(runs.back()));
      runs = std::move(next);
    }
  }
  if (exceeded || (!runs.empty() && runs[0].size > most)) return py::none();
  if (runs.empty()) return py::make_tuple(float_array({}), int_array({}));
  const Run& whole = runs[0];
  py::array_t<double> values(static_cast<py::ssize_t>(whole.size));
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(whole.size));
  std::copy(whole.values, whole.values + whole.size, values.mutable_data());
  std::copy(whole.counts, whole.counts + whole.size, counts.mutable_data());
  return py::make_tuple(values, counts);
}

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
    std::vector<std::int64_t> table(levels_a * width, 0);
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
  std::vector<std::int64_t> present;
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
      result.append(py::make_tuple(int_array(joint.first), int_array(joint.second)));
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

// Count, mean and sum of squared deviations of x per level over the rows where the code is
// present and x is not NaN, summed in row order.
GroupStats group_stats(const CodeView& code, const DoubleView& x, std::size_t levels) {
  GroupStats s;
  s.n.assign(levels, 0.0);
  s.mean.assign(levels, 0.0);
  s.m2.assign(levels, 0.0);
  std::vector<double> sums(levels, 0.0);
  auto kept = [&](std::size_t r) { return code[r] >= 0 && !std::isnan(x[r]); };
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (!kept(r)) continue;
    const double v = x[r];
    const auto g = static_cast<std::size_t>(code[r]);
    s.n[g] += 1.0;
    sums[g] += v;
    s.finite = s.finite && std::isfinite(v);
    s.low = std::min(s.low, v);
    s.high = std::max(s.high, v);
  }
  for (std::size_t g = 0; g < levels; ++g) {
    if (s.n[g] > 0) s.mean[g] = sums[g] / s.n[g];
  }
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (!kept(r)) continue;
    const double deviation = x[r] - s.mean[static_cast<std::size_t>(code[r])];
    s.m2[static_cast<std::size_t>(code[r])] += deviation * deviation;
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
  py::list result;
  for (const FloatArray& number : numbers) {
    for (std::size_t c = 0; c < arrays.size(); ++c) {
      GroupStats s;
      const auto width = levels[c].cast<std::size_t>();
      {
        py::gil_scoped_release unlocked;
        s = group_stats(view_of(arrays[c]), view_of(number), width);
      }
      result.append(py::make_tuple(float_array(s.n), float_array(s.mean), float_array(s.m2),
                                   s.finite, s.low, s.high));
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Ranks and rank-product sums

// The ranks that each table (sorted values, ranks) gives the entries of x other than NaN (the
// rank of the first value not below the entry, the last one past the end), NaN elsewhere: x is
// sorted once (a radix sort) and each table read in one forward walk.
py::list table_ranks(const py::object& x, const py::sequence& tables) {
  constexpr const char* kName = "table_ranks";
  const auto entries = as_array(x, 1, kName, "x");
  const DoubleView view = view_of(entries);
  std::vector<std::pair<ContiguousFloatArray, ContiguousFloatArray>> arrays;
  for (py::handle table : tables) {
    const auto pair = table.cast<py::sequence>();
    const std::string name = "tables[" + std::to_string(arrays.size()) + "]";
    arrays.emplace_back(as_array<ContiguousFloatArray>(pair[0], 1, kName, name + "[0]"),
                        as_array<ContiguousFloatArray>(pair[1], 1, kName, name + "[1]"));
    if (arrays.back().first.shape(0) != arrays.back().second.shape(0)) {
      throw py::value_error(std::string(kName) + "(): " + name +
                            " must hold values and ranks of one length");
    }
  }
  std::vector<py::array_t<double>> results;
  for (std::size_t t = 0; t < arrays.size(); ++t) {
    results.emplace_back(static_cast<py::ssize_t>(view.size()));
  }
  {
    py::gil_scoped_release unlocked;
    // the rows other than NaN in value order, by a radix sort of the values' bits
    std::vector<std::uint64_t> keys;
    std::vector<std::size_t> order;
    keys.reserve(view.size());
    order.reserve(view.size());
    for (std::size_t i = 0; i < view.size(); ++i) {
      if (std::isnan(view[i])) continue;
      keys.push_back(radix::key_of(view[i] == 0.0 ? 0.0 : view[i]));  // -0.0 ties with 0.0
      order.push_back(i);
    }
    radix::sort_by_key(keys, order);
    for (std::size_t t = 0; t < arrays.size(); ++t) {
      double* out = results[t].mutable_data();
      std::fill(out, out + view.size(), association::kNaN);
      const double* values = arrays[t].first.data();
      const double* ranks = arrays[t].second.data();
      const auto size = static_cast<std::size_t>(arrays[t].first.shape(0));
      if (size == 0) continue;
      std::size_t at = 0;
      for (std::size_t k = 0; k < order.size(); ++k) {
        const double value = radix::value_of(keys[k]);
        while (at + 1 < size && values[at] < value) ++at;
        out[order[k]] = ranks[at];
      }
    }
  }
  py::list list;
  for (auto& result : results) list.append(std::move(result));
  return list;
}

// sum(dx dy), sum(dx dx), sum(dy dy) of d = rank - mean over the rows where neither rank is NaN.
std::tuple<double, double, double> rank_deviation_sums(const py::object& rx, const py::object& ry,
                                                       double mean) {
  constexpr const char* kName = "rank_deviation_sums";
  const auto xs = as_array(rx, 1, kName, "rx");
  const auto ys = as_array(ry, 1, kName, "ry");
  if (xs.shape(0) != ys.shape(0)) {
    throw py::value_error(std::string(kName) + "(): 'rx' and 'ry' must have one length");
  }
  const DoubleView x = view_of(xs);
  const DoubleView y = view_of(ys);
  double sxy = 0.0;
  double sxx = 0.0;
  double syy = 0.0;
  py::gil_scoped_release unlocked;
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (std::isnan(x[r]) || std::isnan(y[r])) continue;
    const double dx = x[r] - mean;
    const double dy = y[r] - mean;
    sxy += dx * dy;
    sxx += dx * dx;
    syy += dy * dy;
  }
  return {sxy, sxx, syy};
}

}  // namespace

void define_partition_association(py::module_& m) {
  m.def("finite_value_counts", &finite_value_counts, py::arg("x"), py::arg("other") = py::none(),
        R"doc(Sorted distinct values of a float array other than NaN, and their counts.

With ``other`` (a float array of the same length) only the rows where ``other`` is not NaN
either are counted. Returns (float64 values, int64 counts); -0.0 and 0.0 are one value.)doc");

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
of levels[c] cells, summed in row order), whether every value is finite, and their range.)doc");

  m.def("merge_value_counts", &merge_value_counts, py::arg("tables"), py::arg("limit") = py::none(),
        R"doc(Merge value-count tables: (sorted float64 values, int64 counts) pairs.

Returns one (values, counts) pair counting the union of the rows the tables count, or None when
``limit`` is given and the merged table would hold more than ``limit`` values.)doc");

  m.def("table_ranks", &table_ranks, py::arg("x"), py::arg("tables"),
        R"doc(The ranks each sorted table gives the entries of a float array, one array per table.

``tables`` holds (values, ranks) pairs of one length, values ascending. Each entry other than
NaN gets ranks[i] of the first ``values[i]`` not below it (the last one past the end); NaN
entries, and every entry of an empty table, get NaN.)doc");

  m.def(
      "rank_deviation_sums", &rank_deviation_sums, py::arg("rx"), py::arg("ry"), py::arg("mean"),
      R"doc((sum dx*dy, sum dx*dx, sum dy*dy) of d = rank - mean over the rows where neither rank is NaN.)doc");
}

}  // namespace kova::kernels
