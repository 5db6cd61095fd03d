// Gradient-boosted depth-1 trees (stumps) for the squared error, on histogram bins.
//
// Each feature's values are cut at thresholds t[0] < t[1] < ...; bin b of a value x is the number
// of thresholds <= x, so bin b holds [t[b-1], t[b]). A stump sends the bins [lo, hi] of one
// feature to one leaf and the other bins to the other: a prefix of the bins for a numerical
// feature (x < t[hi]), a single bin for a categorical one (one code against the rest).
//
// The model is additive in the features, so the fitted stumps are kept folded into one table per
// feature: table[f][b] is the sum of the contributions of every stump on f to the rows of bin b.
// A prediction is intercept + table[0][bin] + table[1][bin] + ..., added in feature order.
//
// Training keeps the gradients g = prediction - y (the Hessian of the squared error is 1) and
// the gradient histogram of every feature, built from the column-major bin matrix. Each round
// picks the split of largest gain over all features, adds the leaf value of each bin to the table
// and to the gradients of its rows, and brings the histograms up to date from the rows on the
// smaller side of the split alone (with row sampling they are rebuilt every round instead).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/kernel_parts.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

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

// Bin of x: the number of thresholds <= x. A branch-free binary search: the comparisons of
// random values cannot be predicted, and binning visits every entry of the data.
std::size_t bin_of(const std::vector<double>& thresholds, double x) {
  if (thresholds.empty()) return 0;
  const double* base = thresholds.data();
  for (std::size_t size = thresholds.size(); size > 1;) {
    const std::size_t half = size / 2;
    base = base[half] <= x ? base + half : base;
    size -= half;
  }
  return static_cast<std::size_t>(base - thresholds.data()) + (*base <= x);
}

// ------------------------------------------------------------------------------------------
// Thresholds

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

// The distinct values of every column in increasing order, in one pass over the rows; a column
// with more than `limit` of them gets an empty vector and leaves the pass.
Columns distinct_up_to(const MatrixView& x, std::size_t limit) {
  Columns distinct(static_cast<std::size_t>(x.shape(1)));
  std::vector<std::size_t> open;
  for (std::size_t f = 0; f < distinct.size(); ++f) open.push_back(f);
  for (py::ssize_t i = 0; i < x.shape(0) && !open.empty(); ++i) {
    for (std::size_t k = 0; k < open.size();) {
      const std::size_t f = open[k];
      if (insert_distinct(distinct[f], x(i, static_cast<py::ssize_t>(f)), limit)) {
        ++k;
      } else {
        distinct[f].clear();
        open[k] = open.back();
        open.pop_back();
      }
    }
  }
  return distinct;
}

// Thresholds at the quantiles j / max_bins of `values` (which it sorts), without repeats and
// above their minimum, so that every bin holds at least one value.
std::vector<double> quantile_thresholds(std::vector<double>& values, std::size_t max_bins) {
  std::sort(values.begin(), values.end());
  std::vector<double> quantiles;
  for (std::size_t j = 1; j < max_bins; ++j) {
    const double quantile = values[j * values.size() / max_bins];
    if (quantile > values.front() && (quantiles.empty() || quantile > quantiles.back())) {
      quantiles.push_back(quantile);
    }
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
// max_bins of them (each value its own bin), otherwise quantiles. A categorical column must have
// at most max_bins distinct codes, since each code needs its own bin.
Columns column_thresholds(const MatrixView& x, const std::vector<bool>& categorical,
                          std::size_t max_bins, std::uint64_t seed) {
  Columns thresholds = distinct_up_to(x, max_bins);
  std::vector<std::size_t> many;  // the columns with more than max_bins distinct values
  for (std::size_t f = 0; f < thresholds.size(); ++f) {
    if (!thresholds[f].empty()) {
      thresholds[f] = midpoints(thresholds[f]);
    } else if (categorical[f]) {
      throw py::value_error("stump_thresholds(): categorical column " + std::to_string(f) +
                            " has more than max_bins=" + std::to_string(max_bins) +
                            " distinct codes");
    } else {
      many.push_back(f);
    }
  }
  if (many.empty()) return thresholds;
  Columns values(many.size());
  for (std::size_t i : quantile_rows(static_cast<std::size_t>(x.shape(0)), seed)) {
    for (std::size_t k = 0; k < many.size(); ++k) {
      values[k].push_back(x(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(many[k])));
    }
  }
  for (std::size_t k = 0; k < many.size(); ++k) {
    thresholds[many[k]] = quantile_thresholds(values[k], max_bins);
  }
  return thresholds;
}

py::list stump_thresholds(const py::object& X, const std::vector<bool>& categorical,
                          std::size_t max_bins, std::uint64_t seed) {
  const FloatArray matrix = as_array(X, 2, "stump_thresholds", "X");
  const auto x = matrix.unchecked<2>();
  if (categorical.size() != static_cast<std::size_t>(x.shape(1))) {
    throw py::value_error("stump_thresholds(): one flag per column");
  }
  if (max_bins < 2 || max_bins > 65536) {
    throw py::value_error("stump_thresholds(): max_bins must be in [2, 65536]");
  }
  if (x.shape(0) == 0) throw py::value_error("stump_thresholds(): 'X' has no rows");
  Columns thresholds;
  {
    py::gil_scoped_release release;
    thresholds = column_thresholds(x, categorical, max_bins, seed);
  }
  py::list result;
  for (const auto& t : thresholds) result.append(py::array_t<double>(t.size(), t.data()));
  return result;
}

// ------------------------------------------------------------------------------------------
// Binning

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
        out[f * n + i] = static_cast<Bin>(bin_of(thresholds[f], x(i, f)));
      }
    }
  }
  return std::move(bins);
}

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

