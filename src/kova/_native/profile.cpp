// Column profile kernel of kova._kernels: the statistics of a numerical column from a float64
// array in two linear passes and one selection.
//
//   counts    present (not NaN), finite, infinite, zeros and negatives (of the finite values);
//   moments   min, max, mean and the sum of squared deviations of the finite values: the first
//             pass sums, the second sums the deviations from that mean and corrects it (the
//             corrected two-pass algorithm); sums run in double within blocks and long double
//             across them, so rounding errors stay small on long columns;
//   histogram equal-width bins over [min, max] (numpy.histogram's bins and edges), filled in the
//             second pass;
//   order     the finite values gathered in the second pass and sorted by their bits (a radix
//             sort, linear in the values): the quantiles by linear interpolation between order
//             statistics (numpy's and pandas' "linear") and the distinct values.
// Each part is its own function over the same values, so that summaries of parts of a column
// can later be computed separately and combined.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kova/arrays.hpp"
#include "kova/association.hpp"
#include "kova/capi.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/radix_sort.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

using association::DoubleView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A sum in double over blocks of values, the blocks added in long double: the hot loop keeps its
// partial sum in a register and the rounding error grows with the block count, not the values.
class BlockSum {
 public:
  void add(double x) {
    part_ += x;
    if (++in_part_ == kBlock) flush();
  }
  long double value() const { return total_ + part_; }

 private:
  static constexpr int kBlock = 256;
  void flush() {
    total_ += part_;
    part_ = 0;
    in_part_ = 0;
  }
  double part_ = 0;
  long double total_ = 0;
  int in_part_ = 0;
};

struct Counts {
  std::int64_t present = 0;
  std::int64_t finite = 0;
  std::int64_t zeros = 0;
  std::int64_t negatives = 0;
  std::int64_t negative_infinite = 0;
  double min = kNaN;
  double max = kNaN;
  long double sum = 0;

  std::int64_t infinite() const { return present - finite; }
};

// First pass: counts, range and sum of the finite values (in locals, kept in registers).
Counts count_values(const DoubleView& values) {
  std::int64_t present = 0, finite = 0, zeros = 0, negatives = 0, negative_infinite = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  BlockSum sum;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    if (std::isnan(x)) continue;
    ++present;
    if (!std::isfinite(x)) {
      negative_infinite += x < 0;
      continue;
    }
    ++finite;
    zeros += x == 0;
    negatives += x < 0;
    low = x < low ? x : low;  // not std::min, whose reference result keeps low in memory
    high = x > high ? x : high;
    sum.add(x);
  }
  Counts c{present, finite, zeros, negatives, negative_infinite, kNaN, kNaN, sum.value()};
  if (finite > 0) c.min = low, c.max = high;
  return c;
}

// numpy.histogram's equal-width bins: edges low + i * (high - low) / bins with the top edge
// exactly high, bin i = [edges[i], edges[i + 1]) and the top bin closed. A constant column gets
// the one bin [value - 0.5, value + 0.5].
class Histogram {
 public:
  Histogram(double low, double high, std::size_t bins) {
    if (std::isnan(low)) return;
    if (low == high) {
      edges_ = {low - 0.5, high + 0.5};
    } else {
      const auto n = static_cast<double>(bins);
      // A range wider than the largest double is divided before it is taken.
      const double step = std::isfinite(high - low) ? (high - low) / n : high / n - low / n;
      for (std::size_t i = 0; i < bins; ++i) edges_.push_back(low + static_cast<double>(i) * step);
      edges_.push_back(high);
      scale_ = 1 / step;
    }
    counts_.assign(edges_.size() - 1, 0);
  }

  // What add() needs, copied into locals of the hot loop so that nothing is re-read from memory.
  struct Filler {
    const double* edges;
    std::int64_t* counts;
    std::size_t bins;
    double scale;

    void add(double x) const {
      std::size_t bin = 0;
      if (bins > 1) {
        // The arithmetic guess is exact up to rounding, which the walk against the edges
        // corrects; it is inf when x - low overflows.
        const double guess = (x - edges[0]) * scale;
        bin = guess >= static_cast<double>(bins) ? bins - 1 : static_cast<std::size_t>(guess);
        while (bin > 0 && x < edges[bin]) --bin;
        while (bin + 1 < bins && x >= edges[bin + 1]) ++bin;
      }
      ++counts[bin];
    }
  };

  Filler filler() { return {edges_.data(), counts_.data(), counts_.size(), scale_}; }
  const std::vector<std::int64_t>& counts() const { return counts_; }
  const std::vector<double>& edges() const { return edges_; }

 private:
  std::vector<double> edges_;
  std::vector<std::int64_t> counts_;
  double scale_ = 0;
};

struct Spread {
  double mean = kNaN;
  double std = kNaN;  // with ddof = 1
};

// Second pass: deviations from the first pass's mean (for the corrected mean and the variance),
// the histogram, and the finite values gathered for the quantiles.
Spread spread_and_gather(const DoubleView& values, const Counts& c, Histogram& histogram,
                         std::vector<double>& finite) {
  Spread s;
  if (c.finite == 0) return s;
  const auto n = static_cast<long double>(c.finite);
  const auto mean = static_cast<double>(c.sum / n);
  BlockSum deviations;
  BlockSum squares;
  finite.resize(static_cast<std::size_t>(c.finite));
  double* gathered = finite.data();
  const Histogram::Filler bins = histogram.filler();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    if (!std::isfinite(x)) continue;
    const double d = x - mean;
    deviations.add(d);
    squares.add(d * d);
    bins.add(x);
    *gathered++ = x;
  }
  const long double shift = deviations.value();
  s.mean = static_cast<double>(mean + shift / n);
  if (c.finite > 1) {
    const long double centered = squares.value() - shift * shift / n;
    s.std = static_cast<double>(std::sqrt(std::max(centered, 0.0L) / (n - 1)));
  }
  return s;
}

