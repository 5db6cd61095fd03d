// Per-entry tests over the entries of a column held as a 1-D numpy object array: the missing
// test, the number test, text lengths and the special-only test. Each runs as one C++ loop over
// the array; the kernels of kova._kernels bind them.
//
//   missing   pandas' own test (isna of an object array): None, NaN, pandas.NA, pandas.NaT and
//             the other not-a-time and not-a-number values. str, int, bool and float entries and
//             the markers are read in place; any other entry is asked of pandas.isna at the end,
//             all of them in one call.
//   number    whether float(x) succeeds. A ValueError means "not a number"; any other error
//             propagates. An exact str is read the way float() reads it, without creating a float
//             or raising and clearing an error per entry.
//   length    len(str(x)); read in place for an exact str.
//   special   a non-empty str (or str subclass) without any letter or digit (kova/text.hpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kova/capi.hpp"
#include "kova/text.hpp"

namespace kova::entries {

// The entries of a 1-D object array, read in place.
class ObjectArray {
 public:
  explicit ObjectArray(const py::object& values, const char* function) {
    if (!py::isinstance<py::array>(values)) {
      raise(PyExc_TypeError, std::string(function) + "(): 'values' must be a numpy array, not " +
                                 Py_TYPE(values.ptr())->tp_name);
    }
    array_ = py::reinterpret_borrow<py::array>(values);
    if (array_.ndim() != 1 || array_.dtype().kind() != 'O') {
      raise(PyExc_TypeError,
            std::string(function) + "(): 'values' must be a 1-D array of dtype object");
    }
  }

  Py_ssize_t size() const { return array_.shape(0); }

  // The entry itself, borrowed: valid while no Python code runs (which could change the array).
  PyObject* peek(Py_ssize_t i) const {
    PyObject* item = nullptr;
    std::memcpy(&item, static_cast<const char*>(array_.data()) + i * array_.strides(0),
                sizeof item);
    return item == nullptr ? Py_None : item;
  }

  // A new reference, so the entry stays alive whatever the Python code called on it does.
  py::object operator[](Py_ssize_t i) const { return py::reinterpret_borrow<py::object>(peek(i)); }

 private:
  py::array array_;
};

// ---------------------------------------------------------------------------------------------
// Missing entries

enum class Missing { kNo, kYes, kUnknown };

// pandas.NA and pandas.NaT, the missing-value markers that are not floats or None.
struct MissingMarkers {
  py::object na;
  py::object nat;

  MissingMarkers() {
    py::module_ pandas = py::module_::import("pandas");
    na = pandas.attr("NA");
    nat = pandas.attr("NaT");
  }

