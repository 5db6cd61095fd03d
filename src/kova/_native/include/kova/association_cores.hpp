// Association measures between a categorical sequence and another sequence.
//
// Each measure has one core, a template over row accessors, shared by two callers:
//   - the 1-D kernels take category codes as doubles holding non-negative integers (the float
//     codes of pandas.factorize once missing entries are removed). Codes need not be contiguous;
//     they are mapped to compact ids first. A code that is negative, fractional, not-a-number or
//     beyond 2**53 is rejected with std::invalid_argument, which the bindings turn into ValueError;
//   - the matrix kernels take integer codes as pandas.factorize returns them (0, 1, 2, ... with -1
//     for a missing entry) and compute every pair of columns over the rows where both are present,
//     skipping the others as they go (no per-pair copies). A code below -1 is rejected likewise.
//
// symmetric_theil_u(x, y), Theil's uncertainty coefficient in its symmetric form:
//   U(x|y) = (H(x) - H(x|y)) / H(x) = I(x;y) / H(x) with Shannon entropies (natural logarithm,
//   the base cancels), symmetric U = (H(x) U(x|y) + H(y) U(y|x)) / (H(x) + H(y))
//                                  = 2 I(x;y) / (H(x) + H(y)),
//   in [0, 1]: 0 for independent sequences, 1 when each determines the other.
//   Degenerate cases: no entries -> NaN; both sequences constant -> 1.0 (they determine each other,
//   as a column does itself); exactly one constant -> 0.0 (a constant shares no information).
//
// correlation_ratio(categories, values), eta:
//   eta = sqrt(SS_between / SS_total), SS_between = sum over categories of n_c (mean_c - mean)^2,
//   SS_total = sum over entries of (v - mean)^2; in [0, 1]: 1 when the category fixes the value.
//   Degenerate cases: no entries -> NaN; a non-finite value (NaN, +-inf) -> NaN; all values equal
//   (SS_total = 0) -> 0.0, since there is no variation for the categories to explain. The matrix
//   kernel skips NaN values as missing (pandas drops them before it calls the 1-D kernel) and
//   still answers NaN for an infinite one.
//
// Both run in O(n) per pair: categories are counted in vectors, the joint table of two columns in
// a dense table or, when both have many levels, bucket by bucket of the rows of each level.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::association {

// Read-only view of `size` values of type T spaced `stride` bytes apart (a 1-D numpy array, any
// strides).
template <typename T>
class StridedView {
 public:
  StridedView(const void* data, std::size_t size, std::ptrdiff_t stride)
      : data_(static_cast<const char*>(data)), size_(size), stride_(stride) {}

  std::size_t size() const { return size_; }

  T operator[](std::size_t i) const {
    T value;  // memcpy: numpy does not promise aligned data
    std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof value);
    return value;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::ptrdiff_t stride_;
};

using DoubleView = StridedView<double>;
using CodeView = StridedView<std::int64_t>;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Cores

// Sum of c * log(c) over the counts; the entropy of n entries is log(n) - sum / n.
template <typename Counts>
double sum_count_log_count(const Counts& counts) {
  double sum = 0.0;
  for (auto count : counts) {
    if (count > 1) sum += static_cast<double>(count) * std::log(static_cast<double>(count));
  }
  return sum;
}

inline std::size_t nonzero_levels(const std::vector<std::size_t>& counts) {
  return static_cast<std::size_t>(
      std::count_if(counts.begin(), counts.end(), [](std::size_t c) { return c > 0; }));
}

// Sum of c log c over the joint counts of a table of lx * ly cells of type Count.
template <typename Count, typename X, typename Y, typename Present, typename Margins>
double dense_joint_sum(std::size_t n, std::size_t lx, std::size_t ly, X x, Y y, Present present,
                       Margins count_margins) {
  std::vector<Count> joint(lx * ly, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!present(i)) continue;
    const std::size_t a = x(i);
    const std::size_t b = y(i);
    count_margins(a, b);
    ++joint[a * ly + b];
  }
  return sum_count_log_count(joint);
}

