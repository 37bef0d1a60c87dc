// Snapshot files: the payload as zstd frames, compressed as it is encoded
// and decoded as it is decompressed, through windows of fixed size. Saving
// or loading a digest takes the digest's own memory plus a few MiB.
// The compressor's stable-input mode is part of zstd's advanced interface.
#define ZSTD_STATIC_LINKING_ONLY
#include <sys/mman.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/byte_stream.hpp"
#include "storage/snapshot_frames.hpp"
#include "storage/snapshot_payload.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"
#include "storage/file_streams.hpp"
#include "storage/whole_file.hpp"

namespace tesrak {
namespace {

constexpr int kCompressionLevel = 3;
// The compressor's output, handed to the file a window at a time.
constexpr std::size_t kFrameWindow = std::size_t{1} << 20;
// The decompressor's output, handed to the payload reader a window at a time.
constexpr std::size_t kPayloadWindow = std::size_t{256} << 10;
// What the decoder must see of a frame at once to tell its kind.
constexpr std::size_t kFrameStart = ZSTD_FRAMEHEADERSIZE_PREFIX(ZSTD_f_zstd1);
// The most input held to give a small frame to the decoder whole.
constexpr std::size_t kMaxStagedFrame = std::size_t{2} << 20;

struct CompressorDeleter {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct DecompressorDeleter {
  void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
};

void check_compressor(std::size_t result) {
  if (ZSTD_isError(result)) throw IoError(IoErrorKind::Other, ZSTD_getErrorName(result));
}

// The payload at consecutive addresses, as the compressor would see a
// payload held whole in memory: the frame it gives is then byte for byte
// the one that compressing the whole payload in one call gives. (zstd's own
// streaming buffer is a ring, and where it wraps the matches found differ.)
// The addresses are reserved, not filled: pages are taken as the payload
// is written and given back once the compressor can no longer look at them.
class PayloadTrack {
 public:
  // Empty when the address space cannot be had (an RLIMIT_AS, say).
  PayloadTrack(std::uint64_t size, std::uint64_t look_behind) : look_behind_(look_behind) {
    reserved_ = round_up(size);
    if (reserved_ == 0 || reserved_ > SIZE_MAX) return;
    void* base = ::mmap(nullptr, static_cast<std::size_t>(reserved_), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base != MAP_FAILED) base_ = static_cast<std::uint8_t*>(base);
  }
  PayloadTrack(const PayloadTrack&) = delete;
  PayloadTrack& operator=(const PayloadTrack&) = delete;
  ~PayloadTrack() {
    if (base_ != nullptr) ::munmap(base_, static_cast<std::size_t>(reserved_));
  }

  bool usable() const noexcept { return base_ != nullptr; }
  const std::uint8_t* base() const noexcept { return base_; }
  std::uint64_t size() const noexcept { return size_; }

  // Appends up to `bytes.size()` bytes, as many as fit; returns how many.
  std::size_t append(std::span<const std::uint8_t> bytes) noexcept {
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(bytes.size(), reserved_ - size_));
    if (n > 0) std::memcpy(base_ + size_, bytes.data(), n);
    size_ += n;
    return n;
  }

  // Gives back the pages that lie wholly before `position` - look_behind.
  void release_before(std::uint64_t position) noexcept {
    if (position < look_behind_) return;
    const std::uint64_t end = (position - look_behind_) / kPage * kPage;
    if (end < released_ + kReleaseStep) return;
    ::madvise(base_ + released_, static_cast<std::size_t>(end - released_), MADV_DONTNEED);
    released_ = end;
  }

 private:
  static constexpr std::uint64_t kPage = 4096;
  static constexpr std::uint64_t kReleaseStep = std::uint64_t{1} << 20;
  static std::uint64_t round_up(std::uint64_t n) noexcept {
    return n > UINT64_MAX - kPage ? 0 : (n + kPage - 1) / kPage * kPage;
  }

