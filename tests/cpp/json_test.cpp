#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "server/json.hpp"

namespace tesrak::server {
namespace {

std::string fixed6(float value) {
  std::string out;
  append_fixed6(out, value);
  return out;
}

std::string printf_fixed6(float value) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%.6f", static_cast<double>(value));
  return buffer;
}

std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

template <typename T>
TensorDigest<T> one_cell(const std::vector<T>& values) {
  TensorDigest<T> digest({1}, 10);
  for (T v : values) digest.update(std::span<const T>(&v, 1));
  return digest;
}

TEST(Fixed6, MatchesCorrectlyRoundingPrintf) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::uint32_t> bits;
  std::uniform_real_distribution<float> unit(-2.0f, 2.0f);
  int compared = 0;
  for (int i = 0; i < 200000; ++i) {
    // Random bit patterns cover huge and tiny magnitudes; the second draw
    // covers the values a quantile curve usually holds.
    std::uint32_t pattern = bits(random);
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    for (float v : {value, unit(random), unit(random) * 1e-5f}) {
      if (!std::isfinite(v)) continue;
      ASSERT_EQ(fixed6(v), printf_fixed6(v)) << "bits " << pattern;
      ++compared;
    }
  }
  EXPECT_GT(compared, 500000);
}

TEST(Fixed6, EdgeValues) {
  EXPECT_EQ(fixed6(2.5f), "2.500000");
  EXPECT_EQ(fixed6(-0.0000004f), "-0.000000");
  EXPECT_EQ(fixed6(-0.0f), "-0.000000");
  EXPECT_EQ(fixed6(0.0f), "0.000000");
  EXPECT_EQ(fixed6(1.0f / 401.0f), "0.002494");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::max()),
            "340282346638528859811704183484516925440.000000");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::denorm_min()), "0.000000");
  // As floats, 5e-7 lies just below the tie and 1.5e-6 just above it.
  EXPECT_EQ(fixed6(0.0000005f), "0.000000");
  EXPECT_EQ(fixed6(0.0000015f), "0.000002");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(fixed6(-std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(fixed6(std::numeric_limits<float>::quiet_NaN()), "null");
}

TEST(JsonInfo, ShapeAndDimensionCount) {
  EXPECT_EQ(json_info(std::vector<std::uint64_t>{2, 3}), "{\"shape\":[2,3],\"ndim\":2}");
  EXPECT_EQ(json_info(std::vector<std::uint64_t>{}), "{\"shape\":[],\"ndim\":0}");
  EXPECT_EQ(json_info(std::vector<std::uint64_t>{18446744073709551615ull}),
            "{\"shape\":[18446744073709551615],\"ndim\":1}");
}

TEST(JsonError, EscapesTheMessage) {
  EXPECT_EQ(json_error("scope \"x\" \\ bad\n\x01"),
            "{\"error\":\"scope \\\"x\\\" \\\\ bad\\n\\u0001\"}");
}

// Labels cycling through every family, so that each cell's label is known.
std::vector<Distribution> cycling_codes(std::size_t n) {
  std::vector<Distribution> codes(n);
  for (std::size_t i = 0; i < n; ++i) codes[i] = static_cast<Distribution>(i % 6);
  return codes;
}

std::string slice_of(std::uint64_t rows, std::uint64_t cols, std::size_t begin, std::size_t end) {
  std::string out = "{\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols) +
                    ",\"distributions\":[";
  for (std::size_t i = begin; i < end; ++i) {
    out += (i > begin ? ",\"" : "\"") + std::string(label(static_cast<Distribution>(i % 6))) + "\"";
  }
  return out + "]}";
}

TEST(JsonSlice, PlaneOfBatchAndChannel) {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::uint64_t batch, channel;
    std::string expected;
  };
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Case> cases = {
      {{4, 5}, 9, 9, slice_of(4, 5, 0, 20)},
      {{3, 4, 5}, 0, 2, slice_of(4, 5, 40, 60)},
      {{3, 4, 5}, 0, 3, slice_of(4, 5, 0, 0)},
      {{3, 4, 5}, 0, 7, slice_of(4, 5, 0, 0)},
      {{2, 3, 4, 5}, 1, 2, slice_of(4, 5, 100, 120)},
      {{2, 3, 4, 5}, 0, 4, slice_of(4, 5, 80, 100)},
      {{3, 4, 5}, 0, huge, slice_of(4, 5, 0, 0)},
      {{2, 3, 4, 5}, huge, huge, slice_of(4, 5, 0, 0)},
      // Below two dimensions the whole tensor is one row.
      {{7}, 0, 0, slice_of(1, 7, 0, 7)},
      {{}, 0, 0, slice_of(1, 1, 0, 1)},
      {{2, 0}, 0, 0, slice_of(2, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    std::uint64_t numel = 1;
    for (std::uint64_t d : c.shape) numel *= d;
    SCOPED_TRACE(json_info(c.shape) + " b=" + std::to_string(c.batch) + " c=" + std::to_string(c.channel));
    EXPECT_EQ(json_slice(c.shape, cycling_codes(numel), c.batch, c.channel), c.expected);
  }
}

TEST(JsonDigestCell, OneValueWithTheFullWindow) {
  FloatDigest digest = one_cell<float>({2.5f});
  const std::string doc = json_digest_cell(digest, Distribution::Normal, "cell", 0.0f, 1.0f);
  const std::string head =
      "{\"label\":\"cell\",\"distribution\":\"Normal\",\"count\":1,\"min\":2.500000,"
      "\"q25\":2.500000,\"q50\":2.500000,\"q75\":2.500000,\"max\":2.500000,\"q0\":0.000000,"
      "\"q1\":1.000000,\"pdf\":[{\"x\":2.500000,\"y\":0.000000},{\"x\":2.500000,\"y\":0.002494},"
      "{\"x\":2.500000,\"y\":0.004988},";
  EXPECT_EQ(doc.substr(0, head.size()), head);
  EXPECT_TRUE(doc.ends_with(",{\"x\":2.500000,\"y\":0.997506},{\"x\":2.500000,\"y\":1.000000}]}"));
  EXPECT_EQ(count_of(doc, "{\"x\":"), kCurvePoints);
  EXPECT_EQ(doc.find(' '), std::string::npos);
}

// Finds the text of "key": in a flat document.
std::string field(const std::string& doc, const std::string& key) {
  const std::size_t start = doc.find("\"" + key + "\":") + key.size() + 3;
  return doc.substr(start, doc.find_first_of(",}", start) - start);
}

TEST(JsonDigestCell, NarrowWindowEndsAreTheCurveEnds) {
  std::vector<float> values;
  for (int i = 1; i <= 100; ++i) values.push_back(static_cast<float>(i));
  FloatDigest digest = one_cell(values);
  const std::string full = json_digest_cell(digest, Distribution::Uniform, "cell", 0.0f, 1.0f);
  EXPECT_EQ(field(full, "min"), "1.000000");
  EXPECT_EQ(field(full, "max"), "100.000000");
  const std::string doc = json_digest_cell(digest, Distribution::Uniform, "cell", 0.25f, 0.75f);
  EXPECT_EQ(field(doc, "count"), "100");
  EXPECT_EQ(field(doc, "min"), field(doc, "q25"));
  EXPECT_EQ(field(doc, "max"), field(doc, "q75"));
  EXPECT_EQ(field(doc, "q0"), "0.250000");
  EXPECT_EQ(field(doc, "q1"), "0.750000");
  EXPECT_EQ(field(doc, "pdf\":[{\"x"), field(doc, "q25"));
  EXPECT_TRUE(doc.ends_with("{\"x\":" + field(doc, "q75") + ",\"y\":0.750000}]}"));
}

TEST(JsonDigestCell, EmptyCellGivesZeros) {
  IntDigest digest({1}, 10);
  const std::string doc = json_digest_cell(digest, Distribution::Unknown, "merged", 0.0f, 1.0f);
  EXPECT_TRUE(doc.starts_with("{\"label\":\"merged\",\"distribution\":\"Unknown\",\"count\":0,"));
  EXPECT_EQ(count_of(doc, "{\"x\":0.000000,"), kCurvePoints);
  for (const char* key : {"min", "q25", "q50", "q75", "max"}) EXPECT_EQ(field(doc, key), "0.000000");
}

TEST(JsonDigestCell, BothElementTypesWriteTheSameDocument) {
  IntDigest ints = one_cell<std::int32_t>({-4, 0, 3, 3, 9, 1000});
  FloatDigest floats = one_cell<float>({-4.0f, 0.0f, 3.0f, 3.0f, 9.0f, 1000.0f});
  EXPECT_EQ(json_digest_cell(ints, Distribution::Laplace, "cell", 0.1f, 0.9f),
            json_digest_cell(floats, Distribution::Laplace, "cell", 0.1f, 0.9f));
}

TEST(JsonDigestCell, NonFiniteValuesAreNull) {
  FloatDigest digest = one_cell<float>({1.0f, std::numeric_limits<float>::infinity()});
  const std::string doc = json_digest_cell(digest, Distribution::Unknown, "cell", 0.0f, 1.0f);
  EXPECT_EQ(field(doc, "min"), "1.000000");
  EXPECT_EQ(field(doc, "max"), "null");
  EXPECT_TRUE(doc.ends_with("{\"x\":null,\"y\":1.000000}]}"));
}

TEST(JsonDigestMerged, ZerosFilteredAndClassifiedAfresh) {
  IntDigest zeros = one_cell<std::int32_t>({0, 0, 0});
  const std::string kept = json_digest_merged(zeros, false, 0.0f, 1.0f);
  EXPECT_EQ(field(kept, "label"), "\"merged\"");
  EXPECT_EQ(field(kept, "count"), "3");
  const std::string filtered = json_digest_merged(zeros, true, 0.0f, 1.0f);
  EXPECT_EQ(field(filtered, "distribution"), "\"Unknown\"");
  EXPECT_EQ(field(filtered, "count"), "0");
  EXPECT_EQ(count_of(filtered, "{\"x\":0.000000,"), kCurvePoints);
  for (const char* key : {"min", "q25", "q50", "q75", "max"}) {
    EXPECT_EQ(field(filtered, key), "0.000000");
  }
}

}  // namespace
}  // namespace tesrak::server