py::array bin_columns(const py::object& X, const Columns& thresholds) {
  const FloatArray matrix = as_array(X, 2, "bin_columns", "X");
  const std::size_t most_bins = check_thresholds(matrix, thresholds, "bin_columns");
  if (most_bins <= 256) return bin_matrix<std::uint8_t>(matrix, thresholds);
  if (most_bins <= 65536) return bin_matrix<std::uint16_t>(matrix, thresholds);
  throw py::value_error("bin_columns(): more than 65536 bins");
}

// ------------------------------------------------------------------------------------------
// Training

struct BoostSettings {
  std::size_t n_estimators;
  double learning_rate;
  double reg_lambda;
  double min_samples_leaf;
  double subsample;
  std::uint64_t seed;
};

struct Split {
  std::size_t feature = 0, lo = 0, hi = 0;  // the bins [lo, hi] go to the "in" leaf
  double grad_in = 0.0, count_in = 0.0, grad_out = 0.0, count_out = 0.0;
  double gain = 0.0;
};

// Gradient sums per bin of one column. Four interleaved partial histograms keep consecutive rows
// of the same bin from waiting on each other's store.
template <typename Bin>
void gradient_histogram(const Bin* column, const double* grad, std::size_t n,
                        std::vector<double>& partial, double* hist, std::size_t n_bins) {
  std::fill(partial.begin(), partial.begin() + 4 * n_bins, 0.0);
  double* h0 = partial.data();
  double* h1 = h0 + n_bins;
  double* h2 = h1 + n_bins;
  double* h3 = h2 + n_bins;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    h0[column[i]] += grad[i];
    h1[column[i + 1]] += grad[i + 1];
    h2[column[i + 2]] += grad[i + 2];
    h3[column[i + 3]] += grad[i + 3];
  }
  for (; i < n; ++i) h0[column[i]] += grad[i];
  for (std::size_t b = 0; b < n_bins; ++b) hist[b] = (h0[b] + h1[b]) + (h2[b] + h3[b]);
}

// Gradient sums and row counts per bin over the rows kept this round (weight 1, others 0).
template <typename Bin>
void sampled_histogram(const Bin* column, const double* grad, const double* weight, std::size_t n,
                       double* hist, double* counts, std::size_t n_bins) {
  std::fill(hist, hist + n_bins, 0.0);
  std::fill(counts, counts + n_bins, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    hist[column[i]] += grad[i] * weight[i];
    counts[column[i]] += weight[i];
  }
}

