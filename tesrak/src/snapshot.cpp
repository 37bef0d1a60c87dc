// Snapshot files: the payload compressed as zstd frames, written whole and
// read whole.
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "snapshot_payload.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"
#include "whole_file.hpp"

namespace tesrak {
namespace {

constexpr int kCompressionLevel = 3;
// A frame header may claim any content size; an output buffer is sized by
// that claim only up to this many times the compressed input (the rest
// grows as the data really arrives).
constexpr std::size_t kMaxTrustedRatio = 1024;

struct CompressorDeleter {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct DecompressorDeleter {
  void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
};

// One compressed frame. Its buffer is sized for the worst case but left
// uninitialised: the pages the frame does not reach are never touched.
struct Frame {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;

  std::span<const std::uint8_t> bytes() const noexcept { return {data.get(), size}; }
};

Frame compress_frame(std::span<const std::uint8_t> payload) {
  const std::size_t bound = ZSTD_compressBound(payload.size());
  if (ZSTD_isError(bound)) throw IoError(IoErrorKind::Other, ZSTD_getErrorName(bound));
  std::unique_ptr<ZSTD_CCtx, CompressorDeleter> context(ZSTD_createCCtx());
  if (!context) throw std::bad_alloc();
  Frame frame{std::make_unique_for_overwrite<std::uint8_t[]>(bound)};
  frame.size = ZSTD_compressCCtx(context.get(), frame.data.get(), bound, payload.data(),
                                 payload.size(), kCompressionLevel);
  if (ZSTD_isError(frame.size)) throw IoError(IoErrorKind::Other, ZSTD_getErrorName(frame.size));
  return frame;
}

// A first guess at the decompressed size: the first frame's declared
// content size when it has one, within reason. Room that turns out not to
// be needed is never touched, so it costs address space only.
std::size_t initial_output_size(std::span<const std::uint8_t> input) {
  const std::size_t floor = ZSTD_DStreamOutSize();
  const unsigned long long declared = ZSTD_getFrameContentSize(input.data(), input.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR) return floor;
  const std::size_t ceiling = input.size() * kMaxTrustedRatio + floor;
  return static_cast<std::size_t>(std::clamp<unsigned long long>(declared, floor, ceiling));
}

// The decoder's output. Room is added uninitialised: the decoder writes
// every byte before it counts as filled.
class Payload {
 public:
  explicit Payload(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)), capacity_(capacity) {}

  // The room after the filled bytes, doubled first when there is none.
  ZSTD_outBuffer room() {
    if (size_ == capacity_) {
      auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(2 * capacity_);
      std::memcpy(bigger.get(), data_.get(), size_);
      data_ = std::move(bigger);
      capacity_ *= 2;
    }
    return ZSTD_outBuffer{data_.get() + size_, capacity_ - size_, 0};
  }

  void filled(std::size_t count) noexcept { size_ += count; }

  std::span<const std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// Every frame of `input`, in order, decompressed into one payload. The
// decoder moves on to a new frame after each finished one and passes over
// skippable frames. The input is complete only when it ends exactly where a
// frame does; an empty input is an unfinished frame too.
Payload decompress_frames(std::span<const std::uint8_t> input) {
  std::unique_ptr<ZSTD_DCtx, DecompressorDeleter> context(ZSTD_createDCtx());
  if (!context) throw std::bad_alloc();
  Payload payload(initial_output_size(input));
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  for (;;) {
    ZSTD_outBuffer out = payload.room();
    const std::size_t still_expected = ZSTD_decompressStream(context.get(), &out, &in);
    if (ZSTD_isError(still_expected)) {
      throw IoError(IoErrorKind::InvalidData, ZSTD_getErrorName(still_expected));
    }
    payload.filled(out.pos);
    const bool input_used_up = in.pos == in.size;
    // 0: a frame has been decoded and handed out in full.
    if (still_expected == 0 && input_used_up) return payload;
    // Room left over means the decoder has handed out all it holds, so
    // what it still expects can only come from input there is no more of.
    if (input_used_up && out.pos < out.size) {
      throw IoError(IoErrorKind::InvalidData, "incomplete frame");
    }
  }
}

}  // namespace

template <typename T>
void TensorDigest<T>::save(const std::string& path) {
  flush();
  detail::refuse_nul_in_path(path);
  const Frame frame = compress_frame(detail::encode_payload(*this));
  detail::replace_whole_file(path, frame.bytes());
}

AnyDigest from_bytes(std::span<const std::uint8_t> bytes) {
  const Payload decompressed = decompress_frames(bytes);
  const std::span<const std::uint8_t> payload = decompressed.bytes();
  if (payload.empty()) throw IoError(IoErrorKind::InvalidData, "empty snapshot payload");
  switch (payload.front()) {
    case Element<float>::tag:
      return FloatDigest::from_payload(payload);
    case Element<std::int32_t>::tag:
      return IntDigest::from_payload(payload);
    default:
      throw IoError(IoErrorKind::InvalidData,
                    "unknown dtype tag " + std::to_string(payload.front()));
  }
}

AnyDigest load_snapshot(const std::string& path) {
  return from_bytes(detail::read_whole_file(path));
}

template void TensorDigest<float>::save(const std::string&);
template void TensorDigest<std::int32_t>::save(const std::string&);

}  // namespace tesrak
