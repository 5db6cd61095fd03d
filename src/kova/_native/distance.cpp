// Two-sample distance kernels of kova._kernels: every column of a 2-D array sorted (radix sort,
// columns spread over threads), the Kolmogorov-Smirnov and first Wasserstein distances of two
// sorted samples from one merge of the two, and order statistics of two sorted samples pooled,
// which give quantile bin edges without pooling them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/column_sort.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/parallel.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A sample of finite values sorted in increasing order, read through a plain pointer.
struct Sorted {
  const double* data;
  std::size_t size;

  // The value at position i, or +inf past the end.
  double at(std::size_t i) const {
    return i < size ? data[i] : std::numeric_limits<double>::infinity();
  }

  bool valid() const {
    if (size == 0) return true;
    if (!std::isfinite(data[0]) || !std::isfinite(data[size - 1])) return false;
    for (std::size_t i = 1; i < size; ++i) {
      if (!(data[i - 1] <= data[i])) return false;
    }
    return true;
  }
};

[[noreturn]] void throw_unsorted(const char* function, const std::string& argument) {
  throw py::value_error(std::string(function) + "(): '" + argument +
                        "' must be sorted in increasing order and hold only finite values");
}

Sorted sorted_sample(const ContiguousFloatArray& array, const char* function,
                     const char* argument) {
  const Sorted sample{array.data(), static_cast<std::size_t>(array.shape(0))};
  if (!sample.valid()) throw_unsorted(function, argument);
  return sample;
}

struct Distances {
  double ks;
  double wd1;
};

// Both distances from one merge of the two sorted samples in increasing order of value, taking
// the next value from each sample that holds it, without a data-dependent branch. Once i values
// of a and j of b are taken, the distribution functions differ by (i m - j n) / (n m); the
// integer numerator is exact in double arithmetic while n m < 2^53, and the one division comes
// last. Each stop closes the strip since the previous value: a tie still being taken gives a
// strip of zero width, and KS looks only at gaps reached once a value's ties are all taken.
Distances merged_distances(const Sorted& a, const Sorted& b) {
  if (a.size == 0 || b.size == 0) return {kNaN, kNaN};
  const auto n = static_cast<double>(a.size);
  const auto m = static_cast<double>(b.size);
  // Strip widths are scaled by 2^-shift so that n m times the pooled range stays finite, even
  // for values near the limits of the doubles; the shift is 0 for any ordinary range.
  const double half_range =
      std::max(a.data[a.size - 1], b.data[b.size - 1]) * 0.5 - std::min(a.data[0], b.data[0]) * 0.5;
  const int shift =
      half_range > 0.0 ? std::max(0, std::ilogb(half_range) + std::ilogb(n * m) + 4 - 1000) : 0;
  const double scale = std::ldexp(1.0, -shift);
  double largest = 0.0;
  double sum = 0.0;           // the area between the distribution functions, summed with
  double compensation = 0.0;  // Neumaier's compensation
  double previous = std::min(a.data[0], b.data[0]);
  double gap = 0.0;  // |i m - j n| once every value up to previous is taken
  // The strip from previous to value, at the gap once previous and its ties are taken.
  const auto step_to = [&](double value) {
    largest = value > previous && gap > largest ? gap : largest;
    const double term = gap * (value * scale - previous * scale);
    const double total = sum + term;
    compensation += std::fabs(sum) >= std::fabs(term) ? (sum - total) + term : (term - total) + sum;
    sum = total;
    previous = value;
  };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size && j < b.size) {
    const double u = a.data[i];
    const double v = b.data[j];
    const double value = std::min(u, v);
    step_to(value);
    i += static_cast<std::size_t>(u == value);
    j += static_cast<std::size_t>(v == value);
    gap = std::fabs(static_cast<double>(i) * m - static_cast<double>(j) * n);
  }
  for (; i < a.size; ++i) {  // b is used up: the rest of a, then the gap closes
    step_to(a.data[i]);
    gap = std::fabs(static_cast<double>(i + 1) * m - static_cast<double>(j) * n);
  }
  for (; j < b.size; ++j) {
    step_to(b.data[j]);
    gap = std::fabs(static_cast<double>(i) * m - static_cast<double>(j + 1) * n);
  }
  return {largest / (n * m), std::ldexp((sum + compensation) / (n * m), shift)};
}

