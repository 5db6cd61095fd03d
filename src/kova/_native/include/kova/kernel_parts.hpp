// The parts of kova._kernels that live in their own source files; the module's init in
// kernels.cpp calls each one to add its functions.
#pragma once

#include <pybind11/pybind11.h>

namespace kova::kernels {

// Bins of the boosted depth-1 trees: thresholds, bin matrix, prediction (stump_bins.cpp).
void define_stump_bins(pybind11::module_& m);

// Training of the boosted depth-1 trees on the bin matrix (stump_training.cpp).
void define_stump_training(pybind11::module_& m);

// Bin codes and counts, and column passes over 2-D arrays (binning.cpp).
void define_binning(pybind11::module_& m);

// Two-sample distances between feature columns (distance.cpp).
void define_distance(pybind11::module_& m);
// Kolmogorov-Smirnov statistics of whole columns from bucket counts (distance_ks.cpp).
void define_distance_ks(pybind11::module_& m);

// Statistics of a numerical column for its profile (profile.cpp).
void define_profile(pybind11::module_& m);
// Conditions of weak regions over bin codes (regions.cpp).
void define_regions(pybind11::module_& m);
// Bin codes of the features searched for weak regions, in one pass (region_codes.cpp).
void define_region_codes(pybind11::module_& m);
// 128-bit row hashes for finding identical rows across partitions (rowhash.cpp).
void define_row_hash(pybind11::module_& m);
// Per-partition passes of the association matrix of partitioned data (partition_association.cpp).
void define_partition_association(pybind11::module_& m);
void define_partition_ranks(pybind11::module_& m);

}  // namespace kova::kernels
