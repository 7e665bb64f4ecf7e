// The borrow state of one sketch instance. Every call runs with the GIL held,
// so two calls can only meet on one sketch when Python code that runs inside
// a call (an __index__, a sequence's __len__ or iterator) re-enters the same
// sketch. Writers (add, merge) need the sketch alone; readers may share it.
#pragma once

namespace vantorelle::python {

class BorrowState {
 public:
  bool acquire_shared() {
    if (count_ < 0) return false;
    ++count_;
    return true;
  }
  void release_shared() { --count_; }

  bool acquire_exclusive() {
    if (count_ != 0) return false;
    count_ = kExclusive;
    return true;
  }
  void release_exclusive() { count_ = 0; }

 private:
  static constexpr int kExclusive = -1;
  int count_ = 0;  // 0 free, n > 0 readers, kExclusive one writer
};

// Scoped holds: test with operator bool; a hold that was refused releases
// nothing.
class SharedHold {
 public:
  explicit SharedHold(BorrowState& state) : state_(state.acquire_shared() ? &state : nullptr) {}
  ~SharedHold() { release(); }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  void release() {
    if (state_ != nullptr) state_->release_shared();
    state_ = nullptr;
  }

 private:
  BorrowState* state_;
};

class ExclusiveHold {
 public:
  explicit ExclusiveHold(BorrowState& state)
      : state_(state.acquire_exclusive() ? &state : nullptr) {}
  ~ExclusiveHold() {
    if (state_ != nullptr) state_->release_exclusive();
  }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

  explicit operator bool() const { return state_ != nullptr; }

 private:
  BorrowState* state_;
};

}  // namespace vantorelle::python
