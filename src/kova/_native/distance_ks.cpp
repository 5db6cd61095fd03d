// The two-sample Kolmogorov-Smirnov statistic of every column without sorting whole columns.
// Once i values of a (n in all) and j of b (m in all) are taken in increasing order, the
// distribution functions differ by |i m - j n| / (n m). Counting both samples in 65536 buckets of
// the top 16 bits of an order-preserving key gives that gap exactly at every bucket's end; inside
// a bucket the gap moves by +m per value of a and -n per value of b, so it cannot exceed the
// larger of |start + m count_a| and |start - n count_b|. Only the buckets where that bound beats
// the best end-of-bucket gap are sorted and merged value by value. Two distinct distributions
// leave a few buckets near the largest gap; two alike ones may leave many, up to a whole sort.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/column_sort.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/parallel.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

constexpr std::size_t kBuckets = std::size_t{1} << 16;
constexpr int kShift = 48;

// The bucket of a value: the top 16 bits of its order key, -0.0 counted as 0.0 (they tie).
inline std::size_t bucket_of(double value) { return order_key(value + 0.0) >> kShift; }

// Per-thread work space of one column's statistic.
struct KsSpace {
  std::vector<std::uint32_t> count_a, count_b;
  std::vector<std::uint8_t> wanted;
  std::vector<std::uint64_t> keys_a, keys_b, scratch_a, scratch_b;
  std::vector<double> values_a, values_b;
};

// Counts of the samples' keys per bucket; false when a value is not finite.
bool count_buckets(const double* values, std::size_t size, std::vector<std::uint32_t>& counts) {
  counts.assign(kBuckets, 0);
  bool finite = true;
  for (std::size_t i = 0; i < size; ++i) {
    finite &= std::isfinite(values[i]);
    ++counts[bucket_of(values[i])];
  }
  return finite;
}

// The values of the wanted buckets, sorted.
void wanted_values(const double* values, std::size_t size, const std::vector<std::uint8_t>& wanted,
                   std::vector<double>& out, std::vector<std::uint64_t>& keys,
                   std::vector<std::uint64_t>& scratch) {
  out.clear();
  for (std::size_t i = 0; i < size; ++i) {
    if (wanted[bucket_of(values[i])]) out.push_back(values[i]);
  }
  radix_sort(out.data(), out.size(), keys, scratch);
}

// The largest |i m - j n| of one column; NaN when a value is not finite.
double largest_gap(const double* a, std::size_t n, const double* b, std::size_t m, KsSpace& space) {
  const bool finite = count_buckets(a, n, space.count_a) & count_buckets(b, m, space.count_b);
  if (!finite) return std::numeric_limits<double>::quiet_NaN();
  const auto dn = static_cast<double>(n);
  const auto dm = static_cast<double>(m);
  // End-of-bucket gaps first: the exact lower bound the refined buckets must beat.
  double largest = 0.0;
  double i = 0.0;
  double j = 0.0;
  for (std::size_t k = 0; k < kBuckets; ++k) {
    i += space.count_a[k];
    j += space.count_b[k];
    largest = std::max(largest, std::fabs(i * dm - j * dn));
  }
  space.wanted.assign(kBuckets, 0);
  bool any = false;
  i = j = 0.0;
  for (std::size_t k = 0; k < kBuckets; ++k) {
    const double start = i * dm - j * dn;
    const double up = std::fabs(start + space.count_a[k] * dm);
    const double down = std::fabs(start - space.count_b[k] * dn);
    const bool mixed = space.count_a[k] > 0 && space.count_b[k] > 0;
    space.wanted[k] = static_cast<std::uint8_t>(mixed && std::max(up, down) > largest);
    any |= space.wanted[k] != 0;
    i += space.count_a[k];
    j += space.count_b[k];
  }
  if (!any) return largest;
  wanted_values(a, n, space.wanted, space.values_a, space.keys_a, space.scratch_a);
  wanted_values(b, m, space.wanted, space.values_b, space.keys_b, space.scratch_b);
  // Merge the wanted buckets in order, each from the counts taken before it.
  const std::vector<double>& va = space.values_a;
  const std::vector<double>& vb = space.values_b;
  std::size_t p = 0;
  std::size_t q = 0;
  i = j = 0.0;
  for (std::size_t k = 0; k < kBuckets; ++k) {
    if (space.wanted[k]) {
      const std::size_t end_a = p + space.count_a[k];
      const std::size_t end_b = q + space.count_b[k];
      double ti = i;
      double tj = j;
      while (p < end_a || q < end_b) {
        const double u = p < end_a ? va[p] : std::numeric_limits<double>::infinity();
        const double v = q < end_b ? vb[q] : std::numeric_limits<double>::infinity();
        const double value = std::min(u, v);
        for (; p < end_a && va[p] == value; ++p) ti += 1.0;
        for (; q < end_b && vb[q] == value; ++q) tj += 1.0;
        largest = std::max(largest, std::fabs(ti * dm - tj * dn));
      }
    }
    i += space.count_a[k];
    j += space.count_b[k];
  }
  return largest;
}

