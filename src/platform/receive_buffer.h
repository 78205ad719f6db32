// The bytes a connection has received and not yet handed on. Room for the next receive is made
// without filling it first: every receive asks for 32 KiB and most bring a few hundred bytes,
// so clearing the room each time would cost more than the bytes themselves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace trovanex {

namespace receive_buffer_detail {

// The room a thread keeps for its next connection. Plain data, so that it stays usable while
// the thread's other objects end; the release frees what it holds when the thread ends and
// closes it for buffers that end later.
struct Spare {
  char* data = nullptr;
  std::size_t capacity = 0;
  bool closed = false;
};
inline thread_local Spare spare;

struct SpareRelease {
  void Arm() {}  // a use, so that it is made (and later ends) in this thread
  ~SpareRelease() {
    delete[] spare.data;
    spare = Spare{nullptr, 0, true};
  }
};
inline thread_local SpareRelease spare_release;

}  // namespace receive_buffer_detail

class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  // A thread serves connection after connection: the room of the last one is kept for the
  // next, instead of fresh memory (and its page faults) for every connection.
  ~ReceiveBuffer() {
    auto& spare = receive_buffer_detail::spare;
    if (data_ && !spare.data && !spare.closed && capacity_ <= kSpareLimit) {
      receive_buffer_detail::spare_release.Arm();
      spare.data = data_.release();
      spare.capacity = capacity_;
    }
  }
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
  ReceiveBuffer(ReceiveBuffer&& other) noexcept { *this = std::move(other); }
  ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  std::string_view View() const { return {data_.get(), size_}; }
  std::size_t Size() const { return size_; }
  void Clear() { size_ = 0; }

  // Drops the first `n` bytes, keeping the rest at the front.
  void DropFront(std::size_t n) {
    n = std::min(n, size_);
    if (n < size_) std::memmove(data_.get(), data_.get() + n, size_ - n);
    size_ -= n;
  }

  // Space for `n` more bytes after the held ones (not cleared); Added tells how many came.
  char* Room(std::size_t n) {
    auto& spare = receive_buffer_detail::spare;
    if (!data_ && spare.data && spare.capacity >= n) {
      data_.reset(std::exchange(spare.data, nullptr));
      capacity_ = std::exchange(spare.capacity, 0);
    }
    if (capacity_ - size_ < n) {
      const std::size_t capacity = std::max(size_ + n, capacity_ * 2);
      auto grown = std::make_unique_for_overwrite<char[]>(capacity);
      if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    return data_.get() + size_;
  }
  void Added(std::size_t n) { size_ += std::min(n, capacity_ - size_); }

 private:
  static constexpr std::size_t kSpareLimit = 64 * 1024;

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace trovanex
