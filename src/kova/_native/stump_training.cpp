// Training of the boosted depth-1 trees (stumps) for the squared error or the logistic loss, on
// the bin matrix of stump_bins.cpp.
//
// The model is additive in the features, so the fitted stumps are kept folded into one table per
// feature: table[f][b] is the sum of the contributions of every stump on f to the rows of bin b
// (the last entry to a missing value). A prediction is intercept + table[0][bin] + ...
//
// Each round computes every row's gradient and Hessian from its margin, builds every feature's
// histogram (features spread over n_jobs threads, each histogram on one thread so the sums do not
// depend on the thread count), picks the split of largest gain and adds its leaf values to the
// table and the margins. For the squared error without row sampling the Hessian is the constant
// row weight, so the histograms are built once and then brought up to date from the rows on the
// smaller side of each split alone.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/kernel_parts.hpp"
#include "kova/parallel.hpp"
#include "kova/stump_histograms.hpp"
#include "kova/stumps.hpp"

namespace kova::stumps {
namespace {

enum class Loss { squared_error, logistic };

struct BoostSettings {
  Loss loss;
  std::size_t n_estimators;
  double learning_rate;
  double reg_lambda;
  double min_samples_leaf;
  double subsample;
  std::uint64_t seed;
  std::size_t threads;
};

class StumpTrainer {
 public:
  StumpTrainer(const double* y, const double* weight, std::size_t n,
               const std::vector<bool>& categorical, const std::vector<std::size_t>& value_bins,
               double base_score, const BoostSettings& settings)
      : n_(n),
        y_(y),
        weight_(weight),
        categorical_(categorical),
        value_bins_(value_bins),
        settings_(settings),
        search_(settings.reg_lambda, settings.min_samples_leaf),
        margin_(n, base_score),
        pairs_(n),
        sampler_(settings.seed) {
    std::size_t total = 0, widest = 0;
    for (std::size_t bins : value_bins) {
      offset_.push_back(total);
      total += bins + 1;
      widest = std::max(widest, bins + 1);
      tables_.emplace_back(bins + 1, 0.0);
    }
    hist_.resize(total);
    counts_.resize(total);
    scratch_.resize(settings.threads * 2 * kGroup * widest);
    partial_.resize(settings.threads * widest);
    widest_ = widest;
    if (sampled()) round_weight_.resize(n);
  }

  template <typename Bin>
  void train(const Bin* bins) {
    const bool incremental = settings_.loss == Loss::squared_error && !sampled();
    if (!sampled()) build_counts(bins, weight_);
    for (std::size_t round = 0; round < settings_.n_estimators; ++round) {
      if (sampled()) {
        draw_rows();
        build_counts(bins, round_weight_.data());
      }
      if (!incremental || round == 0) {
        if (!fresh_) compute_gradients(round == 0);
        fresh_ = false;
        build_histograms(bins);
      }
      Split best;
      for (std::size_t f = 0; f < value_bins_.size(); ++f) {
        search_.find(f, &hist_[offset_[f]], &counts_[offset_[f]], value_bins_[f], categorical_[f],
                     best);
      }
      if (best.gain <= min_gain_) break;
      apply_split(best, bins, incremental);
    }
  }

  const Columns& tables() const { return tables_; }

 private:
  bool sampled() const { return settings_.subsample < 1.0; }

  const double* row_weights() const { return sampled() ? round_weight_.data() : weight_; }

  void draw_rows() {
    for (std::size_t i = 0; i < n_; ++i) {
      round_weight_[i] = sampler_.unit() < settings_.subsample ? weight_[i] : 0.0;
    }
  }

  // The row-wise passes are light next to the histograms and run on the calling thread: a thread
  // started for them would cost more than it saves.
  template <typename Task>
  void over_rows(Task&& task) const {
    for (std::size_t i = 0; i < n_; ++i) task(i);
  }

