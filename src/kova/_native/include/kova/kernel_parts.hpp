// The parts of kova._kernels that live in their own source files; the module's init in
// kernels.cpp calls each one to add its functions.
#pragma once

#include <pybind11/pybind11.h>

namespace kova::kernels {

// Gradient-boosted depth-1 trees on histogram bins (boosting.cpp).
void define_boosting(pybind11::module_& m);

// Bin codes and counts, and column passes over 2-D arrays (binning.cpp).
void define_binning(pybind11::module_& m);

// Two-sample distances between feature columns (distance.cpp).
void define_distance(pybind11::module_& m);

// Statistics of a numerical column for its profile (profile.cpp).
void define_profile(pybind11::module_& m);
// Conditions of weak regions over bin codes (regions.cpp).
void define_regions(pybind11::module_& m);

}  // namespace kova::kernels
