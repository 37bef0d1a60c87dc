#include "server/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tesrak::server {
namespace {

constexpr int kDecimals = 6;
constexpr std::string_view kNull = "null";
// Enough for the six-decimal form of the largest float (39 digits before
// the point) and for any 64-bit integer.
constexpr std::size_t kNumberChars = 64;
// A point {"x":...,"y":...} is usually about 30 characters.
constexpr std::size_t kPointCharsEstimate = 32;
constexpr std::size_t kLevelDivisor = kCurvePoints - 1;  // levels k / 401

void append_unsigned(std::string& out, std::uint64_t value) {
  std::array<char, kNumberChars> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

// The 402 levels q0, q0 + (k / 401) * (q1 - q0) for k = 1..400, and q1, each
// step rounded to float on its own.
std::array<float, kCurvePoints> curve_levels(float q0, float q1) {
  std::array<float, kCurvePoints> levels;
  const float span = q1 - q0;
  levels[0] = q0;
  for (std::size_t k = 1; k < kCurvePoints - 1; ++k) {
    const float fraction = static_cast<float>(k) / static_cast<float>(kLevelDivisor);
    const float offset = fraction * span;
    levels[k] = q0 + offset;
  }
  levels[kCurvePoints - 1] = q1;
  return levels;
}

struct CellRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// The cells of flat channel f's plane of rows x cols among `count` cells:
// f*H*W up to (f*H + H)*W, cut at the end. A plane that starts beyond the
// end, or whose bounds overflow, has none.
CellRange plane_cells(std::uint64_t flat, std::uint64_t rows, std::uint64_t cols,
                      std::uint64_t count) {
  std::uint64_t first_row;
  std::uint64_t end_row;
  CellRange cells;
  if (__builtin_mul_overflow(flat, rows, &first_row) ||
      __builtin_add_overflow(first_row, rows, &end_row) ||
      __builtin_mul_overflow(first_row, cols, &cells.begin) ||
      __builtin_mul_overflow(end_row, cols, &cells.end) || cells.begin >= count) {
    return {};
  }
  cells.end = std::min(cells.end, count);
  return cells;
}

void append_key(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\":";
}

}  // namespace

void append_fixed6(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += kNull;
    return;
  }
  std::array<char, kNumberChars> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    static_cast<double>(value), std::chars_format::fixed, kDecimals);
  out.append(buffer.data(), result.ptr);
}

void append_json_string(std::string& out, std::string_view text) {
  constexpr unsigned char kFirstPrintable = 0x20;
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < kFirstPrintable) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string json_info(std::span<const std::uint64_t> shape) {
  std::string out = "{\"shape\":[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ',';
    append_unsigned(out, shape[i]);
  }
  out += "],\"ndim\":";
  append_unsigned(out, shape.size());
  out += '}';
  return out;
}

std::string json_slice(std::span<const std::uint64_t> shape, std::span<const Distribution> codes,
                       std::uint64_t flat_channel) {
  const std::size_t ndim = shape.size();
  std::uint64_t rows = 1;
  std::uint64_t cols = codes.size();
  CellRange cells{0, codes.size()};
  if (ndim >= 2) {
    rows = shape[ndim - 2];
    cols = shape[ndim - 1];
    cells = plane_cells(flat_channel, rows, cols, codes.size());
  }
  std::string out = "{\"rows\":";
  append_unsigned(out, rows);
  out += ",\"cols\":";
  append_unsigned(out, cols);
  out += ",\"distributions\":[";
  for (std::uint64_t i = cells.begin; i < cells.end; ++i) {
    if (i > cells.begin) out += ',';
    out += '"';
    out += label(codes[i]);
    out += '"';
  }
  out += "]}";
  return out;
}

template <typename T>
std::string json_digest_cell(TensorDigest<T>& digest, Distribution code, std::string_view label_text,
                             float q0, float q1) {
  static constexpr std::array<float, 3> kQuartiles = {0.25f, 0.5f, 0.75f};
  const std::array<float, kCurvePoints> levels = curve_levels(q0, q1);
  const std::vector<float> values = digest.cell_quantiles(0, levels);
  const std::vector<float> quartiles = digest.cell_quantiles(0, kQuartiles);

  std::string out;
  out.reserve(kCurvePoints * kPointCharsEstimate + 256);
  out += '{';
  append_key(out, "label");
  append_json_string(out, label_text);
  out += ',';
  append_key(out, "distribution");
  out += '"';
  out += label(code);
  out += "\",";
  append_key(out, "count");
  append_unsigned(out, digest.total_weights[0]);
  const std::pair<std::string_view, float> stats[] = {
      {"min", values.front()}, {"q25", quartiles[0]}, {"q50", quartiles[1]}, {"q75", quartiles[2]},
      {"max", values.back()},  {"q0", q0},            {"q1", q1}};
  for (const auto& [key, value] : stats) {
    out += ',';
    append_key(out, key);
    append_fixed6(out, value);
  }
  out += ',';
  append_key(out, "pdf");
  out += '[';
  for (std::size_t k = 0; k < kCurvePoints; ++k) {
    if (k > 0) out += ',';
    out += "{\"x\":";
    append_fixed6(out, values[k]);
    out += ",\"y\":";
    append_fixed6(out, levels[k]);
    out += '}';
  }
  out += "]}";
  return out;
}

template <typename T>
std::string json_digest_merged(TensorDigest<T> digest, bool exclude_zero, float q0, float q1) {
  if (exclude_zero) digest = digest.without_zeros();
  const std::vector<Distribution> codes = digest.analyze();
  const Distribution code = codes.empty() ? Distribution::Unknown : codes.front();
  return json_digest_cell(digest, code, "merged", q0, q1);
}

std::string json_error(std::string_view message) {
  std::string out = "{\"error\":";
  append_json_string(out, message);
  out += '}';
  return out;
}

template std::string json_digest_cell(FloatDigest&, Distribution, std::string_view, float, float);
template std::string json_digest_cell(IntDigest&, Distribution, std::string_view, float, float);
template std::string json_digest_merged(FloatDigest, bool, float, float);
template std::string json_digest_merged(IntDigest, bool, float, float);

}  // namespace tesrak::server