  // Gradient and Hessian of every row at its margin, times its weight. The first time, also the
  // gain below which a split is rounding noise: a tiny share of the initial sum of g^2 / h.
  void compute_gradients(bool first) {
    const double* w = row_weights();
    if (settings_.loss == Loss::squared_error) {
      over_rows([&](std::size_t i) { pairs_[i] = Pair{w[i] * (margin_[i] - y_[i]), w[i]}; });
    } else {
      if (first) odds_.resize(n_);
      over_rows([&](std::size_t i) {
        if (first) odds_[i] = std::exp(-margin_[i]);
        pairs_[i] = logistic_pair(i, w[i]);
      });
    }
    if (!first) return;
    double noise = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      if (pairs_[i][1] > 0.0) noise += pairs_[i][0] * pairs_[i][0] / pairs_[i][1];
    }
    min_gain_ = 1e-12 * noise;
  }

  // Logistic gradient and Hessian of row i from its odds exp(-margin), times the weight w.
  Pair logistic_pair(std::size_t i, double w) const {
    const double p = 1.0 / (1.0 + odds_[i]);
    return Pair{w * (p - y_[i]), w * std::max(p * (1.0 - p), 1e-16)};
  }

  // Logistic margins moved by the leaf values: the odds exp(-margin) follow by one product per
  // row (exp of the few leaf values only), recomputed where the product leaves the finite range.
  // Without row sampling the next round's gradients are computed in the same pass.
  template <typename Bin>
  void move_logistic_margins(const Bin* column, const std::vector<double>& step) {
    std::vector<double> factor(step.size());
    for (std::size_t b = 0; b < step.size(); ++b) factor[b] = std::exp(-step[b]);
    const bool fuse = !sampled();
    over_rows([&](std::size_t i) {
      margin_[i] += step[column[i]];
      double odds = odds_[i] * factor[column[i]];
      if (!(odds > 0.0 && odds <= std::numeric_limits<double>::max())) odds = std::exp(-margin_[i]);
      odds_[i] = odds;
      if (fuse) pairs_[i] = logistic_pair(i, weight_[i]);
    });
    fresh_ = fuse;
  }

  template <typename Bin>
  void build_counts(const Bin* bins, const double* weight) {
    parallel_for(value_bins_.size(), settings_.threads, [&](std::size_t f, std::size_t) {
      weight_histogram(bins + f * n_, weight, n_, &counts_[offset_[f]], value_bins_[f] + 1);
    });
  }

  template <typename Bin>
  void build_histograms(const Bin* bins) {
    const std::size_t p = value_bins_.size(), groups = (p + kGroup - 1) / kGroup;
    parallel_for(groups, settings_.threads, [&](std::size_t group, std::size_t worker) {
      const Bin* columns[kGroup];
      Pair* hists[kGroup];
      std::size_t n_bins[kGroup];
      const std::size_t first = group * kGroup, count = std::min(kGroup, p - first);
      for (std::size_t k = 0; k < count; ++k) {
        columns[k] = bins + (first + k) * n_;
        hists[k] = &hist_[offset_[first + k]];
        n_bins[k] = value_bins_[first + k] + 1;
      }
      pair_histograms(columns, count, pairs_.data(), n_, &scratch_[worker * 2 * kGroup * widest_],
                      widest_, hists, n_bins);
    });
  }

  double leaf_value(double grad, double hess) const {
    return -settings_.learning_rate * grad / (hess + settings_.reg_lambda);
  }

  // Adds the two leaf values to the table and to the margins. A missing value goes where the
  // split learned it, or, when this round saw none, to the side of larger weight.
  template <typename Bin>
  void apply_split(Split split, const Bin* bins, bool incremental) {
    const std::size_t f = split.feature, missing = value_bins_[f];
    if (counts_[offset_[f] + missing] <= 0.0) {
      split.missing_in = split.count_in > split.count_out;
    }
    const double value_in = leaf_value(split.grad_in, split.hess_in);
    const double value_out = leaf_value(split.grad_out, split.hess_out);
    std::vector<double> step(missing + 1);
    for (std::size_t b = 0; b <= missing; ++b) {
      step[b] = in_leaf(split, b, missing) ? value_in : value_out;
      tables_[f][b] += step[b];
    }
    const Bin* column = bins + f * n_;
    if (settings_.loss == Loss::logistic) return move_logistic_margins(column, step);
    if (!incremental) {
      over_rows([&](std::size_t i) { margin_[i] += step[column[i]]; });
      return;
    }
    const bool in_is_smaller = split.count_in <= split.count_out;
    smaller_rows_.clear();
    for (std::size_t i = 0; i < n_; ++i) {
      if (in_leaf(split, column[i], missing) == in_is_smaller) smaller_rows_.push_back(i);
    }
    update_histograms(bins, in_is_smaller ? value_out : value_in,
                      in_is_smaller ? value_in : value_out);
  }

