#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tesrak::server {

// Query keys to value texts, both views into the query text they came from
// (which must outlive the map). Nothing is percent-decoded or trimmed.
using QueryMap = std::unordered_map<std::string_view, std::string_view>;

// Splits "k=v&k2=v2" at every "&" and each piece at its first "="; pieces
// without "=" are skipped and the last value of a key wins.
QueryMap parse_query(std::string_view query);

// The visible part of the quantile curve: 0 <= q0 < q1 <= 1.
struct QuantileWindow {
  float q0 = 0.0f;
  float q1 = 1.0f;
};

// q0 and q1 read as floats (defaults 0 and 1), each clamped to [0, 1]; a
// pair that is not increasing (a NaN included) gives the full window.
QuantileWindow parse_quantile_window(const QueryMap& query);

// True only for the values "1", "true", "yes" and "on", exactly so.
bool parse_bool_flag(const QueryMap& query, std::string_view key);

// Every run of ASCII digits in the body, in order, as 64-bit indices; runs
// above 2^64 - 1 are dropped, and a body that is not UTF-8 gives none.
// Nothing as soon as there are more than `limit`: the list never grows past
// what the caller will take.
std::optional<std::vector<std::uint64_t>> parse_json_indices_up_to(std::string_view body,
                                                                   std::uint64_t limit);

// The flat channel of the viewer's (batch, channel), which picks the plane
// of the last two dimensions that the page shows and merges: 0 below three
// dimensions, c for three, c + shape[1] * b (wrapping) above.
std::uint64_t channel_idx(std::span<const std::uint64_t> shape, std::uint64_t b, std::uint64_t c);

// The unsigned parameter `key` of the query (an optional "+" then decimal
// digits worth at most 2^64 - 1), 0 when missing or unreadable.
std::uint64_t parse_unsigned_param(const QueryMap& query, std::string_view key);

}  // namespace tesrak::server
