// Category-code kernels of the association measures: the 1-D kernels over float codes of complete
// pairs and the matrix kernels over integer codes with -1 for missing entries, both on the cores
// of kova/association_cores.hpp.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "kova/association_cores.hpp"
#include "kova/parallel.hpp"

namespace kova::association {

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
inline std::vector<double> symmetric_theil_u_matrix(const std::vector<CodedColumn>& columns,
                                                    std::size_t threads) {
  constexpr const char* kName = "symmetric_theil_u_matrix";
  const std::size_t k = columns.size();
  const std::size_t n = k == 0 ? 0 : columns[0].codes.size();
  require_equal_lengths(columns, n, kName);
  std::vector<double> matrix(k * k, kNaN);
  // row i writes the cells (i, j) and (j, i) for j > i only: no cell is written twice
  parallel_for(k, threads, [&](std::size_t i, std::size_t) {
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
  });
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
                                                    const std::vector<DoubleView>& values,
                                                    std::size_t threads) {
  constexpr const char* kName = "correlation_ratio_matrix";
  const std::size_t k = columns.size();
  const std::size_t p = values.size();
  const std::size_t n = k > 0 ? columns[0].codes.size() : p > 0 ? values[0].size() : 0;
  require_equal_lengths(columns, n, kName);
  for (const DoubleView& column : values) require_same_length(column.size(), n, kName);
  std::vector<ValueSummary> summaries(p);  // over the rows where the value is not NaN
  parallel_for(p, threads, [&](std::size_t v, std::size_t) {
    const DoubleView& number = values[v];
    summaries[v] = summarize_values(
        n, [&](std::size_t r) { return number[r]; },
        [&](std::size_t r) { return !std::isnan(number[r]); });
  });
  std::vector<double> matrix(p * k, kNaN);
  // column c of the matrix is written by task c alone
  parallel_for(k, threads, [&](std::size_t c, std::size_t) {
    const CodedColumn& groups = columns[c];
    if (groups.complete) {
      grouped_by_complete_column(groups, values, summaries, matrix, c, k);
      return;
    }
    for (std::size_t v = 0; v < p; ++v) {
      const DoubleView& number = values[v];
      matrix[v * k + c] = correlation_ratio_of(
          n, groups.levels, id_of(groups.codes), [&](std::size_t r) { return number[r]; },
          [&](std::size_t r) { return groups.codes[r] >= 0 && !std::isnan(number[r]); });
    }
  });
  return matrix;
}

}  // namespace kova::association