class StumpTrainer {
 public:
  StumpTrainer(const double* y, std::size_t n, const std::vector<bool>& categorical,
               const std::vector<std::size_t>& n_bins, double base_score,
               const BoostSettings& settings)
      : n_(n),
        categorical_(categorical),
        n_bins_(n_bins),
        settings_(settings),
        grad_(n),
        weight_(settings.subsample < 1.0 ? n : 0),
        sampler_(settings.seed) {
    const std::size_t p = n_bins.size();
    std::size_t total = 0;
    for (std::size_t f = 0; f < p; ++f) {
      offset_.push_back(total);
      total += n_bins[f];
    }
    hist_.resize(total);
    counts_.resize(total);
    partial_.resize(4 * *std::max_element(n_bins.begin(), n_bins.end()));
    tables_.assign(p, {});
    for (std::size_t f = 0; f < p; ++f) tables_[f].assign(n_bins[f], 0.0);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      grad_[i] = base_score - y[i];
      squares += grad_[i] * grad_[i];
    }
    // Gains below this share of the initial squared error are rounding noise, not structure.
    min_gain_ = 1e-12 * squares;
  }

  template <typename Bin>
  void count_rows(const Bin* bins) {
    for (std::size_t f = 0; f < n_bins_.size(); ++f) {
      double* counts = counts_.data() + offset_[f];
      const Bin* column = bins + f * n_;
      for (std::size_t i = 0; i < n_; ++i) counts[column[i]] += 1.0;
    }
  }

  template <typename Bin>
  void train(const Bin* bins) {
    const bool sampled = !weight_.empty();
    if (!sampled) count_rows(bins);
    for (std::size_t round = 0; round < settings_.n_estimators; ++round) {
      if (sampled) draw_rows();
      if (sampled || round == 0) build_histograms(bins, sampled);
      Split best;
      for (std::size_t f = 0; f < n_bins_.size(); ++f) find_split(f, best);
      if (best.gain <= min_gain_) break;
      apply_split(best, bins, sampled);
    }
  }

  const Columns& tables() const { return tables_; }

 private:
  void draw_rows() {
    for (std::size_t i = 0; i < n_; ++i) weight_[i] = sampler_.unit() < settings_.subsample;
  }

  double leaf_value(double grad, double count) const {
    return -settings_.learning_rate * grad / (count + settings_.reg_lambda);
  }

  double score(double grad, double count) const {
    return grad * grad / (count + settings_.reg_lambda);
  }

  // Best split of feature f from its histogram, kept in `best` when its gain is larger.
  void find_split(std::size_t f, Split& best) const {
    const double* hist = hist_.data() + offset_[f];
    const double* counts = counts_.data() + offset_[f];
    const std::size_t n_bins = n_bins_[f];
    double grad_total = 0.0, count_total = 0.0;
    for (std::size_t b = 0; b < n_bins; ++b) {
      grad_total += hist[b];
      count_total += counts[b];
    }
    const double parent = score(grad_total, count_total);
    const double least = settings_.min_samples_leaf;
    auto consider = [&](std::size_t lo, std::size_t hi, double grad_in, double count_in) {
      const double count_out = count_total - count_in;
      if (count_in < least || count_out < least) return;
      const double grad_out = grad_total - grad_in;
      const double gain = score(grad_in, count_in) + score(grad_out, count_out) - parent;
      if (gain > best.gain) best = {f, lo, hi, grad_in, count_in, grad_out, count_out, gain};
    };
    if (categorical_[f]) {
      for (std::size_t b = 0; b < n_bins; ++b) consider(b, b, hist[b], counts[b]);
      return;
    }
    double grad_in = 0.0, count_in = 0.0;
    for (std::size_t b = 0; b + 1 < n_bins; ++b) {
      grad_in += hist[b];
      count_in += counts[b];
      if (count_total - count_in < least) break;
      consider(0, b, grad_in, count_in);
    }
  }

  template <typename Bin>
  void build_histograms(const Bin* bins, bool sampled) {
    for (std::size_t f = 0; f < n_bins_.size(); ++f) {
      const Bin* column = bins + f * n_;
      double* hist = hist_.data() + offset_[f];
      if (sampled) {
        sampled_histogram(column, grad_.data(), weight_.data(), n_, hist,
                          counts_.data() + offset_[f], n_bins_[f]);
      } else {
        gradient_histogram(column, grad_.data(), n_, partial_, hist, n_bins_[f]);
      }
    }
  }

  // Adds the two leaf values, scaled by the learning rate, to the table and to the gradients.
  // Without row sampling the histograms then follow the gradients: every row of the split's
  // larger side changed by the same step, so only the rows of the smaller side need counting.
  template <typename Bin>
  void apply_split(const Split& split, const Bin* bins, bool sampled) {
    const std::size_t f = split.feature;
    const double value_in = leaf_value(split.grad_in, split.count_in);
    const double value_out = leaf_value(split.grad_out, split.count_out);
    std::vector<double>& table = tables_[f];
    std::vector<double> step(n_bins_[f]);
    for (std::size_t b = 0; b < n_bins_[f]; ++b) {
      step[b] = (split.lo <= b && b <= split.hi) ? value_in : value_out;
      table[b] += step[b];
    }
    const Bin* column = bins + f * n_;
    if (sampled) {
      for (std::size_t i = 0; i < n_; ++i) grad_[i] += step[column[i]];
      return;
    }
    const bool in_is_smaller = split.count_in <= split.count_out;
    const double smaller_step = in_is_smaller ? value_in : value_out;
    smaller_rows_.clear();
    for (std::size_t i = 0; i < n_; ++i) {
      grad_[i] += step[column[i]];
      const bool in = split.lo <= column[i] && column[i] <= split.hi;
      if (in == in_is_smaller) smaller_rows_.push_back(i);
    }
    update_histograms(bins, in_is_smaller ? value_out : value_in, smaller_step);
  }

  // hist[b] += larger_step * rows of bin b + (smaller_step - larger_step) * smaller-side rows of b.
  template <typename Bin>
  void update_histograms(const Bin* bins, double larger_step, double smaller_step) {
    for (std::size_t f = 0; f < n_bins_.size(); ++f) {
      const Bin* column = bins + f * n_;
      const std::size_t n_bins = n_bins_[f];
      std::fill(partial_.begin(), partial_.begin() + n_bins, 0.0);
      for (std::size_t i : smaller_rows_) partial_[column[i]] += 1.0;
      double* hist = hist_.data() + offset_[f];
      const double* counts = counts_.data() + offset_[f];
      for (std::size_t b = 0; b < n_bins; ++b) {
        hist[b] += larger_step * counts[b] + (smaller_step - larger_step) * partial_[b];
      }
    }
  }

  std::size_t n_;
  const std::vector<bool>& categorical_;
  const std::vector<std::size_t>& n_bins_;
  BoostSettings settings_;
  std::vector<double> grad_, weight_;
  std::vector<std::size_t> offset_;
  std::vector<double> hist_, counts_, partial_;
  std::vector<std::size_t> smaller_rows_;
  Columns tables_;
  double min_gain_ = 0.0;
  SplitMix sampler_;
};

