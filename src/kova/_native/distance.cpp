#include "kova/kernel_parts.hpp"

namespace kova::kernels {

void define_distance(pybind11::module_& /*m*/) {}

}  // namespace kova::kernels
