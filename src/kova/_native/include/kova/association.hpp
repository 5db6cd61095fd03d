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

// ---------------------------------------------------------------------------------------------
// 1-D kernels: float codes of complete pairs

// Category ids 0..levels-1 in first-seen order, one per entry.
struct Categories {
  std::vector<std::size_t> ids;
  std::size_t levels = 0;
};

inline constexpr double kMaxExactInteger = 9007199254740992.0;  // 2**53

inline std::string describe(double value) {
  std::ostringstream text;
  text.precision(17);
  text << value;
  return text.str();
}

// Largest code, after checking that every entry is a valid code.
inline double max_code(const DoubleView& codes, const char* function, const char* argument) {
  double largest = 0.0;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const double code = codes[i];
    if (!(code >= 0.0 && code <= kMaxExactInteger && code == std::floor(code))) {
      throw std::invalid_argument(std::string(function) + "(): '" + argument +
                                  "' must hold category codes (non-negative integers), got " +
                                  describe(code) + " at position " + std::to_string(i));
    }
    largest = std::max(largest, code);
  }
  return largest;
}

template <typename Lookup>
Categories assign_ids(const DoubleView& codes, Lookup& lookup) {
  Categories result;
  result.ids.resize(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    std::size_t& id = lookup(static_cast<std::uint64_t>(codes[i]));
    if (id == 0) id = ++result.levels;  // 0 marks an unseen code; ids are stored plus one
    result.ids[i] = id - 1;
  }
  return result;
}

inline Categories compact_categories(const DoubleView& codes, const char* function,
                                     const char* argument) {
  const double largest = max_code(codes, function, argument);
  // Codes from factorize are dense; a table indexed by code is then the fastest lookup.
  if (largest < 2.0 * static_cast<double>(codes.size()) + 1024.0) {
    std::vector<std::size_t> table(static_cast<std::size_t>(largest) + 1, 0);
    auto lookup = [&table](std::uint64_t code) -> std::size_t& { return table[code]; };
    return assign_ids(codes, lookup);
  }
  std::unordered_map<std::uint64_t, std::size_t> table;
  table.reserve(codes.size());
  auto lookup = [&table](std::uint64_t code) -> std::size_t& { return table[code]; };
  return assign_ids(codes, lookup);
}

inline void require_same_length(std::size_t a, std::size_t b, const char* function) {
  if (a != b) {
    throw std::invalid_argument(std::string(function) +
                                "(): both arguments must have the same length, got " +
                                std::to_string(a) + " and " + std::to_string(b));
  }
}

inline constexpr auto kEveryRow = [](std::size_t) { return true; };

inline double symmetric_theil_u(const DoubleView& a, const DoubleView& b) {
  constexpr const char* kName = "symmetric_theil_u_correlation";
  require_same_length(a.size(), b.size(), kName);
  const Categories x = compact_categories(a, kName, "a");
  const Categories y = compact_categories(b, kName, "b");
  return symmetric_theil_u_of(
      a.size(), x.levels, y.levels, [&](std::size_t i) { return x.ids[i]; },
      [&](std::size_t i) { return y.ids[i]; }, kEveryRow);
}

inline double correlation_ratio(const DoubleView& categories, const DoubleView& values) {
  constexpr const char* kName = "correlation_ratio";
  require_same_length(categories.size(), values.size(), kName);
  const Categories groups = compact_categories(categories, kName, "categories");
  return correlation_ratio_of(
      values.size(), groups.levels, [&](std::size_t i) { return groups.ids[i]; },
      [&](std::size_t i) { return values[i]; }, kEveryRow);
}

// ---------------------------------------------------------------------------------------------
// Matrix kernels: integer codes with -1 for missing entries

// The codes of one categorical column, checked once: `levels` is the largest code plus one,
// `counts` the rows of each level and `complete` whether no entry is missing.
struct CodedColumn {
  CodeView codes;
  std::size_t levels = 0;
  std::vector<std::size_t> counts;
  bool complete = true;
};

inline CodedColumn checked_codes(const CodeView& codes, const char* function, std::size_t column) {
  CodedColumn result{codes, 0, {}, true};
  std::int64_t largest = -1;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int64_t code = codes[i];
    if (code < -1) {
      throw std::invalid_argument(std::string(function) + "(): codes of column " +
                                  std::to_string(column) +
                                  " must be category codes (-1 for missing), got " +
                                  std::to_string(code) + " at position " + std::to_string(i));
    }
    largest = std::max(largest, code);
  }
  result.levels = static_cast<std::size_t>(largest + 1);
  result.counts.assign(result.levels, 0);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int64_t code = codes[i];
    if (code >= 0) {
      ++result.counts[static_cast<std::size_t>(code)];
    } else {
      result.complete = false;
    }
  }
  return result;
}

inline void require_equal_lengths(const std::vector<CodedColumn>& columns, std::size_t n,
                                  const char* function) {
  for (const CodedColumn& column : columns) require_same_length(column.codes.size(), n, function);
}

