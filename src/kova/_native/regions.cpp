// Region-search kernel of kova._kernels: for one parent region (a sorted list of rows), the
// counts, loss sums and sums of squares of every bin of every feature over the parent's rows,
// and from them the condition on each feature whose sub-region of the parent has the largest
// score: its impact, sum over its rows of (loss - mean), less z times the spread of that sum,
// sqrt(sum of squared deviations from the region's mean loss). A condition is an interval of
// adjacent bins for an ordered feature, a set of levels (the first k levels by mean loss, which
// holds the impact-maximising set) for an unordered one, or the missing bin alone. The parent is
// pruned when no sub-region can beat a given score: the sum of the positive excesses of its rows
// bounds the impact, and so the score, of every sub-region.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kova/kernel_parts.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using Codes = py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<bool, py::array::c_style | py::array::forcecast>;

// Count, loss sum and sum of squared losses of a set of rows.
struct Moments {
  std::int64_t count = 0;
  double sum = 0.0;
  double squares = 0.0;

  void add(const Moments& other) {
    count += other.count;
    sum += other.sum;
    squares += other.squares;
  }
  double score(double mean, double z) const {
    const double deviations = squares - sum * sum / static_cast<double>(count);
    return sum - static_cast<double>(count) * mean - z * std::sqrt(std::max(deviations, 0.0));
  }
};

// The best condition found on one feature: the bins it allows and the moments of its rows.
struct Best {
  std::vector<std::uint8_t> allowed;
  Moments moments;
  double score = 0.0;
  bool found = false;
};

// What every feature's search shares: the parent's size, the size rule, the overall mean and the
// weight of the spread in the score.
struct Rule {
  std::int64_t parent_size;
  std::int64_t min_size;
  double mean;
  double z;

  // A candidate counts when it is big enough and a proper part of the parent.
  bool admissible(const Moments& m) const { return m.count >= min_size && m.count < parent_size; }
};

// Counts an admissible candidate and keeps it when it beats the best so far; allowed() gives its
// bins and is called only then.
template <typename Allowed>
void consider(const Rule& rule, const Moments& m, Best& best, std::int64_t& evaluated,
              Allowed allowed) {
  if (!rule.admissible(m)) return;
  ++evaluated;
  const double score = m.score(rule.mean, rule.z);
  if (score > best.score) {
    best.score = score;
    best.moments = m;
    best.allowed = allowed();
    best.found = true;
  }
}

// A mask over the n_bins value bins and the missing bin that allows the bins first..last.
std::vector<std::uint8_t> bin_range(std::size_t n_bins, std::size_t first, std::size_t last) {
  std::vector<std::uint8_t> allowed(n_bins + 1, 0);
  std::fill(allowed.begin() + static_cast<std::ptrdiff_t>(first),
            allowed.begin() + static_cast<std::ptrdiff_t>(last) + 1, 1);
  return allowed;
}

// Every interval [a, b] of the non-missing bins whose end bins hold rows (other intervals repeat
// the rows of a narrower one).
void search_intervals(const std::vector<Moments>& bins, std::size_t n_bins, const Rule& rule,
                      Best& best, std::int64_t& evaluated) {
  for (std::size_t a = 0; a < n_bins; ++a) {
    if (bins[a].count == 0) continue;
    Moments m;
    for (std::size_t b = a; b < n_bins; ++b) {
      m.add(bins[b]);
      if (bins[b].count == 0) continue;
      consider(rule, m, best, evaluated, [&] { return bin_range(n_bins, a, b); });
    }
  }
}

// The sets of the first k present levels in decreasing order of mean loss, k = 1, 2, ...
void search_level_sets(const std::vector<Moments>& bins, std::size_t n_bins, const Rule& rule,
                       Best& best, std::int64_t& evaluated) {
  std::vector<std::size_t> levels;
  for (std::size_t b = 0; b < n_bins; ++b) {
    if (bins[b].count > 0) levels.push_back(b);
  }
  std::stable_sort(levels.begin(), levels.end(), [&](std::size_t x, std::size_t y) {
    return bins[x].sum * static_cast<double>(bins[y].count) >
           bins[y].sum * static_cast<double>(bins[x].count);
  });
  std::vector<std::uint8_t> allowed(n_bins + 1, 0);
  Moments m;
  for (const std::size_t level : levels) {
    m.add(bins[level]);
    allowed[level] = 1;
    consider(rule, m, best, evaluated, [&] { return allowed; });
  }
}

