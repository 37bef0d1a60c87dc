// Feeds arbitrary bytes to the server's request reading (head, loopback
// check, body), cut into reads by the first four bytes, checks that what
// it makes of them does not depend on how they were cut, and runs the query
// readers over whatever came out.
#include <algorithm>
#include <cstdlib>

#include "server/loopback.hpp"
#include "server/query.hpp"
#include "server/receive.hpp"

namespace {

using namespace tesrak::server;

// Reads whose sizes cycle through `sizes` (0: all that is left), then the
// end of the stream or an error; `reads` counts them all.
struct ScriptedReader : ByteReader {
  std::string_view bytes, sizes;
  bool fail_at_end;
  std::size_t turn = 0;
  std::size_t reads = 0;
  ScriptedReader(std::string_view b, std::string_view s, bool f) : bytes(b), sizes(s), fail_at_end(f) {}
  ssize_t read(char* into, std::size_t capacity) override {
    if (capacity == 0) std::abort();  // a read must ask for something
    ++reads;
    if (bytes.empty()) return fail_at_end ? -1 : 0;
    std::size_t n = sizes.empty() ? 0 : static_cast<unsigned char>(sizes[turn++ % sizes.size()]);
    n = std::min({n == 0 ? bytes.size() : n, capacity, bytes.size()});
    std::copy_n(bytes.data(), n, into);
    bytes.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::string_view control(reinterpret_cast<const char*>(data), 4);
  const std::string_view input(reinterpret_cast<const char*>(data) + 4, size - 4);
  ScriptedReader whole_reader(input, {}, control[0] & 1);
  ScriptedReader cut_reader(input, control, control[0] & 1);
  const Reception whole_reception = receive_request(whole_reader);
  const Reception cut_reception = receive_request(cut_reader);

  check(whole_reception.kind == cut_reception.kind);
  if (whole_reception.kind == Reception::Kind::kNothing) return 0;
  const Request& whole = whole_reception.request;
  const Request& cut = cut_reception.request;
  check(whole.method == cut.method && whole.path == cut.path && whole.query == cut.query);
  check(whole.host == cut.host && whole.origin == cut.origin);
  check(whole.path.find('?') == std::string::npos);
  // Refused exactly when the loopback check says elsewhere, and then on the
  // head alone: no read beyond those the head took.
  const bool refused = whole_reception.kind == Reception::Kind::kFromElsewhere;
  check(refused == !is_from_loopback(whole));
  if (refused) {
    ScriptedReader head_reader(input, control, control[0] & 1);
    check(parse_request_head(head_reader).has_value() && head_reader.reads == cut_reader.reads);
  }
  // Whole delivery hands over everything after the head at once; a cut
  // delivery can only have kept a prefix of it.
  check(std::string_view(whole.body).starts_with(cut.body) && whole.body.size() <= input.size());

  const QueryMap query = parse_query(whole.query);
  const QuantileWindow window = parse_quantile_window(query);
  check(window.q0 >= 0.0f && window.q0 < window.q1 && window.q1 <= 1.0f);
  (void)parse_bool_flag(query, "exclude_zero");
  (void)parse_unsigned_param(query, "idx");
  // The route takes at most as many indices as the tensor has cells.
  const std::uint64_t cells = static_cast<unsigned char>(control[1]);
  const auto indices = parse_json_indices_up_to(whole.body, cells);
  check(!indices || indices->size() <= cells);
  return 0;
}
