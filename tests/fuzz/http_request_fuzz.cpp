// Feeds arbitrary bytes to the request parser, cut into reads by the first
// few bytes, and checks that the result does not depend on how the head was
// cut, then runs the query readers over whatever came out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/query.hpp"
#include "server/request.hpp"

namespace {

using tesrak::server::ByteReader;
using tesrak::server::Request;

constexpr std::size_t kControlBytes = 4;

// Serves the input in reads whose sizes cycle through the control bytes
// (0 meaning "all that is left"), then the end of the stream or an error.
class ScriptedReader : public ByteReader {
 public:
  ScriptedReader(std::string_view bytes, std::string_view sizes, bool fail_at_end)
      : bytes_(bytes), sizes_(sizes), fail_at_end_(fail_at_end) {}

  ssize_t read(char* into, std::size_t capacity) override {
    if (capacity == 0) std::abort();  // a read must always ask for something
    if (bytes_.empty()) return fail_at_end_ ? -1 : 0;
    std::size_t size = bytes_.size();
    if (!sizes_.empty()) {
      const auto control = static_cast<unsigned char>(sizes_[turn_++ % sizes_.size()]);
      if (control != 0) size = control;
    }
    const std::size_t n = std::min({size, capacity, bytes_.size()});
    std::copy_n(bytes_.data(), n, into);
    bytes_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }

 private:
  std::string_view bytes_;
  std::string_view sizes_;
  bool fail_at_end_;
  std::size_t turn_ = 0;
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kControlBytes) return 0;
  const std::string_view control(reinterpret_cast<const char*>(data), kControlBytes);
  const std::string_view input(reinterpret_cast<const char*>(data) + kControlBytes, size - kControlBytes);
  const bool fail_at_end = (control[0] & 1) != 0;

  ScriptedReader whole_reader(input, {}, fail_at_end);
  const std::optional<Request> whole = tesrak::server::parse_http_request(whole_reader);
  ScriptedReader cut_reader(input, control, fail_at_end);
  const std::optional<Request> cut = tesrak::server::parse_http_request(cut_reader);

  check(whole.has_value() == cut.has_value());
  if (!whole) return 0;
  check(whole->method == cut->method && whole->path == cut->path && whole->query == cut->query);
  check(whole->path.find('?') == std::string::npos);
  // Whole delivery hands over everything after the head at once; cut
  // delivery can only have seen a prefix of that.
  check(whole->body.size() <= input.size());
  check(std::string_view(whole->body).starts_with(cut->body));

  const tesrak::server::QueryMap query = tesrak::server::parse_query(whole->query);
  const tesrak::server::QuantileWindow window = tesrak::server::parse_quantile_window(query);
  check(window.q0 >= 0.0f && window.q0 < window.q1 && window.q1 <= 1.0f);
  (void)tesrak::server::parse_bool_flag(query, "exclude_zero");
  (void)tesrak::server::parse_unsigned_param(query, "idx");
  (void)tesrak::server::parse_json_indices(whole->body);
  return 0;
}
