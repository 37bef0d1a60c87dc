#pragma once

#include <cstdint>
#include <span>

namespace tesrak::detail {

// Bytes handed out piece by piece: a file as it is read, frames as they are
// decompressed. A snapshot passes through these in pieces of a few MiB at
// most, never whole.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next piece, valid until the next call; empty once the bytes have
  // ended, and from then on.
  virtual std::span<const std::uint8_t> next() = 0;
};

// Bytes taken piece by piece: a file being written, a compressor.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void put(std::span<const std::uint8_t> bytes) = 0;
};

// The bytes of one span, as one piece.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::span<const std::uint8_t> next() override {
    const std::span<const std::uint8_t> piece = bytes_;
    bytes_ = {};
    return piece;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace tesrak::detail
