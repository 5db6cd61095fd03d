// Spearman's rank correlation of float columns, ranked as pandas ranks them (see below).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kova/association_cores.hpp"
#include "kova/parallel.hpp"
#include "kova/radix_sort.hpp"

namespace kova::association {

// ---------------------------------------------------------------------------------------------
// Rank correlation
//
// spearman_matrix(columns): Spearman's rank correlation of every pair of float columns over
// their pairwise complete observations, computed as pandas' DataFrame.corr(method="spearman")
// computes it: NaN and infinite values are missing; ranks are average ranks (ties share the mean
// of their positions, counted from 1); a pair whose rows are not the complete rows of both columns
// is ranked again over its own rows; the correlation is sum(dx dy) / sqrt(sum dx^2 sum dy^2) of
// the ranks' deviations from (m + 1) / 2, summed in row order (for pairs of columns without a
// non-finite value, in blocks of rows, all such pairs in one pass); NaN without rows or when a
// column is constant on the pair's rows. Each column is sorted once (by its values' bits); ranking
// a pair's rows again is a pass over the order of its ranks (a counting sort of them). Ranks are
// kept doubled, as whole numbers in 32 bits, so a column costs 4 bytes a row; columns are ranked
// and pairs measured on up to `threads` threads.

// Twice a row's average rank, a whole number: the rank counted from 1 is twice / 2.
using TwiceRank = std::uint32_t;
inline constexpr TwiceRank kUnranked = 0;  // a NaN value has no rank

struct RankedColumn {
  std::vector<TwiceRank> ranks;  // over every value but NaN (infinities ranked too)
  std::vector<char> finite;      // per row; empty when every value is finite
  bool all_finite() const { return finite.empty(); }
  bool is_finite(std::size_t r) const { return finite.empty() || finite[r]; }
};

// Rows with ranked(row) by ascending value: by counting when all their values are integers in a
// short range, else by a radix sort of their bits.
inline std::vector<std::uint32_t> value_order(const DoubleView& values,
                                              const std::vector<char>& ranked) {
  const std::size_t n = values.size();
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  bool integral = true;
  std::size_t m = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!ranked[i]) continue;
    const double v = values[i];
    low = std::min(low, v);
    high = std::max(high, v);
    integral = integral && v == std::floor(v);
    ++m;
  }
  std::vector<std::uint32_t> order;
  if (m > 0 && integral && high - low <= 4.0 * static_cast<double>(n) + 1024.0) {
    std::vector<std::size_t> starts(static_cast<std::size_t>(high - low) + 2, 0);
    auto slot = [&](std::size_t i) { return static_cast<std::size_t>(values[i] - low); };
    for (std::size_t i = 0; i < n; ++i) {
      if (ranked[i]) ++starts[slot(i) + 1];
    }
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    order.resize(m);
    for (std::size_t i = 0; i < n; ++i) {
      if (ranked[i]) order[starts[slot(i)]++] = static_cast<std::uint32_t>(i);
    }
    return order;
  }
  std::vector<std::uint64_t> keys;
  keys.reserve(m);
  order.reserve(m);
  for (std::size_t i = 0; i < n; ++i) {
    if (!ranked[i]) continue;
    keys.push_back(radix::key_of(values[i] == 0.0 ? 0.0 : values[i]));  // -0.0 ties with 0.0
    order.push_back(static_cast<std::uint32_t>(i));
  }
  radix::sort_by_key(keys, order);
  return order;
}

// Twice the average ranks, into ranks[row], of the rows of `order` that keep(row); a run of
// `order` with same(a, b) for neighbours is a group of ties.
template <typename Same, typename Keep>
void assign_ranks(const std::vector<std::uint32_t>& order, Same same, Keep keep,
                  std::vector<TwiceRank>& ranks) {
  std::uint64_t position = 0;  // kept rows ranked so far
  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin + 1;
    std::uint64_t kept = keep(order[begin]);
    for (; end < order.size() && same(order[begin], order[end]); ++end) kept += keep(order[end]);
    const auto twice = static_cast<TwiceRank>(2 * position + kept + 1);
    for (std::size_t k = begin; k < end; ++k) {
      if (keep(order[k])) ranks[order[k]] = twice;
    }
    position += kept;
    begin = end;
  }
}