  // Squared error, every row's gradient moved by weight x step: G[b] += larger_step x W[b] +
  // (smaller_step - larger_step) x (weight of the smaller side's rows in b). H does not change.
  template <typename Bin>
  void update_histograms(const Bin* bins, double larger_step, double smaller_step) {
    parallel_for(value_bins_.size(), settings_.threads, [&](std::size_t f, std::size_t worker) {
      const Bin* column = bins + f * n_;
      const std::size_t n_bins = value_bins_[f] + 1;
      double* smaller = &partial_[worker * widest_];
      std::fill(smaller, smaller + n_bins, 0.0);
      for (std::size_t i : smaller_rows_) smaller[column[i]] += weight_[i];
      Pair* hist = &hist_[offset_[f]];
      const double* counts = &counts_[offset_[f]];
      for (std::size_t b = 0; b < n_bins; ++b) {
        hist[b][0] += larger_step * counts[b] + (smaller_step - larger_step) * smaller[b];
      }
    });
  }

  std::size_t n_;
  const double* y_;
  const double* weight_;
  const std::vector<bool>& categorical_;
  const std::vector<std::size_t>& value_bins_;
  BoostSettings settings_;
  SplitSearch search_;
  std::vector<double> margin_, odds_, round_weight_;  // odds_: exp(-margin), logistic loss
  bool fresh_ = false;                                // the gradients already follow the last split
  std::vector<Pair> pairs_;
  std::vector<std::size_t> offset_;
  std::vector<Pair> hist_, scratch_;
  std::vector<double> counts_, partial_;
  std::size_t widest_ = 0;
  std::vector<std::size_t> smaller_rows_;
  Columns tables_;
  double min_gain_ = 0.0;
  SplitMix sampler_;
};

template <typename Bin>
Columns train_on(const py::array& bins, const double* y, const double* weight,
                 const std::vector<bool>& categorical, const std::vector<std::size_t>& value_bins,
                 double base_score, const BoostSettings& settings) {
  const auto matrix = py::array_t<Bin, py::array::f_style | py::array::forcecast>::ensure(bins);
  if (!matrix) throw py::error_already_set();
  const std::size_t n = static_cast<std::size_t>(matrix.shape(0));
  for (std::size_t f = 0; f < value_bins.size(); ++f) {
    const Bin* column = matrix.data() + f * n;
    for (std::size_t i = 0; i < n; ++i) {
      if (column[i] > value_bins[f]) throw py::value_error("fit_stumps(): bin beyond 'n_bins'");
    }
  }
  py::gil_scoped_release release;
  StumpTrainer trainer(y, weight, n, categorical, value_bins, base_score, settings);
  trainer.train(matrix.data());
  return trainer.tables();
}

Loss loss_named(const std::string& name) {
  if (name == "squared_error") return Loss::squared_error;
  if (name == "logistic") return Loss::logistic;
  throw py::value_error("fit_stumps(): loss must be 'squared_error' or 'logistic', got '" + name +
                        "'");
}

std::vector<double> checked_weights(const py::object& sample_weight, std::size_t n) {
  if (sample_weight.is_none()) return std::vector<double>(n, 1.0);
  const auto w = as_array<ContiguousFloatArray>(sample_weight, 1, "fit_stumps", "sample_weight");
  if (static_cast<std::size_t>(w.shape(0)) != n) {
    throw py::value_error("fit_stumps(): one 'sample_weight' per row");
  }
  std::vector<double> weight(w.data(), w.data() + n);
  for (double v : weight) {
    if (!(v >= 0.0 && std::isfinite(v))) {
      throw py::value_error("fit_stumps(): 'sample_weight' must be finite and >= 0");
    }
  }
  return weight;
}

py::list fit_stumps(const py::array& bins, const py::object& y,
                    const std::vector<bool>& categorical, const std::vector<std::size_t>& n_bins,
                    double base_score, std::size_t n_estimators, double learning_rate,
                    double reg_lambda, double min_samples_leaf, double subsample,
                    std::uint64_t seed, const py::object& sample_weight, const std::string& loss,
                    std::size_t n_jobs) {
  const auto target = as_array<ContiguousFloatArray>(y, 1, "fit_stumps", "y");
  if (bins.ndim() != 2 || bins.shape(0) != target.shape(0) || bins.shape(0) == 0 ||
      static_cast<std::size_t>(bins.shape(1)) != n_bins.size() ||
      categorical.size() != n_bins.size()) {
    throw py::value_error(
        "fit_stumps(): 'bins' must be (rows of 'y', one column per entry of 'n_bins')");
  }
  if (!(reg_lambda >= 0.0) || !(subsample > 0.0 && subsample <= 1.0) || n_bins.empty() ||
      std::find(n_bins.begin(), n_bins.end(), 0) != n_bins.end() || n_jobs == 0) {
    throw py::value_error("fit_stumps(): invalid settings");
  }
  const std::vector<double> weight =
      checked_weights(sample_weight, static_cast<std::size_t>(target.shape(0)));
  const BoostSettings settings{loss_named(loss),
                               n_estimators,
                               learning_rate,
                               reg_lambda,
                               std::max(min_samples_leaf, 1.0),
                               subsample,
                               seed,
                               std::min<std::size_t>(n_jobs, 256)};
  const double* w = weight.data();
  const Columns tables = bins.itemsize() == 1
                             ? train_on<std::uint8_t>(bins, target.data(), w, categorical, n_bins,
                                                      base_score, settings)
                             : train_on<std::uint16_t>(bins, target.data(), w, categorical, n_bins,
                                                       base_score, settings);
  py::list result;
  for (const auto& t : tables) result.append(py::array_t<double>(t.size(), t.data()));
  return result;
}

}  // namespace
}  // namespace kova::stumps

