#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "server/numbers.hpp"
#include "server/query.hpp"

namespace tesrak::server {
namespace {

using Entries = std::map<std::string_view, std::string_view>;

TEST(ParseQuery, SplitsAtAmpersandsAndTheFirstEquals) {
  const std::vector<std::pair<std::string, Entries>> cases = {
      {"", {}}, {"a", {}}, {"a=1&a=2", {{"a", "2"}}}, {"a=1&a", {{"a", "1"}}},
      {"a=b=c", {{"a", "b=c"}}}, {"&&a=1&", {{"a", "1"}}}, {"=x", {{"", "x"}}},
      {"A=1&x=%31&y=a+b&z=", {{"A", "1"}, {"x", "%31"}, {"y", "a+b"}, {"z", ""}}},
  };
  for (const auto& [query, expected] : cases) {
    const QueryMap map = parse_query(query);
    EXPECT_EQ(Entries(map.begin(), map.end()), expected) << query;
  }
}

TEST(QueryValues, UnsignedFlagAndFloatTexts) {
  for (const auto& [text, value] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"+2", 2}, {"007", 7}, {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", 0},
           {"-1", 0}, {"1.5", 0}, {"", 0}, {" 1", 0}}) {
    EXPECT_EQ(parse_unsigned_param(parse_query("b=" + text), "b"), value) << text;
  }

  const auto flag = [](std::string text) { return parse_bool_flag(parse_query("f=" + text), "f"); };
  for (const char* word : {"1", "true", "yes", "on"}) EXPECT_TRUE(flag(word));
  for (const char* word : {"TRUE", "Yes", "0", "", "no", "on ", "2"}) EXPECT_FALSE(flag(word));

  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& [text, value] : std::vector<std::pair<std::string, float>>{
           {"+1", 1.0f}, {".5", 0.5f}, {"5.", 5.0f}, {"2E+2", 200.0f}, {"-Infinity", -inf},
           {"inF", inf}, {"1e39", inf}, {"3.4028236e38", inf}, {"1e-50", 0.0f},
           {"3.4028234e38", std::numeric_limits<float>::max()},
           {"1.4e-45", std::numeric_limits<float>::denorm_min()}}) {
    EXPECT_EQ(parse_float_text(text), value) << text;
  }
  EXPECT_TRUE(std::isnan(parse_float_text("-nAn").value()));
  for (const char* text : {"", ".", "-", "e5", "1e", "1e+", "1.2.3", " 1", "1 ", "0x10", "1,0",
                           "infin", "nan(1)", "++1"}) {
    EXPECT_FALSE(parse_float_text(text)) << text;
  }
}

TEST(ParseQuantileWindow, ClampsAndFallsBackToTheFullWindow) {
  const std::vector<std::tuple<std::string, float, float>> cases = {
      {"", 0, 1}, {"q0=0.25&q1=0.75", 0.25f, 0.75f}, {"q0=0.8&q1=0.2", 0, 1},
      {"q0=0.5&q1=0.5", 0, 1}, {"q0=-3&q1=7", 0, 1}, {"q0=0.5&q1=7", 0.5f, 1},
      {"q0=abc&q1=0.5", 0, 0.5f}, {"q1=0", 0, 1}, {"q0=NaN&q1=0.5", 0, 1},
      {"q0=0.1&q1=nan", 0, 1}, {"q0=-0&q1=0.5", -0.0f, 0.5f},
  };
  for (const auto& [query, q0, q1] : cases) {
    const QuantileWindow window = parse_quantile_window(parse_query(query));
    EXPECT_EQ(std::tuple(window.q0, window.q1, std::signbit(window.q0)),
              std::tuple(q0, q1, std::signbit(q0))) << query;
  }
}

TEST(ParseJsonIndices, EveryDigitRunOfAUtf8Body) {
  const std::vector<std::pair<std::string, std::vector<std::uint64_t>>> cases = {
      {"[ 4, 4 ]", {4, 4}}, {"[-2]", {2}}, {"[1.5e3]", {1, 5, 3}}, {"[007]", {7}}, {"", {}},
      {"[18446744073709551615,18446744073709551616,7]", {UINT64_MAX, 7}},  // overflow skipped
      {"{\"a\":[\"1\", 2]}", {1, 2}}, {"[1,\xd9\xa3,2]", {1, 2}},  // foreign digits separate
      {"[1,2,\xff]", {}}, {"[5,\xed\xa0\x80]", {}},  // not UTF-8 (the second a surrogate)
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(parse_json_indices_up_to(body, UINT64_MAX), expected) << body;
  }
}

// Dropped runs and a body that is not UTF-8 count for nothing.
TEST(ParseJsonIndices, NothingPastTheLimit) {
  using Indices = std::vector<std::uint64_t>;
  const std::vector<std::tuple<std::string, std::uint64_t, std::optional<Indices>>> cases = {
      {"[0,0,0]", 3, Indices{0, 0, 0}}, {"[0,0,0,0]", 3, std::nullopt}, {"[]", 0, Indices{}},
      {"[1]", 0, std::nullopt}, {"[1,18446744073709551616]", 1, Indices{1}},
      {"[1,2,\xff]", 1, Indices{}},
  };
  for (const auto& [body, limit, expected] : cases) {
    EXPECT_EQ(parse_json_indices_up_to(body, limit), expected) << body << " up to " << limit;
  }
}

TEST(ChannelIdx, FlatChannelWrapsInsteadOfFailing) {
  using S = std::vector<std::uint64_t>;
  EXPECT_EQ(channel_idx(S{2, 3, 4, 8, 8}, 1, 2), 5u);
  EXPECT_EQ(channel_idx(S{2, 2, 8, 8}, UINT64_MAX, 5), 3u);
}

}  // namespace
}  // namespace tesrak::server