py::tuple region_conditions(const py::object& codes_obj, const py::object& n_bins_obj,
                            const py::object& ordered_obj, const py::object& loss_obj,
                            const py::object& rows_obj, const py::object& skip_obj,
                            std::int64_t min_size, double mean, double z, double floor) {
  const Codes codes(codes_obj);
  const Ints n_bins(n_bins_obj);
  const Flags ordered(ordered_obj);
  const Floats loss(loss_obj);
  const Ints rows(rows_obj);
  const Flags skip(skip_obj);
  if (codes.ndim() != 2) throw py::value_error("region_conditions(): 'codes' must be 2-D");
  const auto n_features = static_cast<std::size_t>(codes.shape(0));
  const auto n_rows = static_cast<std::size_t>(codes.shape(1));
  if (n_bins.ndim() != 1 || ordered.ndim() != 1 || skip.ndim() != 1 || loss.ndim() != 1 ||
      rows.ndim() != 1 || static_cast<std::size_t>(n_bins.shape(0)) != n_features ||
      static_cast<std::size_t>(ordered.shape(0)) != n_features ||
      static_cast<std::size_t>(skip.shape(0)) != n_features ||
      static_cast<std::size_t>(loss.shape(0)) != n_rows) {
    throw py::value_error(
        "region_conditions(): 'n_bins', 'ordered' and 'skip' need one entry per row of 'codes', "
        "'loss' one per column");
  }
  const std::uint16_t* code = codes.data();
  const double* losses = loss.data();
  const std::int64_t* row = rows.data();
  const auto n_parent = static_cast<std::size_t>(rows.shape(0));
  for (std::size_t i = 0; i < n_parent; ++i) {
    if (row[i] < 0 || static_cast<std::size_t>(row[i]) >= n_rows) {
      throw py::value_error("region_conditions(): 'rows' holds a row outside 'codes'");
    }
  }
  for (std::size_t f = 0; f < n_features; ++f) {
    if (n_bins.data()[f] < 0 || n_bins.data()[f] > 65534) {
      throw py::value_error("region_conditions(): 'n_bins' must lie in [0, 65534]");
    }
  }

  double bound = 0.0;
  std::int64_t evaluated = 0;
  std::vector<Best> bests(n_features);
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n_parent; ++i) {
      bound += std::max(losses[row[i]] - mean, 0.0);
    }
    const Rule rule{static_cast<std::int64_t>(n_parent), min_size, mean, z};
    for (std::size_t f = 0; bound > floor && f < n_features; ++f) {
      if (skip.data()[f]) continue;
      const auto bins = static_cast<std::size_t>(n_bins.data()[f]);
      std::vector<Moments> histogram(bins + 1);
      const std::uint16_t* column = code + f * n_rows;
      for (std::size_t i = 0; i < n_parent; ++i) {
        const double l = losses[row[i]];
        Moments& cell = histogram[std::min<std::size_t>(column[row[i]], bins)];
        ++cell.count;
        cell.sum += l;
        cell.squares += l * l;
      }
      if (ordered.data()[f]) {
        search_intervals(histogram, bins, rule, bests[f], evaluated);
      } else {
        search_level_sets(histogram, bins, rule, bests[f], evaluated);
      }
      consider(rule, histogram[bins], bests[f], evaluated,
               [&] { return bin_range(bins, bins, bins); });
    }
  }
  py::list conditions;
  for (const Best& best : bests) {
    if (!best.found) {
      conditions.append(py::none());
      continue;
    }
    py::array_t<bool> allowed(static_cast<py::ssize_t>(best.allowed.size()));
    std::copy(best.allowed.begin(), best.allowed.end(), allowed.mutable_data());
    conditions.append(
        py::make_tuple(allowed, best.moments.count, best.moments.sum, best.moments.squares));
  }
  return py::make_tuple(bound, evaluated, conditions);
}

