// Array arguments of the kernels: one converter that checks the number of dimensions, a
// strided view of a 1-D array that reads it in place, and a cache-friendly walk over the
// columns of a C-ordered matrix.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kova/association.hpp"

namespace kova::kernels {

using FloatArray = pybind11::array_t<double, pybind11::array::forcecast>;
using ContiguousFloatArray =
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// A new 1-D numpy array holding a copy of items.
template <typename T>
pybind11::array_t<T> to_array(const std::vector<T>& items) {
  pybind11::array_t<T> array(static_cast<pybind11::ssize_t>(items.size()));
  std::copy(items.begin(), items.end(), array.mutable_data());
  return array;
}

// values converted as numpy.asarray(values, dtype=...) would (numpy's own error for what does
// not convert), with ndim dimensions; otherwise a ValueError naming the function and argument.
template <typename Array = FloatArray>
Array as_array(const pybind11::handle& values, pybind11::ssize_t ndim, const char* function,
               const std::string& argument) {
  Array array = pybind11::reinterpret_borrow<pybind11::object>(values);
  if (array.ndim() != ndim) {
    throw pybind11::value_error(std::string(function) + "(): '" + argument + "' must be " +
                                std::to_string(ndim) + "-dimensional, got " +
                                std::to_string(array.ndim()) + " dimensions");
  }
  // Arrays rebuilt from a byte buffer (one sent to a Dask worker, say) may start at any
  // address; their elements are read through typed pointers, so such an array is copied.
  if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(typename Array::value_type) != 0) {
    array = Array(array.attr("copy")());
  }
  return array;
}

// A 1-D array read in place, whatever its strides.
template <typename T>
association::StridedView<T> view_of(const pybind11::array_t<T, pybind11::array::forcecast>& array) {
  return {array.data(), static_cast<std::size_t>(array.shape(0)), array.strides(0)};
}

// Visits rows [begin, end) of a C-ordered matrix in blocks of rows that stay in cache, column by
// column within a block: visit(column, first row, first value, count, stride) sees each
// column's values of the block, so per-column state lives in registers while the memory is
// still read row after row.
template <typename Visit>
void for_column_blocks(const double* data, std::size_t begin, std::size_t end, std::size_t cols,
                       Visit visit) {
  constexpr std::size_t kBlockRows = 128;
  for (std::size_t start = begin; start < end; start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, end - start);
    for (std::size_t c = 0; c < cols; ++c) visit(c, start, data + start * cols + c, count, cols);
  }
}

}  // namespace kova::kernels