  // The state of the entry types read in place; kUnknown for the others.
  Missing state(PyObject* x) const {
    if (PyUnicode_CheckExact(x) || PyLong_CheckExact(x) || PyBool_Check(x)) return Missing::kNo;
    if (x == Py_None || x == na.ptr() || x == nat.ptr()) return Missing::kYes;
    if (PyFloat_CheckExact(x)) {
      return std::isnan(PyFloat_AS_DOUBLE(x)) ? Missing::kYes : Missing::kNo;
    }
    return Missing::kUnknown;
  }
};

// Settles the entries at `positions` with pandas.isna over an object array of them, writing the
// answers into `missing`.
inline void settle_with_pandas(const ObjectArray& values, const std::vector<Py_ssize_t>& positions,
                               bool* missing) {
  if (positions.empty()) return;
  py::array others(py::dtype("O"),
                   py::array::ShapeContainer{static_cast<Py_ssize_t>(positions.size())});
  auto* slots = static_cast<PyObject**>(others.mutable_data());
  for (size_t k = 0; k < positions.size(); ++k) {
    PyObject* entry = values.peek(positions[k]);
    Py_INCREF(entry);
    Py_XDECREF(slots[k]);  // numpy fills new object arrays with None
    slots[k] = entry;
  }
  py::array_t<bool, py::array::forcecast> answers(
      py::module_::import("pandas").attr("isna")(others));
  const bool* answer = answers.data();
  for (size_t k = 0; k < positions.size(); ++k) missing[positions[k]] = answer[k];
}

// ---------------------------------------------------------------------------------------------
// The number test

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Whitespace that float() strips from both ends of a text (Py_ISSPACE).
inline bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Characters that can occur in a text float() accepts: digits, sign, point, exponent,
// underscore, whitespace and the letters of "nan", "inf" and "infinity".
inline bool in_float_alphabet(char c) {
  static const bool* const table = [] {
    static bool t[256] = {};
    for (const char* p = "0123456789+-._eEnNaAiIfFtTyY \t\n\v\f\r"; *p != '\0'; ++p) {
      t[static_cast<unsigned char>(*p)] = true;
    }
    return t;
  }();
  return table[static_cast<unsigned char>(c)];
}

// Whether text[begin, end) equals `word`, ignoring ASCII case.
inline bool equals_ignoring_case(const std::string& text, size_t begin, size_t end,
                                 const char* word) {
  const size_t n = std::strlen(word);
  if (end - begin != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if ((text[begin + i] | 0x20) != word[i]) return false;
  }
  return true;
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], or [sign] inf, infinity or nan.
inline bool is_number_body(const std::string& text, size_t i, size_t end) {
  if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
  if (equals_ignoring_case(text, i, end, "inf") || equals_ignoring_case(text, i, end, "infinity") ||
      equals_ignoring_case(text, i, end, "nan")) {
    return true;
  }
  size_t digits = 0;
  for (; i < end && is_ascii_digit(text[i]); ++i) ++digits;
  if (i < end && text[i] == '.') {
    for (++i; i < end && is_ascii_digit(text[i]); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < end && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    for (; i < end && is_ascii_digit(text[i]); ++i) ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == end;
}

// Whether float() accepts the str, decided by reading its text the way float() does: non-ASCII
// whitespace reads as a space and decimal digits of any script as ASCII digits (any other
// non-ASCII character makes the text invalid); an underscore must sit between two digits and is
// then dropped; whitespace is stripped at both ends; the rest must be a number body.
inline bool reads_as_float(PyObject* str) {
  text::ensure_ready(str);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  std::string digits;
  digits.reserve(static_cast<size_t>(length));
  char prev = '\0';
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    char c;
    if (ch < 127) {
      c = static_cast<char>(ch);
    } else if (Py_UNICODE_ISSPACE(ch)) {
      c = ' ';
    } else {
      const int decimal = Py_UNICODE_TODECIMAL(ch);
      if (decimal < 0) return false;
      c = static_cast<char>('0' + decimal);
    }
    if (!in_float_alphabet(c)) return false;
    if (c == '_') {
      if (!is_ascii_digit(prev)) return false;
    } else {
      if (prev == '_' && !is_ascii_digit(c)) return false;
      digits.push_back(c);
    }
    prev = c;
  }
  if (prev == '_') return false;
  size_t begin = 0;
  size_t end = digits.size();
  while (begin < end && is_ascii_space(digits[begin])) ++begin;
  while (end > begin + 1 && is_ascii_space(digits[end - 1])) --end;
  return is_number_body(digits, begin, end);
}

// Texts up to this length are read in place; longer ones (and texts float() might run out of
// memory on) are left to float() itself.
constexpr Py_ssize_t kLongestReadText = 4096;

// An exact str short enough to be read in place.
inline bool is_readable_text(PyObject* x) {
  if (!PyUnicode_CheckExact(x)) return false;
  text::ensure_ready(x);
  return PyUnicode_GET_LENGTH(x) <= kLongestReadText;
}

// Whether float(x) succeeds.
inline bool converts_to_float(PyObject* x) {
  if (is_readable_text(x)) return reads_as_float(x);
  const py::object entry = py::reinterpret_borrow<py::object>(x);  // held while float() runs
  PyObject* number = PyNumber_Float(entry.ptr());
  if (number != nullptr) {
    Py_DECREF(number);  // only success matters
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

// ---------------------------------------------------------------------------------------------
// Text lengths and the special-only test

// len(str(x)).
inline std::int64_t text_length(PyObject* x) {
  if (PyUnicode_CheckExact(x)) {
    text::ensure_ready(x);
    return PyUnicode_GET_LENGTH(x);
  }
  const py::object entry = py::reinterpret_borrow<py::object>(x);  // held while str() runs
  return length_of(steal(PyObject_Str(entry.ptr())));
}

// A non-empty str whose text holds no letter or digit.
inline bool is_special_only_entry(PyObject* x) {
  return PyUnicode_Check(x) && text::is_special_only(x);
}

// ---------------------------------------------------------------------------------------------
// Whole-array passes

inline py::array_t<bool> missing_mask(const ObjectArray& values) {
  const MissingMarkers markers;
  py::array_t<bool> result = py::array_t<bool>(values.size());
  bool* missing = result.mutable_data();
  std::vector<Py_ssize_t> others;
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const Missing state = markers.state(values.peek(i));
    missing[i] = state == Missing::kYes;
    if (state == Missing::kUnknown) others.push_back(i);
  }
  settle_with_pandas(values, others, missing);
  return result;
}

// One value per entry: test(entry) for every entry, in order.
template <typename T, typename Test>
py::array_t<T> per_entry(const ObjectArray& values, Test test) {
  py::array_t<T> result = py::array_t<T>(values.size());
  T* out = result.mutable_data();
  for (Py_ssize_t i = 0; i < values.size(); ++i) out[i] = test(values.peek(i));
  return result;
}

inline py::array_t<bool> number_mask(const ObjectArray& values) {
  return per_entry<bool>(values, converts_to_float);
}

inline py::array_t<std::int64_t> text_lengths(const ObjectArray& values) {
  return per_entry<std::int64_t>(values, text_length);
}

inline py::array_t<bool> special_only_mask(const ObjectArray& values) {
  return per_entry<bool>(values, is_special_only_entry);
}

// {entry: count} of the special-only entries, in first-seen order.
inline py::dict special_only_counts(const py::iterable& values) {
  py::dict counts;
  for (py::handle value : values) {
    if (!is_special_only_entry(value.ptr())) continue;
    PyObject* seen = PyDict_GetItemWithError(counts.ptr(), value.ptr());  // borrowed
    if (seen == nullptr && PyErr_Occurred()) throw py::error_already_set();
    const Py_ssize_t count = seen == nullptr ? 0 : PyLong_AsSsize_t(seen);
    counts[value] = py::int_(count + 1);
  }
  return counts;
}

// All four tests in one pass. Entries are read in place only: where a test would need a Python
// call (str() or float() of an object that is not an exact str, pandas.isna of an entry of an
// unusual type), the entry is left undecided (-1 in missing, lengths and numbers), and the caller
// runs the single-test kernel on those entries where a check needs them.
struct Scan {
  py::array_t<std::int8_t> missing;
  py::array_t<std::int64_t> lengths;
  py::array_t<std::int8_t> numbers;
  py::array_t<bool> special;
};

inline Scan scan(const ObjectArray& values) {
  const Py_ssize_t n = values.size();
  Scan result{py::array_t<std::int8_t>(n), py::array_t<std::int64_t>(n),
              py::array_t<std::int8_t>(n), py::array_t<bool>(n)};
  std::int8_t* missing = result.missing.mutable_data();
  std::int64_t* lengths = result.lengths.mutable_data();
  std::int8_t* numbers = result.numbers.mutable_data();
  bool* special = result.special.mutable_data();
  const MissingMarkers markers;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* x = values.peek(i);
    const Missing state = markers.state(x);
    missing[i] = state == Missing::kUnknown ? -1 : state == Missing::kYes ? 1 : 0;
    special[i] = is_special_only_entry(x);
    if (is_readable_text(x)) {
      lengths[i] = PyUnicode_GET_LENGTH(x);
      numbers[i] = reads_as_float(x) ? 1 : 0;
    } else {
      lengths[i] = PyUnicode_CheckExact(x) ? PyUnicode_GET_LENGTH(x) : -1;
      numbers[i] = -1;
    }
  }
  return result;
}

}  // namespace kova::entries
