// Preloaded into a child (LD_PRELOAD) to make one C++ allocation fail on
// demand: after fail_new_call(n), the n-th call of operator new from then
// on, in any thread, throws std::bad_alloc. Every other call allocates.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> calls_left{0};  // 0: nothing armed

void* allocate(std::size_t size) {
  long left = calls_left.load();
  while (left > 0 && !calls_left.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
}  // namespace

extern "C" void fail_new_call(long n) { calls_left.store(n); }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
