// Sorting of float64 columns for the two-sample distances: a least-significant-digit radix sort
// (eight passes of 8 bits over order-preserving integer keys, a pass skipped when every key has
// the same digit).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace kova::kernels {

// The bits of a double as an unsigned integer whose order is the numbers' order: negative
// numbers have all bits flipped, the others only the sign bit. NaN sorts by its sign bit to
// one end, past the infinities.
inline std::uint64_t order_key(double value) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

inline double from_order_key(std::uint64_t key) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  const std::uint64_t bits = (key & kSign) != 0 ? key ^ kSign : ~key;
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Sorts values[0, n) in increasing order (-0.0 before 0.0). keys and scratch are work space
// of at least n entries each, reused across calls.
inline void radix_sort(double* values, std::size_t n, std::vector<std::uint64_t>& keys,
                       std::vector<std::uint64_t>& scratch) {
  constexpr int kBits = 8;
  constexpr int kDigits = 8;  // small digits keep the scatter targets of a pass in cache
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  constexpr std::uint64_t kMask = kBuckets - 1;
  if (n < 256) {  // a comparison sort is quicker than six passes over few values
    std::sort(values, values + n, [](double a, double b) { return order_key(a) < order_key(b); });
    return;
  }
  keys.resize(n);
  scratch.resize(n);
  std::vector<std::array<std::size_t, kBuckets>> counts(kDigits);
  for (auto& digit_counts : counts) digit_counts.fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = order_key(values[i]);
    keys[i] = key;
    for (int d = 0; d < kDigits; ++d) ++counts[d][(key >> (d * kBits)) & kMask];
  }
  std::uint64_t* source = keys.data();
  std::uint64_t* target = scratch.data();
  for (int d = 0; d < kDigits; ++d) {
    auto& offsets = counts[d];
    if (std::find(offsets.begin(), offsets.end(), n) != offsets.end()) continue;
    std::size_t total = 0;
    for (std::size_t& count : offsets) total += std::exchange(count, total);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = source[i];
      target[offsets[(key >> (d * kBits)) & kMask]++] = key;
    }
    std::swap(source, target);
  }
  for (std::size_t i = 0; i < n; ++i) values[i] = from_order_key(source[i]);
}

}  // namespace kova::kernels
