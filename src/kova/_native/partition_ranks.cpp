// Per-partition passes of Spearman's correlation on partitioned data (kova._kernels): the value
// counts that give every value its global rank and their merge, the lookup of ranks in merged
// tables, and the rank-product sums. Each is one pass (or one sort) over a partition's column.
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
#include "kova/scratch.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using association::DoubleView;

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
  // the distinct values end up at the front of `kept`, their counts in `counts`
  std::vector<double>& kept = scratch<double, struct KeptValues>();
  std::vector<std::int64_t>& counts = scratch<std::int64_t, struct DistinctCounts>();
  {
    py::gil_scoped_release unlocked;
    const DoubleView mask = masked ? view_of(mask_array) : view;
    for (std::size_t i = 0; i < view.size(); ++i) {
      if (!std::isnan(view[i]) && !std::isnan(mask[i])) kept.push_back(view[i]);
    }
    radix_sort(kept.data(), kept.size(), scratch<std::uint64_t, struct SortKeys>(),
               scratch<std::uint64_t, struct SpareKeys>());
    for (const double value : kept) {
      if (!counts.empty() && kept[counts.size() - 1] == value) {  // -0.0 and 0.0 are one value
        ++counts.back();
      } else {
        kept[counts.size()] = value;
        counts.push_back(1);
      }
    }
  }
  py::array_t<double> distinct(static_cast<py::ssize_t>(counts.size()));
  std::copy(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(counts.size()),
            distinct.mutable_data());
  return py::make_tuple(distinct, to_array(counts));
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
  if (runs.empty())
    return py::make_tuple(to_array(std::vector<double>{}), to_array(std::vector<std::int64_t>{}));
  const Run& whole = runs[0];
  py::array_t<double> values(static_cast<py::ssize_t>(whole.size));
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(whole.size));
  std::copy(whole.values, whole.values + whole.size, values.mutable_data());
  std::copy(whole.counts, whole.counts + whole.size, counts.mutable_data());
  return py::make_tuple(values, counts);
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
    std::vector<std::uint64_t>& keys = scratch<std::uint64_t, struct SortKeys>();
    std::vector<std::size_t>& order = scratch<std::size_t, struct SortedRows>();
    for (std::size_t i = 0; i < view.size(); ++i) {
      if (std::isnan(view[i])) continue;
      keys.push_back(radix::key_of(view[i] == 0.0 ? 0.0 : view[i]));  // -0.0 ties with 0.0
      order.push_back(i);
    }
    radix::sort_by_key(keys, order, scratch<std::uint64_t, struct SpareKeys>(),
                       scratch<std::size_t, struct SpareRows>());
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

void define_partition_ranks(py::module_& m) {
  m.def("finite_value_counts", &finite_value_counts, py::arg("x"), py::arg("other") = py::none(),
        R"doc(Sorted distinct values of a float array other than NaN, and their counts.

With ``other`` (a float array of the same length) only the rows where ``other`` is not NaN
either are counted. Returns (float64 values, int64 counts); -0.0 and 0.0 are one value.)doc");

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
