// Text helpers shared by the native modules: the base form of a str and the special-only test.
//
// Every code point of a str falls into one of five kinds:
//   base       letters and digits of any script (str.isalnum: alphabetic, decimal, digit or
//              numeric code points, so "é", "Ж", "中", "٣", "½" and "Ⅻ" are all base characters);
//   mark       combining marks (general categories Mn, Mc, Me: accents, vowel signs, variation
//              selectors, enclosing keycaps);
//   space      whitespace as str.isspace sees it (separators and the whitespace controls);
//   invisible  other code points that are not printable (str.isprintable is false): control and
//              format characters, lone surrogates, private-use and unassigned code points;
//   symbol     everything else: punctuation and symbols, emoji included.
//
// Base form of a str (`baseform`):
//   - invisible code points are dropped;
//   - whitespace is stripped at both ends and every inner run of it becomes one " ";
//   - with remove_special, symbols are dropped as well and a combining mark is kept only while it
//     belongs to a kept letter or digit (it follows one directly, possibly after other marks);
//     marks that follow whitespace, a symbol or nothing are special and dropped. Marks carry the
//     vowels of many scripts (Devanagari, Thai, Arabic harakat), so dropping them everywhere would
//     mangle words, while a mark on its own is no text at all;
//   - the result is case-folded (str.casefold: full folding, "Straße" -> "strasse").
// No Unicode normalisation is applied: a precomposed "é" and "e" + U+0301 keep different forms.
//
// A text is special-only when it is non-empty and holds no base character. With remove_special the
// base form is empty exactly for special-only texts (and for the empty text): every base character
// is kept, and anything kept needs a base character before it.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

namespace kova::text {

struct CodePointRange {
  Py_UCS4 first;
  Py_UCS4 last;
};

// Combining marks (Mn, Mc, Me) as closed ranges in ascending order. The rows are written at build
// time by tools/gen_unicode_tables.py from unicodedata of the interpreter the module is built for,
// so marks follow the same Unicode version as the interpreter's own classifications used below.
inline constexpr CodePointRange kCombiningMarks[] = {
#include "kova/combining_marks.inc"
};

inline bool is_combining_mark(Py_UCS4 c) {
  if (c < kCombiningMarks[0].first) return false;
  const auto* after = std::upper_bound(
      std::begin(kCombiningMarks), std::end(kCombiningMarks), c,
      [](Py_UCS4 value, const CodePointRange& range) { return value < range.first; });
  return c <= std::prev(after)->last;
}

inline bool is_ascii_alnum(Py_UCS4 c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// A letter or digit of any script.
inline bool is_base_char(Py_UCS4 c) {
  return c < 0x80 ? is_ascii_alnum(c) : static_cast<bool>(Py_UNICODE_ISALNUM(c));
}

enum class CharKind { kBase, kMark, kSpace, kInvisible, kSymbol };

inline CharKind classify(Py_UCS4 c) {
  if (is_base_char(c)) return CharKind::kBase;
  if (Py_UNICODE_ISSPACE(c)) return CharKind::kSpace;
  if (!Py_UNICODE_ISPRINTABLE(c)) return CharKind::kInvisible;
  if (is_combining_mark(c)) return CharKind::kMark;
  return CharKind::kSymbol;
}

// Makes the code points of a str addressable (a no-op since Python 3.12).
inline void ensure_ready(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str) < 0) throw pybind11::error_already_set();
#else
  (void)str;
#endif
}

// True for a non-empty str without any letter or digit; false for the empty str and non-strs.
inline bool is_special_only(PyObject* str) {
  if (!PyUnicode_Check(str)) return false;
  ensure_ready(str);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  if (length == 0) return false;
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  if (PyUnicode_IS_ASCII(str)) {
    const auto* chars = static_cast<const Py_UCS1*>(data);
    return std::none_of(chars, chars + length, [](Py_UCS1 c) { return is_ascii_alnum(c); });
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    if (is_base_char(PyUnicode_READ(kind, data, i))) return false;
  }
  return true;
}

// The base form of `text` (a str), as described at the top of this file.
inline pybind11::str baseform(pybind11::handle text, bool remove_special) {
  PyObject* str = text.ptr();
  if (!PyUnicode_Check(str)) {
    throw pybind11::type_error(std::string("string_baseform() argument 'text' must be str, not ") +
                               Py_TYPE(str)->tp_name);
  }
  ensure_ready(str);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  const bool ascii = PyUnicode_IS_ASCII(str);

  std::vector<Py_UCS4> out;
  out.reserve(static_cast<std::size_t>(length));
  bool space_pending = false;  // whitespace seen since the last kept code point
  bool in_word = false;        // a mark here belongs to the last kept code point
  auto keep = [&](Py_UCS4 c) {
    if (space_pending) out.push_back(' ');
    space_pending = false;
    out.push_back(ascii && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    in_word = true;
  };
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    switch (classify(c)) {
      case CharKind::kBase:
        keep(c);
        break;
      case CharKind::kSpace:
        space_pending = !out.empty();
        in_word = false;
        break;
      case CharKind::kInvisible:
        break;
      case CharKind::kMark:
        if (!remove_special || in_word) keep(c);
        break;
      case CharKind::kSymbol:
        if (remove_special) {
          in_word = false;
        } else {
          keep(c);
        }
        break;
    }
  }
  auto result = pybind11::reinterpret_steal<pybind11::str>(PyUnicode_FromKindAndData(
      PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!result) throw pybind11::error_already_set();
  if (ascii) return result;
  return result.attr("casefold")();
}

}  // namespace kova::text