// As pandas ranks a column first: every value but NaN, infinities included (a pair whose rows are
// the finite rows of both columns keeps these ranks, as in pandas).
inline RankedColumn ranked_column(const DoubleView& values) {
  const std::size_t n = values.size();
  RankedColumn column{std::vector<TwiceRank>(n, kUnranked), {}};
  std::vector<char> ranked(n);
  std::vector<char> finite(n);
  bool all_finite = true;
  for (std::size_t i = 0; i < n; ++i) {
    finite[i] = std::isfinite(values[i]) ? 1 : 0;
    all_finite = all_finite && finite[i];
    ranked[i] = std::isnan(values[i]) ? 0 : 1;
  }
  std::vector<std::uint32_t> order = value_order(values, ranked);
  assign_ranks(
      order, [&](std::uint32_t a, std::uint32_t b) { return values[a] == values[b]; },
      [](std::uint32_t) { return 1; }, column.ranks);
  if (!all_finite) column.finite = std::move(finite);
  return column;
}

// sum(dx dy) / sqrt(sum dx^2 sum dy^2) over the rows with present(r), dx = rx(r) - mean, from
// doubled ranks.
template <typename Present>
double rank_correlation(std::size_t m, const std::vector<TwiceRank>& x,
                        const std::vector<TwiceRank>& y, Present present) {
  const double mean = (static_cast<double>(m) + 1.0) / 2.0;
  double sum_xy = 0.0;
  double sum_xx = 0.0;
  double sum_yy = 0.0;
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (!present(r)) continue;
    const double dx = 0.5 * static_cast<double>(x[r]) - mean;
    const double dy = 0.5 * static_cast<double>(y[r]) - mean;
    sum_xy += dx * dy;
    sum_xx += dx * dx;
    sum_yy += dy * dy;
  }
  const double divisor = std::sqrt(sum_xx * sum_yy);
  return divisor != 0.0 ? sum_xy / divisor : kNaN;
}

// Scratch of one thread, for the pairs ranked again over their own rows.
struct PairScratch {
  std::vector<TwiceRank> x;
  std::vector<TwiceRank> y;
  std::vector<std::uint32_t> order;
  std::vector<std::uint32_t> counts;
};

// The rows of a column that have a rank, by ascending rank: a counting sort of the doubled
// ranks, which lie between 2 and 2n.
inline void order_by_rank(const std::vector<TwiceRank>& ranks, PairScratch& scratch) {
  const std::size_t n = ranks.size();
  scratch.counts.assign(2 * n + 2, 0);
  std::size_t m = 0;
  for (const TwiceRank rank : ranks) {
    if (rank == kUnranked) continue;
    ++scratch.counts[rank];
    ++m;
  }
  std::uint32_t start = 0;
  for (std::uint32_t& count : scratch.counts) start += std::exchange(count, start);
  scratch.order.resize(m);
  for (std::size_t r = 0; r < n; ++r) {
    if (ranks[r] != kUnranked)
      scratch.order[scratch.counts[ranks[r]]++] = static_cast<std::uint32_t>(r);
  }
}

// A pair of which a column has a non-finite value, over the rows both have finite. A column
// ranked over exactly those rows keeps its ranks; the other is ranked again over them.
inline double spearman_pair(const RankedColumn& x, const RankedColumn& y, PairScratch& scratch) {
  const std::size_t n = x.ranks.size();
  std::size_t m = 0;
  bool same_rows = true;
  bool x_ranked_on_pair = true;  // x's ranked rows are the pair's rows
  bool y_ranked_on_pair = true;
  for (std::size_t r = 0; r < n; ++r) {
    const bool both = x.is_finite(r) && y.is_finite(r);
    m += both;
    same_rows = same_rows && x.is_finite(r) == y.is_finite(r);
    x_ranked_on_pair = x_ranked_on_pair && (x.ranks[r] != kUnranked) == both;
    y_ranked_on_pair = y_ranked_on_pair && (y.ranks[r] != kUnranked) == both;
  }
  if (m == 0) return kNaN;
  auto both = [&](std::size_t r) { return x.is_finite(r) && y.is_finite(r); };
  if (same_rows) return rank_correlation(m, x.ranks, y.ranks, both);
  scratch.x.resize(n);
  scratch.y.resize(n);
  auto ranks_on_pair = [&](const RankedColumn& c, bool ranked_on_pair,
                           std::vector<TwiceRank>& into) -> const std::vector<TwiceRank>& {
    if (ranked_on_pair) return c.ranks;
    order_by_rank(c.ranks, scratch);
    assign_ranks(
        scratch.order, [&c](std::uint32_t a, std::uint32_t b) { return c.ranks[a] == c.ranks[b]; },
        both, into);
    return into;
  };
  return rank_correlation(m, ranks_on_pair(x, x_ranked_on_pair, scratch.x),
                          ranks_on_pair(y, y_ranked_on_pair, scratch.y), both);
}