Distances distances_of(const py::object& sample1, const py::object& sample2, const char* function) {
  const auto x = as_array<ContiguousFloatArray>(sample1, 1, function, "sample1");
  const auto y = as_array<ContiguousFloatArray>(sample2, 1, function, "sample2");
  const Sorted a = sorted_sample(x, function, "sample1");
  const Sorted b = sorted_sample(y, function, "sample2");
  py::gil_scoped_release release;
  return merged_distances(a, b);
}

double ks_sorted(const py::object& sample1, const py::object& sample2) {
  return distances_of(sample1, sample2, "ks_sorted").ks;
}

double wasserstein1_sorted(const py::object& sample1, const py::object& sample2) {
  return distances_of(sample1, sample2, "wasserstein1_sorted").wd1;
}

std::size_t thread_count(int threads) {
  if (threads < 1) throw py::value_error("'threads' must be a positive integer");
  return static_cast<std::size_t>(threads);
}

// Transposes rows [begin, end) of the C-ordered rows x cols matrix into out (cols x rows).
void transpose_rows(const double* data, std::size_t begin, std::size_t end, std::size_t rows,
                    std::size_t cols, double* out) {
  for_column_blocks(data, begin, end, cols,
                    [&](std::size_t c, std::size_t start, const double* first, std::size_t count,
                        std::size_t step) {
                      double* target = out + c * rows + start;
                      for (std::size_t k = 0; k < count; ++k) target[k] = first[k * step];
                    });
}

py::array_t<double> sorted_columns(const py::object& values, int threads) {
  const auto matrix = as_array<ContiguousFloatArray>(values, 2, "sorted_columns", "matrix");
  const std::size_t workers = thread_count(threads);
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  py::array_t<double> result({static_cast<py::ssize_t>(cols), static_cast<py::ssize_t>(rows)});
  double* out = result.mutable_data();
  py::gil_scoped_release release;
  // First the transposition, in as many slices of rows as threads, then one column per task.
  const std::size_t slices = std::max<std::size_t>(1, std::min(workers, rows / 4096));
  parallel_for(slices, workers, [&](std::size_t s, std::size_t) {
    transpose_rows(matrix.data(), rows * s / slices, rows * (s + 1) / slices, rows, cols, out);
  });
  std::vector<std::vector<std::uint64_t>> keys(workers);
  std::vector<std::vector<std::uint64_t>> scratch(workers);
  parallel_for(cols, workers, [&](std::size_t c, std::size_t thread) {
    radix_sort(out + c * rows, rows, keys[thread], scratch[thread]);
  });
  return result;
}

py::array_t<double> sorted_distances(const py::object& sorted1, const py::object& sorted2,
                                     int threads) {
  constexpr const char* kName = "sorted_distances";
  const auto x = as_array<ContiguousFloatArray>(sorted1, 2, kName, "sorted1");
  const auto y = as_array<ContiguousFloatArray>(sorted2, 2, kName, "sorted2");
  const std::size_t workers = thread_count(threads);
  if (x.shape(0) != y.shape(0)) {
    throw py::value_error(std::string(kName) + "(): 'sorted1' and 'sorted2' must have as many " +
                          "rows, got " + std::to_string(x.shape(0)) + " and " +
                          std::to_string(y.shape(0)));
  }
  const auto columns = static_cast<std::size_t>(x.shape(0));
  const auto n = static_cast<std::size_t>(x.shape(1));
  const auto m = static_cast<std::size_t>(y.shape(1));
  py::array_t<double> result({py::ssize_t{2}, static_cast<py::ssize_t>(columns)});
  double* ks = result.mutable_data();
  double* wd1 = ks + columns;
  std::vector<char> bad(2 * columns, 0);  // a thread must not raise: flags, checked after
  {
    py::gil_scoped_release release;
    parallel_for(columns, workers, [&](std::size_t c, std::size_t) {
      const Sorted a{x.data() + c * n, n};
      const Sorted b{y.data() + c * m, m};
      bad[2 * c] = static_cast<char>(!a.valid());
      bad[2 * c + 1] = static_cast<char>(!b.valid());
      const Distances d =
          bad[2 * c] || bad[2 * c + 1] ? Distances{kNaN, kNaN} : merged_distances(a, b);
      ks[c] = d.ks;
      wd1[c] = d.wd1;
    });
  }
  const auto first_bad = std::find(bad.begin(), bad.end(), 1);
  if (first_bad != bad.end()) {
    const auto k = static_cast<std::size_t>(first_bad - bad.begin());
    throw_unsorted(
        kName, std::string(k % 2 == 0 ? "sorted1" : "sorted2") + "[" + std::to_string(k / 2) + "]");
  }
  return result;
}

