#pragma once

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace tesrak_py {

// Who holds an object: 0 nobody, n >= 1 that many property reads, all bits
// set one method. A call that finds the object held fails at once; it never
// waits, so Python code run inside a call (a conversion, a sequence's
// iteration) that reaches the same object gets an error, not a deadlock.
class BorrowState {
 public:
  static constexpr std::uintptr_t kFree = 0;
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

  bool try_take_exclusive() noexcept {
    std::uintptr_t expected = kFree;
    return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void give_back_exclusive() noexcept { count_.store(kFree, std::memory_order_release); }

  bool try_take_shared() noexcept {
    std::uintptr_t current = count_.load(std::memory_order_relaxed);
    do {
      // kExclusive - 1 readers would make the next count look exclusive.
      if (current >= kExclusive - 1) return false;
    } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void give_back_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::uintptr_t> count_{kFree};
};

enum class Access { Exclusive, Shared };

// Holds an object from construction to destruction: exclusively for a
// method call, shared for a property read. Refuses at once when it cannot.
template <Access kAccess>
class Borrow {
 public:
  explicit Borrow(BorrowState& state) : state_(state) {
    if constexpr (kAccess == Access::Exclusive) {
      if (!state_.try_take_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    } else {
      if (!state_.try_take_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
  }
  ~Borrow() {
    if constexpr (kAccess == Access::Exclusive) {
      state_.give_back_exclusive();
    } else {
      state_.give_back_shared();
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  BorrowState& state_;
};

using ExclusiveBorrow = Borrow<Access::Exclusive>;
using SharedBorrow = Borrow<Access::Shared>;

}  // namespace tesrak_py
