#include "native/part_hasher.h"

#include <unistd.h>

#include <cstring>
#include <system_error>

#include "hll/hyperloglogplusplus.h"
#include "native/line_splitter.h"

namespace vantorelle::native {
namespace {

// Hashes the complete lines of [p, end) into `hashes`; returns the start of
// the line left unfinished at `end`.
const std::uint8_t* hash_lines(const std::uint8_t* p, const std::uint8_t* end,
                               std::vector<std::uint64_t>& hashes) {
  return split_lines(p, end, [&](const std::uint8_t* line, std::size_t size) {
    hashes.push_back(HyperLogLogPlusPlus::hash_bytes(ByteView(line, size)));
  });
}

}  // namespace

PartHasher::~PartHasher() {
  if (!helper_) return;
  if (helper_process_ != static_cast<long>(getpid())) {
    // Forked: the helper belongs to the parent process and was not copied.
    (void)helper_.release();
    return;
  }
  stopping_.store(true, std::memory_order_release);
  job_.fetch_add(1, std::memory_order_acq_rel);
  job_.notify_one();
  helper_->join();
}

void PartHasher::start_helper() {
  const long process = static_cast<long>(getpid());
  if (helper_ && helper_process_ == process) return;
  (void)helper_.release();  // after a fork, the parent's helper is not ours
  try {
    helper_ = std::make_unique<std::thread>(&PartHasher::run_helper, this);
    helper_process_ = process;
  } catch (const std::system_error&) {
    // No thread to be had: the calling thread hashes every part.
  }
}

void PartHasher::run_helper() {
  std::uint64_t seen = 0;
  for (;;) {
    job_.wait(seen, std::memory_order_acquire);
    seen = job_.load(std::memory_order_acquire);
    if (stopping_.load(std::memory_order_acquire)) return;
    while (work_one(seen)) {
    }
  }
}

bool PartHasher::work_one(std::uint64_t job) {
  std::uint64_t word = work_.load(std::memory_order_acquire);
  for (;;) {
    if ((word >> 16) != job) return false;
    const std::size_t count = (word >> 8) & 0xFF;
    const std::size_t next = word & 0xFF;
    if (next >= count) return false;
    if (work_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
      Part& part = parts_[next];
      part.rest = hash_lines(part.begin, part.end, part.hashes);
      hashed_[next].store(true, std::memory_order_release);
      done_.fetch_add(1, std::memory_order_acq_rel);
      done_.notify_one();
      return true;
    }
  }
}

const std::uint8_t* PartHasher::hash(const std::uint8_t* begin, const std::uint8_t* end,
                                     Consumer consume, void* context, bool* consumed) {
  // Parts of about kPartBytes, each ending just after a newline; the last
  // one runs to the end of the chunk and leaves its unfinished line.
  count_ = 0;
  const std::uint8_t* p = begin;
  while (p < end) {
    const std::uint8_t* cut = end;
    if (static_cast<std::size_t>(end - p) > 2 * kPartBytes && count_ + 1 < kMaxParts) {
      const auto* newline = static_cast<const std::uint8_t*>(
          std::memchr(p + kPartBytes, '\n', static_cast<std::size_t>(end - p) - kPartBytes));
      if (newline != nullptr) cut = newline + 1;
    }
    if (parts_.size() == count_) parts_.emplace_back();
    Part& part = parts_[count_];
    part.begin = p;
    part.end = cut;
    part.hashes.clear();
    hashed_[count_].store(false, std::memory_order_relaxed);
    ++count_;
    p = cut;
  }
  *consumed = true;
  if (count_ == 0) return begin;
  if (count_ == 1) {
    const std::uint8_t* rest = hash_lines(begin, end, parts_[0].hashes);
    *consumed = consume(context, parts_[0].hashes);
    return rest;
  }

  start_helper();
  const std::uint64_t job = job_.load(std::memory_order_relaxed) + 1;
  done_.store(0, std::memory_order_relaxed);
  work_.store(job << 16 | static_cast<std::uint64_t>(count_) << 8, std::memory_order_release);
  job_.store(job, std::memory_order_release);
  job_.notify_one();
  // Hand on the next part in order when it is hashed; otherwise hash one,
  // or, when the helper holds every part left, wait for it.
  for (std::size_t next = 0; next < count_;) {
    const std::size_t done = done_.load(std::memory_order_acquire);
    if (hashed_[next].load(std::memory_order_acquire)) {
      if (*consumed) *consumed = consume(context, parts_[next].hashes);
      ++next;
    } else if (!work_one(job)) {
      done_.wait(done, std::memory_order_acquire);
    }
  }
  // Only the last part can end inside a line.
  return parts_[count_ - 1].rest;
}

}  // namespace vantorelle::native