inline auto id_of(const CodeView& codes) {
  return [&codes](std::size_t r) { return static_cast<std::size_t>(codes[r]); };
}

// The k x k matrix (row-major) of symmetric Theil's U between the coded columns, each pair over
// the rows where both are present. The diagonal is 1.0, or NaN for a column without entries.
inline std::vector<double> symmetric_theil_u_matrix(const std::vector<CodedColumn>& columns) {
  constexpr const char* kName = "symmetric_theil_u_matrix";
  const std::size_t k = columns.size();
  const std::size_t n = k == 0 ? 0 : columns[0].codes.size();
  require_equal_lengths(columns, n, kName);
  std::vector<double> matrix(k * k, kNaN);
  for (std::size_t i = 0; i < k; ++i) {
    const CodedColumn& a = columns[i];
    matrix[i * k + i] = a.levels > 0 ? 1.0 : kNaN;
    for (std::size_t j = i + 1; j < k; ++j) {
      const CodedColumn& b = columns[j];
      const bool complete = a.complete && b.complete;  // then the level counts are the margins
      const double u = symmetric_theil_u_of(
          n, a.levels, b.levels, id_of(a.codes), id_of(b.codes),
          [&](std::size_t r) { return complete || (a.codes[r] >= 0 && b.codes[r] >= 0); },
          complete ? &a.counts : nullptr, complete ? &b.counts : nullptr);
      matrix[i * k + j] = u;
      matrix[j * k + i] = u;
    }
  }
  return matrix;
}

// Column c of the p x k matrix for a coded column without missing entries: every value column's
// rows are its rows without NaN, which `summaries` summarize, and all value columns are grouped
// in one pass over the rows.
inline void grouped_by_complete_column(const CodedColumn& groups,
                                       const std::vector<DoubleView>& values,
                                       const std::vector<ValueSummary>& summaries,
                                       std::vector<double>& matrix, std::size_t c, std::size_t k) {
  const std::size_t p = values.size();
  const std::size_t levels = groups.levels;
  std::vector<std::size_t> open;  // the value columns whose ratio needs the groups
  for (std::size_t v = 0; v < p; ++v) {
    double ratio = 0.0;
    if (settled_without_groups(summaries[v], ratio)) {
      matrix[v * k + c] = ratio;
    } else {
      open.push_back(v);
    }
  }
  std::vector<double> group_sums(open.size() * levels, 0.0);
  std::vector<std::size_t> sizes(open.size() * levels, 0);
  const std::size_t n = groups.codes.size();
  for (std::size_t r = 0; r < n && !open.empty(); ++r) {
    const auto g = static_cast<std::size_t>(groups.codes[r]);
    for (std::size_t o = 0; o < open.size(); ++o) {
      const double value = values[open[o]][r];
      if (std::isnan(value)) continue;
      group_sums[o * levels + g] += summaries[open[o]].scaled(value);
      ++sizes[o * levels + g];
    }
  }
  for (std::size_t o = 0; o < open.size(); ++o) {
    matrix[open[o] * k + c] =
        ratio_of_groups(summaries[open[o]], &group_sums[o * levels], &sizes[o * levels], levels);
  }
}

// The p x k matrix (row-major) of correlation ratios of each value column grouped by each coded
// column, each pair over the rows where the code is present and the value is not NaN. The values
// of a column are summarized once for all coded columns without missing entries.
inline std::vector<double> correlation_ratio_matrix(const std::vector<CodedColumn>& columns,
                                                    const std::vector<DoubleView>& values) {
  constexpr const char* kName = "correlation_ratio_matrix";
  const std::size_t k = columns.size();
  const std::size_t p = values.size();
  const std::size_t n = k > 0 ? columns[0].codes.size() : p > 0 ? values[0].size() : 0;
  require_equal_lengths(columns, n, kName);
  for (const DoubleView& column : values) require_same_length(column.size(), n, kName);
  std::vector<ValueSummary> summaries;  // over the rows where the value is not NaN
  for (const DoubleView& number : values) {
    summaries.push_back(summarize_values(
        n, [&](std::size_t r) { return number[r]; },
        [&](std::size_t r) { return !std::isnan(number[r]); }));
  }
  std::vector<double> matrix(p * k, kNaN);
  for (std::size_t c = 0; c < k; ++c) {
    const CodedColumn& groups = columns[c];
    if (groups.complete) {
      grouped_by_complete_column(groups, values, summaries, matrix, c, k);
      continue;
    }
    for (std::size_t v = 0; v < p; ++v) {
      const DoubleView& number = values[v];
      matrix[v * k + c] = correlation_ratio_of(
          n, groups.levels, id_of(groups.codes), [&](std::size_t r) { return number[r]; },
          [&](std::size_t r) { return groups.codes[r] >= 0 && !std::isnan(number[r]); });
    }
  }
  return matrix;
}

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