template <typename Bin>
Columns train_on(const py::array& bins, const double* y, const std::vector<bool>& categorical,
                 const std::vector<std::size_t>& n_bins, double base_score,
                 const BoostSettings& settings) {
  const auto matrix = py::array_t<Bin, py::array::f_style | py::array::forcecast>::ensure(bins);
  if (!matrix) throw py::error_already_set();
  const std::size_t n = static_cast<std::size_t>(matrix.shape(0));
  for (std::size_t f = 0; f < n_bins.size(); ++f) {
    const Bin* column = matrix.data() + f * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (column[i] >= n_bins[f]) throw py::value_error("fit_stumps(): bin beyond 'n_bins'");
    }
  }
  py::gil_scoped_release release;
  StumpTrainer trainer(y, n, categorical, n_bins, base_score, settings);
  trainer.train(matrix.data());
  return trainer.tables();
}

py::list fit_stumps(const py::array& bins, const py::object& y,
                    const std::vector<bool>& categorical, const std::vector<std::size_t>& n_bins,
                    double base_score, std::size_t n_estimators, double learning_rate,
                    double reg_lambda, double min_samples_leaf, double subsample,
                    std::uint64_t seed) {
  const auto target = as_array<ContiguousFloatArray>(y, 1, "fit_stumps", "y");
  if (bins.ndim() != 2 || bins.shape(0) != target.shape(0) || bins.shape(0) == 0 ||
      static_cast<std::size_t>(bins.shape(1)) != n_bins.size() ||
      categorical.size() != n_bins.size()) {
    throw py::value_error(
        "fit_stumps(): 'bins' must be (rows of 'y', one column per entry of 'n_bins')");
  }
  if (!(reg_lambda >= 0.0) || !(subsample > 0.0 && subsample <= 1.0) || n_bins.empty() ||
      std::find(n_bins.begin(), n_bins.end(), 0) != n_bins.end()) {
    throw py::value_error("fit_stumps(): invalid settings");
  }
  const BoostSettings settings{
      n_estimators, learning_rate, reg_lambda, std::max(min_samples_leaf, 1.0), subsample, seed};
  const bool narrow = bins.itemsize() == 1;
  const Columns tables =
      narrow
          ? train_on<std::uint8_t>(bins, target.data(), categorical, n_bins, base_score, settings)
          : train_on<std::uint16_t>(bins, target.data(), categorical, n_bins, base_score, settings);
  py::list result;
  for (const auto& t : tables) result.append(py::array_t<double>(t.size(), t.data()));
  return result;
}