// The value of rank k (from 0) of the two sorted samples pooled: the smallest i with a[i] not
// below b[k - i] splits the k + 1 smallest into i values of a and k + 1 - i of b.
double pooled_rank(const Sorted& a, const Sorted& b, std::size_t k) {
  std::size_t low = k + 1 > b.size ? k + 1 - b.size : 0;
  std::size_t high = std::min(k + 1, a.size);
  while (low < high) {
    const std::size_t i = low + (high - low) / 2;
    const std::size_t j = k + 1 - i;
    if (j > 0 && a.data[i] < b.data[j - 1]) {
      low = i + 1;
    } else {
      high = i;
    }
  }
  const std::size_t j = k + 1 - low;
  const double from_a = low > 0 ? a.data[low - 1] : -std::numeric_limits<double>::infinity();
  const double from_b = j > 0 ? b.data[j - 1] : -std::numeric_limits<double>::infinity();
  return std::max(from_a, from_b);
}

py::array_t<double> pooled_order_statistics(const py::object& sorted1, const py::object& sorted2,
                                            const py::object& ranks) {
  constexpr const char* kName = "pooled_order_statistics";
  const auto x = as_array<ContiguousFloatArray>(sorted1, 1, kName, "sorted1");
  const auto y = as_array<ContiguousFloatArray>(sorted2, 1, kName, "sorted2");
  const auto wanted =
      as_array<py::array_t<std::int64_t, py::array::forcecast>>(ranks, 1, kName, "ranks");
  const Sorted a = sorted_sample(x, kName, "sorted1");
  const Sorted b = sorted_sample(y, kName, "sorted2");
  const auto total = static_cast<std::int64_t>(a.size + b.size);
  const auto count = static_cast<std::size_t>(wanted.shape(0));
  py::array_t<double> result(static_cast<py::ssize_t>(count));
  double* out = result.mutable_data();
  const association::StridedView<std::int64_t> rank = view_of(wanted);
  for (std::size_t r = 0; r < count; ++r) {
    if (rank[r] < 0 || rank[r] >= total) {
      throw py::value_error(std::string(kName) + "(): 'ranks' must lie in [0, " +
                            std::to_string(total) + "), got " + std::to_string(rank[r]));
    }
    out[r] = pooled_rank(a, b, static_cast<std::size_t>(rank[r]));
  }
  return result;
}

}  // namespace

void define_distance(py::module_& m) {
  m.def("ks_sorted", &ks_sorted, py::arg("sample1"), py::arg("sample2"),
        R"doc(Two-sample Kolmogorov-Smirnov statistic of two samples sorted in increasing order.

The largest absolute difference of their empirical distribution functions; NaN when a sample is
empty. The samples must hold finite values only.)doc");
  m.def("wasserstein1_sorted", &wasserstein1_sorted, py::arg("sample1"), py::arg("sample2"),
        R"doc(First Wasserstein distance of two samples sorted in increasing order.

The area between their empirical distribution functions; NaN when a sample is empty. The
samples must hold finite values only; values near the limits of float64 are fine.)doc");
  m.def("sorted_columns", &sorted_columns, py::arg("matrix"), py::arg("threads") = 1,
        R"doc(Every column of a 2-D array, sorted in increasing order, as the rows of a new array.

Columns are spread over ``threads`` threads, with the GIL released. NaN sorts to one end by its
sign bit (past the infinities), so a row's first and last values tell whether all are finite.)doc");
  m.def("sorted_distances", &sorted_distances, py::arg("sorted1"), py::arg("sorted2"),
        py::arg("threads") = 1,
        R"doc(Kolmogorov-Smirnov statistic and first Wasserstein distance of every pair of rows.

``sorted1`` and ``sorted2`` hold, row by row, the sorted finite values of the same column in
two samples (as ``sorted_columns`` gives them); both distances come from one merge of each
pair. Returns a (2, rows) array: the statistics, then the distances; NaN when a sample is
empty.)doc");
  m.def("pooled_order_statistics", &pooled_order_statistics, py::arg("sorted1"), py::arg("sorted2"),
        py::arg("ranks"),
        R"doc(Values of the given ranks (0 is the smallest) of two sorted samples pooled.

Each rank costs a binary search; the samples are not merged.)doc");
}

}  // namespace kova::kernels