namespace kova::kernels {

void define_stump_training(pybind11::module_& m) {
  namespace py = pybind11;
  using namespace kova::stumps;
  m.def("fit_stumps", &fit_stumps, py::arg("bins"), py::arg("y"), py::arg("categorical"),
        py::arg("n_bins"), py::arg("base_score"), py::arg("n_estimators"), py::arg("learning_rate"),
        py::arg("reg_lambda"), py::arg("min_samples_leaf"), py::arg("subsample") = 1.0,
        py::arg("seed") = 0, py::arg("sample_weight") = py::none(),
        py::arg("loss") = "squared_error", py::arg("n_jobs") = 1,
        R"doc(Boost depth-1 trees on the bin matrix of ``bin_columns``.

``n_bins[f]`` is the number of value bins of feature f; bin n_bins[f] holds its missing values.
``loss`` is "squared_error" (``y`` any number) or "logistic" (``y`` 0 or 1, margins in log-odds).
Starts every margin at ``base_score``; every round computes each row's gradient g and Hessian h
times its ``sample_weight`` and fits the stump of largest gain
G_in^2/(H_in+lambda) + G_out^2/(H_out+lambda) - G^2/(H+lambda) over all features (prefix splits of
the value bins of a numerical feature with the missing bin on either side, one bin against the
rest for a categorical one, each leaf with a weight of at least ``min_samples_leaf``), adding
``learning_rate`` times the leaf values -G/(H+lambda). A missing bin no row of the round fell in
joins the leaf of larger weight. With ``subsample`` < 1 each round sees a random share of the
rows drawn from ``seed``. Histograms are built on ``n_jobs`` threads, the result not depending on
their number. Stops early when no split gains. Returns one float64 table per feature: the summed
contribution of its stumps to each bin, the missing bin last.)doc");
}

}  // namespace kova::kernels
