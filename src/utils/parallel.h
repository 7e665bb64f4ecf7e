// Work split over a fixed number of threads. The split is the caller's (by
// thread number), so results never depend on scheduling.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vantorelle {

// The alignment of an object that one thread writes while others work on
// their own beside it (each thread's groups or output, say, in one vector):
// two cache lines (the unit the hardware prefetches in), so that no write of
// one thread makes another's next read of its own object a miss.
inline constexpr std::size_t kThreadOwnAlignment = 128;

// Runs body(t) for t in 0 .. threads - 1: t = 0 on the calling thread, the
// others on threads of their own; returns when all have finished. An
// exception thrown by any body is rethrown here (the first by thread number)
// once all have finished.
//
// Every thread is started before any body runs, as a body may wait on
// another (the partitions of bytes_groups.h): when the system gives no more
// threads (a process or memory limit), the ones started leave without
// running theirs, and std::bad_alloc is thrown, which every door reports as
// running out of memory.
template <class Body>
void run_parallel(int threads, Body&& body) {
  const int count = std::max(threads, 1);
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(count));
  auto run = [&](int t) {
    try {
      body(t);
    } catch (...) {
      failures[static_cast<std::size_t>(t)] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(count - 1));
  std::atomic<int> start{0};  // 1: run the bodies; -1: leave
  try {
    for (int t = 1; t < count; ++t) {
      workers.emplace_back([&run, &start, t] {
        start.wait(0, std::memory_order_acquire);
        if (start.load(std::memory_order_acquire) == 1) run(t);
      });
    }
  } catch (const std::system_error&) {
    start.store(-1, std::memory_order_release);
    start.notify_all();
    for (std::thread& worker : workers) worker.join();
    throw std::bad_alloc();
  }
  start.store(1, std::memory_order_release);
  start.notify_all();
  run(0);
  for (std::thread& worker : workers) worker.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// The half-open range [begin, end) of part `t` of `n` items split into
// `parts` nearly equal parts.
inline std::pair<std::size_t, std::size_t> part_range(std::size_t n, int parts, int t) {
  const auto p = static_cast<std::size_t>(std::max(parts, 1));
  const auto i = static_cast<std::size_t>(t);
  return {n * i / p, n * (i + 1) / p};
}

// Below this many rows a second thread costs more than it saves.
inline constexpr std::size_t kRowsPerThread = std::size_t{1} << 16;

// How many of `threads` threads are worth starting for `items` items, at
// least `per_thread` each (and always one).
inline int useful_threads(int threads, std::size_t items, std::size_t per_thread = kRowsPerThread) {
  const std::size_t most = std::max<std::size_t>(items / per_thread, 1);
  return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), most));
}

}  // namespace vantorelle