// Sums over every row of dx dy for every pair of the columns (dx = rank - mean, all rows
// ranked), as a row-major p x p lower triangle: one pass over the rows, a block of rows at a
// time, each row adding its products to all pairs' sums at once (the pairs' sums are
// independent, so that inner loop runs in vector registers). Blocks are summed in row order.
inline std::vector<double> deviation_products(const std::vector<const RankedColumn*>& columns,
                                              std::size_t n, std::size_t threads) {
  constexpr std::size_t kBlockRows = 16384;
  const std::size_t p = columns.size();
  const std::size_t blocks = (n + kBlockRows - 1) / kBlockRows;
  const double mean = (static_cast<double>(n) + 1.0) / 2.0;
  std::vector<double> partial(blocks * p * p, 0.0);
  parallel_for(blocks, threads, [&](std::size_t block, std::size_t) {
    double* sums = partial.data() + block * p * p;
    std::vector<double> row(p);
    const std::size_t end = std::min(n, (block + 1) * kBlockRows);
    for (std::size_t r = block * kBlockRows; r < end; ++r) {
      for (std::size_t i = 0; i < p; ++i) {
        row[i] = 0.5 * static_cast<double>(columns[i]->ranks[r]) - mean;
      }
      for (std::size_t i = 0; i < p; ++i) {
        const double di = row[i];
        double* pair_sums = sums + i * p;
        for (std::size_t j = 0; j <= i; ++j) pair_sums[j] += di * row[j];
      }
    }
  });
  std::vector<double> total(p * p, 0.0);
  for (std::size_t block = 0; block < blocks; ++block) {
    for (std::size_t k = 0; k < p * p; ++k) total[k] += partial[block * p * p + k];
  }
  return total;
}

// The p x p matrix (row-major) of Spearman's rank correlation between the float columns, on up
// to `threads` threads: the pairs of columns without non-finite values from their sums of
// deviation products, the other pairs one by one.
inline std::vector<double> spearman_matrix(const std::vector<DoubleView>& values,
                                           std::size_t threads) {
  constexpr const char* kName = "spearman_matrix";
  const std::size_t p = values.size();
  const std::size_t n = p == 0 ? 0 : values[0].size();
  for (const DoubleView& column : values) require_same_length(column.size(), n, kName);
  if (n >= (std::size_t{1} << 31)) {
    throw std::length_error(std::string(kName) + ": columns of 2**31 rows or more");
  }
  std::vector<RankedColumn> columns(p);
  parallel_for(p, threads,
               [&](std::size_t i, std::size_t) { columns[i] = ranked_column(values[i]); });
  std::vector<double> matrix(p * p, kNaN);
  std::vector<std::size_t> whole;  // the columns whose every value is finite
  std::vector<const RankedColumn*> whole_columns;
  for (std::size_t i = 0; i < p; ++i) {
    if (!columns[i].all_finite()) continue;
    whole.push_back(i);
    whole_columns.push_back(&columns[i]);
  }
  const std::vector<double> sums = deviation_products(whole_columns, n, threads);
  const std::size_t w = whole.size();
  for (std::size_t a = 0; a < w; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      const double divisor = std::sqrt(sums[a * w + a] * sums[b * w + b]);
      const double rho = divisor != 0.0 ? sums[a * w + b] / divisor : kNaN;
      matrix[whole[a] * p + whole[b]] = rho;
      matrix[whole[b] * p + whole[a]] = rho;
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> pairs;  // pairs with a non-finite value
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      if (!columns[i].all_finite() || !columns[j].all_finite()) pairs.emplace_back(i, j);
    }
  }
  std::vector<PairScratch> scratch(std::max<std::size_t>(1, threads));
  parallel_for(pairs.size(), threads, [&](std::size_t k, std::size_t thread) {
    const auto [i, j] = pairs[k];
    const double rho = spearman_pair(columns[i], columns[j], scratch[thread]);
    matrix[i * p + j] = rho;
    matrix[j * p + i] = rho;
  });
  return matrix;
}

}  // namespace kova::association
