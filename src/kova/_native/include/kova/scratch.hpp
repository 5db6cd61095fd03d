// Work space that the per-partition kernels keep from call to call on one thread. Where the
// allocator maps every large block afresh (as Dask's workers are configured to, so that freed
// memory returns to the system at once), a new buffer of a partition's size costs a page fault
// per 4 KiB page, as much time as the kernel's own work. A buffer kept per thread is faulted in
// once; it holds at most the largest partition's size of its type.
#pragma once

#include <vector>

namespace kova::kernels {

// An empty vector owned by the calling thread, with the capacity its last use left. Use is a
// type naming what the buffer holds, which tells apart the buffers a kernel needs at once (their
// element types may be one type, as std::size_t and std::uint64_t are).
template <typename T, typename Use>
std::vector<T>& scratch() {
  thread_local std::vector<T> buffer;
  buffer.clear();
  return buffer;
}

}  // namespace kova::kernels
