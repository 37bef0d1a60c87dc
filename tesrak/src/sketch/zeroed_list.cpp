#include "tesrak/zeroed_list.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace tesrak::detail {
namespace {

// From this size on a block is mapped on its own: the kernel hands out
// zero pages on first touch, so nothing is written here. Smaller blocks are
// not worth a mapping and come zeroed from the heap.
constexpr std::size_t kMappedFrom = std::size_t{64} << 10;

// Under AddressSanitizer every block comes from the heap, where the
// sanitizer can see a read or write past its end.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapOnly = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapOnly = true;
#else
constexpr bool kHeapOnly = false;
#endif
#else
constexpr bool kHeapOnly = false;
#endif

bool mapped(std::size_t bytes) noexcept { return !kHeapOnly && bytes >= kMappedFrom; }

}  // namespace

void* allocate_zeroed(std::size_t bytes) {
  if (mapped(bytes)) {
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
  }
  void* block = std::calloc(bytes, 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release_zeroed(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (mapped(bytes)) {
    ::munmap(block, bytes);
  } else {
    std::free(block);
  }
}

}  // namespace tesrak::detail