py::array_t<double> ks_columns(const py::object& sample1, const py::object& sample2, int threads) {
  constexpr const char* kName = "ks_columns";
  const auto x = as_array<ContiguousFloatArray>(sample1, 2, kName, "sample1");
  const auto y = as_array<ContiguousFloatArray>(sample2, 2, kName, "sample2");
  if (threads < 1) throw py::value_error("'threads' must be a positive integer");
  if (x.shape(1) != y.shape(1)) {
    throw py::value_error("ks_columns(): 'sample1' and 'sample2' must have as many columns");
  }
  const auto n = static_cast<std::size_t>(x.shape(0));
  const auto m = static_cast<std::size_t>(y.shape(0));
  const auto cols = static_cast<std::size_t>(x.shape(1));
  const auto workers = static_cast<std::size_t>(threads);
  py::array_t<double> result(static_cast<py::ssize_t>(cols));
  double* out = result.mutable_data();
  py::gil_scoped_release release;
  // Left uninitialised: the transposition writes every entry, and zeroing 2 x 8 bytes per value
  // would cost a pass of its own.
  const std::unique_ptr<double[]> ta(new double[n * cols]);
  const std::unique_ptr<double[]> tb(new double[m * cols]);
  const auto transpose = [&](const double* data, std::size_t rows, double* target) {
    for_column_blocks(data, 0, rows, cols,
                      [&](std::size_t c, std::size_t start, const double* first, std::size_t count,
                          std::size_t step) {
                        double* column = target + c * rows + start;
                        for (std::size_t k = 0; k < count; ++k) column[k] = first[k * step];
                      });
  };
  parallel_for(2, workers, [&](std::size_t s, std::size_t) {
    if (s == 0) transpose(x.data(), n, ta.get());
    if (s == 1) transpose(y.data(), m, tb.get());
  });
  std::vector<KsSpace> spaces(workers);
  parallel_for(cols, workers, [&](std::size_t c, std::size_t thread) {
    if (n == 0 || m == 0) {
      out[c] = std::numeric_limits<double>::quiet_NaN();
      return;
    }
    const double gap = largest_gap(ta.get() + c * n, n, tb.get() + c * m, m, spaces[thread]);
    out[c] = gap / (static_cast<double>(n) * static_cast<double>(m));
  });
  return result;
}

}  // namespace

void define_distance_ks(py::module_& m) {
  m.def("ks_columns", &ks_columns, py::arg("sample1"), py::arg("sample2"), py::arg("threads") = 1,
        R"doc(Two-sample Kolmogorov-Smirnov statistic of every column of two 2-D float64 arrays.

The same value as ``sorted_distances`` gives, found without sorting whole columns: bucket counts
of both samples bound the statistic, and only the buckets that may hold the largest difference
are sorted. Columns are spread over ``threads`` threads with the GIL released. NaN for a column
with a non-finite value, and for every column when a sample has no rows.)doc");
}

}  // namespace kova::kernels
