// PartHasher: the lines of large chunks hashed on two threads. Lines follow
// the rules of line_splitter.h and are hashed as `add` hashes the same bytes.
// After a fork the child starts a helper of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace vantorelle::native {

// Hashes the lines of a large chunk on the calling thread and one helper
// thread. The chunk is cut at newlines into parts that both threads take in
// turn, so the caller never waits for a helper that a busy machine schedules
// late: it waits only for parts the helper has already taken. The caller
// also hands each hashed part, in line order, to a consumer (the aggregator
// add), while the helper goes on hashing later parts.
class PartHasher {
 public:
  PartHasher() = default;
  ~PartHasher();
  PartHasher(const PartHasher&) = delete;
  PartHasher& operator=(const PartHasher&) = delete;

  // Called on the calling thread with each part's hashes, in order; false
  // stops the calls (the parts are still hashed).
  using Consumer = bool (*)(void* context, const std::vector<std::uint64_t>& hashes);

  // Hashes the complete lines of [begin, end) and passes their hashes to
  // `consume`; returns the start of the line left unfinished at `end`, and
  // whether every call of `consume` returned true.
  const std::uint8_t* hash(const std::uint8_t* begin, const std::uint8_t* end, Consumer consume,
                           void* context, bool* consumed);

 private:
  static constexpr std::size_t kPartBytes = 128 * 1024;
  static constexpr std::size_t kMaxParts = 255;

  struct Part {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
    const std::uint8_t* rest = nullptr;  // where its unfinished line starts (or `end`)
    std::vector<std::uint64_t> hashes;
  };

  void start_helper();
  void run_helper();
  // Takes and hashes one part of job `job`; false when none is left.
  bool work_one(std::uint64_t job);

  std::vector<Part> parts_;
  std::array<std::atomic<bool>, kMaxParts> hashed_{};  // per part of the current job
  std::size_t count_ = 0;
  // The job number, the part count and the next part to take, as one word
  // (job << 16 | count << 8 | next), so that a part is taken only from the
  // job it belongs to.
  std::atomic<std::uint64_t> work_{0};
  std::atomic<std::uint64_t> job_{0};  // the helper wakes when it changes
  std::atomic<std::size_t> done_{0};   // parts of the current job hashed
  std::atomic<bool> stopping_{false};
  std::unique_ptr<std::thread> helper_;
  long helper_process_ = 0;  // the process that started the helper (a fork has none)
};

}  // namespace vantorelle::native