// Sum of c log c over the joint counts of (x(i), y(i)) for the rows with present(i), counting
// the rows of each level into count_x and count_y too when they are given.
template <typename X, typename Y, typename Present>
double joint_sum_count_log_count(std::size_t n, std::size_t lx, std::size_t ly, X x, Y y,
                                 Present present, std::vector<std::size_t>* count_x,
                                 std::vector<std::size_t>* count_y) {
  auto count_margins = [&](std::size_t a, std::size_t b) {
    if (count_x != nullptr) {
      ++(*count_x)[a];
      ++(*count_y)[b];
    }
  };
  const std::size_t cells_limit = 4 * n + 65536;
  if (ly == 0 || lx <= cells_limit / ly) {
    // 32-bit counts while they cannot overflow: half the table to keep in cache
    if (n <= 0xFFFFFFFFu)
      return dense_joint_sum<std::uint32_t>(n, lx, ly, x, y, present, count_margins);
    return dense_joint_sum<std::size_t>(n, lx, ly, x, y, present, count_margins);
  }
  // Many levels on both sides: bucket the rows by x (a counting sort), then count the y levels
  // of each bucket in one table of ly cells, cleared after each bucket.
  std::vector<std::size_t> starts(lx + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (present(i)) ++starts[x(i) + 1];
  }
  for (std::size_t a = 0; a < lx; ++a) starts[a + 1] += starts[a];
  std::vector<std::size_t> rows(starts[lx]);
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (present(i)) rows[next[x(i)]++] = i;
  }
  std::vector<std::size_t> table(ly, 0);
  double sum = 0.0;
  for (std::size_t a = 0; a < lx; ++a) {
    for (std::size_t k = starts[a]; k < starts[a + 1]; ++k) {
      const std::size_t b = y(rows[k]);
      count_margins(a, b);
      ++table[b];
    }
    for (std::size_t k = starts[a]; k < starts[a + 1]; ++k) {
      std::size_t& count = table[y(rows[k])];
      if (count > 1) sum += static_cast<double>(count) * std::log(static_cast<double>(count));
      count = 0;
    }
  }
  return sum;
}

// Symmetric Theil's U over the rows i < n with present(i), where x(i) < lx and y(i) < ly are the
// compact ids of the two sequences. `whole_x` and `whole_y`, when given, are the level counts of
// the two sequences, for rows that are all present.
template <typename X, typename Y, typename Present>
double symmetric_theil_u_of(std::size_t n, std::size_t lx, std::size_t ly, X x, Y y,
                            Present present, const std::vector<std::size_t>* whole_x = nullptr,
                            const std::vector<std::size_t>* whole_y = nullptr) {
  std::vector<std::size_t> count_x;
  std::vector<std::size_t> count_y;
  const bool known = whole_x != nullptr && whole_y != nullptr;
  if (!known) {
    count_x.assign(lx, 0);
    count_y.assign(ly, 0);
  }
  const double joint_sum = joint_sum_count_log_count(
      n, lx, ly, x, y, present, known ? nullptr : &count_x, known ? nullptr : &count_y);
  const std::vector<std::size_t>& margin_x = known ? *whole_x : count_x;
  const std::vector<std::size_t>& margin_y = known ? *whole_y : count_y;
  const std::size_t m = std::accumulate(margin_x.begin(), margin_x.end(), std::size_t{0});
  if (m == 0) return kNaN;
  const std::size_t levels_x = nonzero_levels(margin_x);
  const std::size_t levels_y = nonzero_levels(margin_y);
  if (levels_x == 1 && levels_y == 1) return 1.0;
  if (levels_x == 1 || levels_y == 1) return 0.0;

  const double total = static_cast<double>(m);
  const double log_n = std::log(total);
  const double h_x = log_n - sum_count_log_count(margin_x) / total;
  const double h_y = log_n - sum_count_log_count(margin_y) / total;
  const double h_xy = log_n - joint_sum / total;
  const double mutual_information = h_x + h_y - h_xy;
  return std::clamp(2.0 * mutual_information / (h_x + h_y), 0.0, 1.0);
}

