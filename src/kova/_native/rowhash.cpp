// Row hashes of kova._kernels: a 128-bit hash of every row of a table given column by column, the
// first step of finding identical rows across partitions without gathering them.
//
// Rows that DataFrame.duplicated treats as equal get equal hashes, in any process:
//   - float64 columns: NaN is one value, and -0.0 equals 0.0;
//   - int64 columns: the integer itself;
//   - object columns: missing entries (None, NaN of any float type, pandas.NA, pandas.NaT) are one
//     value; a str is hashed from its code points and bytes from their octets (Python's own hash
//     of both is salted per process); other entries (numbers, booleans, ...) by Python's hash,
//     which is the same for equal numbers of any type (1, 1.0 and True) and not salted for them.
// Different rows may still share a hash; callers compare the rows of a candidate group.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kova/entries.hpp"
#include "kova/kernel_parts.hpp"
#include "kova/text.hpp"

namespace py = pybind11;

namespace kova::kernels {
namespace {

struct Hash128 {
  std::uint64_t a;
  std::uint64_t b;
};

// The finalizer of splitmix64: every input bit affects every output bit.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

// Two independent 64-bit hashes of a value that is already a 64-bit word.
inline Hash128 of_word(std::uint64_t word, std::uint64_t tag) {
  return {mix64(word ^ tag), mix64(word + 0x9E3779B97F4A7C15ULL * (tag | 1))};
}

// Two 64-bit hashes of a byte string, eight bytes at a time.
inline Hash128 of_bytes(const unsigned char* data, std::size_t size, std::uint64_t tag) {
  std::uint64_t a = 0x243F6A8885A308D3ULL ^ tag ^ size;
  std::uint64_t b = 0x13198A2E03707344ULL + tag + size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, data + i, 8);
    a = mix64(a ^ chunk) * 0x100000001B3ULL;
    b = mix64(b + chunk * 0xC2B2AE3D27D4EB4FULL);
  }
  std::uint64_t rest = 0;
  std::memcpy(&rest, data + i, size - i);
  return {mix64(a ^ rest), mix64(b + rest * 0x165667B19E3779F9ULL)};
}

constexpr std::uint64_t kMissingTag = 0x6D697373696E6721ULL;
constexpr std::uint64_t kNumberTag = 0x6E756D6265723A3AULL;
constexpr std::uint64_t kTextTag = 0x746578743A3A3A3AULL;
constexpr std::uint64_t kBytesTag = 0x62797465733A3A3AULL;
constexpr std::uint64_t kObjectTag = 0x6F626A6563743A3AULL;

inline Hash128 of_double(double value) {
  if (std::isnan(value)) return of_word(0, kMissingTag);
  if (value == 0.0) value = 0.0;  // -0.0 equals 0.0
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return of_word(bits, kNumberTag);
}

Hash128 of_entry(PyObject* x, const entries::MissingMarkers& markers) {
  const entries::Missing state = markers.state(x);
  if (state == entries::Missing::kYes) return of_word(0, kMissingTag);
  if (PyUnicode_Check(x)) {
    text::ensure_ready(x);
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(x)) *
                      static_cast<std::size_t>(PyUnicode_KIND(x));
    return of_bytes(static_cast<const unsigned char*>(PyUnicode_DATA(x)), size, kTextTag);
  }
  if (PyBytes_Check(x)) {
    return of_bytes(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(x)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(x)), kBytesTag);
  }
  if (PyFloat_Check(x) && std::isnan(PyFloat_AS_DOUBLE(x))) return of_word(0, kMissingTag);
  const Py_hash_t hash = PyObject_Hash(x);  // unhashable entries raise, as in pandas
  if (hash == -1 && PyErr_Occurred()) throw py::error_already_set();
  const std::uint64_t tag = PyNumber_Check(x) ? kNumberTag : kObjectTag;
  return of_word(static_cast<std::uint64_t>(hash), tag);
}

// Folds the hash of one cell into the hash of its row.
inline void combine(std::uint64_t* row, const Hash128& cell) {
  row[0] = mix64(row[0] * 0x9E3779B97F4A7C15ULL + cell.a);
  row[1] = mix64((row[1] ^ cell.b) + 0xD6E8FEB86659FD93ULL);
}

void hash_column(const py::array& column, std::uint64_t* rows, Py_ssize_t n, std::size_t index) {
  if (column.ndim() != 1 || column.shape(0) != n) {
    throw py::value_error("row_hashes(): column " + std::to_string(index) +
                          " must be 1-dimensional with " + std::to_string(n) + " entries");
  }
  const char kind = column.dtype().kind();
  if (kind == 'O') {
    const entries::ObjectArray values(column, "row_hashes");
    const entries::MissingMarkers markers;
    for (Py_ssize_t i = 0; i < n; ++i) combine(rows + 2 * i, of_entry(values.peek(i), markers));
    return;
  }
  if (kind == 'f') {
    const py::array_t<double, py::array::forcecast> values(column);
    const auto view = values.unchecked<1>();
    for (Py_ssize_t i = 0; i < n; ++i) combine(rows + 2 * i, of_double(view(i)));
    return;
  }
  if (kind == 'i' || kind == 'u' || kind == 'b' || kind == 'M' || kind == 'm') {
    const py::array_t<std::int64_t, py::array::forcecast> values(column.attr("astype")("int64"));
    const auto view = values.unchecked<1>();
    for (Py_ssize_t i = 0; i < n; ++i) {
      combine(rows + 2 * i, of_word(static_cast<std::uint64_t>(view(i)), kNumberTag));
    }
    return;
  }
  throw py::type_error("row_hashes(): column " + std::to_string(index) +
                       " must be a float, integer, boolean, time or object array, got dtype " +
                       py::str(column.dtype()).cast<std::string>());
}

py::array_t<std::uint64_t> row_hashes(const py::sequence& columns, Py_ssize_t n_rows) {
  if (n_rows < 0) throw py::value_error("row_hashes(): 'n_rows' must be >= 0");
  py::array_t<std::uint64_t> result({n_rows, static_cast<Py_ssize_t>(2)});
  std::uint64_t* rows = result.mutable_data();
  for (Py_ssize_t i = 0; i < n_rows; ++i) {
    rows[2 * i] = 0x8A5CD789635D2DFFULL;
    rows[2 * i + 1] = 0x121FD2155C472F96ULL;
  }
  std::size_t index = 0;
  for (py::handle column : columns) {
    hash_column(py::array::ensure(column), rows, n_rows, index++);
  }
  return result;
}

}  // namespace

void define_row_hash(py::module_& m) {
  m.def("row_hashes", &row_hashes, py::arg("columns"), py::arg("n_rows"),
        R"doc(128-bit hash of every row of a table given as a sequence of 1-D column arrays.

Returns an (n_rows, 2) uint64 array. Rows that DataFrame.duplicated treats as equal get equal
hashes in any process: NaN equals NaN and -0.0 equals 0.0 in float columns; in object columns
all missing markers are one value, strs and bytes are hashed from their contents and other
entries by Python's hash (equal numbers of any type hash alike). Columns may be float, integer,
boolean, time (as int64) or object arrays; unhashable entries raise TypeError.)doc");
}

}  // namespace kova::kernels