  std::uint8_t* base_ = nullptr;
  std::uint64_t reserved_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t released_ = 0;
  std::uint64_t look_behind_;
};

// Compresses the bytes put into it as one zstd frame of a content size
// declared in advance, which the frame header records, and passes the
// frame on to a destination. Everything that can fail before the first
// byte is set up on construction, before the destination exists.
class FrameWriter final : public detail::ByteSink {
 public:
  explicit FrameWriter(std::uint64_t content_size)
      : context_(ZSTD_createCCtx()),
        window_(std::make_unique_for_overwrite<std::uint8_t[]>(kFrameWindow)),
        track_(content_size, look_behind(content_size)) {
    if (!context_) throw std::bad_alloc();
    check_compressor(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_compressionLevel,
                                            kCompressionLevel));
    check_compressor(ZSTD_CCtx_setPledgedSrcSize(context_.get(), content_size));
    if (track_.usable()) {
      check_compressor(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_stableInBuffer, 1));
    }
  }

  void start(detail::ByteSink& destination) noexcept { destination_ = &destination; }

  void put(std::span<const std::uint8_t> bytes) override {
    if (!track_.usable()) {
      ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
      while (in.pos < in.size) compress(in, ZSTD_e_continue);  // takes input while it can
      return;
    }
    // A piece at a time, so that the pages behind are given back while a
    // long list is still arriving.
    while (!bytes.empty()) {
      const std::size_t appended = track_.append(bytes.first(std::min(bytes.size(), kFrameWindow)));
      if (appended == 0) throw IoError(IoErrorKind::Other, "snapshot payload longer than declared");
      bytes = bytes.subspan(appended);
      ZSTD_inBuffer in = tracked();
      // Until all is taken in, or a step neither takes input nor fills the
      // output window (the compressor waits for a whole block).
      for (;;) {
        const std::size_t taken = in.pos;
        const bool window_filled = compress(in, ZSTD_e_continue).window_filled;
        if (in.pos == in.size || (in.pos == taken && !window_filled)) break;
      }
      tracked_pos_ = in.pos;
      track_.release_before(in.pos);
    }
  }

  // Ends the frame.
  void finish() {
    ZSTD_inBuffer in = track_.usable() ? tracked() : ZSTD_inBuffer{nullptr, 0, 0};
    while (compress(in, ZSTD_e_end).held_back != 0) {
    }
  }

 private:
  // How far back the compressor may look: its window for this content
  // size, plus the blocks it holds back, with room to spare.
  static std::uint64_t look_behind(std::uint64_t content_size) {
    const ZSTD_compressionParameters p = ZSTD_getCParams(kCompressionLevel, content_size, 0);
    return (std::uint64_t{1} << p.windowLog) + 4 * std::uint64_t{ZSTD_BLOCKSIZE_MAX} +
           kFrameWindow;
  }

  ZSTD_inBuffer tracked() const noexcept {
    return ZSTD_inBuffer{track_.base(), static_cast<std::size_t>(track_.size()), tracked_pos_};
  }

  struct Step {
    std::size_t held_back;  // what the compressor still has to write; 0 once a frame ended
    bool window_filled;     // the output window came back full: more may be waiting
  };

  // One step of the compressor; what it wrote goes to the destination.
  Step compress(ZSTD_inBuffer& in, ZSTD_EndDirective directive) {
    ZSTD_outBuffer out{window_.get(), kFrameWindow, 0};
    const std::size_t left = ZSTD_compressStream2(context_.get(), &out, &in, directive);
    check_compressor(left);
    if (out.pos > 0) destination_->put({window_.get(), out.pos});
    return {left, out.pos == out.size};
  }

  std::unique_ptr<ZSTD_CCtx, CompressorDeleter> context_;
  std::unique_ptr<std::uint8_t[]> window_;
  PayloadTrack track_;
  std::size_t tracked_pos_ = 0;
  detail::ByteSink* destination_ = nullptr;
};