// What the correlation ratio needs of the values alone, over the rows with present(i): their
// number, whether all are finite and whether all are equal, the power of two that scales them
// below 1 (exact, so that no square or sum can overflow), and the mean and total sum of squares
// of the scaled values.
struct ValueSummary {
  std::size_t m = 0;
  bool finite = true;
  bool constant = true;
  double scale = 1.0;
  int exponent = 0;
  double mean = 0.0;
  double ss_total = 0.0;
  bool by_product = true;  // whether 2**-exponent is representable (then v * scale is exact)

  // v * 2**-exponent.
  double scaled(double v) const { return by_product ? v * scale : std::ldexp(v, -exponent); }
};

template <typename Value, typename Present>
ValueSummary summarize_values(std::size_t n, Value value, Present present) {
  ValueSummary s;
  double largest = 0.0;
  double first = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!present(i)) continue;
    const double v = value(i);
    if (!std::isfinite(v)) s.finite = false;
    if (s.m == 0) first = v;
    largest = std::max(largest, std::fabs(v));
    s.constant = s.constant && v == first;
    ++s.m;
  }
  if (s.m == 0 || !s.finite || s.constant) return s;
  std::frexp(largest, &s.exponent);
  s.scale = std::ldexp(1.0, -s.exponent);
  s.by_product = std::isnormal(s.scale);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (present(i)) total += s.scaled(value(i));
  }
  s.mean = total / static_cast<double>(s.m);
  for (std::size_t i = 0; i < n; ++i) {
    if (!present(i)) continue;
    const double deviation = s.scaled(value(i)) - s.mean;
    s.ss_total += deviation * deviation;
  }
  return s;
}

// The correlation ratio from the sums and sizes of the groups of the values `s` summarizes.
inline double ratio_of_groups(const ValueSummary& s, const double* group_sums,
                              const std::size_t* sizes, std::size_t levels) {
  double ss_between = 0.0;
  for (std::size_t g = 0; g < levels; ++g) {
    if (sizes[g] == 0) continue;
    const double size = static_cast<double>(sizes[g]);
    const double deviation = group_sums[g] / size - s.mean;
    ss_between += size * deviation * deviation;
  }
  if (!(s.ss_total > 0.0)) return 0.0;  // differences below the smallest double
  return std::sqrt(std::clamp(ss_between / s.ss_total, 0.0, 1.0));
}

// Whether the correlation ratio of the values `s` summarizes is settled without their groups.
inline bool settled_without_groups(const ValueSummary& s, double& ratio) {
  if (s.m == 0 || !s.finite) {
    ratio = kNaN;
    return true;
  }
  ratio = 0.0;
  return s.constant;
}

// Correlation ratio of value(i) grouped by group(i) < levels over the rows i < n with present(i),
// whose values `s` summarizes.
template <typename Group, typename Value, typename Present>
double correlation_ratio_of(std::size_t n, std::size_t levels, Group group, Value value,
                            Present present, const ValueSummary& s) {
  double ratio = 0.0;
  if (settled_without_groups(s, ratio)) return ratio;
  std::vector<double> group_sums(levels, 0.0);
  std::vector<std::size_t> sizes(levels, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!present(i)) continue;
    const std::size_t g = group(i);
    group_sums[g] += s.scaled(value(i));
    ++sizes[g];
  }
  return ratio_of_groups(s, group_sums.data(), sizes.data(), levels);
}

template <typename Group, typename Value, typename Present>
double correlation_ratio_of(std::size_t n, std::size_t levels, Group group, Value value,
                            Present present) {
  return correlation_ratio_of(n, levels, group, value, present,
                              summarize_values(n, value, present));
}

}  // namespace kova::association