// Count, loss sum and sum of squared losses of the rows meeting every condition: condition k
// allows the codes of feature features[k] flagged in allowed[k].
py::tuple region_moments(const py::object& codes_obj, const py::object& loss_obj,
                         const py::object& features_obj, const py::list& allowed_list) {
  const Codes codes(codes_obj);
  const Floats loss(loss_obj);
  const Ints features(features_obj);
  if (codes.ndim() != 2 || loss.ndim() != 1 || features.ndim() != 1 ||
      loss.shape(0) != codes.shape(1) ||
      static_cast<std::size_t>(features.shape(0)) != allowed_list.size()) {
    throw py::value_error(
        "region_moments(): 'codes' must be 2-D with one column per 'loss' entry, and 'allowed' "
        "needs one mask per entry of 'features'");
  }
  const auto n_rows = static_cast<std::size_t>(codes.shape(1));
  std::vector<const std::uint16_t*> columns;
  std::vector<std::vector<std::uint8_t>> masks;
  for (std::size_t k = 0; k < allowed_list.size(); ++k) {
    const std::int64_t f = features.data()[k];
    if (f < 0 || f >= codes.shape(0)) {
      throw py::value_error("region_moments(): 'features' holds a row outside 'codes'");
    }
    const Flags allowed(allowed_list[k]);
    std::vector<std::uint8_t> mask(65536, 0);  // any code outside the mask is not allowed
    const auto n_allowed = std::min<std::size_t>(static_cast<std::size_t>(allowed.size()), 65536);
    for (std::size_t c = 0; c < n_allowed; ++c) mask[c] = allowed.data()[c] ? 1 : 0;
    columns.push_back(codes.data() + static_cast<std::size_t>(f) * n_rows);
    masks.push_back(std::move(mask));
  }
  Moments total;
  {
    py::gil_scoped_release release;
    const double* losses = loss.data();
    for (std::size_t i = 0; i < n_rows; ++i) {  // without a data-dependent branch
      std::uint8_t inside = 1;
      for (std::size_t k = 0; k < columns.size(); ++k) inside &= masks[k][columns[k][i]];
      const double l = inside ? losses[i] : 0.0;
      total.count += inside;
      total.sum += l;
      total.squares += l * l;
    }
  }
  return py::make_tuple(total.count, total.sum, total.squares);
}

}  // namespace

void define_regions(py::module_& m) {
  m.def("region_moments", &region_moments, py::arg("codes"), py::arg("loss"), py::arg("features"),
        py::arg("allowed"),
        R"doc(Count, sum and sum of squares of ``loss`` over the rows meeting every condition.

``codes`` is a (features, rows) uint16 array of bin codes; condition k allows the codes of
feature ``features[k]`` flagged in the bool mask ``allowed[k]`` (codes past its end are not
allowed). No condition selects every row. Returns ``(count, sum, sum_of_squares)``.)doc");
  m.def("region_conditions", &region_conditions, py::arg("codes"), py::arg("n_bins"),
        py::arg("ordered"), py::arg("loss"), py::arg("rows"), py::arg("skip"), py::arg("min_size"),
        py::arg("mean"), py::arg("z"), py::arg("floor"),
        R"doc(The best condition on every feature within a parent region of rows.

``codes`` is a C-ordered (features, rows) uint16 array of bin codes: feature f has bins
0 .. n_bins[f] - 1 and code n_bins[f] for a missing value. ``rows`` lists the parent's rows
(int64). For every feature not flagged in ``skip`` the search considers, over the parent's rows,
every interval of adjacent bins (``ordered`` features), every set of the k levels of highest mean
loss (other features), and the missing bin alone, keeping those with at least ``min_size`` rows
and fewer than the parent. The score of a candidate is its impact, sum(loss - mean) over its
rows, less ``z`` times sqrt(sum of squared deviations of its losses from their mean).

Returns ``(bound, evaluated, conditions)``: ``bound`` = sum of max(loss - mean, 0) over the
parent's rows, which no sub-region's impact or score exceeds; ``evaluated`` = number of candidates
considered; ``conditions`` holds per feature None (skipped, nothing of positive score, or the
parent pruned because ``bound`` <= ``floor``) or ``(allowed, count, sum, sum_of_squares)`` of its
best candidate, ``allowed`` being a bool array over the n_bins[f] + 1 codes.)doc");
}

}  // namespace kova::kernels