// The payload of the frames read from a source: every frame in order, one
// after another; skippable frames are passed over. The input is complete
// only when it ends exactly where a frame does; an empty input is an
// unfinished frame too.
class FrameReader final : public detail::ByteSource {
 public:
  explicit FrameReader(detail::ByteSource& input)
      : input_(input),
        context_(ZSTD_createDCtx()),
        window_(std::make_unique_for_overwrite<std::uint8_t[]>(kPayloadWindow)) {
    if (!context_) throw std::bad_alloc();
  }

  std::span<const std::uint8_t> next() override {
    if (done_) return {};
    for (;;) {
      refill_if_used_up();
      if (at_frame_start_) stage_frame_start();
      ZSTD_outBuffer out{window_.get(), kPayloadWindow, 0};
      const std::size_t taken_before = in_.pos;
      const std::size_t still_expected = ZSTD_decompressStream(context_.get(), &out, &in_);
      if (ZSTD_isError(still_expected)) {
        throw IoError(IoErrorKind::InvalidData, ZSTD_getErrorName(still_expected));
      }
      frame_.follow({static_cast<const std::uint8_t*>(in_.src) + taken_before,
                     in_.pos - taken_before},
                    out.pos);
      // 0: a frame has been decoded and handed out in full.
      if (still_expected == 0) frame_.end();
      at_frame_start_ = still_expected == 0;
      refill_if_used_up();
      const bool input_used_up = in_.pos == in_.size && input_ended_;
      if (still_expected == 0 && input_used_up) done_ = true;
      // Room left over means the decoder has handed out all it holds, so
      // what it still expects can only come from input there is no more of.
      if (!done_ && input_used_up && out.pos < out.size) {
        throw IoError(IoErrorKind::InvalidData, "incomplete frame");
      }
      if (out.pos > 0 || done_) return {window_.get(), out.pos};
    }
  }

 private:
  // The size a frame's header declares against what the frame gave. Fed
  // whole, the decoder compares them itself; fed in pieces it lets a frame
  // that ends short pass, so the comparison is made here for every frame.
  class FrameSize {
   public:
    // Bytes the decoder took and gave since the last call.
    void follow(std::span<const std::uint8_t> taken, std::size_t given) {
      given_ += given;
      if (header_read_) return;
      const std::size_t n = std::min(taken.size(), header_.size() - header_size_);
      if (n == 0) return;
      std::memcpy(header_.data() + header_size_, taken.data(), n);
      header_size_ += n;
      ZSTD_frameHeader header;
      const std::size_t missing = ZSTD_getFrameHeader(&header, header_.data(), header_size_);
      if (missing != 0 && !ZSTD_isError(missing) && header_size_ < header_.size()) return;
      header_read_ = true;
      if (missing == 0 && header.frameType == ZSTD_frame &&
          header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) {
        declared_ = header.frameContentSize;
      }
    }

    // The frame has ended: the next bytes start another one.
    void end() {
      if (declared_ && *declared_ != given_) {
        throw IoError(IoErrorKind::InvalidData, ZSTD_getErrorString(ZSTD_error_corruption_detected));
      }
      *this = FrameSize();
    }

   private:
    std::array<std::uint8_t, ZSTD_FRAMEHEADERSIZE_MAX> header_{};
    std::size_t header_size_ = 0;
    bool header_read_ = false;
    std::optional<std::uint64_t> declared_;
    std::uint64_t given_ = 0;
  };

  // Fetches the next input piece once the current one is used up, so that
  // the end of the input is known as soon as it is reached.
  void refill_if_used_up() {
    if (in_.pos < in_.size || input_ended_) return;
    const std::span<const std::uint8_t> piece = input_.next();
    input_ended_ = piece.empty();
    in_ = ZSTD_inBuffer{piece.data(), piece.size(), 0};
  }