// ------------------------------------------------------------------------------------------
// Prediction

py::array_t<double> predict_stumps(const py::object& X, const Columns& thresholds,
                                   const Columns& tables, double intercept) {
  const FloatArray matrix = as_array(X, 2, "predict_stumps", "X");
  check_thresholds(matrix, thresholds, "predict_stumps");
  if (tables.size() != thresholds.size()) {
    throw py::value_error("predict_stumps(): one table per column");
  }
  for (std::size_t f = 0; f < tables.size(); ++f) {
    if (tables[f].size() != thresholds[f].size() + 1) {
      throw py::value_error("predict_stumps(): a table holds one value per bin");
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
        out[i] += table[bin_of(thresholds[f], x(i, static_cast<py::ssize_t>(f)))];
      }
    }
  }
  return prediction;
}

}  // namespace

void define_boosting(py::module_& m) {
  m.def("stump_thresholds", &stump_thresholds, py::arg("X"), py::arg("categorical"),
        py::arg("max_bins"), py::arg("seed") = 0,
        R"doc(Bin thresholds of every column of the 2-D float array ``X``.

Returns a list of increasing float64 arrays, one per column. A column with at most ``max_bins``
distinct values gets thresholds halfway between them (each value its own bin), any other
column its quantiles j / max_bins without repeats (on 65,536 rows drawn from ``seed`` when
``X`` has more). A value x lies in bin b = the number of
thresholds <= x. Columns flagged in ``categorical`` must have at most ``max_bins`` distinct codes
(ValueError otherwise).)doc");

  m.def(
      "bin_columns", &bin_columns, py::arg("X"), py::arg("thresholds"),
      R"doc(Bins of every entry of ``X``: a column-major (n, p) uint8 array, or uint16 when a column
has more than 256 bins.)doc");

  m.def("fit_stumps", &fit_stumps, py::arg("bins"), py::arg("y"), py::arg("categorical"),
        py::arg("n_bins"), py::arg("base_score"), py::arg("n_estimators"), py::arg("learning_rate"),
        py::arg("reg_lambda"), py::arg("min_samples_leaf"), py::arg("subsample") = 1.0,
        py::arg("seed") = 0,
        R"doc(Boost depth-1 trees for the squared error on the bin matrix of ``bin_columns``.

Starts from ``base_score``; every round fits the stump of largest gain
G_in^2/(N_in+lambda) + G_out^2/(N_out+lambda) - G^2/(N+lambda) over all features (prefix splits
of the bins of a numerical feature, one bin against the rest for a categorical one, each leaf
with at least ``min_samples_leaf`` rows) and adds ``learning_rate`` times the leaf values
-G/(N+lambda). With ``subsample`` < 1 each round sees a random share of the rows drawn from
``seed``. Stops early when no split gains. Returns one float64 table per feature: the summed
contribution of its stumps to each bin.)doc");

  m.def(
      "predict_stumps", &predict_stumps, py::arg("X"), py::arg("thresholds"), py::arg("tables"),
      py::arg("intercept"),
      R"doc(Predictions intercept + sum over columns f of tables[f][bin of X[:, f]], the terms added
in column order.)doc");
}

}  // namespace kova::kernels
