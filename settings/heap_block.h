// A block of the process heap owned by one scope. The settings code takes its
// working copies and printer data buffers from the platform heap so that an
// allocation failure behaves as it does on the real system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "kvplat/kernel.h"

namespace kvset {

class HeapBlock {
 public:
  HeapBlock() = default;
  // Allocates `bytes` (zeroed when `zero`); empty() tells whether it failed.
  explicit HeapBlock(std::size_t bytes, bool zero = false)
      : data_(static_cast<std::uint8_t*>(
            HeapAlloc(GetProcessHeap(), zero ? HEAP_ZERO_MEMORY : 0, bytes))),
        size_(data_ != nullptr ? bytes : 0) {}
  ~HeapBlock() { Reset(); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  HeapBlock(HeapBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  HeapBlock& operator=(HeapBlock&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  void Reset() {
    if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
    data_ = nullptr;
    size_ = 0;
  }
  // Shortens the usable size (the allocation itself stays).
  void Truncate(std::size_t bytes) {
    if (bytes < size_) size_ = bytes;
  }

  bool empty() const { return data_ == nullptr; }
  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kvset
