#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "server/json.hpp"

namespace tesrak::server {
namespace {

std::string fixed6(float value) {
  std::string out;
  append_fixed6(out, value);
  return out;
}

TEST(Fixed6, MatchesCorrectlyRoundingPrintfOnRandomFloats) {
  std::mt19937 random(20240611);
  std::uniform_real_distribution<float> unit(-2.0f, 2.0f);
  char expected[128];
  for (int i = 0; i < 300000; ++i) {
    // Random bit patterns reach huge and tiny magnitudes; the scaled draws
    // sit where most quantile values and ties near the sixth decimal are.
    const std::uint32_t bits = static_cast<std::uint32_t>(random());
    float value;
    std::memcpy(&value, &bits, sizeof value);
    for (float v : {value, unit(random), unit(random) * 1e-5f}) {
      if (!std::isfinite(v)) continue;
      std::snprintf(expected, sizeof expected, "%.6f", static_cast<double>(v));
      ASSERT_EQ(fixed6(v), expected) << "bits " << bits;
    }
  }
  EXPECT_EQ(fixed6(-0.0000004f), "-0.000000");
  EXPECT_EQ(fixed6(-0.0f), "-0.000000");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::max()), "340282346638528859811704183484516925440.000000");
  EXPECT_EQ(fixed6(-std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::quiet_NaN()), "null");
}

TEST(JsonDocuments, InfoErrorAndSlices) {
  using S = std::vector<std::uint64_t>;
  EXPECT_EQ(json_info(S{2, 3}), "{\"shape\":[2,3],\"ndim\":2}");
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
      {{3, 4, 5}, 0, 3, slice(4, 5, 0, 0)},        {{2, 3, 4, 5}, 1, 2, slice(4, 5, 100, 120)},
      {{2, 3, 4, 5}, 0, 4, slice(4, 5, 80, 100)},  {{3, 4, 5}, 0, UINT64_MAX, slice(4, 5, 0, 0)},
      {{2, 3, 4, 5}, UINT64_MAX, 5, slice(4, 5, 40, 60)},  // the channel wraps round to 2
      {{7}, 0, 0, slice(1, 7, 0, 7)},              {{}, 0, 0, slice(1, 1, 0, 1)},
  };
  for (const auto& [shape, batch, channel, expected] : cases) {
    std::uint64_t numel = 1;
    for (std::uint64_t d : shape) numel *= d;
    std::vector<Distribution> codes(numel);
    for (std::size_t i = 0; i < numel; ++i) codes[i] = Distribution(i % 6);
    EXPECT_EQ(json_slice(shape, codes, batch, channel), expected) << json_info(shape);
  }
}

template <typename T>
TensorDigest<T> one_cell(std::vector<T> values) {
  TensorDigest<T> digest({1}, 10);
  for (T& v : values) digest.update(std::span<const T>(&v, 1));
  return digest;
}

// The text of "key": in a flat document.
std::string field(const std::string& doc, const std::string& key) {
  const std::size_t start = doc.find("\"" + key + "\":") + key.size() + 3;
  return doc.substr(start, doc.find_first_of(",}", start) - start);
}

TEST(JsonDigestCell, DocumentLayoutAndWindow) {
  FloatDigest one = one_cell<float>({2.5f});
  const std::string doc = json_digest_cell(one, Distribution::Laplace, "cell", 0.0f, 1.0f);
  EXPECT_TRUE(doc.starts_with(
      "{\"label\":\"cell\",\"distribution\":\"Laplace\",\"count\":1,\"min\":2.500000,\"q25\":2.500000,"
      "\"q50\":2.500000,\"q75\":2.500000,\"max\":2.500000,\"q0\":0.000000,\"q1\":1.000000,\"pdf\":["
      "{\"x\":2.500000,\"y\":0.000000},{\"x\":2.500000,\"y\":0.002494},{\"x\":2.500000,\"y\":0.004988},"));
  EXPECT_TRUE(doc.ends_with(",{\"x\":2.500000,\"y\":0.997506},{\"x\":2.500000,\"y\":1.000000}]}"));
  std::size_t points = 0;
  for (std::size_t at = 0; (at = doc.find("{\"x\":", at + 1)) != std::string::npos;) ++points;
  EXPECT_EQ(points, kCurvePoints);

  std::vector<std::int32_t> ints;
  for (int i = -40; i <= 100; ++i) ints.push_back(i * i);
  IntDigest squares = one_cell(ints);
  const std::string narrow = json_digest_cell(squares, Distribution::Unknown, "cell", 0.25f, 0.75f);
  EXPECT_EQ(field(narrow, "pdf\":[{\"x"), field(narrow, "q25"));
  EXPECT_EQ(field(narrow, "min"), field(narrow, "q25"));
  EXPECT_TRUE(narrow.ends_with("{\"x\":" + field(narrow, "q75") + ",\"y\":0.750000}]}"));
  // Both element types write the same document for the same values.
  std::vector<float> floats(ints.begin(), ints.end());
  FloatDigest same = one_cell(floats);
  EXPECT_EQ(json_digest_cell(same, Distribution::Unknown, "cell", 0.25f, 0.75f), narrow);

  FloatDigest infinite = one_cell<float>({1.0f, std::numeric_limits<float>::infinity()});
  EXPECT_EQ(field(json_digest_cell(infinite, Distribution::Normal, "cell", 0, 1), "max"), "null");
}

TEST(JsonDigestMerged, ZerosFilteredThenClassifiedAfresh) {
  IntDigest zeros = one_cell<std::int32_t>({0, 0, 0});
  const std::string kept = json_digest_merged(zeros, false, 0.0f, 1.0f);
  EXPECT_EQ(field(kept, "label") + field(kept, "count"), "\"merged\"3");
  const std::string filtered = json_digest_merged(zeros, true, 0.0f, 1.0f);
  EXPECT_TRUE(filtered.starts_with(
      "{\"label\":\"merged\",\"distribution\":\"Unknown\",\"count\":0,\"min\":0.000000,\"q25\":0.000000,"
      "\"q50\":0.000000,\"q75\":0.000000,\"max\":0.000000,\"q0\":0.000000,\"q1\":1.000000,\"pdf\":["
      "{\"x\":0.000000,\"y\":0.000000},"));
}

}  // namespace
}  // namespace tesrak::server
