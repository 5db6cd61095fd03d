// Histograms of the boosted depth-1 trees and the search of a feature's best split.
//
// A feature's histogram holds, per bin, the sums of the rows' gradient and Hessian (one pair) and
// of their weights (the "counts" that min_samples_leaf bounds). Its last bin is the missing bin.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kova::stumps {

// (gradient, Hessian): two doubles added with one instruction where the target allows.
typedef double Pair __attribute__((vector_size(16)));

// A stump on one feature: the value bins [lo, hi], and the missing bin when missing_in, go to the
// "in" leaf; every other bin to the "out" leaf.
struct Split {
  std::size_t feature = 0, lo = 0, hi = 0;
  bool missing_in = false;
  double grad_in = 0.0, hess_in = 0.0, count_in = 0.0;
  double grad_out = 0.0, hess_out = 0.0, count_out = 0.0;
  double gain = 0.0;
};

inline bool in_leaf(const Split& split, std::size_t bin, std::size_t missing_bin) {
  return bin == missing_bin ? split.missing_in : (split.lo <= bin && bin <= split.hi);
}

// Features whose histograms are built in one pass over the rows: each row's gradient pair is read
// once for all of them, which keeps the pass from being bound by memory traffic.
constexpr std::size_t kGroup = 4;

// Gradient pairs summed per bin of the columns `columns[0..count)`, into `hists[k]` (n_bins[k]
// pairs each). Every column has two partial histograms in `partial` (2 x widest pairs per column),
// taken by alternate rows, so that consecutive rows of the same bin do not wait on each other's
// store. The sums do not depend on which other columns share the pass.
template <typename Bin>
void pair_histograms(const Bin* const* columns, std::size_t count, const Pair* pairs, std::size_t n,
                     Pair* partial, std::size_t widest, Pair* const* hists,
                     const std::size_t* n_bins) {
  const Pair zero = {0.0, 0.0};
  std::fill(partial, partial + 2 * kGroup * widest, zero);
  Pair* even[kGroup];
  Pair* odd[kGroup];
  const Bin* column[kGroup];
  for (std::size_t k = 0; k < kGroup; ++k) {
    even[k] = partial + 2 * k * widest;
    odd[k] = even[k] + widest;
    column[k] = columns[k < count ? k : 0];  // unused slots repeat the first column
  }
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Pair first = pairs[i], second = pairs[i + 1];
    for (std::size_t k = 0; k < kGroup; ++k) {
      even[k][column[k][i]] += first;
      odd[k][column[k][i + 1]] += second;
    }
  }
  for (; i < n; ++i) {
    for (std::size_t k = 0; k < kGroup; ++k) even[k][column[k][i]] += pairs[i];
  }
  for (std::size_t k = 0; k < count; ++k) {
    for (std::size_t b = 0; b < n_bins[k]; ++b) hists[k][b] = even[k][b] + odd[k][b];
  }
}

// Row weights summed per bin of one column.
template <typename Bin>
void weight_histogram(const Bin* column, const double* weight, std::size_t n, double* counts,
                      std::size_t n_bins) {
  std::fill(counts, counts + n_bins, 0.0);
  for (std::size_t i = 0; i < n; ++i) counts[column[i]] += weight[i];
}

// The split search of one feature under the L2 penalty `lambda` and the least leaf weight.
class SplitSearch {
 public:
  SplitSearch(double lambda, double least) : lambda_(lambda), least_(least) {}

  double score(double grad, double hess) const { return grad * grad / (hess + lambda_); }

  // Best split of feature f from its histogram (value bins then the missing bin), kept in `best`
  // when its gain is larger. A numerical feature splits its value bins into a prefix and the
  // rest, the missing bin joining either side; a categorical one sets one bin apart.
  void find(std::size_t f, const Pair* hist, const double* counts, std::size_t value_bins,
            bool categorical, Split& best) const {
    const std::size_t missing = value_bins;
    Pair total = {0.0, 0.0};
    double count_total = 0.0;
    for (std::size_t b = 0; b <= missing; ++b) {
      total += hist[b];
      count_total += counts[b];
    }
    const double parent = score(total[0], total[1]);
    auto consider = [&](std::size_t lo, std::size_t hi, bool missing_in, Pair in, double count_in) {
      const double count_out = count_total - count_in;
      if (count_in < least_ || count_out < least_) return;
      const Pair out = total - in;
      const double gain = score(in[0], in[1]) + score(out[0], out[1]) - parent;
      if (gain > best.gain) {
        best = {f, lo, hi, missing_in, in[0], in[1], count_in, out[0], out[1], count_out, gain};
      }
    };
    if (categorical) {
      for (std::size_t b = 0; b <= missing; ++b) {
        consider(b, b, b == missing, hist[b], counts[b]);
      }
      return;
    }
    const bool has_missing = counts[missing] > 0.0;
    Pair in = {0.0, 0.0};
    double count_in = 0.0;
    for (std::size_t b = 0; b < value_bins; ++b) {
      in += hist[b];
      count_in += counts[b];
      if (count_total - count_in < least_) break;
      consider(0, b, false, in, count_in);
      if (has_missing) consider(0, b, true, in + hist[missing], count_in + counts[missing]);
    }
  }

 private:
  double lambda_, least_;
};

}  // namespace kova::stumps
