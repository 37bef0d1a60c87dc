#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tesrak/distribution.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::server {

// Number of points on a sampled quantile curve.
inline constexpr std::size_t kCurvePoints = 402;

// The value widened to double with exactly six decimals, correctly rounded
// (ties to even), "-" kept on negative zero; "null" when not finite.
void append_fixed6(std::string& out, float value);

// Appends `text` as a JSON string literal, quotes included.
void append_json_string(std::string& out, std::string_view text);

// {"shape":[...],"ndim":n}
std::string json_info(std::span<const std::uint64_t> shape);

// {"rows":H,"cols":W,"distributions":[...]}: the labels of the plane of
// the flat channel (see channel_idx), none for a channel beyond the end.
// Below two dimensions the whole tensor is one row.
std::string json_slice(std::span<const std::uint64_t> shape, std::span<const Distribution> codes,
                       std::uint64_t flat_channel);

// The summary of a one-cell digest: count, window ends, quartiles and the
// quantile curve sampled at 402 levels from q0 to q1.
template <typename T>
std::string json_digest_cell(TensorDigest<T>& digest, Distribution code, std::string_view label,
                             float q0, float q1);

// The summary of a merged one-cell digest, stripped of zeros when asked and
// classified afresh, labelled "merged".
template <typename T>
std::string json_digest_merged(TensorDigest<T> digest, bool exclude_zero, float q0, float q1);

// {"error":"<message>"}
std::string json_error(std::string_view message);

}  // namespace tesrak::server
