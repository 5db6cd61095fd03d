// The bounded parallel loop of the native kernels: tasks handed out one at a time to at most a
// given number of threads, the calling thread among them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace kova {

// Calls task(k, worker) for k in [0, tasks) on at most `threads` threads (the caller's included),
// each task on one thread. `worker` in [0, threads) indexes the worker's own scratch space. With
// one thread (or one task) everything runs in order on the caller's thread. Tasks must not throw
// and must not touch Python objects.
template <typename Task>
void parallel_for(std::size_t tasks, std::size_t threads, Task&& task) {
  threads = std::min(threads, tasks);
  if (threads <= 1) {
    for (std::size_t k = 0; k < tasks; ++k) task(k, 0);
    return;
  }
  std::atomic<std::size_t> next{0};
  auto work = [&](std::size_t worker) {
    for (std::size_t k = next++; k < tasks; k = next++) task(k, worker);
  };
  std::vector<std::thread> helpers;
  for (std::size_t worker = 1; worker < threads; ++worker) helpers.emplace_back(work, worker);
  work(0);
  for (auto& helper : helpers) helper.join();
}

}  // namespace kova
