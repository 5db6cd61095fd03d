// Spearman's rank correlation of float columns, ranked as pandas ranks them (see below).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "kova/association_cores.hpp"

namespace kova::association {

// ---------------------------------------------------------------------------------------------
// Rank correlation
//
// spearman_matrix(columns): Spearman's rank correlation of every pair of float columns over
// their pairwise complete observations, computed as pandas' DataFrame.corr(method="spearman")
// computes it: NaN and infinite values are missing; ranks are average ranks (ties share the mean
// of their positions, counted from 1); a pair whose rows are not the complete rows of both columns
// is ranked again over its own rows; the correlation is sum(dx dy) / sqrt(sum dx^2 sum dy^2) of
// the ranks' deviations from (m + 1) / 2, summed in row order; NaN without rows or when a column
// is constant on the pair's rows. Each column is sorted once; ranking a pair's rows again is a
// pass over that order.

struct RankedColumn {
  DoubleView values;
  std::vector<std::size_t> order;  // the rows of values other than NaN, by ascending value
  std::vector<double> ranks;       // their average ranks (infinities ranked too), NaN elsewhere
  std::vector<char> finite;
  bool all_finite = true;
};

// Rows with ranked(row) by ascending value: by counting when all their values are integers in a
// short range, else by sorting.
inline std::vector<std::size_t> value_order(const DoubleView& values,
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
  std::vector<std::size_t> order;
  order.reserve(m);
  if (m > 0 && integral && high - low <= 4.0 * static_cast<double>(n) + 1024.0) {
    std::vector<std::size_t> starts(static_cast<std::size_t>(high - low) + 2, 0);
    auto slot = [&](std::size_t i) { return static_cast<std::size_t>(values[i] - low); };
    for (std::size_t i = 0; i < n; ++i) {
      if (ranked[i]) ++starts[slot(i) + 1];
    }
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    order.resize(m);
    for (std::size_t i = 0; i < n; ++i) {
      if (ranked[i]) order[starts[slot(i)]++] = i;
    }
    return order;
  }
  std::vector<std::pair<double, std::size_t>> sorted;
  sorted.reserve(m);
  for (std::size_t i = 0; i < n; ++i) {
    if (ranked[i]) sorted.emplace_back(values[i], i);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : sorted) order.push_back(entry.second);
  return order;
}

// Average ranks, into ranks[row], of the rows of `order` (ascending by value) that keep(row).
template <typename Keep>
void assign_ranks(const DoubleView& values, const std::vector<std::size_t>& order, Keep keep,
                  std::vector<double>& ranks) {
  std::size_t position = 0;  // kept rows ranked so far
  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin;
    std::size_t kept = 0;
    const double value = values[order[begin]];
    for (; end < order.size() && values[order[end]] == value; ++end) kept += keep(order[end]);
    const double rank = static_cast<double>(2 * position + kept + 1) / 2.0;
    for (std::size_t k = begin; k < end; ++k) {
      if (keep(order[k])) ranks[order[k]] = rank;
    }
    position += kept;
    begin = end;
  }
}

// As pandas ranks a column first: every value but NaN, infinities included (a pair whose rows are
// the finite rows of both columns keeps these ranks, as in pandas).
inline RankedColumn ranked_column(const DoubleView& values) {
  const std::size_t n = values.size();
  RankedColumn column{values, {}, std::vector<double>(n, kNaN), std::vector<char>(n)};
  std::vector<char> ranked(n);
  for (std::size_t i = 0; i < n; ++i) {
    column.finite[i] = std::isfinite(values[i]) ? 1 : 0;
    column.all_finite = column.all_finite && column.finite[i];
    ranked[i] = std::isnan(values[i]) ? 0 : 1;
  }
  column.order = value_order(values, ranked);
  assign_ranks(values, column.order, [](std::size_t) { return true; }, column.ranks);
  return column;
}

// sum(dx dy) / sqrt(sum dx^2 sum dy^2) over the rows with present(r), dx = rx(r) - mean.
template <typename RankX, typename RankY, typename Present>
double rank_correlation(std::size_t n, std::size_t m, RankX rx, RankY ry, Present present) {
  const double mean = (static_cast<double>(m) + 1.0) / 2.0;
  double sum_xy = 0.0;
  double sum_xx = 0.0;
  double sum_yy = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    if (!present(r)) continue;
    const double dx = rx(r) - mean;
    const double dy = ry(r) - mean;
    sum_xy += dx * dy;
    sum_xx += dx * dx;
    sum_yy += dy * dy;
  }
  const double divisor = std::sqrt(sum_xx * sum_yy);
  return divisor != 0.0 ? sum_xy / divisor : kNaN;
}

inline double spearman_pair(const RankedColumn& x, const RankedColumn& y, bool all_finite,
                            std::vector<double>& scratch_x, std::vector<double>& scratch_y) {
  const std::size_t n = x.values.size();
  if (all_finite) {
    return rank_correlation(
        n, n, [&](std::size_t r) { return x.ranks[r]; }, [&](std::size_t r) { return y.ranks[r]; },
        [](std::size_t) { return true; });
  }
  std::size_t m = 0;
  bool same_rows = true;
  for (std::size_t r = 0; r < n; ++r) {
    m += x.finite[r] && y.finite[r];
    same_rows = same_rows && x.finite[r] == y.finite[r];
  }
  if (m == 0) return kNaN;
  auto both = [&](std::size_t r) { return x.finite[r] && y.finite[r]; };
  if (same_rows) {
    return rank_correlation(
        n, m, [&](std::size_t r) { return x.ranks[r]; }, [&](std::size_t r) { return y.ranks[r]; },
        both);
  }
  assign_ranks(x.values, x.order, both, scratch_x);
  assign_ranks(y.values, y.order, both, scratch_y);
  return rank_correlation(
      n, m, [&](std::size_t r) { return scratch_x[r]; },
      [&](std::size_t r) { return scratch_y[r]; }, both);
}

// The p x p matrix (row-major) of Spearman's rank correlation between the float columns.
inline std::vector<double> spearman_matrix(const std::vector<DoubleView>& values) {
  constexpr const char* kName = "spearman_matrix";
  const std::size_t p = values.size();
  const std::size_t n = p == 0 ? 0 : values[0].size();
  for (const DoubleView& column : values) require_same_length(column.size(), n, kName);
  std::vector<RankedColumn> columns;
  for (const DoubleView& column : values) columns.push_back(ranked_column(column));
  const bool all_finite = std::all_of(columns.begin(), columns.end(),
                                      [](const RankedColumn& c) { return c.all_finite; });
  std::vector<double> scratch_x(n);
  std::vector<double> scratch_y(n);
  std::vector<double> matrix(p * p, kNaN);
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      const double rho = spearman_pair(columns[i], columns[j], all_finite, scratch_x, scratch_y);
      matrix[i * p + j] = rho;
      matrix[j * p + i] = rho;
    }
  }
  return matrix;
}

}  // namespace kova::association
