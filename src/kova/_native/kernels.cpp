// kova._kernels: native kernels behind the data-integrity helpers.
//
// string_baseform and special_only_counts work on str objects (see kova/text.hpp);
// symmetric_theil_u_correlation and correlation_ratio take 1-D sequences of numbers
// (see kova/association.hpp). float64 numpy arrays are read in place, whatever their strides;
// anything else is converted as numpy.asarray(x, dtype=float) would.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "kova/association.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/text.hpp"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<double, py::array::forcecast>;

FloatArray as_float_array(const py::object& sequence, const char* function, const char* argument) {
  FloatArray array(sequence);  // raises numpy's own error for what does not convert
  if (array.ndim() != 1) {
    throw py::value_error(std::string(function) + "(): '" + argument +
                          "' must be 1-dimensional, got " + std::to_string(array.ndim()) +
                          " dimensions");
  }
  return array;
}

kova::association::DoubleView view_of(const FloatArray& array) {
  return {array.data(), static_cast<std::size_t>(array.shape(0)), array.strides(0)};
}

py::str string_baseform(const py::object& text, bool remove_special) {
  return kova::text::baseform(text, remove_special);
}

py::dict special_only_counts(const py::object& values) {
  py::dict counts;
  for (py::handle value : py::iter(values)) {
    if (!kova::text::is_special_only(value.ptr())) continue;
    PyObject* seen = PyDict_GetItemWithError(counts.ptr(), value.ptr());  // borrowed
    if (seen == nullptr && PyErr_Occurred()) throw py::error_already_set();
    const Py_ssize_t count = seen == nullptr ? 0 : PyLong_AsSsize_t(seen);
    counts[value] = py::int_(count + 1);
  }
  return counts;
}

double symmetric_theil_u_correlation(const py::object& a, const py::object& b) {
  constexpr const char* kName = "symmetric_theil_u_correlation";
  const FloatArray x = as_float_array(a, kName, "a");
  const FloatArray y = as_float_array(b, kName, "b");
  return kova::association::symmetric_theil_u(view_of(x), view_of(y));
}

double correlation_ratio(const py::object& categories, const py::object& values) {
  constexpr const char* kName = "correlation_ratio";
  const FloatArray groups = as_float_array(categories, kName, "categories");
  const FloatArray numbers = as_float_array(values, kName, "values");
  return kova::association::correlation_ratio(view_of(groups), view_of(numbers));
}

}  // namespace

PYBIND11_MODULE(_kernels, m) {
  m.doc() = "Native kernels of kova: text base forms and association measures.";

  m.def("string_baseform", &string_baseform, py::arg("text"), py::arg("remove_special") = false,
        R"doc(Return the base form of the str ``text``.

Invisible characters (controls, format characters, lone surrogates, private-use and unassigned
code points) are dropped, surrounding whitespace is stripped, inner runs of whitespace become one
space, and the result is case-folded. With ``remove_special`` punctuation and symbols are dropped
too, and combining marks are kept only on a kept letter or digit; the result is then empty exactly
when ``text`` is empty or holds no letter or digit of any script (a special-only text).)doc");

  m.def("special_only_counts", &special_only_counts, py::arg("values"),
        R"doc(Count the special-only strs among ``values`` (any iterable).

Returns a dict from each distinct non-empty str without letters or digits to its number of
occurrences, in first-seen order; entries that are not strs are skipped.)doc");

  m.def("symmetric_theil_u_correlation", &symmetric_theil_u_correlation, py::arg("a"), py::arg("b"),
        R"doc(Symmetric Theil's U of two equal-length sequences of category codes.

Codes are non-negative integers (floats allowed, as pandas passes them). The result is
2 I(a;b) / (H(a) + H(b)) in [0, 1]; 1.0 when both are constant, 0.0 when only one is, NaN when
empty. Invalid codes or lengths raise ValueError.)doc");

  m.def("correlation_ratio", &correlation_ratio, py::arg("categories"), py::arg("values"),
        R"doc(Correlation ratio (eta) of ``values`` grouped by ``categories``.

``categories`` holds category codes (non-negative integers), ``values`` numbers of the same
length; pandas ``DataFrame.corrwith(codes, method=correlation_ratio)`` passes them in this order.
The result is sqrt(between-group / total sum of squares) in [0, 1]; 0.0 when all values are
equal, NaN when empty or when a value is not finite. Invalid codes or lengths raise ValueError.)doc");

  kova::kernels::define_boosting(m);
  kova::kernels::define_distance(m);
}
