#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tesrak {
namespace detail {

// `bytes` of zeroed memory. Large blocks are fresh pages from the operating
// system, which stay unbacked (and cost no time) until first written; small
// ones come from the heap. Throws std::bad_alloc.
void* allocate_zeroed(std::size_t bytes);
void release_zeroed(void* block, std::size_t bytes) noexcept;

}  // namespace detail

// A list of fixed size whose entries start at zero, for the digest's large
// lists: a digest of a billion slots is built without writing a billion
// zeros, and its memory is taken as the slots are first used. Shaped like
// std::vector where the engine reads it (data, size, indexing, iteration);
// it owns its entries alone.
template <typename V>
class ZeroedList {
  static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_destructible_v<V>);

 public:
  using value_type = V;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = V&;
  using const_reference = const V&;
  using pointer = V*;
  using const_pointer = const V*;
  using iterator = V*;
  using const_iterator = const V*;

  ZeroedList() noexcept = default;

  // `count` entries, all zero.
  explicit ZeroedList(size_type count) { allocate(count); }

  ZeroedList(const ZeroedList& other) : ZeroedList(other.size_) {
    if (size_ > 0) std::memcpy(data_, other.data_, size_ * sizeof(V));
  }
  ZeroedList(ZeroedList&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ZeroedList& operator=(const ZeroedList& other) {
    if (this != &other) *this = ZeroedList(other);
    return *this;
  }
  ZeroedList& operator=(ZeroedList&& other) noexcept {
    ZeroedList taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~ZeroedList() { detail::release_zeroed(data_, capacity_ * sizeof(V)); }

  void swap(ZeroedList& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  V* data() noexcept { return data_; }
  const V* data() const noexcept { return data_; }
  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  V& operator[](size_type i) noexcept { return data_[i]; }
  const V& operator[](size_type i) const noexcept { return data_[i]; }

  iterator begin() noexcept { return data_; }
  iterator end() noexcept { return data_ + size_; }
  const_iterator begin() const noexcept { return data_; }
  const_iterator end() const noexcept { return data_ + size_; }

  // Entries added at the end are zero, as in a new list.
  void resize(size_type count) {
    if (count > capacity_) {
      ZeroedList bigger(count);
      if (size_ > 0) std::memcpy(bigger.data_, data_, size_ * sizeof(V));
      swap(bigger);
      return;
    }
    if (count > size_) std::fill(data_ + size_, data_ + count, V{});
    size_ = count;
  }

  friend bool operator==(const ZeroedList& a, const ZeroedList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const ZeroedList& a, const std::vector<V>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  void allocate(size_type count) {
    if (count == 0) return;
    if (count > static_cast<size_type>(-1) / sizeof(V)) throw std::bad_alloc();
    data_ = static_cast<V*>(detail::allocate_zeroed(count * sizeof(V)));
    size_ = capacity_ = count;
  }

  V* data_ = nullptr;
  size_type size_ = 0;
  size_type capacity_ = 0;
};

}  // namespace tesrak