// numpy's linear interpolation: a + (b - a) * t, or b - (b - a) * (1 - t) from t = 0.5 on.
double lerp(double a, double b, double t) {
  const double diff = b - a;
  return t >= 0.5 ? b - diff * (1 - t) : a + diff * t;
}

// Quantiles at the probabilities of values sorted in increasing order.
std::vector<double> sorted_quantiles(const std::vector<double>& values,
                                     const std::vector<double>& probs) {
  std::vector<double> result(probs.size(), kNaN);
  if (values.empty()) return result;
  const std::size_t n = values.size();
  for (std::size_t k = 0; k < probs.size(); ++k) {
    const double index = static_cast<double>(n - 1) * probs[k];
    const auto lower = std::min(static_cast<std::size_t>(std::floor(index)), n - 1);
    const double t = index - static_cast<double>(lower);
    result[k] = t > 0 ? lerp(values[lower], values[std::min(lower + 1, n - 1)], t) : values[lower];
  }
  return result;
}

// Distinct values among values sorted in increasing order (-0.0 equals 0.0).
std::int64_t sorted_distinct(const std::vector<double>& values) {
  std::int64_t distinct = values.empty() ? 0 : 1;
  for (std::size_t i = 1; i < values.size(); ++i) distinct += values[i] != values[i - 1];
  return distinct;
}

std::vector<double> checked_probabilities(const py::object& probabilities) {
  const FloatArray array(probabilities);
  std::vector<double> probs(array.data(), array.data() + array.size());
  for (const double p : probs) {
    if (!(p >= 0 && p <= 1)) {
      throw py::value_error("numeric_summary(): 'probabilities' must lie in [0, 1], got " +
                            std::to_string(p));
    }
  }
  return probs;
}

struct Summary {
  Counts counts;
  Spread spread;
  std::vector<double> quantiles;
  std::int64_t distinct;
  Histogram histogram;
};

Summary summarize(const DoubleView& column, std::size_t bins, const std::vector<double>& probs) {
  const Counts counts = count_values(column);
  Histogram histogram(counts.min, counts.max, bins);
  std::vector<double> finite;
  const Spread spread = spread_and_gather(column, counts, histogram, finite);
  radix::sort(finite);
  const std::int64_t distinct = sorted_distinct(finite) + (counts.negative_infinite > 0) +
                                (counts.infinite() > counts.negative_infinite);
  return {counts, spread, sorted_quantiles(finite, probs), distinct, std::move(histogram)};
}

py::object numeric_summary(const py::module_& m, const py::object& values,
                           const py::object& probabilities, std::size_t bins) {
  const FloatArray array(values);
  if (array.ndim() != 1) {
    throw py::value_error("numeric_summary(): 'values' must be 1-dimensional, got " +
                          std::to_string(array.ndim()) + " dimensions");
  }
  if (bins < 1) throw py::value_error("numeric_summary(): 'bins' must be at least 1");
  const std::vector<double> probs = checked_probabilities(probabilities);
  const DoubleView column{array.data(), static_cast<std::size_t>(array.shape(0)), array.strides(0)};
  const Summary s = [&] {
    py::gil_scoped_release release;  // reads only the array held above
    return summarize(column, bins, probs);
  }();
  const auto missing = static_cast<std::int64_t>(column.size()) - s.counts.present;
  return m.attr("NumericSummary")(s.counts.present, missing, s.distinct, s.counts.infinite(),
                                  s.counts.zeros, s.counts.negatives, s.counts.min, s.counts.max,
                                  s.spread.mean, s.spread.std, to_array(s.quantiles),
                                  to_array(s.histogram.counts()), to_array(s.histogram.edges()));
}

}  // namespace

void define_profile(py::module_& m) {
  py::object summary_type =
      py::module_::import("collections")
          .attr("namedtuple")(
              "NumericSummary",
              str_list({"present", "missing", "distinct", "infinite", "zeros", "negatives", "min",
                        "max", "mean", "std", "quantiles", "hist_counts", "hist_edges"}));
  summary_type.attr("__module__") = m.attr("__name__");
  summary_type.attr("__doc__") =
      "The statistics of a numerical column (see numeric_summary): int counts, float range,\n"
      "mean and std, the float64 quantiles and the int64 histogram counts with float64 edges.";
  m.attr("NumericSummary") = summary_type;

  m.def(
      "numeric_summary",
      [m](const py::object& values, const py::object& probabilities, std::size_t bins) {
        return numeric_summary(m, values, probabilities, bins);
      },
      py::arg("values"), py::arg("probabilities"), py::arg("bins") = 20,
      R"doc(Statistics of the float values of a column in two passes; returns a NumericSummary.

NaN entries are missing (present counts the others, distinct their distinct values, -0.0 being
0.0); infinite entries are counted in infinite and left out of the rest, which is over the finite values: zeros, negatives, min, max,
mean, std (ddof=1, NaN for fewer than two values), the quantiles at ``probabilities`` (linear
interpolation, as numpy.quantile and pandas give them; NaN without finite values), and a histogram
of ``bins`` equal-width bins over [min, max] as numpy.histogram gives it (one bin
[value - 0.5, value + 0.5] for a constant column, none without finite values).)doc");
}

}  // namespace kova::kernels
