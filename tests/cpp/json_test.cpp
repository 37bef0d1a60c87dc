#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "server/json.hpp"
#include "server/query.hpp"

namespace tesrak::server {
namespace {

TEST(Fixed6, MatchesCorrectlyRoundingPrintfOnRandomFloats) {
  const auto fixed6 = [](float value) { std::string out; append_fixed6(out, value); return out; };
  std::mt19937 random(20240611);
  std::uniform_real_distribution<float> unit(-2.0f, 2.0f);
  char expected[128];
  for (int i = 0; i < 300000; ++i) {
    // Random bit patterns reach huge and tiny magnitudes; the scaled draws
    // sit where most quantile values and ties near the sixth decimal are.
    const auto bits = static_cast<std::uint32_t>(random());
    for (float v : {std::bit_cast<float>(bits), unit(random), unit(random) * 1e-5f}) {
      if (!std::isfinite(v)) continue;
      std::snprintf(expected, sizeof expected, "%.6f", static_cast<double>(v));
      ASSERT_EQ(fixed6(v), expected) << "bits " << bits;
    }
  }
  EXPECT_EQ(fixed6(-0.0f), "-0.000000");
  EXPECT_EQ(fixed6(-std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::quiet_NaN()), "null");
}

TEST(JsonDocuments, InfoErrorAndSlices) {
  using S = std::vector<std::uint64_t>;
  EXPECT_EQ(json_info(S{}), "{\"shape\":[],\"ndim\":0}");
  EXPECT_EQ(json_error("\"x\" \\\n\x01"), "{\"error\":\"\\\"x\\\" \\\\\\n\\u0001\"}");

  // Cell i is labelled with family i % 6, so a slice's labels tell its cells.
  const auto slice = [](std::uint64_t rows, std::uint64_t cols, std::size_t begin, std::size_t end) {
    std::string out = "{\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols) +
                      ",\"distributions\":[";
    for (std::size_t i = begin; i < end; ++i) {
      out += (i > begin ? ",\"" : "\"") + std::string(label(Distribution(i % 6))) + "\"";
    }
    return out + "]}";
  };
  const std::vector<std::tuple<S, std::uint64_t, std::uint64_t, std::string>> cases = {
      {{4, 5}, 9, 9, slice(4, 5, 0, 20)},          {{3, 4, 5}, 0, 2, slice(4, 5, 40, 60)},
      {{2, 3, 4, 5}, 1, 2, slice(4, 5, 100, 120)}, {{2, 3, 4, 5}, 0, 4, slice(4, 5, 80, 100)},
      {{7}, 0, 0, slice(1, 7, 0, 7)},              {{}, 0, 0, slice(1, 1, 0, 1)},
      // Past the end, or so far that the plane's bounds overflow (and would
      // wrap to the first plane): no labels.
      {{3, 4, 5}, 0, 3, slice(4, 5, 0, 0)},        {{3, 4, 5}, 0, 1ull << 62, slice(4, 5, 0, 0)},
      {{2, 3, 4, 5}, UINT64_MAX, 2, slice(4, 5, 0, 0)},  // wraps to 2^64 - 1
  };
  for (const auto& [shape, batch, channel, expected] : cases) {
    std::uint64_t numel = 1;
    for (std::uint64_t d : shape) numel *= d;
    std::vector<Distribution> codes(numel);
    for (std::size_t i = 0; i < numel; ++i) codes[i] = Distribution(i % 6);
    EXPECT_EQ(json_slice(shape, codes, channel_idx(shape, batch, channel)), expected)
        << json_info(shape);
  }
}

TEST(JsonDocuments, DigestSummaries) {
  FloatDigest one({1}, 10);
  one.update(std::vector<float>{2.5f});
  const std::string cell = json_digest_cell(one, Distribution::Laplace, "cell", 0.0f, 1.0f);
  EXPECT_TRUE(cell.starts_with(
      "{\"label\":\"cell\",\"distribution\":\"Laplace\",\"count\":1,\"min\":2.500000,\"q25\":2.500000,"
      "\"q50\":2.500000,\"q75\":2.500000,\"max\":2.500000,\"q0\":0.000000,\"q1\":1.000000,\"pdf\":["
      "{\"x\":2.500000,\"y\":0.000000},{\"x\":2.500000,\"y\":0.002494},{\"x\":2.500000,\"y\":0.004988},"));
  EXPECT_TRUE(cell.ends_with(",{\"x\":2.500000,\"y\":0.997506},{\"x\":2.500000,\"y\":1.000000}]}"));

  // A merge of nothing but zeros, zeros excluded, is an empty Unknown digest.
  IntDigest zeros({1}, 10);
  for (int i = 0; i < 3; ++i) zeros.update(std::vector<std::int32_t>{0});
  EXPECT_TRUE(json_digest_merged(zeros, true, 0.0f, 1.0f).starts_with(
      "{\"label\":\"merged\",\"distribution\":\"Unknown\",\"count\":0,\"min\":0.000000,\"q25\":0.000000,"
      "\"q50\":0.000000,\"q75\":0.000000,\"max\":0.000000,\"q0\":0.000000,\"q1\":1.000000,\"pdf\":["
      "{\"x\":0.000000,\"y\":0.000000},"));
}

}  // namespace
}  // namespace tesrak::server
