#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "server/query.hpp"

namespace tesrak::server {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(ParseQuery, SplitsAtAmpersandsAndFirstEquals) {
  struct Case {
    std::string query;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a", {}},
      {"a=1&a=2", {{"a", "2"}}},
      {"a=1&a", {{"a", "1"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"&&a=1&", {{"a", "1"}}},
      {"=x", {{"", "x"}}},
      {"a=", {{"a", ""}}},
      {"x=%31&y=a+b", {{"x", "%31"}, {"y", "a+b"}}},
      {"idx=5&q0=0.000000&q1=1.000000&exclude_zero=0",
       {{"idx", "5"}, {"q0", "0.000000"}, {"q1", "1.000000"}, {"exclude_zero", "0"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const QueryMap map = parse_query(c.query);
    ASSERT_EQ(map.size(), c.entries.size());
    for (const auto& [key, value] : c.entries) {
      ASSERT_TRUE(map.contains(key)) << key;
      EXPECT_EQ(map.at(key), value);
    }
  }
  EXPECT_FALSE(parse_query("A=1").contains("a"));
}

TEST(ParseUnsignedParam, DigitsWithOptionalPlusElseZero) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"b=+2", 2},   {"b=-1", 0}, {"b=1.5", 0}, {"b=", 0}, {"b=18446744073709551616", 0},
      {"b=18446744073709551615", kU64Max},      {"b=007", 7}, {"b=+", 0}, {"b= 1", 0},
      {"c=4", 0},
  };
  for (const auto& [query, expected] : cases) {
    EXPECT_EQ(parse_unsigned_param(parse_query(query), "b"), expected) << query;
  }
}

TEST(ParseFloatText, GrammarAndRounding) {
  const std::vector<std::pair<std::string, float>> valid = {
      {"0.25", 0.25f},       {"+1", 1.0f},         {"-3", -3.0f},          {".5", 0.5f},
      {"5.", 5.0f},          {"1e-1", 0.1f},       {"2E+2", 200.0f},       {"0.1", 0.1f},
      {"inf", kInf},         {"-Infinity", -kInf}, {"1e39", kInf},         {"1e-50", 0.0f},
      // Just past halfway between the largest float and 2^128: rounds up.
      {"3.4028236e38", kInf},
      {"3.4028234e38", std::numeric_limits<float>::max()},
      {"1.4e-45", std::numeric_limits<float>::denorm_min()},
      // Halfway between 1 and the next float: ties to even.
      {"1.000000059604644775390625", 1.0f},
      {"0.30000001192092896", 0.3f},
  };
  for (const auto& [text, expected] : valid) {
    const auto parsed = parse_float_text(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, expected) << text;
  }
  ASSERT_TRUE(parse_float_text("nAn"));
  EXPECT_TRUE(std::isnan(*parse_float_text("nAn")));
  EXPECT_TRUE(std::signbit(*parse_float_text("-0")));
  for (const char* text : {"", ".", "+", "-", "e5", "1e", "1e+", "1.2.3", " 1", "1 ", "0x10", "1,000",
                           "abc", "infin", "nan(1)", "++1", "1e5.0", "１"}) {
    EXPECT_FALSE(parse_float_text(text)) << text;
  }
}

TEST(ParseQuantileWindow, ClampsAndFallsBackToTheFullWindow) {
  struct Case {
    std::string query;
    float q0, q1;
  };
  const std::vector<Case> cases = {
      {"", 0.0f, 1.0f},
      {"q0=0.25&q1=0.75", 0.25f, 0.75f},
      {"q0=0.25", 0.25f, 1.0f},
      {"q0=0.8&q1=0.2", 0.0f, 1.0f},
      {"q0=0.5&q1=0.5", 0.0f, 1.0f},
      {"q0=-3&q1=7", 0.0f, 1.0f},
      {"q0=0.5&q1=7", 0.5f, 1.0f},
      {"q0=abc&q1=0.5", 0.0f, 0.5f},
      {"q1=0", 0.0f, 1.0f},
      {"q0=NaN&q1=0.5", 0.0f, 1.0f},
      {"q0=0.1&q1=nan", 0.0f, 1.0f},
      {"q1=1e39", 0.0f, 1.0f},
      {"q0=-inf&q1=0.5", 0.0f, 0.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const QuantileWindow window = parse_quantile_window(parse_query(c.query));
    EXPECT_EQ(window.q0, c.q0);
    EXPECT_EQ(window.q1, c.q1);
    EXPECT_FALSE(std::signbit(window.q0));
  }
  const QuantileWindow negative_zero = parse_quantile_window(parse_query("q0=-0&q1=0.5"));
  EXPECT_EQ(negative_zero.q0, 0.0f);
  EXPECT_TRUE(std::signbit(negative_zero.q0));
  EXPECT_EQ(negative_zero.q1, 0.5f);
}

TEST(ParseBoolFlag, OnlyFourLowerCaseWords) {
  for (const char* yes : {"1", "true", "yes", "on"}) {
    EXPECT_TRUE(parse_bool_flag(parse_query(std::string("f=") + yes), "f")) << yes;
  }
  for (const char* no : {"TRUE", "True", "YES", "0", "", "no", "false", "on ", "2"}) {
    EXPECT_FALSE(parse_bool_flag(parse_query(std::string("f=") + no), "f")) << no;
  }
  EXPECT_FALSE(parse_bool_flag(parse_query("g=1"), "f"));
}

TEST(ParseJsonIndices, EveryDigitRunInOrder) {
  const std::vector<std::pair<std::string, std::vector<std::uint64_t>>> cases = {
      {"[3,17,4]", {3, 17, 4}},
      {"[ 4, 4 ]", {4, 4}},
      {"[-2]", {2}},
      {"[1.5e3]", {1, 5, 3}},
      {"[007]", {7}},
      {"[]", {}},
      {"", {}},
      {"[18446744073709551615]", {kU64Max}},
      {"[18446744073709551616,7]", {7}},
      {"[99999999999999999999999,8]", {8}},
      {"{\"cells\":[\"1\", 2]}", {1, 2}},
      {"[1,\xd9\xa3,2]", {1, 2}},  // an Arabic-Indic digit only separates
      {"[1,2,\xff]", {}},           // not UTF-8: nothing at all
      {"[5,\xed\xa0\x80]", {}},     // an encoded surrogate is not UTF-8
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(parse_json_indices(body), expected) << body;
  }
}

TEST(ChannelIdx, FlatChannelOfBatchAndChannel) {
  using Shape = std::vector<std::uint64_t>;
  EXPECT_EQ(channel_idx(Shape{}, 3, 2), 0u);
  EXPECT_EQ(channel_idx(Shape{7}, 3, 2), 0u);
  EXPECT_EQ(channel_idx(Shape{4, 5}, 3, 2), 0u);
  EXPECT_EQ(channel_idx(Shape{3, 8, 8}, 1, 2), 2u);
  EXPECT_EQ(channel_idx(Shape{3, 8, 8}, 99, 20), 20u);
  EXPECT_EQ(channel_idx(Shape{2, 3, 8, 8}, 1, 2), 5u);
  EXPECT_EQ(channel_idx(Shape{2, 3, 4, 8, 8}, 1, 2), 5u);
  // Wraps modulo 2^64 instead of failing.
  EXPECT_EQ(channel_idx(Shape{2, 2, 8, 8}, kU64Max, 5), 3u);
  EXPECT_EQ(channel_idx(Shape{2, 1, 8, 8}, 1, kU64Max), 0u);
}

}  // namespace
}  // namespace tesrak::server
