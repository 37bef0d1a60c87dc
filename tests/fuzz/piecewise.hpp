#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "storage/byte_stream.hpp"
#include "storage/snapshot_payload.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::fuzz {

// The input in pieces of one size (the last one shorter): the reader must
// come to the same end however its bytes arrive.
class PiecewiseSource final : public detail::ByteSource {
 public:
  PiecewiseSource(std::span<const std::uint8_t> bytes, std::size_t piece) noexcept
      : bytes_(bytes), piece_(piece) {}
  std::span<const std::uint8_t> next() override {
    const std::span<const std::uint8_t> out = bytes_.first(std::min(piece_, bytes_.size()));
    bytes_ = bytes_.subspan(out.size());
    return out;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t piece_;
};

// A piece size that depends on the input, so that the corpus meets the
// pieces' boundaries everywhere.
inline std::size_t piece_size(std::span<const std::uint8_t> bytes) noexcept {
  return 1 + bytes.size() % 61;
}

// The reader's own messages; any other comes from the decompressor, whose
// wording for a corrupt frame depends on whether it sees the frame whole.
inline bool own_message(std::string_view message) {
  for (std::string_view own : {"incomplete frame", "empty snapshot payload", "unknown dtype tag",
                               "io error: failed to fill whole buffer", "dtype mismatch",
                               "invalid snapshot: "}) {
    if (message.substr(0, own.size()) == own) return true;
  }
  return false;
}

// What a decode came to: the payload of the digest, the reader's message,
// a decompressor error, or a digest too large for the process.
template <typename Decode>
std::string outcome(Decode&& decode) {
  try {
    const AnyDigest digest = decode();
    const auto payload = std::visit([](const auto& d) { return detail::encode_payload(d); }, digest);
    return "digest " + std::string(payload.begin(), payload.end());
  } catch (const IoError& e) {
    return own_message(e.what()) ? std::string("error ") + e.what() : "decompressor error";
  } catch (const std::bad_alloc&) {
    return "too large";
  }
}

inline void expect_same(const std::string& whole, const std::string& in_pieces) {
  if (whole != in_pieces) std::abort();
}

}  // namespace tesrak::fuzz
