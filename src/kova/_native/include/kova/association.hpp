// Association measures between a categorical sequence and another sequence.
//
// Categories are given as category codes: doubles holding non-negative integers (the float codes
// of pandas.factorize once missing entries are removed). Codes need not be contiguous; a code
// that is negative, fractional, not-a-number or beyond 2**53 is rejected with
// std::invalid_argument, which the bindings turn into ValueError.
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
//   (SS_total = 0) -> 0.0, since there is no variation for the categories to explain.
//
// Both run in O(n): categories are counted in vectors (or a hash map when codes are sparse).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::association {

// Read-only view of `size` doubles spaced `stride` bytes apart (a 1-D numpy array, any strides).
class DoubleView {
 public:
  DoubleView(const void* data, std::size_t size, std::ptrdiff_t stride)
      : data_(static_cast<const char*>(data)), size_(size), stride_(stride) {}

  std::size_t size() const { return size_; }

  double operator[](std::size_t i) const {
    double value;  // memcpy: numpy does not promise aligned data
    std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof value);
    return value;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::ptrdiff_t stride_;
};

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

inline std::vector<std::size_t> level_counts(const Categories& categories) {
  std::vector<std::size_t> counts(categories.levels, 0);
  for (std::size_t id : categories.ids) ++counts[id];
  return counts;
}

// Sum of c * log(c) over the counts; the entropy of n entries is log(n) - sum / n.
template <typename Counts>
double sum_count_log_count(const Counts& counts) {
  double sum = 0.0;
  for (std::size_t count : counts) {
    if (count > 1) sum += static_cast<double>(count) * std::log(static_cast<double>(count));
  }
  return sum;
}

inline double joint_sum_count_log_count(const Categories& x, const Categories& y) {
  const std::size_t n = x.ids.size();
  const std::size_t cells_limit = 4 * n + 65536;
  if (x.levels <= cells_limit / y.levels) {
    std::vector<std::size_t> joint(x.levels * y.levels, 0);
    for (std::size_t i = 0; i < n; ++i) ++joint[x.ids[i] * y.levels + y.ids[i]];
    return sum_count_log_count(joint);
  }
  // Many levels on both sides: count only the pairs that occur (at most n of them).
  std::unordered_map<std::uint64_t, std::size_t> joint;
  joint.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    ++joint[static_cast<std::uint64_t>(x.ids[i]) * y.levels + y.ids[i]];
  }
  std::vector<std::size_t> counts;
  counts.reserve(joint.size());
  for (const auto& cell : joint) counts.push_back(cell.second);
  return sum_count_log_count(counts);
}

inline void require_same_length(const DoubleView& a, const DoubleView& b, const char* function) {
  if (a.size() != b.size()) {
    throw std::invalid_argument(std::string(function) +
                                "(): both arguments must have the same length, got " +
                                std::to_string(a.size()) + " and " + std::to_string(b.size()));
  }
}

inline double symmetric_theil_u(const DoubleView& a, const DoubleView& b) {
  constexpr const char* kName = "symmetric_theil_u_correlation";
  require_same_length(a, b, kName);
  const Categories x = compact_categories(a, kName, "a");
  const Categories y = compact_categories(b, kName, "b");
  if (a.size() == 0) return std::numeric_limits<double>::quiet_NaN();
  if (x.levels == 1 && y.levels == 1) return 1.0;
  if (x.levels == 1 || y.levels == 1) return 0.0;

  const double n = static_cast<double>(a.size());
  const double log_n = std::log(n);
  const double h_x = log_n - sum_count_log_count(level_counts(x)) / n;
  const double h_y = log_n - sum_count_log_count(level_counts(y)) / n;
  const double h_xy = log_n - joint_sum_count_log_count(x, y) / n;
  const double mutual_information = h_x + h_y - h_xy;
  return std::clamp(2.0 * mutual_information / (h_x + h_y), 0.0, 1.0);
}

inline double correlation_ratio(const DoubleView& categories, const DoubleView& values) {
  constexpr const char* kName = "correlation_ratio";
  require_same_length(categories, values, kName);
  const Categories groups = compact_categories(categories, kName, "categories");
  const std::size_t n = values.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();

  double largest = 0.0;
  bool constant = true;
  for (std::size_t i = 0; i < n; ++i) {
    const double value = values[i];
    if (!std::isfinite(value)) return std::numeric_limits<double>::quiet_NaN();
    largest = std::max(largest, std::fabs(value));
    constant = constant && value == values[0];
  }
  if (constant) return 0.0;

  // Scale by a power of two (exact) so that no square or sum can overflow.
  int exponent = 0;
  std::frexp(largest, &exponent);
  auto scaled = [&](std::size_t i) { return std::ldexp(values[i], -exponent); };

  std::vector<double> group_sums(groups.levels, 0.0);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double value = scaled(i);
    group_sums[groups.ids[i]] += value;
    total += value;
  }
  const double mean = total / static_cast<double>(n);
  double ss_total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double deviation = scaled(i) - mean;
    ss_total += deviation * deviation;
  }
  const std::vector<std::size_t> sizes = level_counts(groups);
  double ss_between = 0.0;
  for (std::size_t g = 0; g < groups.levels; ++g) {
    const double size = static_cast<double>(sizes[g]);
    const double deviation = group_sums[g] / size - mean;
    ss_between += size * deviation * deviation;
  }
  if (!(ss_total > 0.0)) return 0.0;  // differences below the smallest double
  return std::sqrt(std::clamp(ss_between / ss_total, 0.0, 1.0));
}

}  // namespace kova::association