  // Whether a frame is judged depends on how its bytes reach the decoder:
  // - a legacy frame (zstd 0.5 to 0.7) is told from garbage only when the
  //   call that starts it holds its first five bytes;
  // - a frame that declares a content size the output window can hold, and
  //   that arrives whole in one call, is decoded in a single pass, which
  //   refuses some damaged frames that decoding block by block lets through.
  // So that no file reads differently for where its pieces happen to end,
  // a frame's first call is given those five bytes, and such a frame whole
  // (up to kMaxStagedFrame bytes), joined here from the pieces they span.
  void stage_frame_start() {
    const std::span<const std::uint8_t> rest(static_cast<const std::uint8_t*>(in_.src) + in_.pos,
                                             in_.size - in_.pos);
    if (input_ended_ || holds_frame_start(rest)) return;
    if (in_.src == staged_.data()) {
      staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(in_.pos));
    } else {
      staged_.assign(rest.begin(), rest.end());
    }
    while (!holds_frame_start(staged_)) {
      const std::span<const std::uint8_t> piece = input_.next();
      input_ended_ = piece.empty();
      if (input_ended_) break;
      staged_.insert(staged_.end(), piece.begin(), piece.end());
    }
    in_ = ZSTD_inBuffer{staged_.data(), staged_.size(), 0};
  }

  // Whether `bytes` hold as much of a frame as its first call must see.
  static bool holds_frame_start(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kFrameStart) return false;
    ZSTD_frameHeader header;
    const std::size_t missing = ZSTD_getFrameHeader(&header, bytes.data(), bytes.size());
    if (ZSTD_isError(missing)) return true;  // legacy, or no frame at all
    if (missing != 0) return false;
    // An unknown content size counts as larger than any.
    if (header.frameType != ZSTD_frame || header.frameContentSize > kPayloadWindow) return true;
    if (bytes.size() >= kMaxStagedFrame) return true;
    const std::size_t size = ZSTD_findFrameCompressedSize(bytes.data(), bytes.size());
    return !ZSTD_isError(size) || ZSTD_getErrorCode(size) != ZSTD_error_srcSize_wrong;
  }

  detail::ByteSource& input_;
  std::unique_ptr<ZSTD_DCtx, DecompressorDeleter> context_;
  std::unique_ptr<std::uint8_t[]> window_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  bool input_ended_ = false;
  bool done_ = false;
  bool at_frame_start_ = true;
  std::vector<std::uint8_t> staged_;
  FrameSize frame_;
};

}  // namespace

// Decompresses and decodes together; the first payload byte picks the
// element type. Every error but a short payload waits until all frames are
// read, so that a broken frame is what a file broken twice reports.
AnyDigest detail::decode_frames(ByteSource& file) {
  FrameReader frames(file);
  detail::PayloadReader payload(frames);
  const std::optional<std::uint8_t> tag = payload.peek();
  if (!tag) throw IoError(IoErrorKind::InvalidData, "empty snapshot payload");
  switch (*tag) {
    case Element<float>::tag:
      return detail::PayloadDecoder<float>::decode(payload);
    case Element<std::int32_t>::tag:
      return detail::PayloadDecoder<std::int32_t>::decode(payload);
    default:
      payload.drain();
      throw IoError(IoErrorKind::InvalidData, "unknown dtype tag " + std::to_string(*tag));
  }
}

template <typename T>
void TensorDigest<T>::save(const std::string& path, const WaitHook& hook) {
  flush();  // first: a refused save still leaves the rows merged
  detail::refuse_nul_in_path(path);
  FrameWriter frame(detail::payload_size(*this));
  detail::replace_whole_file(
      path,
      [&](detail::ByteSink& file) {
        frame.start(file);
        detail::encode_payload(*this, frame);
        frame.finish();
      },
      hook);
}

AnyDigest from_bytes(std::span<const std::uint8_t> bytes) {
  detail::SpanSource file(bytes);
  return detail::decode_frames(file);
}

AnyDigest load_snapshot(const std::string& path, const WaitHook& hook) {
  detail::FileReader file(path, hook);
  return detail::decode_frames(file);
}

template void TensorDigest<float>::save(const std::string&, const WaitHook&);
template void TensorDigest<std::int32_t>::save(const std::string&, const WaitHook&);

}  // namespace tesrak
